// Test harness: a listener on 127.0.0.1, port 0, over a temporary shared
// folder, and a raw-byte client that talks to it.
#pragma once

#include "base/StartUp.h"
#include "base/UniqueFd.h"
#include "server/HttpDaemon.h"
#include "server/ServerActions.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_server {

namespace fs = std::filesystem;

struct TReport {
  std::string peer, operation, file;
};

class TServerHarness {
 public:
  // configure runs on the listener before Start.
  explicit TServerHarness(const std::string& pluginFolder = {},
                          const std::function<void(TTCPHttpDaemon&)>& configure = {})
      : daemon_(pluginFolder.empty() ? emptyPlugins_.Slash() : pluginFolder) {
    daemon_.BindAddress = "127.0.0.1";
    daemon_.SetPort("0");
    daemon_.RootFolder = root_.Path().string();
    daemon_.SystemFolder = SystemFolder();
    daemon_.TimeoutMs = 2000;
    daemon_.StatusCallback = [this](const std::string& peer, const std::string& op,
                                    const std::string& file) {
      std::lock_guard<std::mutex> lock(mutex_);
      reports_.push_back({peer, op, file});
    };
    if (configure) configure(daemon_);
    daemon_.Start();
    EXPECT_TRUE(daemon_.Listening());
  }

  ~TServerHarness() {
    daemon_.Stop();
    EXPECT_TRUE(daemon_.WaitForWorkers(30000));
  }

  TTCPHttpDaemon& Daemon() { return daemon_; }
  const TempFolder& Root() const { return root_; }
  int Port() const { return daemon_.BoundPort(); }

  UniqueFd Connect() const {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.reset();
    return fd;
  }

  static bool SendAll(int fd, const std::string& bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Everything the server sends until it closes (or waitMs of silence).
  static std::string ReadAll(int fd, int waitMs = 10000) {
    std::string all;
    char buf[65536];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, waitMs) <= 0) break;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<std::size_t>(n));
    }
    return all;
  }

  // Sends a request and returns the whole reply.
  std::string Exchange(const std::string& request, int waitMs = 10000) const {
    UniqueFd fd = Connect();
    if (!fd) return "<no connection>";
    SendAll(fd.get(), request);
    return ReadAll(fd.get(), waitMs);
  }

  // Waits until the worker of every connection so far has ended.
  void WaitIdle() { EXPECT_TRUE(daemon_.WaitForWorkers(30000)); }

  // Waits (at most 10 s) until at least count status reports have arrived.
  void WaitForReports(std::size_t count) {
    for (int i = 0; i < 1000 && Reports().size() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(Reports().size(), count);
  }

  std::vector<TReport> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::vector<std::string> Operations() {
    std::vector<std::string> ops;
    for (const auto& r : Reports()) ops.push_back(r.operation);
    return ops;
  }

 private:
  TempFolder emptyPlugins_;
  TempFolder root_;
  std::mutex mutex_;
  std::vector<TReport> reports_;
  TTCPHttpDaemon daemon_;
};

// The page sent when nobody answers a request.
inline std::string FallbackPage(const std::string& uri) {
  return "<html>\r\n<head></head>\r\n<body>\r\nRequest Uri: " + uri +
         "\r\n<br>\r\nError!!!\r\n</body>\r\n</html>\r\n";
}

// The page the router gives for uri in the harness's shared folder (no
// cache), as the worker sends it.
inline std::string RouterPage(const TServerHarness& server, const std::string& uri) {
  TServerActions actions;
  actions.RootFolder = server.Root().Path().string() + "/";
  actions.SystemFolder = SystemFolder();
  return actions.HandleRequest(uri).Body;
}

// Splits a reply into its head lines (status line first) and its body.
inline void SplitReply(const std::string& reply, std::vector<std::string>& head,
                       std::string& body) {
  head.clear();
  const std::size_t end = reply.find("\r\n\r\n");
  const std::string headText = end == std::string::npos ? reply : reply.substr(0, end);
  body = end == std::string::npos ? std::string() : reply.substr(end + 4);
  std::size_t p = 0;
  for (;;) {
    const std::size_t q = headText.find("\r\n", p);
    head.push_back(headText.substr(p, q - p));
    if (q == std::string::npos) break;
    p = q + 2;
  }
}

}  // namespace testing_server
