// Connection worker over real loopback connections: the exchange, its
// failures, uploads, the response modes, the bounds against hostile peers and
// the date texts.
#include "server/HttpText.h"
#include "server/HttpThread.h"

#include "ServerHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace {

using namespace testing_server;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

TEST(HttpThread, RequestWithoutProtocolGetsStatusLineAndBodyOnly) {
  TServerHarness server;
  EXPECT_EQ("HTTP/1.0 200\r\n" + RouterPage(server, "/"), server.Exchange("GET /\r\n"));
}

TEST(HttpThread, ResponseToHttp11NamesVersion10AndEndsWithTheWorkerLines) {
  TServerHarness server;
  const std::string reply =
      server.Exchange("GET /a%20b?x=1 HTTP/1.1\r\nHost: example\r\nAccept: */*\r\n\r\n");
  std::vector<std::string> head;
  std::string body;
  SplitReply(reply, head, body);
  // The router's two page lines come first, then the worker's own.
  ASSERT_EQ(6u, head.size()) << reply;
  EXPECT_EQ("HTTP/1.0 200", head[0]);
  EXPECT_EQ("Content-type: Text/Html; charset=UTF-8", head[1]);
  EXPECT_EQ("Content-length: " + std::to_string(body.size()), head[2]);
  head.erase(head.begin() + 1, head.begin() + 3);
  EXPECT_EQ("Connection: close", head[1]);
  EXPECT_TRUE(std::regex_match(
      head[2], std::regex(R"(Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9]\d? )"
                          R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} )"
                          R"(\d\d:\d\d:\d\d [+-]\d{4})")))
      << head[2];
  EXPECT_EQ("Server: Mirelo File Share", head[3]);
  EXPECT_EQ(RouterPage(server, "/a%20b?x=1"), body);
}

TEST(HttpThread, OtherMethodsGet504AndOnlyTheWorkerLines) {
  TServerHarness server;
  for (const char* method : {"get", "HEAD", "PUT", "Post"}) {
    SCOPED_TRACE(method);
    const std::string reply =
        server.Exchange(std::string(method) + " / HTTP/1.0\r\nHost: x\r\n\r\n");
    std::vector<std::string> head;
    std::string body;
    SplitReply(reply, head, body);
    ASSERT_EQ(4u, head.size()) << reply;
    EXPECT_EQ("HTTP/1.0 504", head[0]);
    EXPECT_EQ("Connection: close", head[1]);
    EXPECT_EQ(0u, head[2].rfind("Date: ", 0));
    EXPECT_EQ("Server: Mirelo File Share", head[3]);
    EXPECT_EQ("", body);
  }
}

TEST(HttpThread, MalformedRequestsAreClosedWithoutAReply) {
  TServerHarness server;
  for (const char* request :
       {"\r\n", "GET\r\n", "GET    \r\n", "GET / FTP/1.0\r\n\r\n", "GET / http/1.0\r\n\r\n"}) {
    SCOPED_TRACE(request);
    EXPECT_EQ("", server.Exchange(request));
  }
  server.WaitIdle();
  // Each was reported as connecting, and none as finished.
  for (const auto& op : server.Operations()) EXPECT_EQ("Connecting...", op);
}

TEST(HttpThread, ExtraSpacesAndTrailingTokensAreTolerated) {
  TServerHarness server;
  const std::string reply = server.Exchange("GET   /x   HTTP/1.0  more\r\n\r\n");
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0));
  EXPECT_NE(std::string::npos, reply.find(RouterPage(server, "/x")));
}

TEST(HttpThread, RequestSplitAtEveryByteIsReadWhole) {
  TServerHarness server;
  const std::string request = "GET /split HTTP/1.0\r\nHost: a\r\n\r\n";
  for (std::size_t cut = 1; cut < request.size(); ++cut) {
    SCOPED_TRACE(cut);
    UniqueFd fd = server.Connect();
    ASSERT_TRUE(fd);
    TServerHarness::SendAll(fd.get(), request.substr(0, cut));
    std::this_thread::sleep_for(2ms);
    TServerHarness::SendAll(fd.get(), request.substr(cut));
    const std::string reply = TServerHarness::ReadAll(fd.get());
    EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0));
    EXPECT_NE(std::string::npos, reply.find(RouterPage(server, "/split")));
  }
}

TEST(HttpThread, ContentLengthWithoutSpaceMeansNoBody) {
  TServerHarness server;
  // No body follows; a worker that waited for one would close without a reply.
  const std::string reply = server.Exchange("POST /f HTTP/1.0\r\nContent-Length:5\r\n\r\n", 1500);
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0)) << reply;
}

TEST(HttpThread, ShortBodyThenSilenceIsClosedWithoutAReply) {
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.TimeoutMs = 200; });
  UniqueFd fd = server.Connect();
  TServerHarness::SendAll(fd.get(), "POST /f HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc");
  EXPECT_EQ("", TServerHarness::ReadAll(fd.get(), 5000));
}

TEST(HttpThread, StatusReportsOfOneExchange) {
  TServerHarness server;
  server.Exchange("GET / HTTP/1.0\r\n\r\n");
  server.WaitIdle();
  const auto reports = server.Reports();
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ("127.0.0.1", reports[0].peer);
  EXPECT_EQ("Connecting...", reports[0].operation);
  EXPECT_EQ("-1", reports[1].operation);
  EXPECT_EQ("", reports[1].file);
}

TEST(HttpThread, LostRequestLineReportsOnlyConnecting) {
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.TimeoutMs = 100; });
  UniqueFd fd = server.Connect();
  TServerHarness::SendAll(fd.get(), "GET / HT");
  server.WaitForReports(1);
  fd.reset();
  server.WaitIdle();
  EXPECT_THAT(server.Operations(), ElementsAre("Connecting..."));
}

// --- Plug-ins -------------------------------------------------------------

class WithPlugins : public ::testing::Test {
 protected:
  TServerHarness server{MIRELO_TEST_PLUGIN_DIR};

  std::string Body(const std::string& uri) {
    std::vector<std::string> head;
    std::string body;
    SplitReply(server.Exchange("GET " + uri + " HTTP/1.0\r\n\r\n"), head, body);
    return body;
  }
};

TEST_F(WithPlugins, OnlyLowerCaseSoLibrariesWithInitAreLoaded) {
  EXPECT_THAT(server.Daemon().Plugins().Names(), ElementsAre("a_first.so", "b_second.so"));
  int tabs = 0;
  server.Daemon().Plugins().AddTabs([&](MireloGetTabFn getTab) {
    EXPECT_EQ(nullptr, getTab(nullptr, nullptr));
    ++tabs;
  });
  EXPECT_EQ(1, tabs);  // only the first exports GetTab
}

TEST_F(WithPlugins, PluginsAreAskedInOrderUntilOneTakesTheRequest) {
  struct Case {
    const char* uri;
    std::string body;
  };
  const Case cases[] = {
      {"/take-a", "a took it\r\n"},
      {"/take-b", "b took it\r\n"},                // the first declined
      {"/take-any", "a took it\r\n"},              // the second is not asked
      {"/rewrite-to-b", "b took it\r\n"},          // a change by a decliner is seen
      {"/take-c", RouterPage(server, "/take-c")},  // c_upper.SO is not loaded
      {"/take-d", RouterPage(server, "/take-d")},  // d_noinit.so is never called
      {"/nobody", RouterPage(server, "/nobody")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    EXPECT_EQ(c.body, Body(c.uri));
  }
}

TEST_F(WithPlugins, TakenRequestSendsThePluginHeaderLines) {
  std::vector<std::string> head;
  std::string body;
  SplitReply(server.Exchange("GET /take-a HTTP/1.0\r\nHost: x\r\n\r\n"), head, body);
  ASSERT_EQ(5u, head.size());
  EXPECT_EQ("HTTP/1.0 200", head[0]);
  EXPECT_EQ("Content-type: text/plain", head[1]);
  EXPECT_EQ("Connection: close", head[2]);
}

TEST_F(WithPlugins, ResponseModes) {
  // Text: lines re-joined with CR LF, a zero byte ends the text.
  EXPECT_EQ("a\r\nb\r\n\r\nc\r\nd\r\n", Body("/lines"));
  // Bytes: exactly as given.
  EXPECT_EQ(std::string("x\0y\r", 4), Body("/bytes"));
  // Any other mode: the fallback page, with status 200.
  const std::string reply = server.Exchange("GET /mode2 HTTP/1.0\r\n\r\n");
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0));
  EXPECT_NE(std::string::npos, reply.find(FallbackPage("/mode2")));
  // The URI on that page is plain text.
  EXPECT_EQ(FallbackPage("/mode2&lt;img%20src=x%20onerror=&quot;alert(1)&quot;&gt;"),
            Body("/mode2<img%20src=x%20onerror=\"alert(1)\">"));
  EXPECT_EQ("127.0.0.1", Body("/peer"));
}

TEST_F(WithPlugins, PlainBodyLinesFollowTheHeaderLines) {
  const std::string reply = server.Exchange(
      "POST /echo HTTP/1.0\r\nContent-Length: 14\r\nX-A: 1\r\n\r\nf=1\r\ng=2\nh=3\rZ");
  std::vector<std::string> head;
  std::string body;
  SplitReply(reply, head, body);
  EXPECT_EQ("Content-Length: 14\r\nX-A: 1\r\n\r\nf=1\r\ng=2\r\nh=3\r\nZ\r\n", body);
}

TEST_F(WithPlugins, LargeResponseReachesASlowReaderWhole) {
  UniqueFd fd = server.Connect();
  TServerHarness::SendAll(fd.get(), "GET /big HTTP/1.0\r\n\r\n");
  std::this_thread::sleep_for(300ms);  // the worker is done sending long before we read
  const std::string reply = TServerHarness::ReadAll(fd.get());
  std::vector<std::string> head;
  std::string body;
  SplitReply(reply, head, body);
  ASSERT_EQ(8u << 20, body.size());
  bool same = true;
  for (std::size_t i = 0; i < body.size() && same; ++i)
    same = body[i] == static_cast<char>(i * 131 + (i >> 16));
  EXPECT_TRUE(same);
}

// --- Downloads ------------------------------------------------------------

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 131 + (i >> 16));
  return s;
}

TEST(HttpThreadDownload, BodyIsExactlyTheFileAndTheReportsNameIt) {
  TServerHarness server;
  for (std::size_t size : {std::size_t{0}, std::size_t{65537}, std::size_t{3u << 20}}) {
    SCOPED_TRACE(size);
    const std::string content = Pattern(size);
    WriteFile(server.Root().Path() / "f.bin", content);
    std::vector<std::string> head;
    std::string body;
    SplitReply(server.Exchange("GET /download?f.bin HTTP/1.0\r\n\r\n"), head, body);
    EXPECT_EQ("HTTP/1.0 200", head.front());
    EXPECT_EQ("Server: Mirelo File Share", head.back());
    EXPECT_EQ(content.size(), body.size());
    EXPECT_TRUE(content == body);
  }
  server.WaitIdle();
  const auto reports = server.Reports();
  ASSERT_EQ(9u, reports.size());
  EXPECT_EQ("Downloading...", reports[1].operation);
  EXPECT_EQ(server.Root().Slash() + "f.bin", reports[1].file);
  EXPECT_EQ("-1", reports[2].operation);
  EXPECT_EQ(server.Root().Slash() + "f.bin", reports[2].file);
}

// The same exchange with a Range: the status, Content-Range and exactly the
// bytes asked for, sent and reported as a whole download is; a range past the
// end gets 416 and no body.
TEST(HttpThreadDownload, RangeSendsThePartOrRefusesIt) {
  TServerHarness server;
  const std::string content = Pattern(3u << 20);
  WriteFile(server.Root().Path() / "f.bin", content);
  std::vector<std::string> head;
  std::string body;
  SplitReply(
      server.Exchange("GET /download?f.bin HTTP/1.1\r\nRange: bytes=1000001-3000000\r\n\r\n"), head,
      body);
  ASSERT_EQ(8u, head.size());
  EXPECT_EQ("HTTP/1.0 206", head[0]);
  EXPECT_EQ("Content-type: application/force-download", head[1]);
  EXPECT_EQ("Content-Length: 2000000", head[2]);
  EXPECT_EQ("Content-Range: bytes 1000001-3000000/3145728", head[3]);
  EXPECT_EQ("Content-Disposition: attachment; filename=\"f.bin\";", head[4]);
  EXPECT_EQ("Connection: close", head[5]);
  EXPECT_EQ(2000000u, body.size());
  EXPECT_TRUE(content.compare(1000001, 2000000, body) == 0);

  SplitReply(server.Exchange("GET /download?f.bin HTTP/1.1\r\nRange: bytes=3145728-\r\n\r\n"), head,
             body);
  ASSERT_EQ(6u, head.size());
  EXPECT_EQ("HTTP/1.0 416", head[0]);
  EXPECT_EQ("Content-Length: 0", head[1]);
  EXPECT_EQ("Content-Range: bytes */3145728", head[2]);
  EXPECT_EQ("Connection: close", head[3]);
  EXPECT_EQ("", body);

  server.WaitIdle();
  const auto reports = server.Reports();
  ASSERT_EQ(5u, reports.size());
  EXPECT_EQ("Downloading...", reports[1].operation);
  EXPECT_EQ(server.Root().Slash() + "f.bin", reports[1].file);
  EXPECT_EQ("-1", reports[2].operation);
  EXPECT_EQ("Connecting...", reports[3].operation);  // nothing to download
  EXPECT_EQ("-1", reports[4].operation);
}

TEST(HttpThreadDownload, StopDuringALargeDownloadLetsItFinish) {
  TServerHarness server;
  const std::string content = Pattern(16u << 20);
  WriteFile(server.Root().Path() / "big.bin", content);
  UniqueFd fd = server.Connect();
  TServerHarness::SendAll(fd.get(), "GET /download?big.bin HTTP/1.0\r\n\r\n");
  char first[4096];
  const ssize_t n = ::recv(fd.get(), first, sizeof first, 0);
  ASSERT_GT(n, 0);
  server.Daemon().Stop();
  EXPECT_FALSE(server.Connect().valid());  // the port is closed at once
  std::vector<std::string> head;
  std::string body;
  SplitReply(std::string(first, static_cast<std::size_t>(n)) + TServerHarness::ReadAll(fd.get()),
             head, body);
  EXPECT_TRUE(content == body);
  server.WaitIdle();
  EXPECT_EQ("-1", server.Reports().back().operation);
}

TEST(HttpThreadDownload, PeerThatNeverReadsIsDroppedAfterTheTimeOut) {
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.TimeoutMs = 300; });
  // Far more than the kernels' buffers on loopback can hold.
  const std::string content = Pattern(48u << 20);
  WriteFile(server.Root().Path() / "big.bin", content);
  UniqueFd fd = server.Connect();
  const int small = 64 * 1024;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  TServerHarness::SendAll(fd.get(), "GET /download?big.bin HTTP/1.0\r\n\r\n");
  server.WaitForReports(2);  // "Connecting...", "Downloading..."
  // The worker ends while the peer is still connected and has read nothing.
  EXPECT_TRUE(server.Daemon().WaitForWorkers(10000));
  EXPECT_EQ(0, server.Daemon().RunningWorkers());
  const auto reports = server.Reports();
  ASSERT_EQ(3u, reports.size());
  EXPECT_EQ("Downloading...", reports[1].operation);
  EXPECT_EQ("-1", reports[2].operation);
  // What the peer can still read is a cut-off download.
  std::vector<std::string> head;
  std::string body;
  SplitReply(TServerHarness::ReadAll(fd.get(), 2000), head, body);
  EXPECT_EQ("HTTP/1.0 200", head.front());
  EXPECT_LT(body.size(), content.size());
  EXPECT_TRUE(content.compare(0, body.size(), body) == 0);
}

// --- Uploads --------------------------------------------------------------

std::string UploadRequest(const std::string& fileName, const std::string& content,
                          bool withPathField = true) {
  const std::string boundary = "----formboundary7MA4YWxk";
  std::string body = "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName +
                     "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n--" +
                     boundary;
  if (withPathField)
    body += "\r\nContent-Disposition: form-data; name=\"path\"\r\n\r\n/sub/\r\n--" + boundary;
  body += "--\r\n";
  return "POST /upload HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=" + boundary +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string BinaryContent(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7919) >> 3);
  // Line ends and delimiter-like text inside the content must survive.
  if (size > 64) s.replace(10, 20, "\r\n--formboundary\r\n\r\n");
  return s;
}

class Upload : public ::testing::Test {
 protected:
  TServerHarness server{"", [](TTCPHttpDaemon& d) {
                          d.AllowUploads = true;
                          d.TimeoutMs = 500;
                        }};
};

TEST_F(Upload, ClientPathIsReducedToTheBareNameAndTheBytesAreKept) {
  const std::string content = BinaryContent(300000);
  const std::string reply =
      server.Exchange(UploadRequest("C:\\Users\\me\\Pictures\\photo.jpg", content));
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0));
  server.WaitIdle();
  EXPECT_THAT(server.Root().Entries(), ElementsAre("photo.jpg"));
  EXPECT_TRUE(ReadFile(server.Root().Path() / "photo.jpg") == content);
  const auto reports = server.Reports();
  ASSERT_EQ(4u, reports.size());
  EXPECT_EQ("Uploading...", reports[1].operation);
  EXPECT_EQ("C:\\Users\\me\\Pictures\\photo.jpg", reports[1].file);
  // Then the file as stored.
  EXPECT_EQ("Uploading...", reports[2].operation);
  EXPECT_EQ(server.Root().Path().string() + "/photo.jpg", reports[2].file);
  EXPECT_EQ("-1", reports[3].operation);
}

TEST_F(Upload, ParentStepsAndSlashesLandInTheSharedFolder) {
  for (const char* name : {"../../evil.txt", "..\\..\\evil.txt", "sub/dir/evil.txt"}) {
    SCOPED_TRACE(name);
    server.Exchange(UploadRequest(name, "payload"));
    server.WaitIdle();
    EXPECT_THAT(server.Root().Entries(), ElementsAre("evil.txt"));
    EXPECT_EQ("payload", ReadFile(server.Root().Path() / "evil.txt"));
    EXPECT_FALSE(fs::exists(server.Root().Path().parent_path() / "evil.txt"));
    fs::remove(server.Root().Path() / "evil.txt");
  }
}

TEST_F(Upload, EmptyContentAndAnExistingNameKeepsTheOriginal) {
  WriteFile(server.Root().Path() / "a.txt", "old content");
  const std::string reply = server.Exchange(UploadRequest("a.txt", ""));
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0));
  server.WaitIdle();
  EXPECT_THAT(server.Root().Entries(), ElementsAre("a (2).txt", "a.txt"));
  EXPECT_EQ("old content", ReadFile(server.Root().Path() / "a.txt"));
  EXPECT_EQ("", ReadFile(server.Root().Path() / "a (2).txt"));
  // The reports name the file as sent, then as stored.
  const auto reports = server.Reports();
  ASSERT_EQ(4u, reports.size());
  EXPECT_EQ("a.txt", reports[1].file);
  EXPECT_EQ(server.Root().Path().string() + "/a (2).txt", reports[2].file);
}

TEST_F(Upload, RefusedNamesStoreNothingAndGetNoReply) {
  for (const std::string& name :
       {std::string(""), std::string("dir/"), std::string("."), std::string("a/.."),
        std::string("a\tb"), std::string("x\x7fy"), std::string("line\nbreak")}) {
    SCOPED_TRACE(name);
    EXPECT_EQ("", server.Exchange(UploadRequest(name, "data")));
    server.WaitIdle();
    EXPECT_TRUE(server.Root().Entries().empty());
  }
}

TEST_F(Upload, CutOffUploadLeavesNoTraceAndKeepsTheOldFile) {
  WriteFile(server.Root().Path() / "keep.bin", "precious");
  const std::string request = UploadRequest("keep.bin", BinaryContent(500000));
  UniqueFd fd = server.Connect();
  TServerHarness::SendAll(fd.get(), request.substr(0, request.size() / 2));
  server.WaitForReports(2);  // "Uploading...": the content is arriving
  fd.reset();
  server.WaitIdle();
  EXPECT_THAT(server.Root().Entries(), ElementsAre("keep.bin"));
  EXPECT_EQ("precious", ReadFile(server.Root().Path() / "keep.bin"));
}

TEST_F(Upload, StalledUploadTimesOutAndLeavesNoTrace) {
  const std::string request = UploadRequest("stall.bin", BinaryContent(100000));
  UniqueFd fd = server.Connect();
  TServerHarness::SendAll(fd.get(), request.substr(0, request.size() - 200));
  EXPECT_EQ("", TServerHarness::ReadAll(fd.get(), 5000));
  server.WaitIdle();
  EXPECT_TRUE(server.Root().Entries().empty());
}

TEST_F(Upload, FormWithOnlyTheFileFieldIsAnsweredAtOnce) {
  // The peer keeps its side open after the body: the reply must not wait for
  // more (a time-out would end the exchange without one).
  const std::string reply = server.Exchange(UploadRequest("only.txt", "x", false), 5000);
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0)) << reply;
  server.WaitIdle();
  EXPECT_THAT(server.Root().Entries(), ElementsAre("only.txt"));
  EXPECT_EQ("x", ReadFile(server.Root().Path() / "only.txt"));
}

TEST(HttpThread, UploadWhileUploadsAreRefusedStoresNothingButReplies) {
  TServerHarness server;
  WriteFile(server.Root().Path() / "a.txt", "old");
  const std::string reply = server.Exchange(UploadRequest("a.txt", "new"));
  EXPECT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0));
  server.WaitIdle();
  EXPECT_THAT(server.Root().Entries(), ElementsAre("a.txt"));
  EXPECT_EQ("old", ReadFile(server.Root().Path() / "a.txt"));
}

// --- Bounds ---------------------------------------------------------------

bool Replied(const std::string& reply) { return reply.rfind("HTTP/1.0 200\r\n", 0) == 0; }

TEST(HttpThreadBounds, RequestLineAndHeaderLineLength) {
  TServerHarness server;
  const int limit = ServerLimits::kMaxHeadLineLength;
  auto uriOfLength = [](int lineLength) {
    // "GET " + uri + " HTTP/1.0" is lineLength characters.
    return "/" + std::string(static_cast<std::size_t>(lineLength - 4 - 9 - 1), 'u');
  };
  EXPECT_TRUE(Replied(server.Exchange("GET " + uriOfLength(limit) + " HTTP/1.0\r\n\r\n")));
  EXPECT_EQ("", server.Exchange("GET " + uriOfLength(limit + 1) + " HTTP/1.0\r\n\r\n"));
  const std::string header = "X-Long: ";
  auto headerOfLength = [&](int n) {
    return header + std::string(static_cast<std::size_t>(n) - header.size(), 'h');
  };
  EXPECT_TRUE(Replied(server.Exchange("GET / HTTP/1.0\r\n" + headerOfLength(limit) + "\r\n\r\n")));
  EXPECT_EQ("", server.Exchange("GET / HTTP/1.0\r\n" + headerOfLength(limit + 1) + "\r\n\r\n"));
}

TEST(HttpThreadBounds, NumberOfHeaderLines) {
  TServerHarness server;
  auto withHeaders = [](int n) {
    std::string r = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < n; ++i) r += "X-H" + std::to_string(i) + ": v\r\n";
    return r + "\r\n";
  };
  EXPECT_TRUE(Replied(server.Exchange(withHeaders(ServerLimits::kMaxHeaderLines))));
  EXPECT_EQ("", server.Exchange(withHeaders(ServerLimits::kMaxHeaderLines + 1)));
}

TEST(HttpThreadBounds, DribblingPeerIsCutOffAfterTheHeadTimeLimit) {
  TServerHarness server("", [](TTCPHttpDaemon& d) {
    d.TimeoutMs = 1000;
    d.HeadTimeLimitMs = 400;
  });
  UniqueFd fd = server.Connect();
  const std::string request = "GET /slow HTTP/1.0\r\nX-Dribble: " + std::string(40, 'd');
  std::size_t sent = 0;
  // A byte every 50 ms: each wait is far below the 1000 ms time-out.
  for (; sent < request.size(); ++sent) {
    if (::send(fd.get(), &request[sent], 1, MSG_NOSIGNAL) != 1) break;
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) break;  // the server closed
  }
  EXPECT_EQ("", TServerHarness::ReadAll(fd.get(), 5000));
  EXPECT_LT(sent, request.size());  // cut off before the head was complete
}

TEST(HttpThreadBounds, PlainBodySize) {
  TServerHarness server(MIRELO_TEST_PLUGIN_DIR);
  auto post = [](std::int64_t size) {
    return "POST /take-a HTTP/1.0\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
           std::string(static_cast<std::size_t>(size), 'b');
  };
  EXPECT_TRUE(Replied(server.Exchange(post(ServerLimits::kMaxPlainBody))));
  EXPECT_EQ("", server.Exchange(post(ServerLimits::kMaxPlainBody + 1)));
}

TEST(HttpThreadBounds, PlainBodyLines) {
  TServerHarness server(MIRELO_TEST_PLUGIN_DIR);
  auto post = [](int lines) {
    std::string body;
    for (int i = 0; i < lines; ++i) body += "a\r\n";
    return "POST /take-a HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
  };
  EXPECT_TRUE(Replied(server.Exchange(post(ServerLimits::kMaxPlainBodyLines))));
  EXPECT_EQ("", server.Exchange(post(ServerLimits::kMaxPlainBodyLines + 1)));
}

TEST(HttpThreadBounds, ListenerPausesAtTheWorkerCap) {
  // The idle workers must outlive the setup, which is slow under a thread
  // sanitizer on a busy machine; they end when their peers close.
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.TimeoutMs = 120000; });
  const int cap = ServerLimits::kMaxWorkers;
  std::vector<UniqueFd> idle;
  for (int i = 0; i < cap; ++i) idle.push_back(server.Connect());
  // Wait for them generously: this is not a timing check.
  for (int i = 0; i < 1500 && server.Daemon().RunningWorkers() < cap; ++i)
    std::this_thread::sleep_for(20ms);
  ASSERT_EQ(cap, server.Daemon().RunningWorkers());
  // One past the cap: the kernel queues it, nobody serves it yet.
  UniqueFd extra = server.Connect();
  ASSERT_TRUE(extra);
  TServerHarness::SendAll(extra.get(), "GET /late HTTP/1.0\r\n\r\n");
  pollfd p{extra.get(), POLLIN, 0};
  EXPECT_EQ(0, ::poll(&p, 1, 600));
  EXPECT_EQ(cap, server.Daemon().RunningWorkers());
  // One worker ends: the queued connection is served.
  TServerHarness::SendAll(idle[0].get(), "GET /first HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(Replied(TServerHarness::ReadAll(idle[0].get())));
  EXPECT_NE(std::string::npos,
            TServerHarness::ReadAll(extra.get()).find(RouterPage(server, "/late")));
  idle.clear();  // the rest see their peers close and end
}

// --- Texts ----------------------------------------------------------------

TEST(HttpThreadTexts, TimeZoneText) {
  struct Case {
    int minutes;
    const char* text;
  };
  const Case cases[] = {{0, "+0000"},   {60, "+0100"},   {-210, "-0330"},
                        {345, "+0545"}, {-720, "-1200"}, {840, "+1400"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minutes);
    EXPECT_EQ(c.text, TimeZoneText(c.minutes));
  }
}

TEST(HttpThreadTexts, FormatRfc822Date) {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_wday = 2;
  t.tm_hour = 14;
  t.tm_min = 7;
  t.tm_sec = 9;
  EXPECT_EQ("Tue, 5 Mar 2024 14:07:09 +0100", FormatRfc822Date(t, 60));
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_wday = 0;
  t.tm_hour = 0;
  t.tm_min = 0;
  t.tm_sec = 0;
  EXPECT_EQ("Sun, 31 Dec 2024 00:00:00 -0330", FormatRfc822Date(t, -210));
}

TEST(HttpThreadTexts, SplitTextLines) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r\nb", {"a", "b"}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\rb\n", {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {std::string("a\nb\0c\nd", 7), {"a", "b"}},
      {"\r\n\r\n", {"", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.lines, SplitTextLines(c.text));
    EXPECT_EQ(c.lines.size(), CountTextLines(c.text));
    // Text already in CR LF lines is sent as it is: the same bytes.
    if (IsCrLfText(c.text)) {
      std::string joined;
      for (const auto& line : c.lines) joined += line + "\r\n";
      EXPECT_EQ(c.text, joined);
    }
  }
  const std::pair<std::string, bool> crlf[] = {
      {"", true},     {"a\r\n", true},     {"a\r\n\r\nb\r\n", true},
      {"a", false},   {"a\r\nb", false},   {"a\n", false},
      {"a\r", false}, {"a\rb\r\n", false}, {std::string("a\0\r\n", 4), false},
  };
  for (const auto& [text, expected] : crlf) EXPECT_EQ(expected, IsCrLfText(text)) << text;
}

// IsCrLfText against its definition (no zero byte, and the split lines joined
// with CR LF give the text back), with each special byte at every position of
// texts long enough to be scanned in blocks, and cut at every length.
TEST(HttpThreadTexts, CrLfTextAtEveryPosition) {
  std::string base;
  for (int line = 0; line < 4; ++line) base += std::string(9 + 7 * line, 'a' + line) + "\r\n";
  const auto definition = [](const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    std::string joined;
    for (const auto& line : SplitTextLines(text)) joined += line + "\r\n";
    return joined == text;
  };
  int trueCases = 0;
  for (std::size_t length = 0; length <= base.size(); ++length) {
    const std::string cut = base.substr(0, length);
    EXPECT_EQ(definition(cut), IsCrLfText(cut)) << length;
    trueCases += IsCrLfText(cut);
  }
  EXPECT_EQ(5, trueCases);  // empty and after each line end
  for (std::size_t at = 0; at < base.size(); ++at) {
    for (const char special : {'\0', '\r', '\n', 'x'}) {
      std::string text = base;
      text[at] = special;
      EXPECT_EQ(definition(text), IsCrLfText(text)) << at << " " << int(special);
    }
  }
}

}  // namespace
