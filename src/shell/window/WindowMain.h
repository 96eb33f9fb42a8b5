// Entry of the windowed program: the start-up sequence around the main window.
#pragma once

// Runs the window program and returns the process exit code.
int RunWindow(int argc, char** argv);
