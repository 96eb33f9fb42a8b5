// The gallery style over a real connection: its answers keep the connection
// for the browser's next request, and everything with a time of its own
// (assets, thumbnails, previews, files) answers a current copy with 304.
// The classic style neither keeps nor dates.
#include "ServerHarness.h"
#include "imaging/CacheKeeper.h"
#include "server/GalleryAssets.h"
#include "server/HttpText.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <memory>

namespace {

using namespace testing_server;

struct TReply {
  std::string head;  // status line and header lines, ended by the empty line
  std::string body;
  int Status() const { return head.size() > 12 ? std::stoi(head.substr(9, 3)) : 0; }
  bool Kept() const { return head.find("\r\nConnection: keep-alive\r\n") != std::string::npos; }
  // The value of the first header line starting with name (and ": ").
  std::string Header(const std::string& name) const {
    const std::size_t at = head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const std::size_t from = at + name.size() + 4;
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

// Reads one response from fd: its body by Content-Length, none for a 304,
// else up to the close.
TReply ReadReply(int fd) {
  TReply r;
  char c;
  while (r.head.find("\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0 || ::recv(fd, &c, 1, 0) != 1) return r;
    r.head.push_back(c);
  }
  if (r.Status() == 304) return r;
  const std::string length = r.Header("Content-Length");
  if (length.empty()) {
    r.body = TServerHarness::ReadAll(fd);
    return r;
  }
  r.body.resize(std::stoul(length));
  std::size_t got = 0;
  while (got < r.body.size()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    const ssize_t n = ::recv(fd, r.body.data() + got, r.body.size() - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  r.body.resize(got);
  return r;
}

TReply Ask(int fd, const std::string& uri, const std::string& extra = {}) {
  EXPECT_TRUE(
      TServerHarness::SendAll(fd, "GET " + uri + " HTTP/1.1\r\nHost: a\r\n" + extra + "\r\n"));
  return ReadReply(fd);
}

// When the shared files last changed, and when a changed one did.
constexpr std::time_t kWritten = 1700000000;
constexpr std::time_t kChanged = kWritten + 100;

void SetFileTime(const std::string& path, std::time_t when) {
  const timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0)) << path;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class GalleryKept : public ::testing::Test {
 protected:
  void Start(TPageStyle style) {
    server_ = std::make_unique<TServerHarness>("", [&](TTCPHttpDaemon& d) {
      d.PageStyle = style;
      d.Cache = &cache_;
    });
    root_ = server_->Root().Path().string() + "/";
    ::mkdir((root_ + "Trip").c_str(), 0755);
    const std::string jpeg = ReadFile(SystemFolder() + "not found.jpg");
    for (const char* name : {"Trip/a.jpg", "Trip/b.jpg", "Trip/c.jpg"}) {
      WriteFile(root_ + name, jpeg);
      SetFileTime(root_ + name, kWritten);
    }
    WriteFile(root_ + "Trip/clip.mp4", "0123456789abcdef");
    SetFileTime(root_ + "Trip/clip.mp4", kWritten);
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The thumbnail addresses a page names, in order.
  static std::vector<std::string> Thumbs(const std::string& page) {
    std::vector<std::string> found;
    for (std::size_t at = page.find("\"/TAMBNEIL/"); at != std::string::npos;
         at = page.find("\"/TAMBNEIL/", at + 1))
      found.push_back(page.substr(at + 1, page.find('"', at + 1) - at - 1));
    return found;
  }

  TempFolder cacheFolder_;
  TCacheObj cache_{cacheFolder_.Slash() + "cache/"};
  std::unique_ptr<TServerHarness> server_;
  std::string root_;
};

TEST_F(GalleryKept, APageAndItsThumbnailsShareOneConnection) {
  Start(TPageStyle::Gallery);
  UniqueFd fd = server_->Connect();
  const TReply page = Ask(fd.get(), "/Trip/");
  ASSERT_EQ(200, page.Status()) << page.head;
  EXPECT_EQ(0u, page.head.rfind("HTTP/1.1 200 OK\r\n", 0)) << page.head;
  EXPECT_TRUE(page.Kept()) << page.head;
  const std::vector<std::string> thumbs = Thumbs(page.body);
  ASSERT_EQ(3u, thumbs.size()) << page.body;
  for (const std::string& thumb : thumbs) {
    SCOPED_TRACE(thumb);
    const TReply t = Ask(fd.get(), thumb);
    EXPECT_EQ(200, t.Status()) << t.head;
    EXPECT_TRUE(t.Kept()) << t.head;
    EXPECT_EQ("image/jpeg", t.Header("Content-type"));
    EXPECT_EQ(std::to_string(t.body.size()), t.Header("Content-Length"));
    EXPECT_EQ(0u, t.body.rfind("\xFF\xD8", 0));
  }
  // Then the rest a visitor's browser asks for, still on the same socket;
  // the not-found page keeps it too. The last request closes it.
  const std::string asset = "/.mirelo/assets/" + std::string(kGalleryAssetTable[0].Name);
  for (const std::string& uri :
       {asset, std::string("/.mirelo/preview/Trip/a.jpg"),
        std::string("/.mirelo/view/Trip/clip.mp4"), std::string("/download?Trip/clip.mp4"),
        std::string("/nothing/")}) {
    SCOPED_TRACE(uri);
    const TReply r = Ask(fd.get(), uri);
    EXPECT_EQ(uri == "/nothing/" ? 404 : 200, r.Status()) << r.head;
    EXPECT_TRUE(r.Kept()) << r.head;
    EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
  }
  const TReply range = Ask(fd.get(), "/.mirelo/view/Trip/clip.mp4", "Range: bytes=4-7\r\n");
  EXPECT_EQ(206, range.Status());
  EXPECT_TRUE(range.Kept());
  EXPECT_EQ("4567", range.body);
  const TReply last = Ask(fd.get(), "/Trip/", "Connection: close\r\n");
  EXPECT_EQ(200, last.Status());
  EXPECT_FALSE(last.Kept());
}

TEST_F(GalleryKept, EveryKindAnswersACurrentCopyWithNotModified) {
  Start(TPageStyle::Gallery);
  UniqueFd fd = server_->Connect();
  const std::vector<std::string> thumbs = Thumbs(Ask(fd.get(), "/Trip/").body);
  ASSERT_FALSE(thumbs.empty());
  const std::string asset = "/.mirelo/assets/" + std::string(kGalleryAssetTable[0].Name);
  struct Case {
    std::string uri;
    std::string range;
    int status;
  };
  const Case cases[] = {
      {asset, "", 200},
      {thumbs[0], "", 200},
      {"/.mirelo/preview/Trip/b.jpg", "", 200},
      {"/.mirelo/view/Trip/clip.mp4", "", 200},
      {"/.mirelo/view/Trip/clip.mp4", "Range: bytes=2-\r\n", 206},
      {"/download?Trip/clip.mp4", "", 200},
      {"/download?Trip/clip.mp4", "Range: bytes=0-0\r\n", 206},
      {"/Trip/c.jpg", "", 200},
  };
  const std::string past = FormatHttpDate(kWritten - 1000);
  const std::string future = FormatHttpDate(std::time(nullptr) + 100000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri + " " + c.range);
    const TReply first = Ask(fd.get(), c.uri, c.range);
    ASSERT_EQ(c.status, first.Status()) << first.head;
    const std::string modified = first.Header("Last-Modified");
    ASSERT_FALSE(modified.empty()) << first.head;

    const TReply again = Ask(fd.get(), c.uri, c.range + "If-Modified-Since: " + modified + "\r\n");
    EXPECT_EQ(0u, again.head.rfind("HTTP/1.1 304 Not Modified\r\n", 0)) << again.head;
    EXPECT_EQ(modified, again.Header("Last-Modified"));
    EXPECT_TRUE(again.Kept());
    EXPECT_EQ("", again.Header("Content-Length"));

    // An older copy, a date from the future or a date in no known form is
    // no current copy.
    for (const std::string& since : {past, future, std::string("yesterday")}) {
      SCOPED_TRACE(since);
      const TReply fresh = Ask(fd.get(), c.uri, c.range + "If-Modified-Since: " + since + "\r\n");
      EXPECT_EQ(c.status, fresh.Status()) << fresh.head;
      EXPECT_EQ(first.body, fresh.body);
    }
  }
  // Files are dated by their own time.
  EXPECT_EQ(FormatHttpDate(kWritten),
            Ask(fd.get(), "/download?Trip/clip.mp4").Header("Last-Modified"));
}

TEST_F(GalleryKept, AChangedFileIsSentAgain) {
  Start(TPageStyle::Gallery);
  UniqueFd fd = server_->Connect();
  const std::string jpeg = ReadFile(root_ + "Trip/a.jpg");
  for (const std::string& uri :
       std::vector<std::string>{"/.mirelo/view/Trip/clip.mp4", "/download?Trip/clip.mp4",
                                "/.mirelo/preview/Trip/a.jpg", "/Trip/a.jpg"}) {
    SCOPED_TRACE(uri);
    const bool picture = uri.ends_with(".jpg");
    const std::string file = root_ + (picture ? "Trip/a.jpg" : "Trip/clip.mp4");
    const TReply first = Ask(fd.get(), uri);
    ASSERT_EQ(200, first.Status());
    const std::string since = "If-Modified-Since: " + first.Header("Last-Modified") + "\r\n";
    ASSERT_EQ(304, Ask(fd.get(), uri, since).Status());
    // Changed later (but still in the past): the whole new answer.
    WriteFile(file, picture ? jpeg : std::string("changed"));
    SetFileTime(file, kChanged);
    const TReply changed = Ask(fd.get(), uri, since);
    EXPECT_EQ(200, changed.Status()) << changed.head;
    EXPECT_EQ(FormatHttpDate(kChanged), changed.Header("Last-Modified"));
    if (!picture) {
      EXPECT_EQ("changed", changed.body);
    }
    EXPECT_EQ(304,
              Ask(fd.get(), uri, "If-Modified-Since: " + changed.Header("Last-Modified") + "\r\n")
                  .Status());
    SetFileTime(file, kWritten);
  }
}

TEST_F(GalleryKept, ClassicNeitherKeepsNorDates) {
  Start(TPageStyle::Classic);
  const std::string since = "If-Modified-Since: " + FormatHttpDate(std::time(nullptr)) + "\r\n";
  std::string thumb;
  {
    UniqueFd fd = server_->Connect();
    const std::vector<std::string> thumbs = Thumbs(Ask(fd.get(), "/Trip/").body);
    ASSERT_FALSE(thumbs.empty());
    thumb = thumbs[0];
  }
  for (const std::string& uri :
       {std::string("/Trip/"), thumb, std::string("/.mirelo/preview/Trip/a.jpg"),
        std::string("/download?Trip/clip.mp4"), std::string("/Trip/a.jpg")}) {
    SCOPED_TRACE(uri);
    UniqueFd fd = server_->Connect();
    const TReply r = Ask(fd.get(), uri, since);
    EXPECT_EQ(0u, r.head.rfind("HTTP/1.0 200\r\n", 0)) << r.head;
    EXPECT_NE(std::string::npos, r.head.find("\r\nConnection: close\r\n")) << r.head;
    EXPECT_EQ("", r.Header("Last-Modified"));
    EXPECT_FALSE(r.body.empty());
  }
}

}  // namespace
