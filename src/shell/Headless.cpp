// The program without a window: serves a folder from the command line until
// SIGINT or SIGTERM, printing the web address and one line per status report.
#include "shell/Headless.h"

#include "network/OrvelInternet.h"
#include "server/HttpDaemon.h"
#include "server/ServerLimits.h"
#include "shell/StartUp.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace {

const char kUsage[] =
    "usage: mirelo-share --headless --folder DIR [--port N] [--uploads] [--timeout MS]\n"
    "\n"
    "Shares the folder DIR with any web browser, without a window.\n"
    "\n"
    "  --folder DIR   the folder to share (required)\n"
    "  --port N       TCP port, 0 to 65535 (default 3724; 0 picks a free port)\n"
    "  --uploads      accept uploads into DIR\n"
    "  --timeout MS   receive time-out of a connection in milliseconds,\n"
    "                 100 to 120000 (default 12000)\n"
    "  --help         show this text\n"
    "\n"
    "Stops on SIGINT (Ctrl+C) or SIGTERM.\n";

bool ParseNumber(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  out = v;
  return true;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "mirelo-share: %s\n%s", message.c_str(), kUsage);
  return 2;
}

}  // namespace

int RunHeadless(int argc, char** argv) {
  std::string folder;
  long port = 3724;
  long timeout = 12000;
  bool uploads = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--headless") {
    } else if (a == "--uploads") {
      uploads = true;
    } else if (a == "--folder") {
      const char* v = value();
      if (!v) return UsageError("--folder needs a folder");
      folder = v;
    } else if (a == "--port") {
      const char* v = value();
      if (!v || !ParseNumber(v, 0, 65535, port)) return UsageError("--port needs 0 to 65535");
    } else if (a == "--timeout") {
      const char* v = value();
      if (!v || !ParseNumber(v, 100, 120000, timeout))
        return UsageError("--timeout needs 100 to 120000 milliseconds");
    } else {
      return UsageError("unknown option " + a);
    }
  }
  if (folder.empty()) return UsageError("--folder is required");
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "mirelo-share: the folder %s does not exist\n", folder.c_str());
    return 2;
  }

  // The signals are taken by sigwait below; every thread made from here on
  // inherits the mask, so none of them is interrupted.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  auto printLock = std::make_shared<std::mutex>();
  TTCPHttpDaemon daemon(ProgramFolder());
  daemon.AllowUploads = uploads;
  daemon.TimeoutMs = static_cast<int>(timeout);
  daemon.StatusCallback = [printLock](const std::string& peer, const std::string& operation,
                                      const std::string& file) {
    std::lock_guard<std::mutex> lock(*printLock);
    if (file.empty())
      std::printf("IP: %s\t Op: %s\n", peer.c_str(), operation.c_str());
    else
      std::printf("IP: %s\t Op: %s\t File: %s\n", peer.c_str(), operation.c_str(), file.c_str());
    std::fflush(stdout);
  };
  daemon.SetPort(std::to_string(port));
  daemon.RootFolder = folder;
  daemon.Start();
  if (!daemon.Listening()) {
    std::fprintf(stderr, "mirelo-share: cannot listen on port %ld (socket error %d)\n", port,
                 daemon.ListenError());
    daemon.Stop();
    return 1;
  }
  {
    std::lock_guard<std::mutex> lock(*printLock);
    std::string address = GetLocalIp();
    if (address.empty()) address = "127.0.0.1";
    std::printf("http://%s:%d/\n", address.c_str(), daemon.BoundPort());
    std::fflush(stdout);
  }

  int signal = 0;
  while (sigwait(&stopSignals, &signal) != 0) {
  }
  daemon.Stop();
  daemon.WaitForWorkers(ServerLimits::kExitWorkerWaitMs);
  return 0;
}
