// The HTTP client against scripted servers on loopback: the request bytes, and
// every way a response can be delimited, cut off or refused.
#include "net/ClientLimits.h"
#include "net/httpclient.h"
#include "net/tcpsocket.h"
#include "support/LoopbackServer.h"

#include <gtest/gtest.h>

namespace {

// A server that answers every request with the same bytes and then closes.
TLoopbackServer Answering(const std::string& response) {
  return TLoopbackServer(
      [response](const TServedRequest&, TTcpBlockingSocket& conn) { SendRaw(conn, response); });
}

}  // namespace

TEST(HttpClientRequest, SendsTheDefaultGetLineForLine) {
  TLoopbackServer server = Answering("HTTP/1.0 200 OK\r\n\r\n");
  THttpClient client;
  ASSERT_TRUE(client.Request("GET", server.Url("/a/b?c=1")));
  const auto requests = server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(
      "GET /a/b?c=1 HTTP/1.0\r\n"
      "Host: " +
          server.HostPort() +
          "\r\n"
          "User-Agent: Mozilla/4.0 (compatible; Mirelo)\r\n"
          "\r\n",
      requests[0].Head);
  EXPECT_EQ("", requests[0].Body);
}

TEST(HttpClientRequest, PostCarriesTypeAndLengthAfterTheAgent) {
  // A short body goes out with the header block, a long one after it: both
  // arrive whole.
  for (const std::size_t size : {std::size_t{5}, ClientLimits::kSingleSendBytes + 1000}) {
    SCOPED_TRACE(size);
    TLoopbackServer server = Answering("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    THttpClient client;
    std::string body(size, 'b');
    body[0] = '\0';
    client.Body.Write(body);
    client.ContentType = "multipart/form-data, boundary=X";
    ASSERT_TRUE(client.Request("post", server.HostPort() + "/up"));
    const auto requests = server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(
        "POST /up HTTP/1.0\r\n"
        "Host: " +
            server.HostPort() +
            "\r\n"
            "User-Agent: Mozilla/4.0 (compatible; Mirelo)\r\n"
            "Content-Type: multipart/form-data, boundary=X\r\n"
            "Content-Length: " +
            std::to_string(size) +
            "\r\n"
            "\r\n",
        requests[0].Head);
    EXPECT_EQ(body, requests[0].Body);
    EXPECT_EQ("ok", StreamToText(client.Body));
  }
}

TEST(HttpClientRequest, HeaderBlockRules) {
  struct Case {
    const char* url;
    bool addPort;
    const char* agent;
    const char* version;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"h", true, "A", "1.0", {"GET / HTTP/1.0", "Host: h", "User-Agent: A", ""}},
      {"http://h:80/x", true, "A", "1.0", {"GET /x HTTP/1.0", "Host: h", "User-Agent: A", ""}},
      {"h:8080", true, "A", "1.0", {"GET / HTTP/1.0", "Host: h:8080", "User-Agent: A", ""}},
      {"h:8080", false, "A", "1.0", {"GET / HTTP/1.0", "Host: h", "User-Agent: A", ""}},
      {"https://h/", true, "", "1.0", {"GET / HTTP/1.0", "Host: h:443", ""}},
      {"http://[::1]:81/", true, "", "1.1", {"GET / HTTP/1.1", "Host: [::1]:81", ""}},
      {"h/*", true, "", "1.0", {"GET * HTTP/1.0", "Host: h", ""}},
      {"http://u:p@h/",
       true,
       "",
       "1.0",
       {"GET / HTTP/1.0", "Host: h", "Authorization: Basic dTpw", ""}},
      {"h/x", true, "A", "0.9", {"GET /x", "Host: h", "User-Agent: A", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    THttpClient client;
    client.AddPortToHost = c.addPort;
    client.AgentName = c.agent;
    client.ProtocolVersion = c.version;
    const std::string block = client.BuildRequestHeader("get", SplitUrl(c.url));
    EXPECT_EQ(c.lines, client.HeaderLines);
    if (std::string(c.version) == "0.9") {
      EXPECT_EQ("GET /x\r\n", block);  // only the request line goes out
    }
  }

  // The caller's own lines stay below the client's; cookies and "close" sit
  // between the host and the agent.
  THttpClient client;
  client.HeaderLines = {"X-Extra: 1"};
  client.CookieValues = {"a=1", "b=2"};
  client.KeepConnection = false;
  client.Body.Write("xyz");
  const std::string block = client.BuildRequestHeader("PUT", SplitUrl("h:81/p"));
  EXPECT_EQ(
      "PUT /p HTTP/1.0\r\nHost: h:81\r\nConnection: close\r\nCookie: a=1; b=2\r\n"
      "User-Agent: Mozilla/4.0 (compatible; Mirelo)\r\nContent-Type: text/html\r\n"
      "Content-Length: 3\r\nX-Extra: 1\r\n\r\n",
      block);
}

TEST(HttpClientResponse, DelimitingAndStatusLines) {
  struct Case {
    const char* name;
    std::string response;
    const char* method;
    bool ok;
    int code;
    const char* statusText;
    std::string body;
  };
  const Case cases[] = {
      {"by length", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", "GET", true, 200, "OK",
       "hello"},
      {"by length, more sent", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nhello", "GET", true,
       200, "OK", "he"},
      {"cut off", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhel", "GET", false, 200, "OK", ""},
      {"until close", "HTTP/1.0 404 Not Found\r\nServer: x\r\n\r\nall\r\nof it", "GET", true, 404,
       "Not Found", "all\r\nof it"},
      {"no reason", "HTTP/1.0 200\r\nContent-Length: 1\r\n\r\nx", "GET", true, 200, "", "x"},
      {"reason with blanks", "HTTP/1.1 302  Found  Here \r\n\r\n", "GET", true, 302, "Found  Here",
       ""},
      {"not a number", "HTTP/1.0 abc OK\r\n\r\nx", "GET", true, 0, "OK", "x"},
      {"no status line", "\r\njust text\r\nmore", "GET", true, 0, "", "just text\r\nmore"},
      {"bare line ends", "HTTP/1.0 200 OK\nContent-Length: 2\n\nok", "GET", true, 200, "OK", "ok"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n",
       "GET", true, 200, "OK", "abcd"},
      {"chunked beats length",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\nContent-Length: 1\r\n\r\n"
       "3;name=v\r\nabc\r\nA \r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n",
       "GET", true, 200, "OK", "abc0123456789"},
      {"chunk cut off", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8\r\nabc", "GET",
       false, 200, "OK", ""},
      {"chunk size not hex",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nabcd\r\nxyz\r\n\r\n", "GET",
       false, 200, "OK", "abcd"},
      {"chunk size overflows",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1FFFFFFFFFFFFFFFFF\r\nab\r\n", "GET",
       false, 200, "OK", ""},
      {"chunk size over the limit",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4000001\r\nab\r\n", "GET", false, 200,
       "OK", ""},
      {"length over the limit", "HTTP/1.0 200 OK\r\nContent-Length: 67108865\r\n\r\nab", "GET",
       false, 200, "OK", ""},
      {"length overflows", "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nab",
       "GET", false, 200, "OK", ""},
      {"length not a number", "HTTP/1.0 200 OK\r\nContent-Length: many\r\n\r\nabc", "GET", true,
       200, "OK", "abc"},
      // A header line without a space after the colon has no value.
      {"length without a space", "HTTP/1.0 200 OK\r\nContent-Length:2\r\n\r\nhello", "GET", true,
       200, "OK", "hello"},
      {"chunked without a space",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding:chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", "GET", true, 200,
       "OK", "2\r\nok\r\n0\r\n\r\n"},
      {"no content", "HTTP/1.0 204 No Content\r\nContent-Length: 3\r\n\r\nabc", "GET", true, 204,
       "No Content", ""},
      {"not modified", "HTTP/1.0 304 Not Modified\r\n\r\nabc", "GET", true, 304, "Not Modified",
       ""},
      {"head", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nabc", "HEAD", true, 200, "OK", ""},
      {"continue first",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 201 Created\r\nContent-Length: 2\r\n\r\nok", "GET",
       true, 201, "Created", "ok"},
      {"nothing at all", "", "GET", false, 500, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TLoopbackServer server = Answering(c.response);
    THttpClient client;
    EXPECT_EQ(c.ok, client.Request(c.method, server.Url("/"))) << c.name;
    EXPECT_EQ(c.code, client.StatusCode);
    EXPECT_EQ(c.statusText, client.StatusText);
    EXPECT_EQ(0u, client.Body.Position());
    if (c.ok) {
      EXPECT_EQ(c.body, StreamToText(client.Body));
    }
  }
}

TEST(HttpClientResponse, HeaderLinesTypeAndCookies) {
  TLoopbackServer server = Answering(
      "HTTP/1.0 200 OK\r\nContent-Type:  text/plain \r\nSet-Cookie: a = 1; path=/\r\n"
      "set-cookie: b=2\r\nSET-COOKIE: a=3\r\n\r\nbody");
  THttpClient client;
  ASSERT_TRUE(client.Request("GET", server.Url("/")));
  EXPECT_EQ((std::vector<std::string>{"HTTP/1.0 200 OK", "Content-Type:  text/plain ",
                                      "Set-Cookie: a = 1; path=/", "set-cookie: b=2",
                                      "SET-COOKIE: a=3", ""}),
            client.HeaderLines);
  EXPECT_EQ("text/plain", client.ContentType);
  EXPECT_EQ((std::vector<std::string>{"a=3", "b=2"}), client.CookieValues);

  // A later request of the same object sends them, and its answer without a
  // type resets the content type.
  TLoopbackServer second = Answering("HTTP/1.0 200 OK\r\n\r\n");
  ASSERT_TRUE(client.Request("GET", second.Url("/")));
  EXPECT_EQ("a=3; b=2", second.Requests().at(0).Header("Cookie"));
  EXPECT_EQ("text/html", client.ContentType);

  TLoopbackServer third = Answering("HTTP/1.0 200 OK\r\nContent-Type:text/plain\r\n\r\n");
  ASSERT_TRUE(client.Request("GET", third.Url("/")));
  EXPECT_EQ("", client.ContentType);
}

TEST(HttpClientResponse, CutOffBodyKeepsWhatArrivedUntilClose) {
  // Without a length the close is the end; with one, a close before it fails.
  TLoopbackServer server = Answering("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n12345");
  THttpClient client;
  EXPECT_FALSE(client.Request("GET", server.Url("/")));
  EXPECT_EQ(200, client.StatusCode);
}

TEST(HttpClientResponse, SilentServerTimesOut) {
  TLoopbackServer server([](const TServedRequest&, TTcpBlockingSocket& conn) {
    conn.SendText("HTTP/1.0 200 OK\r\n\r\npart");
    conn.ReceivePacket(5000);  // until the client gives up and closes
  });
  THttpClient client;
  client.SetReceiveTimeout(200);
  EXPECT_FALSE(client.Request("GET", server.Url("/")));
  EXPECT_EQ("part", StreamToText(client.Body));
}

TEST(HttpClientResponse, OverlongHeaderLineFails) {
  const std::string line(ClientLimits::kMaxHeaderLineBytes + 1, 'x');
  struct Case {
    std::string response;
    bool ok;
  };
  const Case cases[] = {
      {"HTTP/1.0 200 OK\r\nX: " + line.substr(4) + "\r\n\r\nb", true},  // at the limit
      {"HTTP/1.0 200 OK\r\nX: " + line.substr(3) + "\r\n\r\nb", false},
      {line + "\r\n\r\nb", false},  // no status line either
  };
  for (const auto& c : cases) {
    TLoopbackServer server = Answering(c.response);
    THttpClient client;
    EXPECT_EQ(c.ok, client.Request("GET", server.Url("/")));
  }

  // As many header lines as allowed pass; one more fails.
  for (const int count : {ClientLimits::kMaxHeaderLines, ClientLimits::kMaxHeaderLines + 1}) {
    std::string many = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < count; ++i) many += "X-N: 1\r\n";
    TLoopbackServer server = Answering(many + "\r\nb");
    THttpClient client;
    EXPECT_EQ(count == ClientLimits::kMaxHeaderLines, client.Request("GET", server.Url("/")))
        << count;
  }
}

TEST(HttpClientResponse, BodyAtTheLimitArrivesAndAnEndlessOneStopsThere) {
  const auto limit = static_cast<std::size_t>(ClientLimits::kMaxBodyBytes);
  {
    TLoopbackServer server([limit](const TServedRequest&, TTcpBlockingSocket& conn) {
      conn.SendText("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(limit) + "\r\n\r\n");
      const std::string block(1 << 20, 'z');
      for (std::size_t sent = 0; sent < limit && conn.LastErrorCode() == 0; sent += block.size()) {
        conn.SendText(block);
      }
    });
    THttpClient client;
    EXPECT_TRUE(client.Request("GET", server.Url("/")));
    EXPECT_EQ(limit, client.Body.Size());
  }
  {
    TLoopbackServer server([](const TServedRequest&, TTcpBlockingSocket& conn) {
      conn.SendText("HTTP/1.0 200 OK\r\n\r\n");
      const std::string block(1 << 20, 'z');
      while (conn.LastErrorCode() == 0) conn.SendText(block);  // until the client leaves
    });
    THttpClient client;
    EXPECT_FALSE(client.Request("GET", server.Url("/")));
    EXPECT_EQ(limit, client.Body.Size());
  }
}

TEST(HttpClientRequest, NoServerLeavesTheRequestBlockAnd500) {
  // A bound socket that does not listen: connecting to it is refused.
  TTcpBlockingSocket placeholder;
  placeholder.Bind("127.0.0.1", "0");
  const std::string host = "127.0.0.1:" + std::to_string(placeholder.LocalPort());
  THttpClient client;
  EXPECT_FALSE(client.Request("GET", host + "/x"));
  EXPECT_EQ(500, client.StatusCode);
  EXPECT_EQ((std::vector<std::string>{"GET /x HTTP/1.0", "Host: " + host,
                                      "User-Agent: Mozilla/4.0 (compatible; Mirelo)", ""}),
            client.HeaderLines);

  std::vector<std::string> lines = {"kept"};
  EXPECT_FALSE(FetchLines(host, lines));
  EXPECT_EQ(std::vector<std::string>{"kept"}, lines);
}

TEST(FetchLines, SplitsTheBodyIntoLines) {
  TLoopbackServer server = Answering("HTTP/1.0 200 OK\r\n\r\none\r\ntwo\nthree\r\n");
  std::vector<std::string> lines = {"old"};
  ASSERT_TRUE(FetchLines(server.HostPort(), lines));
  EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), lines);
  EXPECT_EQ("GET / HTTP/1.0", server.Requests().at(0).RequestLine);
}

TEST(HttpClientRequest, HttpsFailsForWantOfSecureTransport) {
  TLoopbackServer server = Answering("HTTP/1.0 200 OK\r\n\r\nplain");
  THttpClient client;
  EXPECT_FALSE(client.Request("GET", "https://" + server.HostPort() + "/"));
  EXPECT_EQ(500, client.StatusCode);
  EXPECT_EQ(0u, client.Body.Size());
}
