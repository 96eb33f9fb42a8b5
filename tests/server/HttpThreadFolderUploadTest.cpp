// Uploads of several files into a folder of the share at "/.mirelo/upload/":
// what is stored, what is refused and said so, confinement, cut-off bodies
// and the connection kept after the answer.
#include "ServerHarness.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

namespace {

using namespace testing_server;
using namespace std::chrono_literals;

struct TPart {
  std::string fileName;  // empty: a plain form field
  std::string bytes;
};

std::string Multipart(const std::vector<TPart>& parts) {
  std::string body;
  for (const auto& p : parts) {
    body += "--XyZzy\r\nContent-Disposition: form-data; name=\"";
    body += p.fileName.empty() ? "note\"" : "file\"; filename=\"" + p.fileName + "\"";
    body += "\r\nContent-Type: application/octet-stream\r\n\r\n" + p.bytes + "\r\n";
  }
  return body + "--XyZzy--\r\n";
}

std::string UploadRequest(const std::string& path, const std::string& body,
                          const std::string& protocol = "HTTP/1.1") {
  return "POST /.mirelo/upload/" + path + " " + protocol +
         "\r\nHost: a\r\nContent-Type: multipart/form-data; boundary=XyZzy\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Status line and body of a reply.
std::pair<std::string, std::string> StatusAndBody(const std::string& reply) {
  return {reply.substr(0, reply.find("\r\n")), reply.substr(reply.find("\r\n\r\n") + 4)};
}

TEST(HttpThreadFolderUpload, StoresEveryFileWithoutReplacingAny) {
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.AllowUploads = true; });
  server.Root().Write("photos 2024/one.txt", "the old one");
  std::string big(300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  // Content that looks like a delimiter without its line end stays content.
  const std::string tricky = "--XyZzy\r--XyZzy-\n\r\n--XyZz";
  const std::string body = Multipart({{"one.txt", "new one"},
                                      {"", "a form field between the files"},
                                      {"C:\\Users\\me\\big.bin", big},
                                      {"tricky.txt", tricky}});
  const auto [status, json] =
      StatusAndBody(server.Exchange(UploadRequest("photos%202024/", body, "HTTP/1.1") +
                                    "GET /.mirelo/zip/x HTTP/1.1\r\n"
                                    "Connection: close\r\n\r\n"));
  EXPECT_EQ("HTTP/1.1 200 OK", status);
  // The reply of the request that followed on the same connection comes after it.
  const std::string expected =
      "{\"files\":[{\"name\":\"one.txt\",\"stored\":\"one (2).txt\"},"
      "{\"name\":\"C:\\\\Users\\\\me\\\\big.bin\",\"stored\":\"big.bin\"},"
      "{\"name\":\"tricky.txt\",\"stored\":\"tricky.txt\"}],\"stored\":3}\n";
  EXPECT_EQ(0u, json.rfind(expected + "HTTP/1.0 404\r\n", 0)) << json;
  EXPECT_EQ("the old one", server.Root().Read("photos 2024/one.txt"));
  EXPECT_EQ("new one", server.Root().Read("photos 2024/one (2).txt"));
  EXPECT_EQ(big, server.Root().Read("photos 2024/big.bin"));
  EXPECT_EQ(tricky, server.Root().Read("photos 2024/tricky.txt"));
  server.WaitIdle();
  // Nothing else: no temporary file, nothing at the top of the share.
  EXPECT_EQ((std::vector<std::string>{"photos 2024"}), server.Root().Entries());
  std::size_t inFolder = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(server.Root() / "photos 2024"))
    ++inFolder;
  EXPECT_EQ(4u, inFolder);
}

TEST(HttpThreadFolderUpload, RefusalsAreAnsweredAndStoreNothing) {
  TempFolder outside;
  struct Case {
    bool uploads;
    std::string path;
    std::vector<TPart> parts;
    std::string status;
    std::string json;
  };
  const std::vector<Case> cases = {
      {false,
       "sub/",
       {{"a.txt", "a"}},
       "HTTP/1.1 403 Forbidden",
       "{\"files\":[],\"stored\":0,\"refused\":\"uploads are not accepted\"}\n"},
      {true,
       "missing/",
       {{"a.txt", "a"}},
       "HTTP/1.1 404 Not Found",
       "{\"files\":[],\"stored\":0,\"refused\":\"no such folder\"}\n"},
      {true,
       ".hidden/",
       {{"a.txt", "a"}},
       "HTTP/1.1 404 Not Found",
       "{\"files\":[],\"stored\":0,\"refused\":\"no such folder\"}\n"},
      {true,
       "out/",
       {{"a.txt", "a"}},
       "HTTP/1.1 404 Not Found",
       "{\"files\":[],\"stored\":0,\"refused\":\"no such folder\"}\n"},
      {true,
       "sub/..%2F..%2F",
       {{"a.txt", "a"}},
       "HTTP/1.1 404 Not Found",
       "{\"files\":[],\"stored\":0,\"refused\":\"no such folder\"}\n"},
      {true,
       "sub/",
       {{"", "no file at all"}},
       "HTTP/1.1 400 Bad Request",
       "{\"files\":[],\"stored\":0,\"refused\":\"no file in the upload\"}\n"},
      {true,
       "sub/",
       {{".htaccess", "h"}, {"", "x"}, {"dir/..", "d"}, {"", ""}},
       "HTTP/1.1 400 Bad Request",
       "{\"files\":[{\"name\":\".htaccess\",\"refused\":\"hidden names are not accepted\"},"
       "{\"name\":\"dir/..\",\"refused\":\"not a usable file name\"}],\"stored\":0}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.json);
    TServerHarness server("", [&](TTCPHttpDaemon& d) {
      d.AllowUploads = c.uploads;
      d.KeepAliveIdleMs = 100;
    });
    server.Root().Mkdir("sub");
    server.Root().Mkdir(".hidden");
    fs::create_symlink(outside.Path(), server.Root() / "out");
    const auto [status, json] =
        StatusAndBody(server.Exchange(UploadRequest(c.path, Multipart(c.parts))));
    EXPECT_EQ(c.status, status);
    EXPECT_EQ(c.json, json);
    server.WaitIdle();
    EXPECT_TRUE(fs::is_empty(server.Root() / "sub"));
    EXPECT_TRUE(fs::is_empty(server.Root() / ".hidden"));
    EXPECT_TRUE(fs::is_empty(outside.Path()));
  }
}

TEST(HttpThreadFolderUpload, ClientPathsAreCutToTheirLastName) {
  TServerHarness server("", [](TTCPHttpDaemon& d) {
    d.AllowUploads = true;
    d.KeepAliveIdleMs = 100;
  });
  server.Root().Mkdir("a/b");
  const auto [status, json] = StatusAndBody(
      server.Exchange(UploadRequest("a/b", Multipart({{"../../../escape.txt", "e"}}))));
  EXPECT_EQ("HTTP/1.1 200 OK", status);
  EXPECT_EQ("e", server.Root().Read("a/b/escape.txt"));
  EXPECT_FALSE(server.Root().Exists("escape.txt"));
}

TEST(HttpThreadFolderUpload, AClientThatWaitsForContinueGetsIt) {
  for (const bool uploads : {true, false}) {
    SCOPED_TRACE(uploads);
    TServerHarness server("", [&](TTCPHttpDaemon& d) {
      d.AllowUploads = uploads;
      d.KeepAliveIdleMs = 100;
    });
    server.Root().Mkdir("sub");
    const std::string body = Multipart({{"a.txt", "a"}});
    std::string head = UploadRequest("sub", body, "HTTP/1.1");
    head = head.substr(0, head.size() - body.size() - 2) + "Expect: 100-continue\r\n\r\n";
    UniqueFd fd = server.Connect();
    ASSERT_TRUE(TServerHarness::SendAll(fd.get(), head));
    if (uploads) {
      // The body goes only after the interim answer, which comes alone.
      char interim[25] = {};
      ASSERT_EQ(25, ::recv(fd.get(), interim, sizeof interim, MSG_WAITALL));
      EXPECT_EQ("HTTP/1.1 100 Continue\r\n\r\n", std::string(interim, 25));
      ASSERT_TRUE(TServerHarness::SendAll(fd.get(), body));
    }
    const std::string reply = TServerHarness::ReadAll(fd.get(), 3000);
    EXPECT_EQ(0u, reply.rfind(uploads ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.0 403\r\n", 0)) << reply;
    EXPECT_EQ(uploads ? "a" : "", server.Root().Read("sub/a.txt"));
  }
}

TEST(HttpThreadFolderUpload, ACutOffBodyKeepsOnlyTheWholeFiles) {
  TServerHarness server("", [](TTCPHttpDaemon& d) {
    d.AllowUploads = true;
    d.TimeoutMs = 300;
  });
  server.Root().Mkdir("sub");
  const std::string body = Multipart({{"whole.txt", "whole"}, {"cut.txt", std::string(5000, 'c')}});
  const std::string request = UploadRequest("sub", body);
  for (const bool stall : {false, true}) {
    SCOPED_TRACE(stall);
    UniqueFd fd = server.Connect();
    ASSERT_TRUE(TServerHarness::SendAll(fd.get(), request.substr(0, request.size() - 2000)));
    // A visitor who leaves, or one who stops sending: no answer either way.
    if (!stall) ::shutdown(fd.get(), SHUT_WR);
    EXPECT_EQ("", TServerHarness::ReadAll(fd.get(), 5000));
    server.WaitIdle();
  }
  EXPECT_EQ((std::vector<std::string>{"whole (2).txt", "whole.txt"}), [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(server.Root() / "sub"))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }());
}

TEST(HttpThreadFolderUpload, ABodySplitAtEveryByteIsReadAlike) {
  TServerHarness server("", [](TTCPHttpDaemon& d) { d.AllowUploads = true; });
  server.Root().Mkdir("sub");
  const std::string request = UploadRequest(
      "sub/", Multipart({{"a.txt", "first"}, {"", "v"}, {"b.txt", "second"}}), "HTTP/1.0");
  const std::size_t bodyStart = request.find("\r\n\r\n") + 4;
  for (std::size_t cut = bodyStart; cut < request.size(); ++cut) {
    SCOPED_TRACE(cut);
    UniqueFd fd = server.Connect();
    ASSERT_TRUE(TServerHarness::SendAll(fd.get(), request.substr(0, cut)));
    std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(TServerHarness::SendAll(fd.get(), request.substr(cut)));
    const std::string reply = TServerHarness::ReadAll(fd.get(), 5000);
    ASSERT_EQ(0u, reply.rfind("HTTP/1.0 200\r\n", 0)) << reply;
    ASSERT_NE(std::string::npos, reply.find("\"stored\":2}")) << reply;
  }
  EXPECT_EQ("first", server.Root().Read("sub/a.txt"));
  EXPECT_EQ("second", server.Root().Read("sub/b.txt"));
}

}  // namespace
