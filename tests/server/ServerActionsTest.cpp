// Tests of the router, the pages, the downloads and the picture route over a
// real shared folder in a temporary directory.
#include "ServerFixture.h"
#include "base/StartUp.h"
#include "imaging/Bitmap.h"
#include "imaging/CacheKeeper.h"
#include "imaging/JpegImage.h"
#include "net/tcpsocket.h"
#include "server/RequestText.h"
#include "server/ServerActions.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using servertest::ReadAll;
using servertest::Request;
using servertest::Response;
using servertest::WriteAll;

class Router : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.Slash() + "share/";
    mkdir(root_.c_str(), 0755);
    mkdir((root_ + "sub").c_str(), 0755);
    mkdir((root_ + "My Uploads").c_str(), 0755);
    mkdir((root_ + "UPLOADING").c_str(), 0755);
    mkdir((root_ + "uploading").c_str(), 0755);
    WriteAll(root_ + "a.txt", "alpha text");
    WriteAll(root_ + "sub/a.txt", "sub text");
    WriteAll(root_ + "My Uploads/inside.txt", "x");
    WriteAll(root_ + "UPLOADING/upper.txt", "x");
    WriteAll(root_ + "uploading/lower.txt", "x");
    notFound_ = ReadAll(SystemFolder() + "not found.jpg");
    WriteAll(root_ + "photo.jpg", notFound_);
    WriteAll(root_ + "photo.bmp", servertest::TinyBmp());
    // Beside the shared folder: nothing may reach these.
    WriteAll(temp_.Slash() + "outside-secret.txt", "SECRET");
    WriteAll(temp_.Slash() + "outside-secret.jpg", ReadAll(SystemFolder() + "not found.jpg") + "S");
    cache_ = std::make_unique<TCacheObj>(temp_.Slash() + "cache/");
  }
  Response Get(const std::string& uri, bool uploads = true) {
    return Request(root_, cache_.get(), uploads, uri);
  }

  TempFolder temp_;
  std::string root_;
  std::string notFound_;
  std::unique_ptr<TCacheObj> cache_;
};

bool IsListing(const Response& r) {
  return r.kind == THttpResponse::TBody::Text &&
         r.Header("Content-type: ") == "Text/Html; charset=UTF-8" &&
         r.body.find("<td align=\"center\" width=\"408\">File name</td>") != std::string::npos;
}

TEST_F(Router, PicksTheActionByMarker) {
  enum Kind { Listing, Download, Picture, UploadForm, Search };
  struct Case {
    const char* uri;
    Kind kind;
    const char* detail;  // listed name, download name or picture name
  };
  const Case cases[] = {
      {"/", Listing, "a.txt"},
      {"/%2F", Listing, "a.txt"},
      {"/Download?a.txt", Download, "a.txt"},
      {"/x/DOWNLOAD?a.txt", Download, "a.txt"},
      {"/download?a.txt", Download, "a.txt"},
      {"/download?sub/a.txt", Download, "a.txt"},
      {"/download?sub%2Fa.txt", Download, "a.txt"},
      {"/download?photo.jpg", Download, "photo.jpg"},
      {"/sub/SystemImg/folder.jpg", Picture, "mirelo folder.gif"},
      {"/SYSTEMIMG/FOLDER.JPG", Picture, "mirelo folder.gif"},
      {"/SystemImg/anything", Picture, "mirelo file.gif"},
      {"/photo.JPG", Picture, "photo.JPG"},
      {"/photo.bmp", Picture, "photo.bmp"},
      {"/My%20Uploads/", Listing, "inside.txt"},
      {"/My+Uploads/", Listing, "inside.txt"},
      {"/UPLOADING", Listing, "upper.txt"},
      {"/uploading", Listing, "lower.txt"},
      {"/x/cmduploadfile/", UploadForm, ""},
      {"/CmdUploadFile?sub%2F", UploadForm, ""},
      {"/search?", Search, ""},
      {"/search?searchtext=a&path=", Search, "/a.txt"},
      {"/sub/", Listing, "a.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uri);
    const Response r = Get(c.uri);
    switch (c.kind) {
      case Listing:
        EXPECT_TRUE(IsListing(r));
        EXPECT_NE(std::string::npos, r.body.find(std::string(">") + c.detail + "</a>"));
        EXPECT_TRUE(r.result);
        break;
      case Download:
        EXPECT_EQ(THttpResponse::TBody::File, r.kind);
        EXPECT_TRUE(r.body.empty());
        EXPECT_FALSE(r.result);
        ASSERT_TRUE(r.hasDownload);
        EXPECT_EQ("application/force-download", r.Header("Content-type: "));
        EXPECT_EQ(std::to_string(r.download.size()), r.Header("Content-Length: "));
        EXPECT_EQ(std::string("attachment; filename=\"") + c.detail + "\";",
                  r.Header("Content-Disposition: "));
        break;
      case Picture:
        EXPECT_EQ(THttpResponse::TBody::Bytes, r.kind);
        EXPECT_TRUE(r.result);
        EXPECT_EQ("image/jpeg", r.Header("Content-type: "));
        EXPECT_EQ(std::to_string(r.body.size()), r.Header("Content-Length: "));
        EXPECT_EQ(std::string("attachment; filename=\"") + c.detail + "\";",
                  r.Header("Content-Disposition: "));
        ASSERT_GT(r.body.size(), 4u);
        EXPECT_EQ("\xFF\xD8", r.body.substr(0, 2));
        break;
      case UploadForm:
        EXPECT_EQ(THttpResponse::TBody::Text, r.kind);
        EXPECT_NE(std::string::npos, r.body.find("action=\"/upload\""));
        break;
      case Search:
        EXPECT_EQ(THttpResponse::TBody::Text, r.kind);
        EXPECT_NE(std::string::npos, r.body.find("<form method=\"get\" action=\"/search\">"));
        if (*c.detail) {
          EXPECT_NE(std::string::npos, r.body.find(std::string(">") + c.detail + "</a>"));
        } else {
          EXPECT_EQ(std::string::npos, r.body.find("width=\"726\">File</td>"));
        }
        break;
    }
  }
}

TEST_F(Router, DeliversExactBytes) {
  EXPECT_EQ("alpha text", Get("/download?a.txt").download);
  EXPECT_EQ("sub text", Get("/download?sub/a.txt").download);
  // A JPEG goes out unchanged, both as a picture and as a download.
  EXPECT_EQ(notFound_, Get("/photo.jpg").body);
  EXPECT_EQ(notFound_, Get("/download?photo.jpg").download);
  // A missing file: "not found.jpg", as a download of that name.
  const Response missing = Get("/download?missing.txt");
  EXPECT_EQ(notFound_, missing.download);
  EXPECT_EQ("attachment; filename=\"not found.jpg\";", missing.Header("Content-Disposition: "));
  // A missing picture: the not-found picture under the requested name.
  const Response picture = Get("/sub/none.png");
  EXPECT_EQ(notFound_, picture.body);
  EXPECT_EQ("attachment; filename=\"sub/none.png\";", picture.Header("Content-Disposition: "));
  // The thumbnail route with no name.
  const Response noThumb = Get("/TAMBNEIL/");
  EXPECT_EQ(notFound_, noThumb.body);
  EXPECT_EQ("attachment; filename=\"\";", noThumb.Header("Content-Disposition: "));
}

TEST_F(Router, MalformedEscapesAbandonTheRequest) {
  for (const char* uri : {"/a%4", "/%G1", "/download?%", "/search?x=%zz"}) {
    SCOPED_TRACE(uri);
    EXPECT_THROW(Get(uri), std::runtime_error);
  }
}

TEST_F(Router, DownloadStreamsInFullBlocks) {
  std::string big(65537, 'b');
  big[65536] = 'E';
  WriteAll(root_ + "big.bin", big);
  TServerActions actions;
  actions.RootFolder = root_;
  actions.SystemFolder = SystemFolder();
  THttpResponse response = actions.HandleRequest("/download?big.bin");
  TFileRange& file = response.File;
  ASSERT_TRUE(file.File);
  std::string block(TFileRange::kBlockSize, '\0');
  EXPECT_EQ(65536, file.ReadBlock(block.data()));
  EXPECT_EQ(1, file.ReadBlock(block.data()));
  EXPECT_EQ('E', block[0]);
  EXPECT_EQ(0, file.ReadBlock(block.data()));

  // The same bytes through the socket, from the start.
  file.Offset = 0;
  file.Length = static_cast<std::int64_t>(big.size());
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  UniqueFd sender(pair[0]);
  UniqueFd receiver(pair[1]);
  std::string received;
  std::thread reader([&] {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(receiver.get(), buf, sizeof buf);
      if (n <= 0) break;
      received.append(buf, static_cast<size_t>(n));
    }
  });
  TTcpBlockingSocket socket;
  socket.AdoptHandle(std::move(sender));
  socket.SendTimeoutMs = 5000;
  EXPECT_TRUE(file.Send(socket));
  socket.Close();
  reader.join();
  EXPECT_EQ(big, received);

  WriteAll(root_ + "empty.bin", "");
  const Response empty = Get("/download?empty.bin");
  EXPECT_EQ("0", empty.Header("Content-Length: "));
  EXPECT_TRUE(empty.download.empty());
}

// A Range header on a download: one satisfiable range is sent in part, one
// past the end is refused, anything else gets the whole file as without it.
TEST_F(Router, DownloadRanges) {
  std::string file(1000, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 7 + i / 251);
  WriteAll(root_ + "r.bin", file);
  WriteAll(root_ + "empty.bin", "");
  struct Case {
    const char* name;
    std::vector<std::string> headers;
    int status;
    const char* contentRange;  // "<none>": no such header
    size_t first, length;      // the bytes of the file sent
  };
  const Case cases[] = {
      {"r.bin", {}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: bytes=0-99"}, 206, "bytes 0-99/1000", 0, 100},
      {"r.bin", {"Host: x", "Range: bytes=990-"}, 206, "bytes 990-999/1000", 990, 10},
      {"r.bin", {"Range: bytes=-10"}, 206, "bytes 990-999/1000", 990, 10},
      {"r.bin", {"Range: bytes=-5000"}, 206, "bytes 0-999/1000", 0, 1000},
      {"r.bin", {"Range: bytes=500-5000"}, 206, "bytes 500-999/1000", 500, 500},
      {"r.bin", {"Range: bytes=999-999"}, 206, "bytes 999-999/1000", 999, 1},
      {"r.bin", {"range:BYTES= 7 - 8 "}, 206, "bytes 7-8/1000", 7, 2},
      {"r.bin", {"Range: bytes=1000-"}, 416, "bytes */1000", 0, 0},
      {"r.bin", {"Range: bytes=2000-3000"}, 416, "bytes */1000", 0, 0},
      {"r.bin", {"Range: bytes=-0"}, 416, "bytes */1000", 0, 0},
      {"empty.bin", {"Range: bytes=0-"}, 416, "bytes */0", 0, 0},
      // Malformed, several ranges, another unit: the whole file.
      {"r.bin", {"Range: bytes=5-3"}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: bytes=0-1,5-6"}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: bytes=abc"}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: bytes=-"}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: bytes="}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: bytes=1-2-3"}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: items=0-5"}, 200, "<none>", 0, 1000},
      {"r.bin", {"Range: bytes=99999999999999999999-"}, 200, "<none>", 0, 1000},
      {"r.bin", {"X-Range: bytes=0-5"}, 200, "<none>", 0, 1000},
      // After the empty line come a plain body's lines, not headers.
      {"r.bin", {"Host: x", "", "Range: bytes=0-5"}, 200, "<none>", 0, 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers.empty() ? std::string("none") : c.headers.back());
    const Response r =
        Request(root_, cache_.get(), true, std::string("/download?") + c.name, c.headers);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.contentRange, r.Header("Content-Range: "));
    EXPECT_EQ(std::to_string(c.length), r.Header("Content-Length: "));
    EXPECT_TRUE(r.body.empty());
    if (c.status == 416) {
      EXPECT_FALSE(r.hasDownload);
      EXPECT_EQ("<none>", r.Header("Content-Disposition: "));
      continue;
    }
    EXPECT_EQ("application/force-download", r.Header("Content-type: "));
    EXPECT_EQ(std::string("attachment; filename=\"") + c.name + "\";",
              r.Header("Content-Disposition: "));
    EXPECT_TRUE(file.substr(c.first, c.length) == r.download);
  }
  // A range on a missing file: the whole not-found picture, as without it.
  const Response missing =
      Request(root_, cache_.get(), true, "/download?gone.bin", {"Range: bytes=0-9"});
  EXPECT_EQ(200, missing.status);
  EXPECT_EQ("<none>", missing.Header("Content-Range: "));
  EXPECT_EQ(notFound_, missing.download);
}

TEST_F(Router, DownloadOverFourGibibytesReportsItsSize) {
  const std::string path = root_ + "huge.bin";
  {
    WriteAll(path, "");
    ASSERT_EQ(0, truncate(path.c_str(), 5368709120LL));  // sparse
  }
  TServerActions actions;
  actions.RootFolder = root_;
  actions.SystemFolder = SystemFolder();
  const THttpResponse response = actions.HandleRequest("/download?huge.bin");
  ASSERT_TRUE(response.File.File);
  struct stat st {};
  ASSERT_EQ(0, fstat(response.File.File.get(), &st));
  EXPECT_EQ(5368709120LL, st.st_size);
  EXPECT_EQ(5368709120LL, response.File.Length);
  EXPECT_EQ("Content-Length: 5368709120", response.Headers.at(1));
}

// Every route that reaches the disk, with requests that try to leave the
// shared folder. None may deliver, list or find what lies beside it.
TEST_F(Router, NoRouteLeavesTheSharedFolder) {
  const char* const attempts[] = {
      "/download?../outside-secret.txt",
      "/download?..%2Foutside-secret.txt",
      "/download?..%2F..%2Foutside-secret.txt",
      "/download?sub/../../outside-secret.txt",
      "/download?sub%2F..%2F..%2Foutside-secret.txt",
      "/download?....//outside-secret.txt",
      "/download?..\\outside-secret.txt",
      "/download?%2E%2E%2Foutside-secret.txt",
      "/download?.%2E/outside-secret.txt",
      "/download?...%5C.%5Coutside-secret.txt",
      "/download?/../outside-secret.txt",
      "/download?%2F..%2Foutside-secret.txt",
      "/download?..",
      "/download?sub/..",
      "/download?sub/../..",
      "/download?%00../outside-secret.txt",
      "/DOWNLOAD?x/../../../outside-secret.txt",
      "/../outside-secret.jpg",
      "/..%2Foutside-secret.jpg",
      "/sub/..%2F..%2Foutside-secret.jpg",
      "/%2E%2E/outside-secret.jpg",
      "/....//outside-secret.jpg",
      "/..\\outside-secret.jpg",
      "/TAMBNEIL/../outside-secret.jpg",
      "/TAMBNEIL/..%2F..%2Foutside-secret.jpg",
      "/TAMBNEIL/../share/../outside-secret.jpg",
      "/tambneil/%2E%2E/outside-secret.jpg",
      "/..",
      "/../",
      "/%2E%2E/",
      "/sub/../..",
      "/sub/..%2F..%2F",
      "/....//",
      "/search?searchtext=secret&path=..",
      "/search?searchtext=secret&path=%2E%2E",
      "/search?searchtext=secret&path=sub%2F..%2F..",
      "/search?secret&..",
      "/search?searchtext=secret&path=..%2F",
      "/search?searchtext=secret&path=%2F..",
      "/search?searchtext=outside&path=..",
  };
  const std::string secretJpg = ReadAll(temp_.Slash() + "outside-secret.jpg");
  for (const char* uri : attempts) {
    SCOPED_TRACE(uri);
    const Response r = Get(uri);
    EXPECT_EQ(std::string::npos, r.body.find("outside-secret"));
    EXPECT_EQ(std::string::npos, r.body.find("SECRET"));
    EXPECT_NE(secretJpg, r.body);
    EXPECT_NE("SECRET", r.download);
    EXPECT_NE(secretJpg, r.download);
    // Listings of the parent would show the shared folder itself.
    EXPECT_EQ(std::string::npos, r.body.find(">share</b>"));
    if (r.hasDownload) {
      EXPECT_EQ(notFound_, r.download);
    }
  }
}

// A link inside the shared folder is followed (the user put it there), but
// ".." after it climbs back along the path as written, never from the
// link's target.
TEST_F(Router, LinksAreFollowedButDotDotStaysOnThePath) {
  const std::string outer = temp_.Slash() + "outer/";
  mkdir(outer.c_str(), 0755);
  mkdir((outer + "target").c_str(), 0755);
  WriteAll(outer + "beside-target.txt", "BESIDE");
  WriteAll(outer + "target/in-target.txt", "IN");
  ASSERT_EQ(0, symlink((outer + "target").c_str(), (root_ + "link").c_str()));
  EXPECT_EQ("IN", Get("/download?link/in-target.txt").download);
  EXPECT_NE(std::string::npos, Get("/link/").body.find(">in-target.txt</a>"));
  for (const char* uri :
       {"/download?link/..", "/download?link/../beside-target.txt", "/link/..", "/link/%2E%2E",
        "/search?searchtext=beside&path=link%2F..", "/link/..%2Fbeside-target.txt",
        "/download?link/%2E%2E%2Fbeside-target.txt"}) {
    SCOPED_TRACE(uri);
    const Response r = Get(uri);
    EXPECT_EQ(std::string::npos, r.body.find("beside-target.txt</a>"));
    EXPECT_NE("BESIDE", r.download);
  }
}

TEST_F(Router, OnlyRegularFilesAreFiles) {
  ASSERT_EQ(0, mkfifo((root_ + "pipe.txt").c_str(), 0644));
  ASSERT_EQ(0, mkfifo((root_ + "pipe.jpg").c_str(), 0644));
  symlink("/dev/zero", (root_ + "zero.txt").c_str());
  symlink("/dev/zero", (root_ + "zero.jpg").c_str());
  symlink("/dev/null", (root_ + "null.png").c_str());
  for (const char* uri : {"/download?pipe.txt", "/download?zero.txt", "/download?sub",
                          "/download?pipe.jpg", "/download?"}) {
    SCOPED_TRACE(uri);
    const Response r = Get(uri);
    EXPECT_EQ(notFound_, r.download);
    EXPECT_EQ("attachment; filename=\"not found.jpg\";", r.Header("Content-Disposition: "));
  }
  for (const char* uri : {"/pipe.jpg", "/zero.jpg", "/null.png"}) {
    SCOPED_TRACE(uri);
    EXPECT_EQ(notFound_, Get(uri).body);
  }
  // They are still listed.
  const Response listing = Get("/");
  EXPECT_NE(std::string::npos, listing.body.find(">pipe.txt</a>"));
}

TEST_F(Router, NamesAreEscapedWhereTheyLand) {
  const std::string evilFile = "<img src=x onerror=alert(1)>.txt";
  const std::string evilFolder = "x'+alert(1)+'";
  WriteAll(root_ + evilFile, "e");
  mkdir((root_ + evilFolder).c_str(), 0755);
  WriteAll(root_ + evilFolder + "/in.txt", "i");

  const Response top = Get("/");
  EXPECT_EQ(std::string::npos, top.body.find("<img src=x"));
  EXPECT_NE(std::string::npos, top.body.find(">&lt;img src=x onerror=alert(1)&gt;.txt</a>"));
  // The folder link carries the encoded name; decoding it finds the folder.
  const std::string link = HtmlEscape(UrlEncode(evilFolder)) + "/";
  EXPECT_NE(std::string::npos,
            top.body.find("<a href=\"" + link + "\"><b>x&#39;+alert(1)+&#39;</b>"));

  const Response inside = Get("/" + UrlEncode(evilFolder) + "/");
  EXPECT_NE(std::string::npos, inside.body.find(">in.txt</a>"));
  // No quote mark may end the JavaScript strings of the buttons.
  EXPECT_NE(std::string::npos,
            inside.body.find("location.href='/search?x%27%2Balert(1)%2B%27%2F'"));
  EXPECT_NE(std::string::npos,
            inside.body.find("location.href='/CmdUploadFile?x%27%2Balert(1)%2B%27%2F'"));
  EXPECT_NE(std::string::npos, inside.body.find("name=\"path\" value=\"x&#39;+alert(1)+&#39;/\""));
  // The file links of that folder keep the whole path encoded.
  EXPECT_NE(std::string::npos,
            inside.body.find("href=\"/download?x&#39;%2Balert(1)%2B&#39;/in.txt\""));

  const Response search = Get("/search?searchtext=%22%3E%3Cscript%3E&path=x'%2Balert(1)%2B'");
  EXPECT_EQ(std::string::npos, search.body.find("\"><script>"));
  EXPECT_NE(std::string::npos, search.body.find("value=\"&quot;&gt;&lt;script&gt;\""));
  EXPECT_NE(std::string::npos, search.body.find("location.href='x%27%2Balert%281%29%2B%27'"));

  const Response upload = Get("/CmdUploadFile?%22%3E%3Cscript%3E");
  EXPECT_EQ(std::string::npos, upload.body.find("\"><script>"));
  EXPECT_NE(std::string::npos, upload.body.find("value=\"&quot;&gt;&lt;script&gt;\""));
}

TEST_F(Router, HeaderValuesCannotBeSplit) {
  WriteAll(root_ + "a\r\nSet-Cookie: x=1.txt", "c");
  WriteAll(root_ + "q\"uo\\te.txt", "q");
  const Response file = Get("/download?a%0D%0ASet-Cookie:+x%3D1.txt");
  EXPECT_EQ("c", file.download);
  EXPECT_EQ("attachment; filename=\"a__Set-Cookie: x=1.txt\";",
            file.Header("Content-Disposition: "));
  EXPECT_EQ("attachment; filename=\"q\\\"uo\\\\te.txt\";",
            Get("/download?q%22uo%5Cte.txt").Header("Content-Disposition: "));
  const Response picture = Get("/x%0D%0ASet-Cookie:%20a.jpg");
  for (const auto& h : picture.headers) {
    EXPECT_EQ(std::string::npos, h.find_first_of("\r\n"));
  }
  EXPECT_EQ("attachment; filename=\"x__Set-Cookie: a.jpg\";",
            picture.Header("Content-Disposition: "));
}

TEST_F(Router, FolderLinksLeadBackToTheirFolders) {
  for (const std::string name : {"a#b", "c%d", "e+f", "g?h", "i j", "k&l"}) {
    SCOPED_TRACE(name);
    mkdir((root_ + name).c_str(), 0755);
    WriteAll(root_ + name + "/mark.txt", name);
    const Response top = Get("/");
    const std::string link = HtmlEscape(UrlEncode(name)) + "/";
    EXPECT_NE(std::string::npos, top.body.find("<a href=\"" + link + "\">"));
    // The browser asks for the link relative to "/"; the router decodes it.
    std::string uri = "/";
    uri += UrlEncode(name);
    uri += '/';
    const Response inside = Get(uri);
    EXPECT_NE(std::string::npos, inside.body.find(">mark.txt</a>"));
    EXPECT_EQ(name, Get("/download?" + UrlEncode(name) + "%2Fmark.txt").download);
  }
}

TEST_F(Router, ListingRows) {
  mkdir((root_ + "sub/!first").c_str(), 0755);
  mkdir((root_ + "sub/Zeta").c_str(), 0755);
  WriteAll(root_ + "sub/b.txt", "bb");
  std::string longName;
  for (int i = 0; i < 71; ++i) longName += "\xC3\xA9";
  WriteAll(root_ + "sub/" + longName, "");
  const Response r = Get("/sub/", false);
  // Folders: "!first" sorts before "..", which shows as the Back row.
  const size_t first = r.body.find("<b>!first</b>");
  const size_t back = r.body.find("<a href=\"../\"><b>&lt; Back</b></a>");
  const size_t zeta = r.body.find("<b>Zeta</b>");
  ASSERT_NE(std::string::npos, first);
  EXPECT_LT(first, back);
  EXPECT_LT(back, zeta);
  EXPECT_NE(std::string::npos, r.body.find("<td class=\"FoldOdd\">\r\n<a href=\"!first/\">"));
  EXPECT_NE(std::string::npos, r.body.find("<td class=\"FoldEven\">\r\n<a href=\"../\">"));
  // The long name is cut to 70 characters, never inside a character; its
  // link carries the whole name.
  std::string cut;
  for (int i = 0; i < 70; ++i) cut += "\xC3\xA9";
  EXPECT_NE(std::string::npos, r.body.find(">" + cut + "</a>"));
  EXPECT_NE(std::string::npos, r.body.find("/download?sub/" + UrlEncode(longName) + "\""));
  // Buttons and hidden path; no Upload button when uploads are off.
  EXPECT_NE(std::string::npos, r.body.find("location.href='/search?sub%2F'"));
  EXPECT_EQ(std::string::npos, r.body.find("CmdUploadFile"));
  EXPECT_NE(std::string::npos, r.body.find("<input type=\"hidden\" name=\"path\" value=\"sub/\">"));
  EXPECT_EQ(std::to_string(r.body.size()), r.Header("Content-length: "));
  // A folder that does not exist: the page without rows.
  const Response none = Get("/nothing/here/");
  EXPECT_TRUE(IsListing(none));
  EXPECT_EQ(std::string::npos, none.body.find("<td class="));
}

TEST_F(Router, SearchFindsFilesBelowTheFolder) {
  mkdir((root_ + "pics").c_str(), 0755);
  mkdir((root_ + "pics/cat").c_str(), 0755);
  mkdir((root_ + ".hidden").c_str(), 0755);
  WriteAll(root_ + "pics/Cat.JPG", "1");
  WriteAll(root_ + "sub/mycats.txt", "2");
  WriteAll(root_ + "cat", "3");
  WriteAll(root_ + ".cat", "4");
  WriteAll(root_ + ".hidden/cat.txt", "5");
  ASSERT_EQ(0, mkfifo((root_ + "cat.fifo").c_str(), 0644));
  symlink(root_.c_str(), (root_ + "pics/loop").c_str());  // must not loop forever

  const Response r = Get("/search?searchtext=cat&path=");
  for (const char* found : {">/pics/Cat.JPG</a>", ">/sub/mycats.txt</a>", ">/cat</a>"}) {
    EXPECT_NE(std::string::npos, r.body.find(found)) << found;
  }
  for (const char* absent : {".cat<", "cat.txt<", "cat.fifo<", ">/pics/cat</a>"}) {
    EXPECT_EQ(std::string::npos, r.body.find(absent)) << absent;
  }
  EXPECT_NE(std::string::npos, r.body.find("<a href=\"/download?%2Fpics%2FCat.JPG\">"));
  EXPECT_EQ("1", Get("/download?%2Fpics%2FCat.JPG").download);
  // The first row is Even, the next Odd.
  const size_t even = r.body.find("<td class=\"Even\">");
  const size_t odd = r.body.find("<td class=\"Odd\">");
  EXPECT_NE(std::string::npos, even);
  EXPECT_LT(even, odd);

  // From the listing's Search button: the form only, with the folder.
  const Response button = Get("/search?sub%2Fdir%2F");
  EXPECT_NE(std::string::npos, button.body.find("name=\"searchtext\" size=\"80\" value=\"\">"));
  EXPECT_NE(std::string::npos, button.body.find("name=\"path\" value=\"sub/dir/\">"));
  EXPECT_NE(std::string::npos, button.body.find("location.href='sub/dir/'"));
  EXPECT_EQ(std::string::npos, button.body.find("width=\"726\""));
  // A folder that does not exist: the heads and no rows.
  const Response none = Get("/search?searchtext=cat&path=nowhere");
  EXPECT_NE(std::string::npos, none.body.find("width=\"726\""));
  EXPECT_EQ(std::string::npos, none.body.find("/download?"));
}

TEST_F(Router, SearchCutsLongPathsAt120Characters) {
  const std::string folder(110, 'd');
  mkdir((root_ + folder).c_str(), 0755);
  WriteAll(root_ + folder + "/xyz4567", "");    // "/" + 110 + "/" + 7 = 119... below
  WriteAll(root_ + folder + "/xyz45678", "");   // 120 characters with the leading "/"
  WriteAll(root_ + folder + "/xyz456789", "");  // 121
  const Response r = Get("/search?searchtext=xyz&path=");
  const std::string p120 = "/" + folder + "/xyz45678";
  const std::string p121 = "/" + folder + "/xyz456789";
  ASSERT_EQ(120u, p120.size());
  EXPECT_NE(std::string::npos, r.body.find(">" + p120 + "</a>"));
  EXPECT_NE(std::string::npos, r.body.find(">" + p121.substr(0, 120) + "..</a>"));
}

TEST_F(Router, UploadFormOnlyWhenUploadsAreOn) {
  const Response on = Get("/CmdUploadFile?sub%2Fdir%2F");
  EXPECT_NE(std::string::npos, on.body.find("name=\"path\" value=\"sub/dir/\">"));
  EXPECT_TRUE(on.result);
  const Response bare = Get("/CmdUploadFile");
  EXPECT_NE(std::string::npos, bare.body.find("name=\"path\" value=\"CmdUploadFile\">"));
  const Response off = Get("/CmdUploadFile?anything", false);
  EXPECT_TRUE(off.body.empty());
  EXPECT_TRUE(off.headers.empty());
  EXPECT_FALSE(off.result);
  EXPECT_EQ(THttpResponse::TBody::Text, off.kind);
}

}  // namespace

namespace {

// A JPEG photo of width x height with a pattern in it.
std::string Photo(int width, int height) {
  Bitmap bitmap(width, height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bitmap.Row(y);
    for (int x = 0; x < width * 3; ++x) row[x] = static_cast<std::uint8_t>(x * 7 + y * 3);
  }
  JpegImage jpeg;
  jpeg.Assign(std::move(bitmap));
  return jpeg.SaveToBytes();
}

}  // namespace

TEST_F(Router, ListingIsSentBeforeItsThumbnailsAndARequestMakesItsOwnFirst) {
  WriteAll(root_ + "bad.png", "not a picture");
  WriteAll(root_ + "zz.jpg", Photo(400, 300));
  const std::string thumbs = temp_.Slash() + "cache/";
  cache_->LoadDB();
  cache_->SetMakerThreads(0);  // only what is asked for is made
  const Response page = Get("/");
  // In listing order: bad.png, photo.bmp, photo.jpg, zz.jpg.
  for (const char* name : {"000000002", "000000003", "000000004", "000000005"}) {
    EXPECT_NE(std::string::npos,
              page.body.find(std::string("<img src=\"/TAMBNEIL/") + name + ".JPG\""))
        << name;
  }
  EXPECT_EQ(4, cache_->PendingThumbs());
  EXPECT_FALSE(std::filesystem::exists(thumbs + "000000005.JPG"));
  // A second listing names the same thumbnails.
  EXPECT_TRUE(page.body == Get("/").body);
  EXPECT_EQ(5, cache_->LastEntry());

  const Response last = Get("/TAMBNEIL/000000005.JPG");
  EXPECT_TRUE(last.result);
  EXPECT_TRUE(ReadAll(thumbs + "000000005.JPG") == last.body);
  EXPECT_EQ("\xFF\xD8", last.body.substr(0, 2));
  EXPECT_FALSE(notFound_ == last.body);
  EXPECT_FALSE(std::filesystem::exists(thumbs + "000000003.JPG"));  // still queued
  // A picture that cannot be made: the not-found picture under its name.
  const Response bad = Get("/TAMBNEIL/000000002.JPG");
  EXPECT_TRUE(notFound_ == bad.body);
  EXPECT_EQ("attachment; filename=\"000000002.JPG\";", bad.Header("Content-Disposition: "));

  cache_->SetMakerThreads(2);
  ASSERT_TRUE(cache_->WaitForThumbs(30000));
  EXPECT_EQ((std::vector<std::string>{"000000003.JPG", "000000004.JPG", "000000005.JPG"}),
            cache_->Outputs());
}

TEST_F(Router, AThumbnailNotReadyInTimeGetsTheNotFoundPicture) {
  for (int i = 0; i < 4; ++i)
    WriteAll(root_ + "big" + std::to_string(i) + ".jpg", Photo(3000, 2000));
  cache_->LoadDB();
  cache_->SetMakerThreads(1);
  const Response page = Get("/");
  ASSERT_NE(std::string::npos, page.body.find("/TAMBNEIL/000000005.JPG"));
  TServerActions actions;
  actions.RootFolder = root_;
  actions.SystemFolder = SystemFolder();
  actions.Cache = cache_.get();
  actions.ThumbWaitMs = 0;  // the last of four big photos cannot be ready yet
  bool made = false;
  const THttpResponse late = actions.HandleRequest("/TAMBNEIL/000000005.JPG", {}, &made);
  EXPECT_TRUE(made);
  EXPECT_TRUE(notFound_ == late.Body);
  // Once it is made, the same request gets it.
  actions.ThumbWaitMs = 60000;
  const THttpResponse ready = actions.HandleRequest("/TAMBNEIL/000000005.JPG");
  EXPECT_TRUE(ReadAll(temp_.Slash() + "cache/000000005.JPG") == ready.Body);
  EXPECT_FALSE(notFound_ == ready.Body);
}
