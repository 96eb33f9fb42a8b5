// Blocking TCP socket on POSIX sockets: buffering, terminated reads, time-outs
// and the mapping of errno values to the program's socket error numbers.
#include "net/tcpsocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/uio.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <ostream>

namespace {

using Clock = std::chrono::steady_clock;

int ElapsedMs(Clock::time_point since) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

void SleepMs(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Runs a system call again while it is interrupted by a signal.
template <typename F>
auto RetryEintr(F call) {
  for (;;) {
    auto r = call();
    if (!(r < 0 && errno == EINTR)) return r;
  }
}

bool IsNumericIPv4(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool IsNumericIPv6(const std::string& text) {
  in6_addr a{};
  return inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

std::string NumericHost(const sockaddr_storage& addr, socklen_t size) {
  if (size == 0) return {};
  if (addr.ss_family == AF_INET && size >= sizeof(sockaddr_in)) {
    char text[INET_ADDRSTRLEN];
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(addr);
    if (inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text) == nullptr) return {};
    return text;
  }
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), size, host, sizeof host, nullptr, 0,
                  NI_NUMERICHOST) != 0)
    return {};
  return host;
}

int PortOf(const sockaddr_storage& addr, socklen_t size) {
  if (size == 0) return 0;
  if (addr.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(addr).sin_port);
  if (addr.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(addr).sin6_port);
  return 0;
}

}  // namespace

std::string SocketErrorMeaning(int code) {
  switch (code) {
    case 10004:
      return "the operation was interrupted";
    case 10009:
    case 10038:
      return "there is no open connection";
    case 10013:
      return "permission was denied (ports below 1024 need special rights)";
    case 10022:
      return "an invalid argument was given";
    case 10024:
      return "too many files or connections are open";
    case 10035:
      return "the operation would have to wait";
    case 10047:
      return "the address family is not supported";
    case 10048:
      return "the port is already in use";
    case 10049:
      return "the address is not available on this computer";
    case 10050:
      return "the network is down";
    case 10051:
      return "the network cannot be reached";
    case 10052:
    case 10053:
      return "the connection was aborted";
    case 10054:
      return "the connection was closed by the other side";
    case 10055:
      return "a line was too long or no buffer space was left";
    case 10056:
      return "the connection is already made";
    case 10057:
      return "there is no connection";
    case 10060:
      return "the other side did not answer in time";
    case 10061:
      return "the connection was refused";
    case 10064:
      return "the host is down";
    case 10065:
      return "the host cannot be reached";
    case 10091:
      return "secure connections are not supported";
    case 10109:
      return "the service or port is not known";
    case 11001:
      return "the host name is not known";
    case 11002:
      return "the name service did not answer; try again later";
    case 11003:
      return "the name service failed";
    case 11004:
      return "the host name has no address";
    default:
      return "an unexpected network error occurred";
  }
}

std::string DescribeSocketError(int code) {
  return SocketErrorMeaning(code) + " (socket error " + std::to_string(code) + ")";
}

int SocketErrorFromErrno(int err) {
  switch (err) {
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
      return 10013;
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
      return 10024;
    case ENFILE:
      return 10024;
    case EAGAIN:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case EPIPE:
      return 10054;  // sending to a peer that is gone
    case ENOBUFS:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    // Name service failures (getaddrinfo codes are negative).
    case EAI_NONAME:
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
    case EAI_NODATA:
      return 11004;
    case EAI_SERVICE:
      return 10109;
    case EAI_FAMILY:
      return 10047;
    case EAI_MEMORY:
      return 10055;
    default:
      return err;
  }
}

TTcpBlockingSocket::TTcpBlockingSocket() = default;

TTcpBlockingSocket::~TTcpBlockingSocket() { Close(); }

void TTcpBlockingSocket::OpenHandle() {
  if (handle_.valid()) return;
  if (Family == TSocketFamily::IPv4) CreateHandle(AF_INET);
  if (Family == TSocketFamily::IPv6) CreateHandle(AF_INET6);
}

bool TTcpBlockingSocket::CreateHandle(int family) {
  if (handle_.valid()) return true;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    SetPlatformError(errno);
    return false;
  }
  handle_.reset(fd);
  familyBeforeHandle_ = Family;
  Family = family == AF_INET6 ? TSocketFamily::IPv6 : TSocketFamily::IPv4;
  ipv6_ = family == AF_INET6;
  lastError_ = 0;
  for (const auto& o : queued_) {
    if (::setsockopt(fd, o.level, o.name, o.value.data(), static_cast<socklen_t>(o.value.size())) !=
        0)
      SetPlatformError(errno);
  }
  queued_.clear();
  return true;
}

void TTcpBlockingSocket::SetOption(int level, int name, const void* value, socklen_t size) {
  if (!handle_.valid()) {
    const char* p = static_cast<const char*>(value);
    queued_.push_back({level, name, std::vector<char>(p, p + size)});
    return;
  }
  lastError_ = 0;
  if (::setsockopt(handle_.get(), level, name, value, size) != 0) SetPlatformError(errno);
}

void TTcpBlockingSocket::EnableLinger(bool on, int milliseconds) {
  linger l{};
  l.l_onoff = on ? 1 : 0;
  l.l_linger = milliseconds / 1000;
  SetOption(SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

void TTcpBlockingSocket::SetReceiveBufferSize(int bytes) {
  SetOption(SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void TTcpBlockingSocket::SetSendBufferSize(int bytes) {
  SetOption(SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

bool TTcpBlockingSocket::Resolve(const std::string& host, const std::string& port, bool passive,
                                 sockaddr_storage& out, socklen_t& outSize) {
  int family = AF_UNSPEC;
  if (Family == TSocketFamily::IPv4) family = AF_INET;
  if (Family == TSocketFamily::IPv6) family = AF_INET6;
  const bool anyV4 = host == "0.0.0.0";
  const bool anyV6 = host == "::0" || host == "::";
  if (family == AF_UNSPEC) {
    if (anyV4 || IsNumericIPv4(host))
      family = AF_INET;
    else if (anyV6 || IsNumericIPv6(host))
      family = AF_INET6;
  }
  auto tryFamily = [&](int fam) -> int {
    addrinfo hints{};
    hints.ai_family = fam;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    const bool everyAddress = (fam == AF_INET && anyV4) || (fam == AF_INET6 && anyV6);
    if (everyAddress && passive) hints.ai_flags |= AI_PASSIVE;
    addrinfo* res = nullptr;
    const int rc =
        getaddrinfo(everyAddress && passive ? nullptr : host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) return rc == EAI_SYSTEM ? errno : rc;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(res, freeaddrinfo);
    std::memcpy(&out, res->ai_addr, res->ai_addrlen);
    outSize = res->ai_addrlen;
    return 0;
  };
  int rc = 0;
  if (family != AF_UNSPEC) {
    rc = tryFamily(family);
  } else {
    const int first = PreferIP4 ? AF_INET : AF_INET6;
    const int second = PreferIP4 ? AF_INET6 : AF_INET;
    rc = tryFamily(first);
    if (rc != 0) rc = tryFamily(second);
  }
  if (rc != 0) {
    SetPlatformError(rc);
    return false;
  }
  return true;
}

void TTcpBlockingSocket::LookUpLocal() const {
  if (!localUnknown_) return;
  localUnknown_ = false;
  localSize_ = sizeof local_;
  if (::getsockname(handle_.get(), reinterpret_cast<sockaddr*>(&local_), &localSize_) != 0)
    localSize_ = 0;
}

void TTcpBlockingSocket::RecordAddresses() {
  localUnknown_ = true;
  LookUpLocal();
  remoteSize_ = sizeof remote_;
  if (::getpeername(handle_.get(), reinterpret_cast<sockaddr*>(&remote_), &remoteSize_) != 0)
    remoteSize_ = 0;
}

void TTcpBlockingSocket::Bind(const std::string& address, const std::string& port) {
  lastError_ = 0;
  if (!handle_.valid() && Family == TSocketFamily::Any && address == "0.0.0.0" && port == "0")
    return;
  sockaddr_storage addr{};
  socklen_t size = 0;
  if (!Resolve(address, port, true, addr, size)) return;
  if (!CreateHandle(addr.ss_family)) return;
  if (::bind(handle_.get(), reinterpret_cast<const sockaddr*>(&addr), size) != 0) {
    SetPlatformError(errno);
    return;
  }
  RecordAddresses();
  pending_.clear();
}

void TTcpBlockingSocket::Listen() {
  lastError_ = 0;
  if (::listen(handle_.get(), INT_MAX) != 0) {
    SetPlatformError(errno);
    return;
  }
  RecordAddresses();
}

bool TTcpBlockingSocket::WaitReadable(int milliseconds) {
  pollfd p{handle_.get(), POLLIN, 0};
  if (!handle_.valid()) {
    lastError_ = SocketError::NotSocket;
    return false;
  }
  const auto start = Clock::now();
  for (;;) {
    int wait = milliseconds;
    if (milliseconds >= 0) wait = std::max(0, milliseconds - ElapsedMs(start));
    const int rc = ::poll(&p, 1, wait);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) {
      SetPlatformError(errno);
      return false;
    }
  }
}

UniqueFd TTcpBlockingSocket::Accept() {
  lastError_ = 0;
  remoteSize_ = sizeof remote_;
  const int fd = RetryEintr([&] {
    return ::accept4(handle_.get(), reinterpret_cast<sockaddr*>(&remote_), &remoteSize_,
                     SOCK_CLOEXEC);
  });
  if (fd < 0) {
    remoteSize_ = 0;
    SetPlatformError(errno);
    return UniqueFd();
  }
  return UniqueFd(fd);
}

void TTcpBlockingSocket::AdoptHandle(UniqueFd handle, const sockaddr_storage* peer,
                                     socklen_t peerSize) {
  Close();
  handle_ = std::move(handle);
  lastError_ = 0;
  if (peer && peerSize > 0 && peerSize <= sizeof remote_) {
    remote_ = *peer;
    remoteSize_ = peerSize;
    localSize_ = 0;
    localUnknown_ = true;
    // Both ends of a connection are of one family.
    ipv6_ = peer->ss_family == AF_INET6;
  } else {
    RecordAddresses();
    ipv6_ = localSize_ != 0 && local_.ss_family == AF_INET6;
  }
  familyBeforeHandle_ = Family;
  pending_.clear();
  lastCR_ = lastLF_ = false;
}

void TTcpBlockingSocket::Connect(const std::string& host, const std::string& port) {
  lastError_ = 0;
  sockaddr_storage addr{};
  socklen_t size = 0;
  if (!Resolve(host, port, false, addr, size)) return;
  if (!CreateHandle(addr.ss_family)) return;
  // With a deadline the connection is made without blocking and waited for
  // until the deadline at most.
  const int flags = deadline_ ? ::fcntl(handle_.get(), F_GETFL) : -1;
  if (flags >= 0) ::fcntl(handle_.get(), F_SETFL, flags | O_NONBLOCK);
  const int rc = ::connect(handle_.get(), reinterpret_cast<const sockaddr*>(&addr), size);
  const int connectErrno = errno;
  if (rc != 0) {
    if (connectErrno != EINTR && connectErrno != EINPROGRESS) {
      if (flags >= 0) ::fcntl(handle_.get(), F_SETFL, flags);
      SetPlatformError(connectErrno);
      return;
    }
    // Under way in the background: wait for it.
    pollfd p{handle_.get(), POLLOUT, 0};
    for (;;) {
      int wait = -1;
      if (deadline_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now())
                .count();
        wait = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
      }
      const int ready = ::poll(&p, 1, wait);
      if (ready > 0) break;
      if (ready == 0) {
        if (flags >= 0) ::fcntl(handle_.get(), F_SETFL, flags);
        lastError_ = SocketError::TimedOut;
        return;
      }
      if (errno != EINTR) break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(handle_.get(), SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      if (flags >= 0) ::fcntl(handle_.get(), F_SETFL, flags);
      SetPlatformError(err);
      return;
    }
  }
  if (flags >= 0) ::fcntl(handle_.get(), F_SETFL, flags);
  RecordAddresses();
  pending_.clear();
  lastCR_ = lastLF_ = false;
}

void TTcpBlockingSocket::ConnectSecure() { lastError_ = SocketError::NoSecureTransport; }

int TTcpBlockingSocket::PendingBytes() const {
  if (!handle_.valid()) return 0;
  int n = 0;
  if (::ioctl(handle_.get(), FIONREAD, &n) != 0) return 0;
  return std::clamp(n, 0, NetLimits::kMaxPacket);
}

bool TTcpBlockingSocket::ReceiveNow(std::string& out) {
  // One packet's worth at most, as PendingBytes counts it.
  thread_local char buffer[NetLimits::kMaxPacket];
  const ssize_t n =
      RetryEintr([&] { return ::recv(handle_.get(), buffer, sizeof buffer, MSG_DONTWAIT); });
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  if (n < 0) {
    SetPlatformError(errno);
  } else if (n == 0) {
    lastError_ = SocketError::PeerClosed;
  } else {
    out.assign(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool TTcpBlockingSocket::WaitForData(int milliseconds) {
  int wait = milliseconds;
  if (deadline_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
    if (left <= 0) {
      lastError_ = SocketError::TimedOut;
      return false;
    }
    wait = wait < 0 ? static_cast<int>(std::min<long long>(left, INT_MAX))
                    : static_cast<int>(std::min<long long>(wait, left));
  }
  if (WaitReadable(wait)) return true;
  if (lastError_ == 0) lastError_ = SocketError::TimedOut;
  return false;
}

std::string TTcpBlockingSocket::ReceivePacket(int milliseconds) {
  lastError_ = 0;
  std::string result;
  if (!pending_.empty()) {
    result.swap(pending_);
  } else if (!handle_.valid()) {
    lastError_ = SocketError::NotSocket;
    return {};
  } else {
    // What has arrived is taken at once; only an empty queue is waited on. No
    // yield before asking: on a busy machine a yield gives the processor away
    // for a whole time slice per packet.
    while (!ReceiveNow(result) && WaitForData(milliseconds)) {
    }
  }
  if (ConvertLineEnd && !result.empty()) {
    if (lastCR_ && result.front() == '\n')
      result.erase(0, 1);
    else if (lastLF_ && result.front() == '\r')
      result.erase(0, 1);
    lastCR_ = lastLF_ = false;
  }
  return result;
}

std::string TTcpBlockingSocket::ReceiveUntil(int milliseconds, std::string_view terminator) {
  lastError_ = 0;
  if (terminator.empty()) return {};
  const bool anyLineEnd = ConvertLineEnd && terminator == "\r\n";
  // Bytes at the end of what was searched that may begin a terminator.
  const std::size_t overlap = anyLineEnd ? 0 : terminator.size() - 1;
  const auto start = Clock::now();
  std::string collected;
  bool found = false;
  std::size_t at = 0;
  std::size_t endLength = 0;
  for (;;) {
    int wait = milliseconds;
    if (!InterPacketTimeout) {
      wait = milliseconds - ElapsedMs(start);
      if (wait <= 0) {
        lastError_ = SocketError::TimedOut;
        break;
      }
    }
    const std::size_t before = collected.size();
    collected += ReceivePacket(wait);
    if (lastError_ != 0) break;
    // Only the new bytes (plus a possible partial terminator) are searched.
    const std::size_t from = before > overlap ? before - overlap : 0;
    if (anyLineEnd) {
      const std::size_t i = collected.find_first_of("\r\n", from);
      if (i != std::string::npos) {
        found = true;
        at = i;
        endLength = 1;
        if (i + 1 < collected.size()) {
          const char next = collected[i + 1];
          if ((collected[i] == '\r' && next == '\n') || (collected[i] == '\n' && next == '\r'))
            endLength = 2;
        } else if (collected[i] == '\r') {
          lastCR_ = true;
        } else {
          lastLF_ = true;
        }
      }
    } else {
      const std::size_t i = collected.find(terminator, from);
      if (i != std::string::npos) {
        found = true;
        at = i;
        endLength = terminator.size();
      }
    }
    if (MaxLineLength > 0) {
      const std::size_t lineLength = found ? at : collected.size() - overlap;
      if (collected.size() > overlap && lineLength > static_cast<std::size_t>(MaxLineLength)) {
        found = false;
        lastCR_ = lastLF_ = false;
        lastError_ = SocketError::LineTooLong;
        break;
      }
    }
    if (found) break;
  }
  if (!found) {
    pending_ = std::move(collected);
    return {};
  }
  pending_ = collected.substr(at + endLength);
  collected.resize(at);
  return collected;
}

bool TTcpBlockingSocket::ReceiveUntilToSink(int milliseconds, std::string_view terminator,
                                            const TSink& sink) {
  lastError_ = 0;
  if (terminator.empty()) return true;
  const std::size_t keep = terminator.size() - 1;
  const auto start = Clock::now();
  std::string window;  // bytes not yet handed out; at most keep at loop start
  for (;;) {
    int wait = milliseconds;
    if (!InterPacketTimeout) {
      wait = milliseconds - ElapsedMs(start);
      if (wait <= 0) {
        lastError_ = SocketError::TimedOut;
        pending_ = std::move(window);
        return false;
      }
    }
    window += ReceivePacket(wait);
    if (lastError_ != 0) {
      pending_ = std::move(window);
      return false;
    }
    const std::size_t i = window.find(terminator);
    if (i != std::string::npos) {
      const bool ok = i == 0 || sink(window.data(), i);
      pending_ = window.substr(i + terminator.size());
      return ok;
    }
    if (window.size() > keep) {
      const std::size_t out = window.size() - keep;
      if (!sink(window.data(), out)) return false;
      window.erase(0, out);
    }
  }
}

std::string TTcpBlockingSocket::ReceiveLine(int milliseconds) {
  std::string line = ReceiveUntil(milliseconds, "\r\n");
  if (lastError_ != 0) return {};
  return line;
}

int TTcpBlockingSocket::ReceiveExact(void* buffer, int count, int milliseconds) {
  lastError_ = 0;
  if (count <= 0) return 0;
  char* out = static_cast<char*>(buffer);
  const auto start = Clock::now();
  int stored = 0;
  while (stored < count) {
    int wait = milliseconds;
    if (!InterPacketTimeout) {
      wait = milliseconds - ElapsedMs(start);
      if (wait <= 0) {
        lastError_ = SocketError::TimedOut;
        break;
      }
    }
    std::string packet = ReceivePacket(wait);
    const int take = std::min(static_cast<int>(packet.size()), count - stored);
    std::memcpy(out + stored, packet.data(), static_cast<std::size_t>(take));
    stored += take;
    if (static_cast<std::size_t>(take) < packet.size()) pending_ = packet.substr(take);
    if (lastError_ != 0) break;
  }
  return stored;
}

void TTcpBlockingSocket::ReceiveToStream(std::ostream& stream, int milliseconds,
                                         std::int64_t size) {
  std::vector<char> block(static_cast<std::size_t>(std::max(SendMaxChunk, 1)));
  lastError_ = 0;
  while (size > 0) {
    const int want = static_cast<int>(std::min<std::int64_t>(size, SendMaxChunk));
    const int got = ReceiveExact(block.data(), want, milliseconds);
    if (lastError_ != 0) return;
    stream.write(block.data(), got);
    size -= got;
  }
}

void TTcpBlockingSocket::ReceiveToStream(std::string& text, int milliseconds, std::int64_t size) {
  std::vector<char> block(static_cast<std::size_t>(std::max(SendMaxChunk, 1)));
  lastError_ = 0;
  while (size > 0) {
    const int want = static_cast<int>(std::min<std::int64_t>(size, SendMaxChunk));
    const int got = ReceiveExact(block.data(), want, milliseconds);
    if (lastError_ != 0) return;
    text.append(block.data(), static_cast<std::size_t>(got));
    size -= got;
  }
}

int TTcpBlockingSocket::SendBytes(const void* buffer, int count, bool more) {
  lastError_ = 0;
  if (!handle_.valid()) {
    lastError_ = SocketError::NotSocket;
    return 0;
  }
  const char* p = static_cast<const char*>(buffer);
  const int chunk = std::max(SendMaxChunk, 1);
  int sent = 0;
  const int flags = MSG_NOSIGNAL | (SendTimeoutMs > 0 ? MSG_DONTWAIT : 0) | (more ? MSG_MORE : 0);
  while (sent < count) {
    const int want = std::min(chunk, count - sent);
    const ssize_t n = RetryEintr(
        [&] { return ::send(handle_.get(), p + sent, static_cast<std::size_t>(want), flags); });
    if (n < 0 && SendTimeoutMs > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitWritable(SendTimeoutMs)) break;
      continue;
    }
    if (n < 0) {
      SetPlatformError(errno);
      break;
    }
    sent += static_cast<int>(n);
  }
  return sent;
}

bool TTcpBlockingSocket::WaitWritable(int milliseconds) {
  pollfd p{handle_.get(), POLLOUT, 0};
  const auto start = Clock::now();
  for (;;) {
    const int rc = ::poll(&p, 1, std::max(0, milliseconds - ElapsedMs(start)));
    if (rc > 0) return true;
    if (rc == 0) {
      lastError_ = SocketError::TimedOut;
      return false;
    }
    if (errno != EINTR) {
      SetPlatformError(errno);
      return false;
    }
  }
}

std::int64_t TTcpBlockingSocket::SendFile(int fd, std::int64_t offset, std::int64_t count) {
  lastError_ = 0;
  if (!handle_.valid()) {
    lastError_ = SocketError::NotSocket;
    return 0;
  }
  // With a send time-out the socket must not block inside sendfile; it waits
  // for room in WaitWritable instead, and is blocking again afterwards.
  const int flags = ::fcntl(handle_.get(), F_GETFL);
  const bool nonBlocking = SendTimeoutMs > 0 && flags >= 0 && !(flags & O_NONBLOCK);
  if (nonBlocking) ::fcntl(handle_.get(), F_SETFL, flags | O_NONBLOCK);
  off_t position = static_cast<off_t>(offset);
  const off_t end = position + static_cast<off_t>(count);
  bool usable = true;
  while (position < end) {
    const auto piece =
        static_cast<std::size_t>(std::min<off_t>(end - position, NetLimits::kSendFileChunk));
    const ssize_t n = RetryEintr([&] { return ::sendfile(handle_.get(), fd, &position, piece); });
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && SendTimeoutMs > 0) {
      if (!WaitWritable(SendTimeoutMs)) break;
      continue;
    }
    if (n < 0 && position == offset &&
        (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ESPIPE)) {
      usable = false;
      break;
    }
    if (n < 0) {
      SetPlatformError(errno);
      break;
    }
    if (n == 0) break;  // the file is shorter than it was
  }
  if (nonBlocking) ::fcntl(handle_.get(), F_SETFL, flags);
  return usable ? position - static_cast<off_t>(offset) : -1;
}

void TTcpBlockingSocket::SendText(std::string_view text, bool more) {
  SendBytes(text.data(), static_cast<int>(text.size()), more);
}

int TTcpBlockingSocket::SendTexts(std::string_view first, std::string_view second, bool more) {
  lastError_ = 0;
  if (!handle_.valid()) {
    lastError_ = SocketError::NotSocket;
    return 0;
  }
  const std::size_t total = first.size() + second.size();
  if (first.empty() || second.empty() || total > static_cast<std::size_t>(SendMaxChunk)) {
    const int a = SendBytes(first.data(), static_cast<int>(first.size()), more || !second.empty());
    if (lastError_ != 0 || a != static_cast<int>(first.size())) return a;
    return a + SendBytes(second.data(), static_cast<int>(second.size()), more);
  }
  iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                    {const_cast<char*>(second.data()), second.size()}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  const int flags = MSG_NOSIGNAL | (SendTimeoutMs > 0 ? MSG_DONTWAIT : 0) | (more ? MSG_MORE : 0);
  ssize_t n = RetryEintr([&] { return ::sendmsg(handle_.get(), &message, flags); });
  if (n < 0 && SendTimeoutMs > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    n = 0;  // no room yet: the rest below waits for it
  } else if (n < 0) {
    SetPlatformError(errno);
    return 0;
  }
  // What did not fit goes out as SendBytes sends, waiting for room.
  std::size_t sent = static_cast<std::size_t>(n);
  if (sent < first.size()) {
    const std::string_view rest = first.substr(sent);
    sent += static_cast<std::size_t>(SendBytes(rest.data(), static_cast<int>(rest.size()), true));
    if (lastError_ != 0 || sent < first.size()) return static_cast<int>(sent);
  }
  if (sent < total) {
    const std::string_view rest = second.substr(sent - first.size());
    sent += static_cast<std::size_t>(SendBytes(rest.data(), static_cast<int>(rest.size()), more));
  }
  return static_cast<int>(sent);
}

void TTcpBlockingSocket::Close() {
  // A request read whole with nothing after it needs no lingering close: the
  // close sends the same end of stream that a shutdown would.
  const bool lingering = handle_.valid() && lastError_ == 0 &&
                         (!inputComplete_ || !pending_.empty() || PendingBytes() > 0);
  if (lingering) {
    ::shutdown(handle_.get(), SHUT_WR);
    bool unread = !pending_.empty() || PendingBytes() > 0;
    if (!inputComplete_ || unread) {
      SleepMs(NetLimits::kClosePurgeDelayMs);
      unread = true;  // late input is looked for below
    }
    std::size_t purged = 0;
    while (unread && (!pending_.empty() || PendingBytes() > 0) &&
           purged < NetLimits::kMaxClosePurgeBytes) {
      purged += ReceivePacket(0).size();
      if (lastError_ != 0) break;
    }
    lastError_ = 0;
  }
  if (handle_.valid()) Family = familyBeforeHandle_;
  handle_.reset();
  queued_.clear();
  pending_.clear();
  lastCR_ = lastLF_ = false;
  inputComplete_ = false;
  ipv6_ = false;
  localUnknown_ = false;
}

std::string TTcpBlockingSocket::RemoteAddress() const { return NumericHost(remote_, remoteSize_); }
std::string TTcpBlockingSocket::LocalAddress() const {
  LookUpLocal();
  return NumericHost(local_, localSize_);
}
int TTcpBlockingSocket::RemotePort() const { return PortOf(remote_, remoteSize_); }
int TTcpBlockingSocket::LocalPort() const {
  LookUpLocal();
  return PortOf(local_, localSize_);
}
