// Blocking TCP socket with a receive buffer, millisecond time-outs and a
// numeric last-error code. One thread uses an object at a time.
#pragma once

#include "base/UniqueFd.h"
#include "net/NetLimits.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The layer's own error codes; every other non-zero code is a platform error
// mapped into the same number space (see SocketErrorFromErrno).
namespace SocketError {
inline constexpr int PeerClosed = 10054;
inline constexpr int LineTooLong = 10055;
inline constexpr int TimedOut = 10060;
inline constexpr int NoSecureTransport = 10091;
inline constexpr int NotSocket = 10038;
}  // namespace SocketError

// Maps an errno value (or a negative getaddrinfo code) to the socket error
// number used everywhere in the program (ECONNRESET -> 10054, ...). Values
// without a counterpart are returned unchanged.
int SocketErrorFromErrno(int err);

// What a socket error number means, in words a person reads ("the port is
// already in use" for 10048); a general text for numbers without one.
std::string SocketErrorMeaning(int code);
// The meaning followed by the number: "the port is already in use (socket
// error 10048)". Messages keep the number and say what it means.
std::string DescribeSocketError(int code);

enum class TSocketFamily { Any, IPv4, IPv6 };

// Operations never throw: each leaves its outcome in LastErrorCode() (0 on
// success), and results are then empty text, 0 bytes or an invalid handle.
class TTcpBlockingSocket {
 public:
  // Consumer of streamed bytes; returning false stops the receive.
  using TSink = std::function<bool(const char* data, std::size_t size)>;

  TTcpBlockingSocket();
  ~TTcpBlockingSocket();
  TTcpBlockingSocket(const TTcpBlockingSocket&) = delete;
  TTcpBlockingSocket& operator=(const TTcpBlockingSocket&) = delete;

  // Options read by the operations below; change them between operations.
  TSocketFamily Family = TSocketFamily::Any;
  bool PreferIP4 = true;
  // A line read accepts CR, LF, CR LF or LF CR as the line end.
  bool ConvertLineEnd = false;
  // A time-out limits each wait for more data rather than the whole read.
  bool InterPacketTimeout = true;
  // 0 = unlimited; otherwise a terminated read whose text before the
  // terminator is longer than this fails with 10055.
  int MaxLineLength = 0;
  int SendMaxChunk = NetLimits::kSendMaxChunk;
  // 0 = unlimited; otherwise a send that finds no room for this long fails
  // with 10060 (a peer that stops reading cannot hold the sender).
  int SendTimeoutMs = 0;

  // Creation and options.
  void OpenHandle();
  void EnableLinger(bool on, int milliseconds);
  void SetReceiveBufferSize(int bytes);
  void SetSendBufferSize(int bytes);
  // Any option; queued in request order while there is no handle.
  void SetOption(int level, int name, const void* value, socklen_t size);

  // Server side.
  void Bind(const std::string& address, const std::string& port);
  void Listen();
  bool WaitReadable(int milliseconds);
  // Takes one waiting connection; records its peer in this object.
  UniqueFd Accept();
  // peer: the connection's peer as accept gave it, which spares asking the
  // system for it (the local address is then looked up when first asked for).
  void AdoptHandle(UniqueFd handle, const sockaddr_storage* peer = nullptr, socklen_t peerSize = 0);

  // Client side.
  void Connect(const std::string& host, const std::string& port);
  // There is no secure transport: always sets 10091.
  void ConnectSecure();

  // Data transfer. Each receive first sets the error code to 0.
  std::string ReceivePacket(int milliseconds);
  std::string ReceiveUntil(int milliseconds, std::string_view terminator);
  std::string ReceiveLine(int milliseconds);
  int ReceiveExact(void* buffer, int count, int milliseconds);
  void ReceiveToStream(std::ostream& stream, int milliseconds, std::int64_t size);
  void ReceiveToStream(std::string& text, int milliseconds, std::int64_t size);
  // Hands every byte before the next exact occurrence of terminator to sink as
  // it arrives, keeping at most terminator.size() - 1 bytes back, so memory
  // stays bounded however long the text is. The bytes after the terminator
  // become pending input. Returns true when the terminator was found; false on
  // a socket error (LastErrorCode) or when sink refused (LastErrorCode 0).
  bool ReceiveUntilToSink(int milliseconds, std::string_view terminator, const TSink& sink);

  // more: further bytes follow at once, so the kernel may hold these back to
  // send them in the same segments (MSG_MORE).
  int SendBytes(const void* buffer, int count, bool more = false);
  void SendText(std::string_view text, bool more = false);
  // Sends first and then second, both in one system call when they fit in
  // one chunk. Returns the bytes sent of the two together. more as above.
  int SendTexts(std::string_view first, std::string_view second, bool more = false);
  // Sends count bytes of the open file fd, starting at offset, straight from
  // the file's pages (sendfile) and without moving the file's own offset.
  // Waits for room as SendBytes does. Returns the bytes sent: fewer when the
  // socket failed (LastErrorCode) or the file ended early (LastErrorCode 0);
  // -1 when the file cannot be sent this way (nothing sent, no error set).
  std::int64_t SendFile(int fd, std::int64_t offset, std::int64_t count);
  int PendingBytes() const;
  // Whether bytes already received wait in this object's own buffer (a
  // read took more than it returned).
  bool HasBufferedInput() const { return !pending_.empty(); }

  int LastErrorCode() const { return lastError_; }
  void ClearError() { lastError_ = 0; }

  // Graceful close when the last operation succeeded: shuts down sending,
  // waits briefly for late input, discards input that has arrived, then
  // closes (closing with unread input would reset the connection and could
  // cut off the reply). The wait is left out after InputComplete when no
  // input is left unread.
  void Close();
  // The peer has sent everything it means to (a whole request was read), so
  // Close need not wait for late input. Cleared by Close.
  void InputComplete() { inputComplete_ = true; }

  // A bound on every wait of the reads below and of Connect, whatever their
  // own time-outs: once the deadline has passed a wait fails at once with
  // 10060.
  void SetDeadline(std::chrono::steady_clock::time_point deadline) { deadline_ = deadline; }
  void ClearDeadline() { deadline_.reset(); }

  bool IsOpen() const { return handle_.valid(); }
  int Handle() const { return handle_.get(); }
  bool IsIPv6() const { return ipv6_; }
  // Numeric text of the recorded addresses (dotted decimal for IPv4).
  std::string RemoteAddress() const;
  std::string LocalAddress() const;
  int RemotePort() const;
  int LocalPort() const;

 private:
  struct TQueuedOption {
    int level;
    int name;
    std::vector<char> value;
  };

  bool Resolve(const std::string& host, const std::string& port, bool passive,
               sockaddr_storage& out, socklen_t& outSize);
  bool CreateHandle(int family);
  void RecordAddresses();
  // Takes what has arrived (at most kMaxPacket bytes) into out; false when
  // nothing has. A closed or failed connection sets the error code.
  bool ReceiveNow(std::string& out);
  // Waits until readable; false with the error code set on time-out/failure.
  bool WaitForData(int milliseconds);
  // Waits until a send has room; false with the error code set on
  // time-out/failure.
  bool WaitWritable(int milliseconds);
  void SetPlatformError(int err) { lastError_ = SocketErrorFromErrno(err); }

  UniqueFd handle_;
  TSocketFamily familyBeforeHandle_ = TSocketFamily::Any;
  mutable sockaddr_storage local_{};
  mutable socklen_t localSize_ = 0;
  mutable bool localUnknown_ = false;  // local_ is to be looked up
  void LookUpLocal() const;
  sockaddr_storage remote_{};
  socklen_t remoteSize_ = 0;
  bool ipv6_ = false;
  std::string pending_;
  int lastError_ = 0;
  bool lastCR_ = false;
  bool lastLF_ = false;
  bool inputComplete_ = false;
  std::vector<TQueuedOption> queued_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};
