// Server benchmark over loopback: requests per second for fallback pages from
// concurrent clients without keep-alive (listener in this process), and time
// and peak memory (VmHWM of the server process) of large multipart uploads to
// the real program (mirelo-share --headless). Prints its figures; not a test.
//
// Usage: bench_server [--requests N] [--clients N] [--repeat N] [--dir DIR]
//                     [--upload-mib N ...]
// --dir chooses the file system the uploads are written to (e.g. /dev/shm to
// take the disk's write-back out of the figures).
#include "base/StartUp.h"
#include "server/HttpDaemon.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Where the shared folders are made (--dir; the temporary folder by default).
fs::path gBaseFolder;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The headless program on a free port, its output drained in the background.
class TServerProcess {
 public:
  // folder is shared; the program keeps its settings, cache and log in work.
  TServerProcess(const fs::path& folder, const fs::path& work) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) std::exit(1);
    const std::string program = std::string(MIRELO_BINARY_DIR) + "/mirelo-share";
    const std::string folderText = folder.string(), workText = work.string();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      // Loopback only: the program looks for no router.
      ::setenv("MIRELO_LOOPBACK_ONLY", "1", 1);
      ::execl(program.c_str(), program.c_str(), "--headless", "--internal", "--no-port-mapping",
              "--workdir", workText.c_str(), "--user", "benchmark", "--folder", folderText.c_str(),
              "--port", "0", "--uploads", "--timeout", "30000", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
    // The program prints a few lines; the one with the loopback address says
    // which port it took.
    std::string line, all;
    char c;
    while (port_ <= 0 && ::read(out_, &c, 1) == 1) {
      if (c != '\n') {
        line += c;
        continue;
      }
      all += line + "\n";
      const std::size_t at = line.find("http://127.0.0.1:");
      if (at != std::string::npos) port_ = std::atoi(line.c_str() + at + 17);
      line.clear();
    }
    if (port_ <= 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      std::fprintf(stderr, "the server did not start:\n%s\n", all.c_str());
      std::exit(1);
    }
    drain_ = std::thread([fd = out_] {
      char buf[65536];
      while (::read(fd, buf, sizeof buf) > 0) {
      }
    });
  }
  ~TServerProcess() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    drain_.join();
    ::close(out_);
  }
  int Port() const { return port_; }

  // A line of /proc/<pid>/status in KiB (VmHWM: peak resident set; VmRSS: now).
  long StatusKiB(const char* key) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    const std::size_t n = std::strlen(key);
    while (std::getline(in, line))
      if (line.compare(0, n, key) == 0 && line[n] == ':') return std::atol(line.c_str() + n + 1);
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = 0;
  std::thread drain_;
};

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string ReadAll(int fd) {
  std::string all;
  char buf[16384];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) all.append(buf, static_cast<std::size_t>(n));
  return all;
}

// Requests that a plug-in turns into the worker's fallback page, against a
// listener in this process (loaded with the benchmark's plug-in).
void FallbackRequests(int requests, int clients) {
  const fs::path folder = gBaseFolder / ("mirelo-bench-" + std::to_string(getpid()));
  fs::create_directories(folder);
  {
    TTCPHttpDaemon server(MIRELO_BENCH_PLUGIN_DIR);
    server.BindAddress = "127.0.0.1";
    server.SetPort("0");
    server.RootFolder = folder.string();
    server.SystemFolder = SystemFolder();
    std::atomic<long> reports{0};
    server.StatusCallback = [&](const std::string&, const std::string&, const std::string&) {
      ++reports;
    };
    server.Start();
    if (!server.Listening() || server.Plugins().Count() != 1) {
      std::fprintf(stderr, "the listener did not start with the benchmark plug-in\n");
      std::exit(1);
    }
    std::atomic<int> next{0}, ok{0}, failed{0};
    const std::string request = "GET /fallback HTTP/1.0\r\nHost: localhost\r\n\r\n";
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
      threads.emplace_back([&] {
        while (next.fetch_add(1) < requests) {
          const int fd = Connect(server.BoundPort());
          if (fd < 0 || !SendAll(fd, request.data(), request.size())) {
            ++failed;
            if (fd >= 0) ::close(fd);
            continue;
          }
          const std::string reply = ReadAll(fd);
          ::close(fd);
          if (reply.compare(0, 14, "HTTP/1.0 200\r\n") == 0 &&
              reply.find("Request Uri: /fallback\r\n<br>\r\nError!!!") != std::string::npos)
            ++ok;
          else
            ++failed;
        }
      });
    for (auto& t : threads) t.join();
    const double s = Seconds(Clock::now() - start);
    server.Stop();
    server.WaitForWorkers(5000);
    std::printf(
        "fallback page: %d requests, %d clients, no keep-alive: %.3f s, %.0f requests/s"
        " (%d answered, %d failed, %ld status reports)\n",
        requests, clients, s, ok.load() / s, ok.load(), failed.load(), reports.load());
  }
  fs::remove_all(folder);
}

// Returns the seconds the upload took.
double Upload(long mib) {
  const fs::path base = gBaseFolder / ("mirelo-bench-" + std::to_string(getpid()));
  const fs::path folder = base / "share";
  fs::create_directories(folder);
  fs::create_directories(base / "work");
  double seconds = 0;
  {
    TServerProcess server(folder, base / "work");
    const long before = server.StatusKiB("VmHWM");
    const std::int64_t size = static_cast<std::int64_t>(mib) << 20;
    const std::string boundary = "----benchboundary0123456789";
    const std::string partHead = "--" + boundary +
                                 "\r\nContent-Disposition: form-data; name=\"file\"; "
                                 "filename=\"C:\\bench\\upload.bin\"\r\n"
                                 "Content-Type: application/octet-stream\r\n\r\n";
    const std::string partTail =
        "\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"path\"\r\n\r\n/\r\n--" +
        boundary + "--\r\n";
    const std::int64_t length = static_cast<std::int64_t>(partHead.size()) + size +
                                static_cast<std::int64_t>(partTail.size());
    const std::string head =
        "POST /upload HTTP/1.1\r\nHost: localhost\r\nContent-Type: multipart/form-data; "
        "boundary=" +
        boundary + "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" + partHead;
    // Content made of a pattern with line ends in it, sent in 1 MiB pieces.
    std::vector<char> piece(1 << 20);
    for (std::size_t i = 0; i < piece.size(); ++i)
      piece[i] = (i % 97 == 96) ? '\n' : static_cast<char>('a' + (i * 31) % 26);

    const auto start = Clock::now();
    const int fd = Connect(server.Port());
    bool sent = fd >= 0 && SendAll(fd, head.data(), head.size());
    for (std::int64_t left = size; sent && left > 0;) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(left, piece.size()));
      sent = SendAll(fd, piece.data(), n);
      left -= static_cast<std::int64_t>(n);
    }
    sent = sent && SendAll(fd, partTail.data(), partTail.size());
    const std::string reply = fd >= 0 ? ReadAll(fd) : std::string();
    const double s = Seconds(Clock::now() - start);
    if (fd >= 0) ::close(fd);
    std::error_code ec;
    const auto stored = fs::file_size(folder / "upload.bin", ec);
    std::printf(
        "upload of %ld MiB: %.3f s (%.1f MiB/s), replied %s, stored %s; server peak RSS "
        "%ld KiB (%ld KiB before the upload)\n",
        mib, s, static_cast<double>(mib) / s,
        reply.compare(0, 12, "HTTP/1.0 200") == 0 ? "200" : "nothing",
        !ec && static_cast<std::int64_t>(stored) == size ? "whole" : "NOT whole",
        server.StatusKiB("VmHWM"), before);
    seconds = s;
  }
  fs::remove_all(base);
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  int requests = 10000, clients = 16, repeat = 3;
  std::vector<long> uploads;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--requests") == 0) requests = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--dir") == 0) gBaseFolder = argv[i + 1];
    if (std::strcmp(argv[i], "--repeat") == 0) repeat = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--upload-mib") == 0) uploads.push_back(std::atol(argv[i + 1]));
  }
  if (uploads.empty()) uploads = {100, 1024};
  if (gBaseFolder.empty()) gBaseFolder = fs::temp_directory_path();
  std::printf("uploads go to %s\n", gBaseFolder.c_str());
  FallbackRequests(requests, clients);
  // Each upload size a few times on a fresh server; the median is the figure.
  std::vector<double> medians;
  for (long mib : uploads) {
    std::vector<double> times;
    for (int r = 0; r < repeat; ++r) times.push_back(Upload(mib));
    std::sort(times.begin(), times.end());
    medians.push_back(times[times.size() / 2]);
    std::printf("upload of %ld MiB: median %.3f s\n", mib, medians.back());
  }
  if (medians.size() >= 2 && medians.front() > 0)
    std::printf("upload time ratio, %ld MiB to %ld MiB: %.1fx (size ratio %.1fx)\n", uploads.back(),
                uploads.front(), medians.back() / medians.front(),
                static_cast<double>(uploads.back()) / static_cast<double>(uploads.front()));
  return 0;
}
