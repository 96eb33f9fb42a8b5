// The redirecting fetch against loopback servers: chains, relative
// locations, the hop limit and the answers that are not followed.
#include "net/ClientLimits.h"
#include "net/fetchwrap.h"
#include "support/LoopbackServer.h"

#include <gtest/gtest.h>

namespace {

std::string Answer(int code, const std::string& headers, const std::string& body) {
  return "HTTP/1.0 " + std::to_string(code) + " X\r\n" + headers + "\r\n" + body;
}

// "/chain/N" answers 302 to "/chain/N-1" until N is 0, which answers 200.
void Chain(const TServedRequest& request, TTcpBlockingSocket& conn) {
  const std::string target = request.RequestLine.substr(4, request.RequestLine.rfind(' ') - 4);
  const int left = std::stoi(target.substr(target.rfind('/') + 1));
  if (left == 0) {
    SendRaw(conn, Answer(200, "Content-Length: 4\r\n", "done"));
  } else {
    SendRaw(conn, Answer(302, "Location: /chain/" + std::to_string(left - 1) + "\r\n", "moved"));
  }
}

}  // namespace

TEST(FetchFollowing, FollowsCompleteAndRelativeLocationsAcrossServers) {
  TLoopbackServer final([](const TServedRequest& request, TTcpBlockingSocket& conn) {
    if (request.RequestLine == "GET /dir/page HTTP/1.0") {
      SendRaw(conn, Answer(301, "Location: next?x=1\r\n", ""));  // empty redirect body
    } else {
      SendRaw(conn, Answer(200, "", "final " + request.RequestLine));
    }
  });
  TLoopbackServer first([&final](const TServedRequest&, TTcpBlockingSocket& conn) {
    SendRaw(conn, Answer(307, "Location: " + final.Url("/dir/page") + "\r\n", "first"));
  });

  TFetchInfo info;
  FetchFollowing(first.Url("/start"), info);
  EXPECT_EQ(0, info.State);
  EXPECT_EQ(200, info.Code);
  EXPECT_EQ("final GET /dir/next?x=1 HTTP/1.0", info.Text);
  EXPECT_EQ(final.Url("/dir/next?x=1"), info.Url);
  EXPECT_EQ("HTTP/1.0 200 X\r\n\r\n", info.HeaderText);
  // Every hop is a new client with the agent "fetchwrap".
  ASSERT_EQ(1u, first.Requests().size());
  EXPECT_EQ("fetchwrap", first.Requests()[0].Header("User-Agent"));
  ASSERT_EQ(2u, final.Requests().size());
  EXPECT_EQ("fetchwrap", final.Requests()[1].Header("User-Agent"));
}

TEST(FetchFollowing, AnswersThatEndTheFetch) {
  struct Case {
    const char* name;
    std::string response;
    int state;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"303 is not followed", Answer(303, "Location: /elsewhere\r\n", "see"), 0, 303, "see"},
      {"302 without location", Answer(302, "X-Where: nowhere\r\n", "stay"), 2, 302, "stay"},
      {"location in lower case", Answer(302, "location: /x\r\n", "lower"), 2, 302, "lower"},
      {"not found", Answer(404, "", "missing"), 0, 404, "missing"},
      {"empty final body", Answer(200, "Content-Length: 0\r\n", ""), 0, 200, ""},
      {"cut off", Answer(200, "Content-Length: 9\r\n", "abc"), 1, 200, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TLoopbackServer server(
        [&c](const TServedRequest&, TTcpBlockingSocket& conn) { SendRaw(conn, c.response); });
    TFetchInfo info;
    FetchFollowing(server.Url("/"), info);
    EXPECT_EQ(c.state, info.State);
    EXPECT_EQ(c.code, info.Code);
    EXPECT_EQ(c.text, info.Text);
    EXPECT_EQ(c.text, FetchText(server.Url("/")));
    EXPECT_EQ(server.Url("/"), info.Url);
  }
}

TEST(FetchFollowing, StopsAfterTheLastAllowedHop) {
  TLoopbackServer server(Chain);
  const int hops = ClientLimits::kMaxRedirectHops;

  TFetchInfo info;
  FetchFollowing(server.Url("/chain/" + std::to_string(hops)), info);
  EXPECT_EQ(0, info.State);
  EXPECT_EQ(200, info.Code);
  EXPECT_EQ("done", info.Text);
  EXPECT_EQ(server.Url("/chain/0"), info.Url);

  TFetchInfo tooMany;
  FetchFollowing(server.Url("/chain/" + std::to_string(hops + 1)), tooMany);
  EXPECT_EQ(1, tooMany.State);
  EXPECT_EQ(302, tooMany.Code);
  EXPECT_EQ("", tooMany.Text);
  EXPECT_EQ(server.Url("/chain/1"), tooMany.Url);
  EXPECT_NE(std::string::npos, tooMany.HeaderText.find("Location: /chain/0\r\n"));
  // The initial request and the allowed hops went out, and no more.
  EXPECT_EQ(static_cast<std::size_t>(2 * (hops + 1)), server.Requests().size());
}

TEST(FetchFollowing, NoServerIsAFailedRequest) {
  TTcpBlockingSocket placeholder;  // bound but not listening: connections are refused
  placeholder.Bind("127.0.0.1", "0");
  const std::string url = "127.0.0.1:" + std::to_string(placeholder.LocalPort()) + "/p";
  TFetchInfo info;
  info.Text = "stale";
  FetchFollowing(url, info);
  EXPECT_EQ(1, info.State);
  EXPECT_EQ(500, info.Code);
  EXPECT_EQ("", info.Text);
  EXPECT_EQ(url, info.Url);
  EXPECT_EQ("GET /p HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(placeholder.LocalPort()) +
                "\r\nUser-Agent: fetchwrap\r\n\r\n",
            info.HeaderText);
  EXPECT_EQ("", FetchText(url));
}
