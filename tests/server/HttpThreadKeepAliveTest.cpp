// Connections kept for further requests: who may keep one, what the kept
// answer looks like, the idle time, and idle connections that give their
// workers back near the cap.
#include "ServerHarness.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

namespace {

using namespace testing_server;
using namespace std::chrono_literals;

// Reads one response with a Content-Length (or none: up to the close).
std::string ReadResponse(int fd) {
  std::string data;
  char c;
  while (data.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0 || ::recv(fd, &c, 1, 0) != 1) return data;
    data.push_back(c);
  }
  const std::size_t at = data.find("Content-Length: ");
  if (at == std::string::npos) return data + TServerHarness::ReadAll(fd);
  std::size_t length = std::stoul(data.substr(at + 16));
  std::string body(length, '\0');
  std::size_t got = 0;
  while (got < length) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = ::recv(fd, body.data() + got, length - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return data + body.substr(0, got);
}

// Whether the server has closed the connection (waiting up to waitMs).
bool ClosedByServer(int fd, int waitMs = 10000) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, waitMs) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

const char kNotFound[] =
    "Content-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
    "Content-Length: 10\r\nConnection: keep-alive\r\nKeep-Alive: timeout=";

TEST(HttpThreadKeepAlive, WhoMayKeepTheConnection) {
  TServerHarness server;
  server.Root().Write("f.txt", "f");
  struct Case {
    const char* request;
    bool kept;
  };
  const Case cases[] = {
      {"GET /.mirelo/zip/none HTTP/1.1\r\nHost: a\r\n\r\n", true},
      {"GET /.mirelo/zip/none HTTP/1.1\r\nConnection: Upgrade, close\r\n\r\n", false},
      {"GET /.mirelo/zip/none HTTP/1.0\r\n\r\n", false},
      {"GET /.mirelo/zip/none HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
      {"POST /.mirelo/zip/none HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", true},
      // A body this server cannot read, or one it does not know the end of.
      {"POST /.mirelo/zip/none HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", false},
      {"POST /.mirelo/zip/none HTTP/1.1\r\n\r\n", false},
      // Responses that do not allow it: every Classic one, and streams.
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", false},
      {"GET /DOWNLOAD?f.txt HTTP/1.1\r\nHost: a\r\n\r\n", false},
      {"GET /.mirelo/zip/ HTTP/1.1\r\nHost: a\r\n\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    UniqueFd fd = server.Connect();
    ASSERT_TRUE(TServerHarness::SendAll(fd.get(), c.request));
    const std::string reply = ReadResponse(fd.get());
    if (c.kept) {
      EXPECT_EQ(0u, reply.rfind("HTTP/1.1 404 Not Found\r\n", 0)) << reply;
      EXPECT_NE(std::string::npos, reply.find("\r\nConnection: keep-alive\r\n")) << reply;
      // The connection carries a second request.
      ASSERT_TRUE(TServerHarness::SendAll(fd.get(), "GET /.mirelo/zip/x HTTP/1.1\r\n\r\n"));
      EXPECT_EQ(0u, ReadResponse(fd.get()).rfind("HTTP/1.1 404 Not Found\r\n", 0));
    } else {
      EXPECT_EQ(0u, reply.rfind("HTTP/1.0 ", 0)) << reply;
      EXPECT_NE(std::string::npos, reply.find("\r\nConnection: close\r\n")) << reply;
      EXPECT_TRUE(ClosedByServer(fd.get()));
    }
  }
}

TEST(HttpThreadKeepAlive, KeptAnswersCarryTheirLengthAndPipelinedRequestsFollow) {
  TServerHarness server;
  UniqueFd fd = server.Connect();
  // Three requests in one send: each answer follows the one before.
  ASSERT_TRUE(TServerHarness::SendAll(fd.get(),
                                      "GET /.mirelo/zip/a HTTP/1.1\r\n\r\n"
                                      "GET /.mirelo/zip/b HTTP/1.1\r\n\r\n"
                                      "GET /.mirelo/zip/c HTTP/1.1\r\nConnection: close\r\n\r\n"));
  for (int i = 0; i < 2; ++i) {
    const std::string reply = ReadResponse(fd.get());
    EXPECT_EQ(0u, reply.rfind(std::string("HTTP/1.1 404 Not Found\r\n") + kNotFound, 0)) << reply;
    EXPECT_NE(std::string::npos, reply.find(" GMT\r\nServer: Mirelo File Share\r\n\r\n")) << reply;
    EXPECT_EQ("Not found\n", reply.substr(reply.size() - 10));
  }
  const std::string last = TServerHarness::ReadAll(fd.get());
  EXPECT_EQ(0u, last.rfind("HTTP/1.0 404\r\n", 0)) << last;
  server.WaitIdle();
  // One connection: "Connecting..." and "-1" for each request.
  const std::vector<std::string> ops = server.Operations();
  EXPECT_EQ((std::vector<std::string>{"Connecting...", "-1", "Connecting...", "-1", "Connecting...",
                                      "-1"}),
            ops);
}

TEST(HttpThreadKeepAlive, AnIdleConnectionIsClosedAfterTheIdleTime) {
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.KeepAliveIdleMs = 200; });
  UniqueFd fd = server.Connect();
  ASSERT_TRUE(TServerHarness::SendAll(fd.get(), "GET /.mirelo/zip/a HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(0u, ReadResponse(fd.get()).rfind("HTTP/1.1 404", 0));
  EXPECT_TRUE(ClosedByServer(fd.get()));
  server.WaitIdle();
}

TEST(HttpThreadKeepAlive, IdleConnectionsGiveTheirWorkersBackNearTheCap) {
  // An idle time far beyond the test's waits: only the cap frees workers.
  TServerHarness server("", [](TTCPHttpDaemon& d) {
    d.MaxWorkers = 4;
    d.KeepAliveIdleMs = 600000;
  });
  std::vector<UniqueFd> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(server.Connect());
    ASSERT_TRUE(TServerHarness::SendAll(idle.back().get(), "GET /.mirelo/zip/a HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(0u, ReadResponse(idle.back().get()).rfind("HTTP/1.1 404", 0));
  }
  // A fifth visitor is served although four connections were kept.
  const std::string reply = server.Exchange("GET /.mirelo/zip/b HTTP/1.0\r\n\r\n");
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 404\r\n", 0)) << reply;
  // Idle connections closed until fewer than three quarters of the cap run.
  int closed = 0;
  for (auto& fd : idle) closed += ClosedByServer(fd.get(), 1000) ? 1 : 0;
  EXPECT_GE(closed, 2);
  idle.clear();
  server.WaitIdle();
}

TEST(HttpThreadKeepAlive, BelowTheShareOfTheCapAnIdleConnectionStays) {
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.KeepAliveIdleMs = 600000; });
  UniqueFd fd = server.Connect();
  ASSERT_TRUE(TServerHarness::SendAll(fd.get(), "GET /.mirelo/zip/a HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(0u, ReadResponse(fd.get()).rfind("HTTP/1.1 404", 0));
  EXPECT_FALSE(ClosedByServer(fd.get(), 500));
  ASSERT_TRUE(TServerHarness::SendAll(fd.get(), "GET /.mirelo/zip/b HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(0u, ReadResponse(fd.get()).rfind("HTTP/1.1 404", 0));
  fd.reset();
  server.WaitIdle();
}

}  // namespace
