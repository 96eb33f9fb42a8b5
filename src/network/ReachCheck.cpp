// The reachability check, both sides. The probe uses plain sockets so that
// it reads no more than it may and never looks a name up: it is given the
// numeric address a request came from.
#include "network/ReachCheck.h"

#include "base/UniqueFd.h"
#include "net/httpclient.h"
#include "net/tcpsocket.h"
#include "network/AddressRules.h"
#include "network/NetworkLimits.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

std::string Response(int code, std::string_view reason, std::string_view body) {
  return "HTTP/1.0 " + std::to_string(code) + " " + std::string(reason) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\nServer: mirelo-tracker\r\n\r\n" + std::string(body);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// 1..65535 written in plain decimal, or 0.
int PortValue(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return 0;
    value = value * 10 + (c - '0');
  }
  return value <= 65535 ? value : 0;
}

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::max<long long>(left, 0));
}

// Waits for the events until the deadline; false when it passed first.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, MsLeft(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return true;  // the call that follows reports it
  }
}

std::string SecondsText(int ms) {
  const int seconds = std::max(1, (ms + 500) / 1000);
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

std::string ConnectProblem(int err) {
  switch (err) {
    case ECONNREFUSED:
      return "connection refused";
    case ENETUNREACH:
    case EHOSTUNREACH:
      return "the address cannot be reached";
    default:
      return SocketErrorMeaning(SocketErrorFromErrno(err));
  }
}

// The text with bytes outside printable ASCII shown as "?", cut to a length a
// line can show.
std::string Printable(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, 200)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

}  // namespace

bool IsHttpStatusLine(std::string_view line) {
  if (!line.starts_with("HTTP/")) return false;
  std::size_t i = 5;
  bool digit = false;
  while (i < line.size() && (IsDigit(line[i]) || line[i] == '.')) digit |= IsDigit(line[i++]);
  if (!digit || i >= line.size() || line[i] != ' ') return false;
  ++i;
  if (line.size() < i + 3 || !IsDigit(line[i]) || !IsDigit(line[i + 1]) || !IsDigit(line[i + 2])) {
    return false;
  }
  return line.size() == i + 3 || line[i + 3] == ' ';
}

TReachProbe ProbeHttp(const std::string& address, int port, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const std::string silence = "no answer within " + SecondsText(timeoutMs);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return {false, "the address is not numeric"};
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
  UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return {false, ConnectProblem(errno)};
  if (::connect(fd.get(), found->ai_addr, found->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return {false, ConnectProblem(errno)};
    if (!WaitFor(fd.get(), POLLOUT, deadline)) return {false, silence};
    int err = 0;
    socklen_t size = sizeof err;
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &size);
    if (err != 0) return {false, ConnectProblem(err)};
  }

  const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  const std::string request = "GET / HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                              "\r\nUser-Agent: mirelo-tracker reachability check\r\n"
                              "Connection: close\r\n\r\n";
  for (std::size_t sent = 0; sent < request.size();) {
    if (!WaitFor(fd.get(), POLLOUT, deadline)) return {false, silence};
    const ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return {false, ConnectProblem(errno)};
    if (n > 0) sent += static_cast<std::size_t>(n);
  }

  // Up to the first line end, and never more than the cap.
  std::string answer;
  char buffer[1024];
  while (answer.size() < NetworkLimits::kReachAnswerBytes &&
         answer.find('\n') == std::string::npos) {
    if (!WaitFor(fd.get(), POLLIN, deadline)) return {false, silence};
    const std::size_t room =
        std::min(sizeof buffer, NetworkLimits::kReachAnswerBytes - answer.size());
    const ssize_t n = ::recv(fd.get(), buffer, room, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      if (answer.empty()) return {false, ConnectProblem(errno)};
      break;
    }
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  if (answer.empty()) return {false, "the connection was closed without an answer"};
  std::string line = answer.substr(0, answer.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!IsHttpStatusLine(line)) return {false, "the answer was not HTTP"};
  return {true, Printable(line)};
}

bool TReachLimiter::Allow(const std::string& address, std::time_t now) {
  const std::lock_guard<std::mutex> hold(lock_);
  const auto recent = [now](std::time_t t) { return t > now - 60 && t <= now; };
  if (recent_.size() >= NetworkLimits::kReachRememberedAddresses && !recent_.contains(address)) {
    // Forget the addresses without a check in the last minute.
    std::erase_if(recent_, [&](const auto& entry) {
      return std::none_of(entry.second.begin(), entry.second.end(), recent);
    });
    if (recent_.size() >= NetworkLimits::kReachRememberedAddresses) return false;
  }
  std::vector<std::time_t>& times = recent_[address];
  std::erase_if(times, [&](std::time_t t) { return !recent(t); });
  if (static_cast<int>(times.size()) >= perMinute_) return false;
  times.push_back(now);
  return true;
}

std::string TrackerReachAnswer(std::string_view target, const std::string& peer,
                               TReachLimiter& limiter, std::time_t now, int timeoutMs,
                               TProbeFn probe) {
  const auto question = target.find('?');
  std::string_view query = question == std::string_view::npos ? "" : target.substr(question + 1);
  int port = 0;
  while (!query.empty()) {
    const std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.starts_with("port=")) port = PortValue(pair.substr(5));
  }
  if (port == 0) {
    return Response(400, "Bad Request",
                    "Refused: the port must be a whole number from 1 to 65535.\r\n");
  }
  if (!limiter.Allow(peer, now)) {
    return Response(429, "Too Many Requests",
                    "Refused: only " + std::to_string(NetworkLimits::kReachChecksPerMinute) +
                        " checks a minute from one address.\r\n");
  }
  const TReachProbe result = probe(peer, port, timeoutMs);
  return Response(200, "OK",
                  std::string(result.Reachable ? "reachable" : "unreachable") +
                      "\r\naddress: " + peer + "\r\nport: " + std::to_string(port) +
                      "\r\ndetail: " + result.Detail + "\r\n");
}

TReachVerdict AskReachability(const std::string& trackerHost, int port, int timeoutMs) {
  TReachVerdict verdict;
  verdict.Port = port;
  if (LoopbackOnlyEnvironment() && !IsLoopbackHost(HostOfAddress(trackerHost))) {
    verdict.Detail = "only a tracker on this computer may be asked here";
    return verdict;
  }
  THttpClient client;
  client.KeepConnection = false;
  client.SetReceiveTimeout(timeoutMs);
  client.Socket().SetDeadline(Clock::now() + std::chrono::milliseconds(timeoutMs));
  client.Socket().SendTimeoutMs = timeoutMs;
  const std::string url =
      "http://" + trackerHost + kReachCheckPath + "?port=" + std::to_string(port);
  if (!client.Request("GET", url)) {
    verdict.Detail = "no tracker answered at " + trackerHost;
    return verdict;
  }
  if (client.StatusCode == 429) {
    verdict.Detail =
        "the tracker at " + trackerHost + " was asked too often; try again in a minute";
    return verdict;
  }
  if (client.StatusCode != 200) {
    verdict.Detail = "the tracker at " + trackerHost + " does not offer the check (status " +
                     std::to_string(client.StatusCode) + ")";
    return verdict;
  }
  const std::vector<std::string> lines = TextToLines(client.Body.Bytes());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (i == 0) {
      if (line == "reachable") verdict.State = TReachState::Reachable;
      if (line == "unreachable") verdict.State = TReachState::Unreachable;
    } else if (line.starts_with("address: ")) {
      verdict.Address = Printable(line.substr(9));
    } else if (line.starts_with("port: ")) {
      verdict.Port = PortValue(line.substr(6));
    } else if (line.starts_with("detail: ")) {
      verdict.Detail = Printable(line.substr(8));
    }
  }
  if (verdict.State == TReachState::NotChecked) {
    verdict.Detail = "the tracker at " + trackerHost + " gave an answer that is not a verdict";
  }
  return verdict;
}

std::string DescribeReach(const TReachVerdict& v, const std::string& trackerHost,
                          const std::string& tried) {
  switch (v.State) {
    case TReachState::Reachable:
      return "Friends can reach this address.";
    case TReachState::Unreachable: {
      std::string line =
          "Friends cannot reach this address from the Internet yet: the tracker at " + trackerHost +
          " tried port " + std::to_string(v.Port) + " of " +
          (v.Address.empty() ? "this computer" : v.Address) + " (" + v.Detail + ")";
      if (!tried.empty()) line += "; " + tried;
      return line + ".";
    }
    case TReachState::NotChecked:
      break;
  }
  return "The reachability check could not be made: " + v.Detail + ".";
}
