// Loopback tests of the blocking socket: terminated reads, pending input,
// line-end conversion, limits, time-outs and the close sequence.
#include "net/tcpsocket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const int kSmallBuffer = 64 * 1024;

// A connected pair over loopback: `sock` is the object under test (an
// adopted, accepted connection), `peer` is a raw descriptor for the other end.
class SocketPair : public ::testing::Test {
 protected:
  void SetUp() override {
    TTcpBlockingSocket listener;
    listener.Bind("127.0.0.1", "0");
    ASSERT_EQ(0, listener.LastErrorCode());
    listener.Listen();
    ASSERT_EQ(0, listener.LastErrorCode());
    peer.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(listener.LocalPort()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::connect(peer.get(), reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_TRUE(listener.WaitReadable(2000));
    UniqueFd accepted = listener.Accept();
    ASSERT_TRUE(accepted.valid());
    sock.AdoptHandle(std::move(accepted));
  }

  void PeerSend(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              ::send(peer.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }

  // Everything the peer receives until the object under test closes.
  std::string PeerReadAll() {
    std::string all;
    char buf[65536];
    for (;;) {
      const ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      all.append(buf, static_cast<std::size_t>(n));
    }
    return all;
  }

  TTcpBlockingSocket sock;
  UniqueFd peer;
};

TEST_F(SocketPair, LineThenSilenceKeepsTheRestPending) {
  PeerSend("abc\r\ndef");
  EXPECT_EQ("abc", sock.ReceiveLine(1000));
  EXPECT_EQ(0, sock.LastErrorCode());
  EXPECT_EQ("", sock.ReceiveLine(100));
  EXPECT_EQ(SocketError::TimedOut, sock.LastErrorCode());
  EXPECT_EQ("def", sock.ReceivePacket(100));
  EXPECT_EQ(0, sock.LastErrorCode());
}

TEST_F(SocketPair, PeerClosingDuringALineIsReported) {
  PeerSend("abc");
  peer.reset();
  EXPECT_EQ("", sock.ReceiveLine(2000));
  EXPECT_EQ(SocketError::PeerClosed, sock.LastErrorCode());
}

TEST_F(SocketPair, TerminatorSplitAtEveryOffsetIsFound) {
  const std::string text = "GET / HTTP/1.0\r\nHost: x\r\n\r\nBODY";
  for (std::size_t cut = 1; cut < text.size(); ++cut) {
    SCOPED_TRACE(cut);
    PeerSend(text.substr(0, cut));
    std::thread late([&] {
      std::this_thread::sleep_for(5ms);
      PeerSend(text.substr(cut));
    });
    EXPECT_EQ("GET / HTTP/1.0\r\nHost: x", sock.ReceiveUntil(2000, "\r\n\r\n"));
    late.join();
    EXPECT_EQ(0, sock.LastErrorCode());
    std::string rest;
    while (rest.size() < 4 && sock.LastErrorCode() == 0) rest += sock.ReceivePacket(1000);
    EXPECT_EQ("BODY", rest);
  }
}

TEST_F(SocketPair, ConvertedLineEnds) {
  sock.ConvertLineEnd = true;
  // A lone CR inside one packet ends the line; the next letter starts the next.
  PeerSend("a\rb\r\n");
  EXPECT_EQ("a", sock.ReceiveLine(1000));
  EXPECT_EQ("b", sock.ReceiveLine(1000));
  // CR at the end of one packet, LF at the start of the next: the LF is dropped.
  PeerSend("c\r");
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ("c", sock.ReceiveLine(1000));
  PeerSend("\nd\n");
  EXPECT_EQ("d", sock.ReceiveLine(1000));
  // LF CR is one line end; a lone LF is one too.
  PeerSend("e\n\rf\ng\r\n");
  EXPECT_EQ("e", sock.ReceiveLine(1000));
  EXPECT_EQ("f", sock.ReceiveLine(1000));
  EXPECT_EQ("g", sock.ReceiveLine(1000));
}

TEST_F(SocketPair, WithoutConversionOnlyCrLfEndsALine) {
  PeerSend("a\nb\rc\r\n");
  EXPECT_EQ("a\nb\rc", sock.ReceiveLine(1000));
}

TEST_F(SocketPair, ExactReadLeavesTheSurplusPending) {
  PeerSend("0123456789ABCDE");
  char buf[10];
  EXPECT_EQ(10, sock.ReceiveExact(buf, 10, 1000));
  EXPECT_EQ("0123456789", std::string(buf, 10));
  EXPECT_EQ("ABCDE", sock.ReceiveLine(50) + sock.ReceivePacket(50));
}

TEST_F(SocketPair, EmptyRequestsReturnWithoutWaiting) {
  // Nothing was sent: a wait would end in a time-out error.
  EXPECT_EQ("", sock.ReceiveUntil(5000, ""));
  EXPECT_EQ(0, sock.LastErrorCode());
  char c;
  EXPECT_EQ(0, sock.ReceiveExact(&c, 0, 5000));
  EXPECT_EQ(0, sock.LastErrorCode());
}

TEST_F(SocketPair, ExactReadStopsWhenThePeerCloses) {
  PeerSend("1234");
  peer.reset();
  char buf[10];
  EXPECT_EQ(4, sock.ReceiveExact(buf, 10, 2000));
  EXPECT_EQ(SocketError::PeerClosed, sock.LastErrorCode());
}

TEST_F(SocketPair, LineLengthLimitCountsTheLineOnly) {
  sock.MaxLineLength = 8;
  // At the limit, with more bytes in the same packet: accepted.
  PeerSend("12345678\r\nnext line is longer\r\n");
  EXPECT_EQ("12345678", sock.ReceiveLine(1000));
  EXPECT_EQ(0, sock.LastErrorCode());
  // One past it: refused with 10055.
  EXPECT_EQ("", sock.ReceiveLine(1000));
  EXPECT_EQ(SocketError::LineTooLong, sock.LastErrorCode());
  // A line that grows past the limit without a terminator is refused too.
  EXPECT_EQ("next line is longer\r\n", sock.ReceivePacket(100));  // kept pending
  sock.MaxLineLength = 4;
  PeerSend("abcdefgh");
  EXPECT_EQ("", sock.ReceiveLine(1000));
  EXPECT_EQ(SocketError::LineTooLong, sock.LastErrorCode());
}

TEST_F(SocketPair, LimitAtExactlyTheLineWithTheTerminatorArrivingLater) {
  sock.MaxLineLength = 8;
  PeerSend("12345678\r");
  std::thread late([&] {
    std::this_thread::sleep_for(20ms);
    PeerSend("\n");
  });
  EXPECT_EQ("12345678", sock.ReceiveLine(2000));
  late.join();
  EXPECT_EQ(0, sock.LastErrorCode());
}

TEST_F(SocketPair, WholeReadTimeLimitWithoutInterPacketTimeout) {
  sock.InterPacketTimeout = false;
  // A byte every 50 ms for 2 s: no single wait runs out, the whole read does.
  std::atomic<int> sent{0};
  std::atomic<bool> stop{false};
  std::thread dribble([&] {
    for (int i = 0; i < 40 && !stop; ++i) {
      std::this_thread::sleep_for(50ms);
      ::send(peer.get(), "x", 1, MSG_NOSIGNAL);
      ++sent;
    }
  });
  EXPECT_EQ("", sock.ReceiveLine(200));
  EXPECT_EQ(SocketError::TimedOut, sock.LastErrorCode());
  EXPECT_LT(sent.load(), 40);
  stop = true;
  dribble.join();
}

TEST_F(SocketPair, DeadlineCutsOffADribblingPeer) {
  sock.SetDeadline(std::chrono::steady_clock::now() + 200ms);
  std::thread dribble([&] {
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(50ms);
      ::send(peer.get(), "x", 1, MSG_NOSIGNAL);
    }
  });
  EXPECT_EQ("", sock.ReceiveLine(1000));
  EXPECT_EQ(SocketError::TimedOut, sock.LastErrorCode());
  dribble.join();
  // Everything that arrived in time is still pending.
  sock.ClearDeadline();
  const std::string rest = sock.ReceivePacket(100);
  EXPECT_FALSE(rest.empty());
  EXPECT_EQ(std::string(rest.size(), 'x'), rest);
}

TEST_F(SocketPair, SinkReceivesEverythingBeforeTheTerminator) {
  const std::string delimiter = "\r\n--boundary";
  const std::string content(200000, 'q');
  const std::string text = content + delimiter + "tail";
  for (std::size_t cut : {std::size_t{1}, content.size() - 3, content.size() + 5,
                          content.size() + delimiter.size()}) {
    SCOPED_TRACE(cut);
    std::thread writer([&] {
      PeerSend(text.substr(0, cut));
      std::this_thread::sleep_for(10ms);
      PeerSend(text.substr(cut));
    });
    std::string got;
    std::size_t largestHeld = 0;
    const bool found = sock.ReceiveUntilToSink(2000, delimiter, [&](const char* d, std::size_t n) {
      got.append(d, n);
      largestHeld = std::max(largestHeld, n);
      return true;
    });
    writer.join();
    EXPECT_TRUE(found);
    EXPECT_EQ(content.size(), got.size());
    EXPECT_TRUE(got == content);
    EXPECT_LE(largestHeld, 65536u + delimiter.size());
    std::string rest;
    while (rest.size() < 4 && sock.LastErrorCode() == 0) rest += sock.ReceivePacket(1000);
    EXPECT_EQ("tail", rest);
  }
}

TEST_F(SocketPair, SinkStopsOnTimeOutAndOnRefusal) {
  PeerSend("abcdef");
  std::string got;
  EXPECT_FALSE(sock.ReceiveUntilToSink(100, "--end", [&](const char* d, std::size_t n) {
    got.append(d, n);
    return true;
  }));
  EXPECT_EQ(SocketError::TimedOut, sock.LastErrorCode());
  EXPECT_EQ("ab", got);  // the last 4 bytes could begin the terminator
  PeerSend("ghij");
  EXPECT_FALSE(
      sock.ReceiveUntilToSink(1000, "--end", [](const char*, std::size_t) { return false; }));
  EXPECT_EQ(0, sock.LastErrorCode());
}

TEST_F(SocketPair, ReceiveToStreamTakesExactlyTheSize) {
  sock.SendMaxChunk = 7;
  PeerSend("0123456789abcdefXYZ");
  std::ostringstream out;
  sock.ReceiveToStream(out, 1000, 16);
  EXPECT_EQ(0, sock.LastErrorCode());
  EXPECT_EQ("0123456789abcdef", out.str());
  std::string text;
  sock.ReceiveToStream(text, 1000, 3);
  EXPECT_EQ("XYZ", text);
}

TEST_F(SocketPair, SendsArriveWholeAndCloseEndsTheStream) {
  std::string big(1 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  std::string received;
  std::thread reader([&] { received = PeerReadAll(); });
  sock.SendText("head\r\n");
  EXPECT_EQ(static_cast<int>(big.size()), sock.SendBytes(big.data(), static_cast<int>(big.size())));
  EXPECT_EQ(0, sock.LastErrorCode());
  sock.Close();
  reader.join();
  EXPECT_FALSE(sock.IsOpen());
  EXPECT_TRUE(received == "head\r\n" + big);
}

TEST_F(SocketPair, CloseDiscardsInputThatHasArrived) {
  PeerSend("unread request bytes");
  std::this_thread::sleep_for(20ms);
  sock.Close();
  EXPECT_EQ(0, sock.LastErrorCode());
  // A graceful close (FIN), not a reset: the peer reads end of stream.
  char c;
  EXPECT_EQ(0, ::recv(peer.get(), &c, 1, 0));
}

TEST_F(SocketPair, SendToAClosedPeerFails) {
  peer.reset();
  std::this_thread::sleep_for(20ms);
  const std::string data(256 * 1024, 'z');
  for (int i = 0; i < 50 && sock.LastErrorCode() == 0; ++i)
    sock.SendBytes(data.data(), static_cast<int>(data.size()));
  EXPECT_EQ(SocketError::PeerClosed, sock.LastErrorCode());
}

TEST_F(SocketPair, SendTimeOutStopsAtAPeerThatNeverReads) {
  sock.SendTimeoutMs = 200;
  // Far more than both kernels' buffers on loopback can hold.
  std::string big(64 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 12));
  const int sent = sock.SendBytes(big.data(), static_cast<int>(big.size()));
  EXPECT_EQ(SocketError::TimedOut, sock.LastErrorCode());
  ASSERT_GT(sent, 0);
  ASSERT_LT(sent, static_cast<int>(big.size()));
  // The count is what the peer gets: the bytes already handed over, no more.
  sock.Close();
  const std::string received = PeerReadAll();
  EXPECT_EQ(static_cast<std::size_t>(sent), received.size());
  EXPECT_TRUE(big.compare(0, received.size(), received) == 0);
}

TEST_F(SocketPair, SendTimeOutBoundsEachWaitNotTheWholeSend) {
  sock.SendTimeoutMs = 1000;
  sock.SetSendBufferSize(kSmallBuffer);
  ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &kSmallBuffer, sizeof kSmallBuffer);
  // At most 64 KiB a read and 15 ms between reads: about 2 s in all.
  const std::string big(8 << 20, 'q');
  std::string received;
  // A slow reader: every read is soon enough, the whole send takes longer.
  std::thread reader([&] {
    char buf[65536];
    for (;;) {
      std::this_thread::sleep_for(15ms);
      const ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      received.append(buf, static_cast<std::size_t>(n));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(static_cast<int>(big.size()), sock.SendBytes(big.data(), static_cast<int>(big.size())));
  EXPECT_EQ(0, sock.LastErrorCode());
  const auto took = std::chrono::steady_clock::now() - start;
  sock.Close();
  reader.join();
  EXPECT_EQ(big.size(), received.size());
  EXPECT_GT(took, 1000ms);  // else the case would not show anything
}

// An unlinked temporary file holding bytes.
UniqueFd TemporaryFile(const std::string& bytes) {
  char path[] = "/tmp/mirelo-sendfile-XXXXXX";
  UniqueFd fd(::mkstemp(path));
  ::unlink(path);
  if (!fd.valid() ||
      ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    return UniqueFd();
  }
  return fd;
}

std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + (i >> 12));
  return bytes;
}

TEST_F(SocketPair, SendFileSendsTheRangeToASlowReader) {
  // Many pieces and many waits for room; the file's own offset stays put and
  // the socket is blocking again afterwards.
  const std::string bytes = PatternBytes(3 << 20);
  UniqueFd file = TemporaryFile(bytes);
  ASSERT_TRUE(file.valid());
  ASSERT_EQ(5, ::lseek(file.get(), 5, SEEK_SET));
  sock.SendTimeoutMs = 1000;
  sock.SetSendBufferSize(kSmallBuffer);
  ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &kSmallBuffer, sizeof kSmallBuffer);
  std::string received;
  std::thread reader([&] {
    char buf[65536];
    for (;;) {
      std::this_thread::sleep_for(1ms);
      const ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      received.append(buf, static_cast<std::size_t>(n));
    }
  });
  const std::int64_t count = static_cast<std::int64_t>(bytes.size()) - 1001;
  EXPECT_EQ(count, sock.SendFile(file.get(), 1000, count));
  EXPECT_EQ(0, sock.LastErrorCode());
  EXPECT_EQ(5, ::lseek(file.get(), 0, SEEK_CUR));
  EXPECT_EQ(0, ::fcntl(sock.Handle(), F_GETFL) & O_NONBLOCK);
  sock.Close();
  reader.join();
  EXPECT_TRUE(received == bytes.substr(1000, static_cast<std::size_t>(count)));
}

// Two texts leave in order and whole, whether they fit in one call, the
// first is empty, the second is, or they exceed one chunk; a slow reader with
// small buffers makes the kernel take only part of a call.
TEST_F(SocketPair, TwoTextsArriveInOrderWhole) {
  sock.SendTimeoutMs = 1000;
  sock.SetSendBufferSize(4096);
  const int small = 4096;
  ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string bytes = PatternBytes(200 * 1000);
  struct Case {
    std::size_t first, second;
  };
  const Case cases[] = {{180, 18000}, {0, 500}, {300, 0}, {9000, 50000}, {200, 70000}, {1, 1}};
  std::string expected;
  std::string received;
  std::thread reader([&] {
    char buf[4096];
    for (;;) {
      std::this_thread::sleep_for(1ms);
      const ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      received.append(buf, static_cast<std::size_t>(n));
    }
  });
  std::size_t at = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " + " + std::to_string(c.second));
    const std::string first = bytes.substr(at, c.first);
    const std::string second = bytes.substr(at + c.first, c.second);
    at += c.first + c.second;
    EXPECT_EQ(static_cast<int>(c.first + c.second), sock.SendTexts(first, second));
    EXPECT_EQ(0, sock.LastErrorCode());
    expected += first + second;
  }
  sock.Close();
  reader.join();
  EXPECT_EQ(expected.size(), received.size());
  EXPECT_TRUE(received == expected);
}

TEST_F(SocketPair, SendFileStopsAtAPeerThatNeverReads) {
  const std::string bytes = PatternBytes(64 << 20);
  UniqueFd file = TemporaryFile(bytes);
  ASSERT_TRUE(file.valid());
  sock.SendTimeoutMs = 200;
  const std::int64_t sent = sock.SendFile(file.get(), 0, static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(SocketError::TimedOut, sock.LastErrorCode());
  ASSERT_GT(sent, 0);
  ASSERT_LT(sent, static_cast<std::int64_t>(bytes.size()));
  sock.Close();
  const std::string received = PeerReadAll();
  EXPECT_EQ(static_cast<std::size_t>(sent), received.size());
  EXPECT_TRUE(bytes.compare(0, received.size(), received) == 0);
}

TEST_F(SocketPair, SendFileOfAShortFileOrAPipe) {
  // A file shorter than asked for: what it has, and no error.
  UniqueFd file = TemporaryFile("0123456789");
  ASSERT_TRUE(file.valid());
  sock.SendTimeoutMs = 1000;
  EXPECT_EQ(7, sock.SendFile(file.get(), 3, 100));
  EXPECT_EQ(0, sock.LastErrorCode());
  // A pipe or a folder cannot be sent this way: -1, nothing sent, no error.
  int fds[2];
  ASSERT_EQ(0, ::pipe(fds));
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  ASSERT_EQ(3, ::write(writeEnd.get(), "abc", 3));
  EXPECT_EQ(-1, sock.SendFile(readEnd.get(), 0, 3));
  EXPECT_EQ(0, sock.LastErrorCode());
  UniqueFd folder(::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  EXPECT_EQ(-1, sock.SendFile(folder.get(), 0, 3));
  EXPECT_EQ(0, sock.LastErrorCode());
  sock.Close();
  EXPECT_EQ("3456789", PeerReadAll());
}

TEST_F(SocketPair, AddressesAreNumeric) {
  EXPECT_EQ("127.0.0.1", sock.RemoteAddress());
  EXPECT_EQ("127.0.0.1", sock.LocalAddress());
  EXPECT_GT(sock.RemotePort(), 0);
  EXPECT_FALSE(sock.IsIPv6());
  // The same connection adopted with the peer accept gave: the same answers,
  // the local ones looked up when asked for.
  sockaddr_storage peerAddress{};
  socklen_t size = sizeof peerAddress;
  ASSERT_EQ(0, ::getpeername(sock.Handle(), reinterpret_cast<sockaddr*>(&peerAddress), &size));
  UniqueFd copy(::dup(sock.Handle()));
  TTcpBlockingSocket adopted;
  adopted.AdoptHandle(std::move(copy), &peerAddress, size);
  EXPECT_EQ(sock.RemoteAddress(), adopted.RemoteAddress());
  EXPECT_EQ(sock.RemotePort(), adopted.RemotePort());
  EXPECT_EQ(sock.LocalAddress(), adopted.LocalAddress());
  EXPECT_EQ(sock.LocalPort(), adopted.LocalPort());
  EXPECT_FALSE(adopted.IsIPv6());
}

TEST(TcpSocket, LingerSecondsAreWholeSeconds) {
  struct Case {
    int ms;
    int seconds;
  };
  const Case cases[] = {{10, 0}, {999, 0}, {1000, 1}, {10000, 10}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    TTcpBlockingSocket s;
    s.Family = TSocketFamily::IPv4;
    s.EnableLinger(true, c.ms);  // queued: there is no handle yet
    s.OpenHandle();
    ASSERT_TRUE(s.IsOpen());
    linger l{};
    socklen_t len = sizeof l;
    ASSERT_EQ(0, ::getsockopt(s.Handle(), SOL_SOCKET, SO_LINGER, &l, &len));
    EXPECT_NE(0, l.l_onoff);
    EXPECT_EQ(c.seconds, l.l_linger);
  }
}

TEST(TcpSocket, QueuedOptionsApplyInOrderAndCloseDiscardsThem) {
  TTcpBlockingSocket s;
  s.SetReceiveBufferSize(4096);
  s.SetReceiveBufferSize(8192);  // the later request wins
  s.Bind("127.0.0.1", "0");
  ASSERT_TRUE(s.IsOpen());
  int size = 0;
  socklen_t len = sizeof size;
  ASSERT_EQ(0, ::getsockopt(s.Handle(), SOL_SOCKET, SO_RCVBUF, &size, &len));
  EXPECT_EQ(2 * 8192, size);  // Linux doubles the value it was given
  s.SetReceiveBufferSize(4096);
  s.Close();
  s.Bind("127.0.0.1", "0");
  ASSERT_TRUE(s.IsOpen());
  int size2 = 0;
  ASSERT_EQ(0, ::getsockopt(s.Handle(), SOL_SOCKET, SO_RCVBUF, &size2, &len));
  EXPECT_NE(2 * 4096, size2);
}

TEST(TcpSocket, AnyAddressAndPortZeroWithoutHandleDoNothing) {
  TTcpBlockingSocket s;
  s.Bind("0.0.0.0", "0");
  EXPECT_FALSE(s.IsOpen());
  EXPECT_EQ(0, s.LastErrorCode());
  s.Family = TSocketFamily::IPv4;
  s.OpenHandle();
  s.Bind("0.0.0.0", "0");
  EXPECT_EQ(0, s.LastErrorCode());
  EXPECT_GT(s.LocalPort(), 0);
}

TEST(TcpSocket, ClientConnectsSendsAndReconnects) {
  TTcpBlockingSocket server;
  server.Bind("127.0.0.1", "0");
  server.Listen();
  const std::string port = std::to_string(server.LocalPort());
  TTcpBlockingSocket client;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    client.Connect("localhost", port);
    ASSERT_EQ(0, client.LastErrorCode());
    EXPECT_EQ("127.0.0.1", client.RemoteAddress());
    ASSERT_TRUE(server.WaitReadable(2000));
    TTcpBlockingSocket conn;
    conn.AdoptHandle(server.Accept());
    client.SendText("ping\r\n");
    EXPECT_EQ("ping", conn.ReceiveLine(1000));
    conn.SendText("pong");
    conn.Close();
    EXPECT_EQ("pong", client.ReceivePacket(1000));
    client.ReceivePacket(1000);
    EXPECT_EQ(SocketError::PeerClosed, client.LastErrorCode());
    client.Close();
  }
}

TEST(TcpSocket, ConnectErrors) {
  TTcpBlockingSocket probe;
  probe.Bind("127.0.0.1", "0");
  const std::string freePort = std::to_string(probe.LocalPort());
  probe.Close();  // nothing listens there now
  TTcpBlockingSocket client;
  client.Connect("127.0.0.1", freePort);
  EXPECT_EQ(10061, client.LastErrorCode());
  client.Close();
  client.ConnectSecure();
  EXPECT_EQ(SocketError::NoSecureTransport, client.LastErrorCode());
  client.Connect("127.0.0.1", "no-such-service-name");
  EXPECT_NE(0, client.LastErrorCode());
}

TEST(TcpSocket, ReadsOnAClosedSocketFailAtOnce) {
  TTcpBlockingSocket s;
  EXPECT_EQ("", s.ReceiveLine(5000));
  EXPECT_EQ(SocketError::NotSocket, s.LastErrorCode());
  EXPECT_EQ(0, s.SendBytes("x", 1));
  EXPECT_NE(0, s.LastErrorCode());
}

TEST(TcpSocket, ErrnoMapsToSocketNumbers) {
  struct Case {
    int err;
    int code;
  };
  const Case cases[] = {{ECONNRESET, 10054}, {ETIMEDOUT, 10060}, {ECONNREFUSED, 10061},
                        {EADDRINUSE, 10048}, {EPIPE, 10054},     {EHOSTUNREACH, 10065}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(c.code, SocketErrorFromErrno(c.err));
  }
}

}  // namespace

// Unread input at close would reset the connection and could cut the reply:
// Close discards it first, with or without InputComplete.
TEST(TcpSocket, CloseAfterInputCompleteStillDeliversReplyWhole) {
  for (const bool complete : {false, true}) {
    SCOPED_TRACE(complete);
    TTcpBlockingSocket server;
    server.Bind("127.0.0.1", "0");
    server.Listen();
    TTcpBlockingSocket client;
    client.Connect("127.0.0.1", std::to_string(server.LocalPort()));
    ASSERT_EQ(0, client.LastErrorCode());
    ASSERT_TRUE(server.WaitReadable(2000));
    TTcpBlockingSocket conn;
    conn.AdoptHandle(server.Accept());
    client.SendText("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ("GET / HTTP/1.0", conn.ReceiveLine(1000));
    EXPECT_EQ("", conn.ReceiveLine(1000));
    // More arrives, but is not read.
    client.SendText("unexpected bytes after the request\r\n");
    for (int i = 0; i < 400 && conn.PendingBytes() == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_GT(conn.PendingBytes(), 0);
    if (complete) conn.InputComplete();
    const std::string reply(1 << 20, 'r');
    std::thread serve([&] {
      conn.SendText(reply);
      conn.Close();
    });
    std::string got;
    while (client.LastErrorCode() == 0) got += client.ReceivePacket(2000);
    serve.join();
    EXPECT_EQ(SocketError::PeerClosed, client.LastErrorCode());
    EXPECT_EQ(reply.size(), got.size());
  }
}

TEST(SocketErrorText, KeepsTheNumberAndSaysWhatItMeans) {
  struct Case {
    int code;
    const char* text;
  };
  const Case cases[] = {
      {10048, "the port is already in use (socket error 10048)"},
      {10013, "permission was denied (ports below 1024 need special rights) (socket error 10013)"},
      {10061, "the connection was refused (socket error 10061)"},
      {10060, "the other side did not answer in time (socket error 10060)"},
      {11001, "the host name is not known (socket error 11001)"},
      {12345, "an unexpected network error occurred (socket error 12345)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, DescribeSocketError(c.code)) << c.code;
}
