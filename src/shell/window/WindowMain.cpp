// Entry of the windowed program. Until the main window is built, the program
// runs as the headless server.
#include "shell/window/WindowMain.h"

#include "shell/Headless.h"

int RunWindow(int argc, char** argv) { return RunHeadless(argc, argv); }
