// The program without a window: serves a folder from the command line.
#include "shell/Headless.h"

#include <cstdio>

int RunHeadless(int, char**) {
  std::fputs("usage: mirelo-share --headless --folder DIR [--port N]\n", stderr);
  return 2;
}
