// The tracker's HTTP side: one request per connection, answered and closed.
#include "network/TrackerServer.h"

#include "net/tcpsocket.h"
#include "network/NetworkLimits.h"
#include "network/Presence.h"

#include <cctype>
#include <charconv>
#include <chrono>

namespace {

std::string Response(int code, std::string_view reason, std::string_view type,
                     std::string_view body, bool withBody = true) {
  std::string text = "HTTP/1.0 " + std::to_string(code) + " " + std::string(reason) + "\r\n";
  text += "Content-Type: " + std::string(type) + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "Connection: close\r\nServer: mirelo-tracker\r\n\r\n";
  if (withBody) text += body;
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::string TrackerAnswer(TTrackerBook& book, std::string_view method, std::string_view target,
                          std::string_view contentType, std::string_view body,
                          std::string_view peer, std::time_t now) {
  const std::string_view path = target.substr(0, target.find('?'));
  const bool head = method == "HEAD";
  if (method == "POST" && path == kReceiverPath) {
    const auto record = FindFormField(contentType, body, kPresenceFieldName);
    if (!record) return Response(400, "Bad Request", "text/plain", "Refused: no record sent.\r\n");
    const std::string refusal = book.Post(*record, now);
    if (!refusal.empty()) {
      return Response(400, "Bad Request", "text/plain", "Refused: " + refusal + "\r\n");
    }
    const std::string line = RecordLine(*record);
    return Response(200, "OK", "text/plain",
                    "Registered: " + line.substr(0, line.find('*')) + "\r\n");
  }
  if (method == "GET" || head) {
    if (path == kUserListPath) {
      return Response(200, "OK", "text/plain", book.ListText(now), !head);
    }
    if (path == "/") {
      const std::string page =
          "<html><head><title>Current IP Check</title></head><body>Current IP Address: " +
          std::string(peer) + "</body></html>\r\n";
      return Response(200, "OK", "text/html", page, !head);
    }
    return Response(404, "Not Found", "text/plain", "Not found.\r\n", !head);
  }
  return Response(405, "Method Not Allowed", "text/plain", "Not allowed.\r\n");
}

TTrackerServer::TTrackerServer(TTrackerOptions options)
    : options_(std::move(options)),
      book_(options_.MaxAgeSeconds),
      reachLimiter_(options_.ReachChecksPerMinute),
      socket_(std::make_unique<TTcpBlockingSocket>()) {}

TTrackerServer::~TTrackerServer() { Stop(); }

bool TTrackerServer::Start(std::string& error) {
  // A listening socket is always made: binding the any address to port 0
  // without one would be taken for the client's "no binding wanted".
  if (options_.BindAddress == "0.0.0.0") socket_->Family = TSocketFamily::IPv4;
  socket_->Bind(options_.BindAddress, options_.Port);
  if (socket_->LastErrorCode() == 0) socket_->Listen();
  if (socket_->LastErrorCode() != 0 || !socket_->IsOpen()) {
    const int code =
        socket_->LastErrorCode() != 0 ? socket_->LastErrorCode() : SocketError::NotSocket;
    error = "Cannot listen on " + options_.BindAddress + " port " + options_.Port + ": " +
            DescribeSocketError(code);
    socket_->Close();
    return false;
  }
  port_ = socket_->LocalPort();
  listener_ = std::thread([this] { Listen(); });
  return true;
}

void TTrackerServer::Stop() {
  stop_ = true;
  if (listener_.joinable()) listener_.join();
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [this] { return active_ == 0; });
}

void TTrackerServer::Listen() {
  while (!stop_) {
    {
      std::unique_lock<std::mutex> hold(lock_);
      if (!changed_.wait_for(hold, std::chrono::milliseconds(250),
                             [this] { return active_ < NetworkLimits::kMaxTrackerConnections; })) {
        continue;
      }
    }
    if (!socket_->WaitReadable(250)) continue;
    UniqueFd handle = socket_->Accept();
    if (!handle) continue;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      ++active_;
    }
    std::thread([this, h = std::move(handle)]() mutable {
      Serve(std::move(h));
      const std::lock_guard<std::mutex> hold(lock_);
      --active_;
      changed_.notify_all();
    }).detach();
  }
  socket_->Close();
}

void TTrackerServer::Serve(UniqueFd handle) {
  TTcpBlockingSocket conn;
  conn.AdoptHandle(std::move(handle));
  conn.ConvertLineEnd = true;
  conn.MaxLineLength = NetworkLimits::kMaxTrackerLineBytes;
  conn.SetDeadline(std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(options_.ConnectionLimitMs));
  const int wait = options_.TimeoutMs;
  // A client that stops reading the list must not hold a connection slot.
  conn.SendTimeoutMs = wait;

  std::string requestLine;
  for (int i = 0; i < 4 && requestLine.empty() && conn.LastErrorCode() == 0; ++i) {
    requestLine = conn.ReceiveLine(wait);
  }
  if (conn.LastErrorCode() != 0 || requestLine.empty()) return;
  const auto firstSpace = requestLine.find(' ');
  const auto secondSpace = requestLine.find(' ', firstSpace + 1);
  if (firstSpace == std::string::npos) return;
  const std::string method = requestLine.substr(0, firstSpace);
  const std::string target = requestLine.substr(firstSpace + 1, secondSpace == std::string::npos
                                                                    ? std::string::npos
                                                                    : secondSpace - firstSpace - 1);

  std::string contentType;
  long long length = 0;
  bool badLength = false;
  for (int count = 0;; ++count) {
    const std::string line = conn.ReceiveLine(wait);
    if (conn.LastErrorCode() != 0) return;
    if (line.empty()) break;
    if (count >= NetworkLimits::kMaxTrackerHeaderLines) {
      conn.SendText(Response(431, "Request Header Fields Too Large", "text/plain",
                             "Refused: too many header lines.\r\n"));
      return;
    }
    if (StartsWithNoCase(line, "content-type:")) {
      contentType = std::string(Trim(std::string_view(line).substr(13)));
    } else if (StartsWithNoCase(line, "content-length:")) {
      const std::string_view value = Trim(std::string_view(line).substr(15));
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
      badLength = ec != std::errc() || end != value.data() + value.size() || length < 0;
    }
  }
  if (badLength || length > static_cast<long long>(NetworkLimits::kMaxTrackerPostBytes)) {
    conn.SendText(
        Response(413, "Content Too Large", "text/plain", "Refused: request too large.\r\n"));
    return;
  }
  std::string body(static_cast<std::size_t>(length), '\0');
  if (length > 0) {
    conn.ReceiveExact(body.data(), static_cast<int>(length), wait);
    if (conn.LastErrorCode() != 0) return;
  }
  const std::string_view path = std::string_view(target).substr(0, target.find('?'));
  if (method == "GET" && path == kReachCheckPath) {
    conn.SendText(TrackerReachAnswer(target, conn.RemoteAddress(), reachLimiter_, options_.Clock(),
                                     options_.ReachCheckMs));
  } else {
    conn.SendText(TrackerAnswer(book_, method, target, contentType, body, conn.RemoteAddress(),
                                options_.Clock()));
  }
  conn.Close();
}
