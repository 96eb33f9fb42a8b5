// Scripted HTTP peer on 127.0.0.1 for the client tests: records every request
// exactly as it arrived and lets the test answer it with any bytes at all.
#pragma once

#include "net/tcpsocket.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TServedRequest {
  std::string Head;  // request line and header lines with their CR LFs and the blank line
  std::string Body;
  std::string RequestLine;

  // The value of the first header line whose name matches exactly, or "".
  std::string Header(const std::string& name) const {
    const std::string key = "\r\n" + name + ": ";
    const auto at = Head.find(key);
    if (at == std::string::npos) return {};
    const auto start = at + key.size();
    return Head.substr(start, Head.find("\r\n", start) - start);
  }
};

class TLoopbackServer {
 public:
  // The handler answers one request on its connection; the server closes the
  // connection after it returns. Connections are served one after another.
  using THandler = std::function<void(const TServedRequest&, TTcpBlockingSocket&)>;

  explicit TLoopbackServer(THandler handler) : handler_(std::move(handler)) {
    listener_.Bind("127.0.0.1", "0");
    listener_.Listen();
    port_ = listener_.LocalPort();
    thread_ = std::thread([this] { Serve(); });
  }
  ~TLoopbackServer() {
    stop_ = true;
    thread_.join();
  }
  TLoopbackServer(const TLoopbackServer&) = delete;
  TLoopbackServer& operator=(const TLoopbackServer&) = delete;

  int Port() const { return port_; }
  // "127.0.0.1:port", the form the settings give hosts in.
  std::string HostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Url(const std::string& target = "/") const { return "http://" + HostPort() + target; }

  std::vector<TServedRequest> Requests() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      if (!listener_.WaitReadable(20)) continue;
      UniqueFd handle = listener_.Accept();
      if (!handle) continue;
      TTcpBlockingSocket conn;
      conn.AdoptHandle(std::move(handle));
      TServedRequest request;
      const std::string head = conn.ReceiveUntil(5000, "\r\n\r\n");
      if (conn.LastErrorCode() != 0) {
        conn.Close();
        continue;
      }
      request.Head = head + "\r\n\r\n";
      request.RequestLine = head.substr(0, head.find("\r\n"));
      const long length = std::atol(request.Header("Content-Length").c_str());
      if (length > 0) {
        request.Body.resize(static_cast<std::size_t>(length));
        const int got = conn.ReceiveExact(request.Body.data(), static_cast<int>(length), 5000);
        request.Body.resize(static_cast<std::size_t>(got < 0 ? 0 : got));
      }
      {
        const std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(request);
      }
      handler_(request, conn);
      conn.Close();
    }
  }

  THandler handler_;
  TTcpBlockingSocket listener_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<TServedRequest> requests_;
  std::thread thread_;
};

// Sends the text and ignores what the peer does with it.
inline void SendRaw(TTcpBlockingSocket& conn, const std::string& bytes) { conn.SendText(bytes); }
