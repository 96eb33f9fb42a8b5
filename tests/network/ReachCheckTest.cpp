#include "network/ReachCheck.h"

#include "net/httpclient.h"
#include "network/AddressRules.h"
#include "network/NetworkLimits.h"
#include "network/TrackerServer.h"

#include "support/LoopbackServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

namespace {

// A loopback port on which nothing listens.
int ClosedPort() {
  TTcpBlockingSocket s;
  s.Bind("127.0.0.1", "0");
  s.Listen();
  return s.LocalPort();
}

TEST(ReachCheck, StatusLines) {
  struct Case {
    const char* line;
    bool status;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK", true},
      {"HTTP/1.0 404 Not Found", true},
      {"HTTP/2 301", true},
      {"HTTP/1.1 403 ", true},
      {"HTTP/1.1 20 OK", false},
      {"HTTP/1.1 2000 OK", false},
      {"HTTP/ 200 OK", false},
      {"http/1.1 200 OK", false},
      {"SSH-2.0-OpenSSH_9.2", false},
      {"HTTP/1.1200 OK", false},
      {"", false},
      {"HTTP/1.1 2x0 OK", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.status, IsHttpStatusLine(c.line));
  }
}

// The probe the tracker answer is given in these tests: records whom it was
// asked to reach.
std::vector<std::pair<std::string, int>>& Probed() {
  static std::vector<std::pair<std::string, int>> probed;
  return probed;
}
TReachProbe RecordingProbe(const std::string& address, int port, int) {
  Probed().emplace_back(address, port);
  return {false, "connection refused"};
}

TEST(ReachCheck, TrackerChecksOnlyTheAskingAddressOnAValidPort) {
  TReachLimiter limiter(100);
  struct Case {
    const char* target;
    int status;
    int port;  // probed; 0: nothing probed
  };
  const Case cases[] = {
      {"/.mirelo/reach?port=3724", 200, 3724},
      {"/.mirelo/reach?host=10.1.2.3&port=80&address=10.1.2.3", 200, 80},
      {"/.mirelo/reach?port=1", 200, 1},
      {"/.mirelo/reach?port=65535", 200, 65535},
      {"/.mirelo/reach?port=0", 400, 0},
      {"/.mirelo/reach?port=65536", 400, 0},
      {"/.mirelo/reach?port=-1", 400, 0},
      {"/.mirelo/reach?port=80x", 400, 0},
      {"/.mirelo/reach?port=000080", 400, 0},
      {"/.mirelo/reach", 400, 0},
      {"/.mirelo/reach?ports=80", 400, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    Probed().clear();
    const std::string answer =
        TrackerReachAnswer(c.target, "198.51.100.4", limiter, 1000, 5000, RecordingProbe);
    EXPECT_TRUE(answer.starts_with("HTTP/1.0 " + std::to_string(c.status) + " ")) << answer;
    if (c.port == 0) {
      EXPECT_TRUE(Probed().empty());
      continue;
    }
    ASSERT_EQ(1u, Probed().size());
    EXPECT_EQ("198.51.100.4", Probed()[0].first);  // never the address in the request
    EXPECT_EQ(c.port, Probed()[0].second);
    EXPECT_TRUE(answer.ends_with("\r\n\r\nunreachable\r\naddress: 198.51.100.4\r\nport: " +
                                 std::to_string(c.port) + "\r\ndetail: connection refused\r\n"))
        << answer;
  }
}

TEST(ReachCheck, AFewChecksPerAddressPerMinute) {
  TReachLimiter limiter(3);
  const std::time_t t = 1'000'000;
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(limiter.Allow("198.51.100.4", t + i));
  EXPECT_FALSE(limiter.Allow("198.51.100.4", t + 30));
  EXPECT_TRUE(limiter.Allow("198.51.100.5", t + 30));  // another address has its own count
  EXPECT_FALSE(limiter.Allow("198.51.100.4", t + 59));
  EXPECT_TRUE(limiter.Allow("198.51.100.4", t + 60));  // the first check is a minute old
  EXPECT_FALSE(limiter.Allow("198.51.100.4", t + 60));

  Probed().clear();
  const std::string refused = TrackerReachAnswer("/.mirelo/reach?port=80", "198.51.100.4", limiter,
                                                 t + 60, 5000, RecordingProbe);
  EXPECT_TRUE(refused.starts_with("HTTP/1.0 429 Too Many Requests\r\n")) << refused;
  EXPECT_TRUE(Probed().empty());
}

TEST(ReachCheck, ProbeTellsHttpFromEverythingElse) {
  TLoopbackServer http([](const TServedRequest&, TTcpBlockingSocket& conn) {
    conn.SendText("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhi");
  });
  TLoopbackServer ssh([](const TServedRequest&, TTcpBlockingSocket& conn) {
    conn.SendText("SSH-2.0-OpenSSH_9.2\r\n");
  });
  // Sends bytes without a line end for as long as the peer takes them.
  std::atomic<bool> done{false};
  TLoopbackServer flood([&](const TServedRequest&, TTcpBlockingSocket& conn) {
    const std::string block(4096, 'A');
    while (!done && conn.LastErrorCode() == 0) conn.SendText(block);
  });
  TTcpBlockingSocket silent;  // listens, never answers
  silent.Bind("127.0.0.1", "0");
  silent.Listen();

  TReachProbe r = ProbeHttp("127.0.0.1", http.Port(), 5000);
  EXPECT_TRUE(r.Reachable);
  EXPECT_EQ("HTTP/1.0 200 OK", r.Detail);
  ASSERT_EQ(1u, http.Requests().size());
  EXPECT_EQ("GET / HTTP/1.1", http.Requests()[0].RequestLine);

  struct Case {
    int port;
    int timeoutMs;
    const char* detail;
  };
  const Case cases[] = {
      {ssh.Port(), 5000, "the answer was not HTTP"},
      // Stops after the cap of bytes, long before the time-out.
      {flood.Port(), 60000, "the answer was not HTTP"},
      {ClosedPort(), 5000, "connection refused"},
      {silent.LocalPort(), 300, "no answer within 1 second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.detail);
    r = ProbeHttp("127.0.0.1", c.port, c.timeoutMs);
    EXPECT_FALSE(r.Reachable);
    EXPECT_EQ(c.detail, r.Detail);
  }
  done = true;
  EXPECT_EQ("the address is not numeric", ProbeHttp("localhost", http.Port(), 5000).Detail);
}

class ReachThroughTracker : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv(kLoopbackOnlyVariable, "1", 1);
    TTrackerOptions options;
    options.BindAddress = "127.0.0.1";
    options.Port = "0";
    options.ReachCheckMs = 2000;
    options.ReachChecksPerMinute = 3;
    tracker = std::make_unique<TTrackerServer>(options);
    std::string error;
    ASSERT_TRUE(tracker->Start(error)) << error;
    host = "127.0.0.1:" + std::to_string(tracker->Port());
  }
  std::unique_ptr<TTrackerServer> tracker;
  std::string host;
};

TEST_F(ReachThroughTracker, ReachableUnreachableAndTheLimit) {
  TLoopbackServer share([](const TServedRequest&, TTcpBlockingSocket& conn) {
    conn.SendText("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
  });
  TReachVerdict v = AskReachability(host, share.Port(), 10000);
  EXPECT_EQ(TReachState::Reachable, v.State);
  EXPECT_EQ("127.0.0.1", v.Address);
  EXPECT_EQ(share.Port(), v.Port);
  EXPECT_EQ("Friends can reach this address.", DescribeReach(v, host, ""));

  const int closed = ClosedPort();
  v = AskReachability(host, closed, 10000);
  EXPECT_EQ(TReachState::Unreachable, v.State);
  EXPECT_EQ("Friends cannot reach this address from the Internet yet: the tracker at " + host +
                " tried port " + std::to_string(closed) +
                " of 127.0.0.1 (connection refused); port mapping is off.",
            DescribeReach(v, host, "port mapping is off"));

  v = AskReachability(host, share.Port(), 10000);  // the third in this minute
  EXPECT_EQ(TReachState::Reachable, v.State);
  v = AskReachability(host, share.Port(), 10000);
  EXPECT_EQ(TReachState::NotChecked, v.State);
  EXPECT_EQ("The reachability check could not be made: the tracker at " + host +
                " was asked too often; try again in a minute.",
            DescribeReach(v, host, ""));
}

TEST_F(ReachThroughTracker, AnotherHostNamedInTheRequestIsNeverContacted) {
  // A server on 127.0.0.2 that the request names in every way it could.
  TTcpBlockingSocket other;
  other.Bind("127.0.0.2", "0");
  other.Listen();
  const std::string port = std::to_string(other.LocalPort());
  THttpClient client;
  client.HeaderLines = {"X-Forwarded-For: 127.0.0.2", "Forwarded: for=127.0.0.2"};
  ASSERT_TRUE(client.Request(
      "GET", "http://" + host + "/.mirelo/reach?host=127.0.0.2&address=127.0.0.2&port=" + port));
  EXPECT_EQ(200, client.StatusCode);
  EXPECT_EQ(
      "unreachable\r\naddress: 127.0.0.1\r\nport: " + port + "\r\ndetail: connection refused\r\n",
      client.Body.Bytes());
  EXPECT_FALSE(other.WaitReadable(200));  // nobody connected to it
}

TEST(ReachCheckClient, NoTrackerOrNoVerdict) {
  setenv(kLoopbackOnlyVariable, "1", 1);
  TLoopbackServer old([](const TServedRequest&, TTcpBlockingSocket& conn) {
    conn.SendText("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
  });
  const int closed = ClosedPort();
  struct Case {
    std::string host;
    std::string line;
  };
  const Case cases[] = {
      {"127.0.0.1:" + std::to_string(closed),
       "The reachability check could not be made: no tracker answered at 127.0.0.1:" +
           std::to_string(closed) + "."},
      {old.HostPort(), "The reachability check could not be made: the tracker at " +
                           old.HostPort() + " does not offer the check (status 404)."},
      // Only a tracker on this computer may be asked while testing; nothing is sent.
      {"www.novrix.example",
       "The reachability check could not be made: only a tracker on this computer may be asked "
       "here."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const TReachVerdict v = AskReachability(c.host, 3724, 5000);
    EXPECT_EQ(TReachState::NotChecked, v.State);
    EXPECT_EQ(c.line, DescribeReach(v, c.host, ""));
  }
}

}  // namespace
