// A small tracker for the public network: takes presence posts, serves the
// user list and an IP-echo page, and checks whether a program that asks can
// be reached from here (ReachCheck.h). One thread listens; each connection runs on a
// thread of its own (at most NetworkLimits::kMaxTrackerConnections at once),
// and all of them share one TTrackerBook.
#pragma once

#include "base/UniqueFd.h"
#include "network/NetworkLimits.h"
#include "network/ReachCheck.h"
#include "network/TrackerBook.h"

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class TTcpBlockingSocket;

struct TTrackerOptions {
  std::string BindAddress = "0.0.0.0";
  std::string Port = "8080";  // "0" picks a free port
  int MaxAgeSeconds = 15 * 60;
  int TimeoutMs = 10000;          // every wait for request data
  int ConnectionLimitMs = 30000;  // a whole connection, however slowly it trickles
  // The reachability check: its wait for the asking program's answer, and
  // the checks one address may ask for in a minute.
  int ReachCheckMs = NetworkLimits::kReachCheckMs;
  int ReachChecksPerMinute = NetworkLimits::kReachChecksPerMinute;
  std::function<std::time_t()> Clock = [] { return std::time(nullptr); };
};

// The whole answer (status line, header lines, body) to one request. The peer
// address is what the echo page shows.
std::string TrackerAnswer(TTrackerBook& book, std::string_view method, std::string_view target,
                          std::string_view contentType, std::string_view body,
                          std::string_view peer, std::time_t now);

class TTrackerServer {
 public:
  explicit TTrackerServer(TTrackerOptions options);
  ~TTrackerServer();
  TTrackerServer(const TTrackerServer&) = delete;
  TTrackerServer& operator=(const TTrackerServer&) = delete;

  // Binds and starts listening; false with a message when the port is taken.
  bool Start(std::string& error);
  // Stops listening and waits for the connections being served.
  void Stop();
  int Port() const { return port_; }

 private:
  void Listen();
  void Serve(UniqueFd handle);

  TTrackerOptions options_;
  TTrackerBook book_;
  TReachLimiter reachLimiter_;
  std::atomic<bool> stop_{false};
  int port_ = 0;
  std::unique_ptr<TTcpBlockingSocket> socket_;
  std::thread listener_;
  std::mutex lock_;
  std::condition_variable changed_;
  int active_ = 0;
};
