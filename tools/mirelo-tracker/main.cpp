// mirelo-tracker: keeps the list of users of the public network. Takes their
// presence posts, serves the list and an IP-echo page, and checks on request
// whether a program can be reached from here, until SIGINT or SIGTERM.
#include "base/StartUp.h"
#include "network/NetworkLimits.h"
#include "network/OrvelInternet.h"
#include "network/TrackerServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Usage(std::FILE* out) {
  std::fputs(
      "usage: mirelo-tracker [--port N] [--max-age MINUTES] [--bind ADDRESS]\n"
      "       mirelo-tracker --version | --help\n"
      "  --port N           TCP port to serve (default 8080; 0 picks a free one)\n"
      "  --max-age MINUTES  drop a user's line after this many minutes (default 15)\n"
      "  --bind ADDRESS     local address to listen on (default 0.0.0.0, every interface)\n",
      out);
}

bool ParseNumber(const char* text, long min, long max, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end && *end == '\0' && end != text && value >= min && value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  TTrackerOptions options;
  options.MaxAgeSeconds = NetworkLimits::kDefaultMaxAgeMinutes * 60;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long number = 0;
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("mirelo-tracker %s\n", GetFileVersion().c_str());
      return 0;
    } else if (arg == "--port" && hasValue) {
      if (!ParseNumber(argv[++i], 0, 65535, number)) {
        std::fprintf(stderr, "mirelo-tracker: --port needs a number from 0 to 65535\n");
        return 2;
      }
      options.Port = std::to_string(number);
    } else if (arg == "--max-age" && hasValue) {
      if (!ParseNumber(argv[++i], 1, 7 * 24 * 60, number)) {
        std::fprintf(stderr, "mirelo-tracker: --max-age needs minutes from 1 to 10080\n");
        return 2;
      }
      options.MaxAgeSeconds = static_cast<int>(number) * 60;
    } else if (arg == "--bind" && hasValue) {
      options.BindAddress = argv[++i];
    } else {
      std::fprintf(stderr, "mirelo-tracker: unknown option %s\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }

  // The signals are taken by sigwait below, never by a handler.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  TTrackerServer server(options);
  std::string error;
  if (!server.Start(error)) {
    std::fprintf(stderr, "mirelo-tracker: %s\n", error.c_str());
    return 1;
  }
  std::string shown = options.BindAddress;
  if (shown == "0.0.0.0") {
    shown = GetLocalIp();
    if (shown.empty()) shown = "127.0.0.1";
  }
  std::printf("http://%s:%d/\n", shown.c_str(), server.Port());
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  return 0;
}
