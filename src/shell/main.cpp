// Program entry: the window where a display is available, else (or with
// --headless) the headless server.
#include "shell/Headless.h"
#ifdef MIRELO_HAS_WINDOW
#include "shell/window/WindowMain.h"
#endif

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  [[maybe_unused]] bool headless = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0 || std::strcmp(argv[i], "--help") == 0 ||
        std::strcmp(argv[i], "--version") == 0) {
      headless = true;
    }
  }
#ifdef MIRELO_HAS_WINDOW
  const bool display =
      std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") || std::getenv("QT_QPA_PLATFORM");
  if (!headless && display) return RunWindow(argc, argv);
#endif
  return RunHeadless(argc, argv);
}
