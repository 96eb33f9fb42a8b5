// Tests of the gallery style: its pages, the /.mirelo/ routes, the policy
// headers, the inline view with byte ranges, and names that try to break out
// of the page in both styles.
#include "ServerFixture.h"
#include "base/StartUp.h"
#include "imaging/CacheKeeper.h"
#include "server/GalleryAssets.h"
#include "server/GalleryText.h"
#include "server/RequestText.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>

namespace {

using servertest::ReadAll;
using servertest::Response;
using servertest::WriteAll;

class Gallery : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.Slash() + "share/";
    mkdir(root_.c_str(), 0755);
    mkdir((root_ + "Holiday Photos").c_str(), 0755);
    mkdir((root_ + "Holiday Photos/Day 2").c_str(), 0755);
    jpeg_ = ReadAll(SystemFolder() + "not found.jpg");
    WriteAll(root_ + "Holiday Photos/beach.jpg", jpeg_);
    WriteAll(root_ + "Holiday Photos/notes.txt", "notes");
    WriteAll(root_ + "clip.mp4", "0123456789abcdef");
    WriteAll(root_ + "a+b song.mp3", "ID3.....");
    WriteAll(root_ + "page.html", "<script>alert(1)</script>");
    WriteAll(root_ + "drawing.svg", "<svg onload=alert(1)/>");
    WriteAll(temp_.Slash() + "outside-secret.txt", "SECRET");
    WriteAll(temp_.Slash() + "outside-secret.jpg", jpeg_ + "S");
    cache_ = std::make_unique<TCacheObj>(temp_.Slash() + "cache/");
  }
  Response Get(const std::string& uri, const std::vector<std::string>& headers = {},
               TPageStyle style = TPageStyle::Gallery) {
    return servertest::Request(root_, cache_.get(), true, uri, headers, style);
  }

  TempFolder temp_;
  std::string root_;
  std::string jpeg_;
  std::unique_ptr<TCacheObj> cache_;
};

bool HasPolicyHeaders(const Response& r) {
  return r.Header("Content-Security-Policy: ").find("default-src 'none'") == 0 &&
         r.Header("X-Content-Type-Options: ") == "nosniff" &&
         r.Header("Referrer-Policy: ") == "no-referrer";
}

// No tag of the page carries an event handler, an inline style or an
// outside address: the policy would refuse them, and names must not add any.
void ExpectNoActiveMarkup(const std::string& body) {
  static const std::regex tag("<[^>]*>");
  static const std::regex value("\"[^\"]*\"");
  static const std::regex handler(R"(\s(on[a-z]+|style)\s*=)", std::regex::icase);
  static const std::regex outside(R"(\s(src|href|action)="(//|[a-z]+:))", std::regex::icase);
  for (auto it = std::sregex_iterator(body.begin(), body.end(), tag); it != std::sregex_iterator();
       ++it) {
    const std::string t = it->str();
    // Attribute values are escaped, so a quote mark always ends one.
    EXPECT_FALSE(std::regex_search(std::regex_replace(t, value, "\"\""), handler)) << t;
    EXPECT_FALSE(std::regex_search(t, outside)) << t;
    if (t.compare(0, 7, "<script") == 0) {
      EXPECT_EQ("<script src=\"/.mirelo/assets/gallery.js\" defer>", t);
    }
  }
}

TEST_F(Gallery, TheFolderPageListsFoldersFirstWithItsLinks) {
  const Response top = Get("/");
  EXPECT_EQ(200, top.status);
  EXPECT_TRUE(HasPolicyHeaders(top));
  EXPECT_EQ("text/html; charset=utf-8", top.Header("Content-Type: "));
  EXPECT_EQ(std::to_string(top.body.size()), top.Header("Content-Length: "));
  EXPECT_EQ(0u, top.body.find("<!DOCTYPE html>"));
  EXPECT_NE(std::string::npos, top.body.find("<meta name=\"viewport\""));
  ExpectNoActiveMarkup(top.body);
  // Folders, then files by name; media open in the viewer, everything else
  // is a plain download.
  const size_t folder = top.body.find("<a href=\"/Holiday+Photos/\">");
  const size_t song = top.body.find("<li class=a data-s=8 data-t=");
  const size_t clip = top.body.find("<li class=v data-s=16 data-t=");
  const size_t page = top.body.find("<li data-s=25 data-t=");
  EXPECT_NE(std::string::npos, folder);
  EXPECT_LT(folder, song);
  EXPECT_LT(song, clip);
  EXPECT_LT(clip, page);
  EXPECT_EQ(top.body.find("<a href=\"/download?a%2Bb+song.mp3\"><b>a+b song.mp3</b><p>8 Byte "),
            top.body.find("<a", song));
  EXPECT_EQ(top.body.find("<a href=\"/download?page.html\"><b>page.html</b>"),
            top.body.find("<a", page));
  EXPECT_NE(std::string::npos, top.body.find("<li data-s=22 data-t="));  // drawing.svg
  EXPECT_NE(std::string::npos, top.body.find("href=\"/.mirelo/zip/\""));
  EXPECT_NE(std::string::npos, top.body.find("action=\"/.mirelo/upload/\""));

  const Response inside = Get("/Holiday+Photos/");
  EXPECT_EQ(200, inside.status);
  // The path bar: the share, then each folder; the last one is this page.
  EXPECT_NE(std::string::npos,
            inside.body.find("<li><a href=\"/\">Shared folder</a></li><li><a "
                             "href=\"/Holiday+Photos/\" aria-current=\"page\">Holiday "
                             "Photos</a></li>"));
  EXPECT_NE(std::string::npos, inside.body.find("<title>Holiday Photos - Mirelo File Share"));
  EXPECT_NE(std::string::npos, inside.body.find("<a href=\"/Holiday+Photos/Day+2/\">"));
  EXPECT_NE(std::string::npos,
            inside.body.find("<a href=\"/download?Holiday+Photos/beach.jpg\"><i><img "
                             "src=\"/TAMBNEIL/"));
  EXPECT_NE(std::string::npos,
            inside.body.find("<li class=p data-s=" + std::to_string(jpeg_.size())));
  EXPECT_NE(std::string::npos, inside.body.find("loading=\"lazy\""));
  EXPECT_NE(std::string::npos, inside.body.find("href=\"/.mirelo/zip/Holiday%20Photos/\""));
  EXPECT_NE(std::string::npos, inside.body.find("name=\"path\" value=\"Holiday Photos/\""));
  // The thumbnail it names is there, at the classic address.
  const size_t at = inside.body.find("/TAMBNEIL/");
  const std::string thumb = inside.body.substr(at, inside.body.find('"', at) - at);
  const Response t = Get(thumb);
  EXPECT_EQ(200, t.status);
  EXPECT_EQ("image/jpeg", t.Header("Content-type: "));
  EXPECT_TRUE(HasPolicyHeaders(t));
  // Without uploads there is no form.
  EXPECT_EQ(std::string::npos,
            servertest::Request(root_, cache_.get(), false, "/", {}, TPageStyle::Gallery)
                .body.find("/.mirelo/upload/"));
}

TEST_F(Gallery, WhatDoesNotExistIsASmallNotFoundPage) {
  for (const char* uri :
       {"/missing/", "/Holiday+Photos/missing/", "/download?missing.txt",
        "/download?Holiday+Photos", "/missing.jpg", "/TAMBNEIL/", "/TAMBNEIL/000000099.JPG",
        "/.mirelo/", "/.mirelo/nothing", "/.mirelo/assets/", "/.mirelo/assets/missing.css",
        "/.mirelo/assets/../gallery.js", "/.mirelo/view/missing.jpg",
        "/.mirelo/view/Holiday%20Photos", "/clip.mp4/"}) {
    SCOPED_TRACE(uri);
    const Response r = Get(uri);
    EXPECT_EQ(404, r.status);
    EXPECT_FALSE(r.result);
    EXPECT_TRUE(HasPolicyHeaders(r));
    EXPECT_NE(std::string::npos, r.body.find("<h1>Not found</h1>"));
    EXPECT_LT(r.body.size(), 1024u);
    EXPECT_FALSE(r.hasDownload);
  }
  // The classic style keeps its not-found picture.
  const Response classic = Get("/download?missing.txt", {}, TPageStyle::Classic);
  EXPECT_EQ(200, classic.status);
  EXPECT_EQ(jpeg_, classic.download);
  EXPECT_EQ("<none>", classic.Header("Content-Security-Policy: "));
}

TEST_F(Gallery, AssetsComeFromTheDotPrefixWithTheirTypes) {
  ASSERT_GT(kGalleryAssetTableSize, 0u);
  for (const char* name : {"gallery.css", "gallery.js", "folder.svg"}) {
    SCOPED_TRACE(name);
    const TGalleryAsset* asset = FindGalleryAsset(name);
    ASSERT_NE(nullptr, asset);
    const Response r = Get(std::string("/.mirelo/assets/") + name);
    EXPECT_EQ(200, r.status);
    EXPECT_EQ(asset->Bytes, r.body);
    EXPECT_EQ(std::string(GalleryAssetType(name)), r.Header("Content-Type: "));
    EXPECT_TRUE(HasPolicyHeaders(r));
    // Nothing they load comes from elsewhere (the SVG name space is a name).
    std::string text = r.body;
    const std::string svgName = "xmlns=\"http://www.w3.org/2000/svg\"";
    if (text.compare(0, 5, "<svg ") == 0) text.erase(text.find(svgName), svgName.size());
    EXPECT_EQ(std::string::npos, text.find("http:"));
    EXPECT_EQ(std::string::npos, text.find("https:"));
    EXPECT_EQ(std::string::npos, text.find("@import"));
  }
  EXPECT_EQ("text/css; charset=utf-8", GalleryAssetType("gallery.css"));
  EXPECT_EQ("text/javascript; charset=utf-8", GalleryAssetType("gallery.js"));
}

TEST_F(Gallery, TheViewShowsOnlyPicturesAndMediaInline) {
  struct Case {
    const char* uri;
    const char* type;
    const char* disposition;
    std::string bytes;
  };
  const Case cases[] = {
      {"/.mirelo/view/Holiday%20Photos/beach.jpg", "image/jpeg", "inline; filename=\"beach.jpg\"",
       jpeg_},
      {"/.mirelo/view/clip.mp4", "video/mp4", "inline; filename=\"clip.mp4\"", "0123456789abcdef"},
      {"/.mirelo/view/a%2Bb%20song.mp3", "audio/mpeg", "inline; filename=\"a+b song.mp3\"",
       "ID3....."},
      {"/.mirelo/view/page.html", "application/octet-stream", "attachment; filename=\"page.html\"",
       "<script>alert(1)</script>"},
      {"/.mirelo/view/drawing.svg", "application/octet-stream",
       "attachment; filename=\"drawing.svg\"", "<svg onload=alert(1)/>"},
      {"/.mirelo/view/Holiday%20Photos/notes.txt", "application/octet-stream",
       "attachment; filename=\"notes.txt\"", "notes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    const Response r = Get(c.uri);
    EXPECT_EQ(200, r.status);
    EXPECT_EQ(c.type, r.Header("Content-Type: "));
    EXPECT_EQ(c.disposition, r.Header("Content-Disposition: "));
    EXPECT_EQ("bytes", r.Header("Accept-Ranges: "));
    EXPECT_TRUE(HasPolicyHeaders(r));
    EXPECT_EQ(c.bytes, r.download);
  }
}

TEST_F(Gallery, TheViewSendsSingleByteRanges) {
  struct Case {
    const char* range;
    int status;
    const char* contentRange;
    const char* bytes;
  };
  const Case cases[] = {
      {"Range: bytes=2-5", 206, "bytes 2-5/16", "2345"},
      {"Range: bytes=10-", 206, "bytes 10-15/16", "abcdef"},
      {"Range: bytes=-3", 206, "bytes 13-15/16", "def"},
      {"Range: bytes=14-99", 206, "bytes 14-15/16", "ef"},
      {"Range: bytes=0-1,4-5", 200, "<none>", "0123456789abcdef"},
      {"Range: bytes=16-", 416, "bytes */16", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    const Response r = Get("/.mirelo/view/clip.mp4", {c.range});
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.contentRange, r.Header("Content-Range: "));
    EXPECT_EQ(c.bytes, r.download);
    EXPECT_EQ(std::to_string(std::string(c.bytes).size()), r.Header("Content-Length: "));
  }
}

TEST_F(Gallery, NoRouteLeavesTheSharedFolder) {
  for (const char* uri :
       {"/.mirelo/view/../outside-secret.txt", "/.mirelo/view/..%2Foutside-secret.txt",
        "/.mirelo/view/%2E%2E/outside-secret.jpg",
        "/.mirelo/view/Holiday%20Photos/../../outside-secret.jpg",
        "/.mirelo/view/./../outside-secret.jpg", "/.mirelo/view/%2Fetc%2Fpasswd",
        "/.mirelo/view/%zz", "/.mirelo/view/clip.mp4%00.jpg", "/.mirelo/view/%", "/.mirelo/view/..",
        "/download?../outside-secret.txt", "/../outside-secret.jpg",
        "/TAMBNEIL/../outside-secret.jpg", "/..%2F", "/search?searchtext=secret&path=..",
        "/search?searchtext=outside&path=%2F.."}) {
    SCOPED_TRACE(uri);
    const Response r = Get(uri);
    EXPECT_EQ(std::string::npos, r.body.find("outside-secret"));
    EXPECT_EQ(std::string::npos, r.body.find("SECRET"));
    EXPECT_NE("SECRET", r.download);
    EXPECT_NE(jpeg_ + "S", r.download);
    EXPECT_NE(jpeg_ + "S", r.body);
  }
}

TEST_F(Gallery, SearchShowsItsResultsInTheGrid) {
  const Response r = Get("/search?searchtext=BEACH&path=");
  EXPECT_EQ(200, r.status);
  EXPECT_TRUE(HasPolicyHeaders(r));
  ExpectNoActiveMarkup(r.body);
  EXPECT_NE(std::string::npos, r.body.find("1 file found"));
  EXPECT_NE(std::string::npos, r.body.find("<li class=p data-s=" + std::to_string(jpeg_.size())));
  EXPECT_NE(std::string::npos, r.body.find("<a href=\"/download?Holiday+Photos/beach.jpg\"><i><img "
                                           "src=\"/TAMBNEIL/"));
  EXPECT_NE(std::string::npos, r.body.find("<b>Holiday Photos/beach.jpg</b>"));
  EXPECT_NE(std::string::npos,
            r.body.find("name=\"searchtext\" placeholder=\"Search\" value=\"BEACH\""));
  // From a sub-folder: only what lies below it.
  const Response below = Get("/search?searchtext=t&path=Holiday+Photos%2F");
  EXPECT_NE(std::string::npos, below.body.find("Holiday Photos/notes.txt"));
  EXPECT_EQ(std::string::npos, below.body.find("clip.mp4"));
  // The listing's search box carries its folder.
  EXPECT_NE(std::string::npos, Get("/search?").body.find("<h1>Search</h1>"));
}

// The same hostile names in both styles: they show as text and end no
// attribute, string or tag.
TEST_F(Gallery, HostileNamesStayTextInBothStyles) {
  const std::string evilFile = "<img src=x onerror=alert(1)>.jpg";
  const std::string evilFolder = "x'+alert(1)+'\"><svg onload=alert(2)>";
  WriteAll(root_ + evilFile, jpeg_);
  mkdir((root_ + evilFolder).c_str(), 0755);
  WriteAll(root_ + evilFolder + "/in \"quoted\".mp4", "v");
  std::string folderUri = "/";
  folderUri += UrlEncode(evilFolder);
  folderUri += '/';
  for (const TPageStyle style : {TPageStyle::Classic, TPageStyle::Gallery}) {
    SCOPED_TRACE(std::string(PageStyleName(style)));
    for (const std::string& uri :
         {std::string("/"), folderUri, std::string("/search?searchtext=in&path="),
          "/search?searchtext=%22%3E%3Cscript%3Ealert(3)%3C%2Fscript%3E&path=" +
              UrlEncode(evilFolder)}) {
      SCOPED_TRACE(uri);
      const Response r = Get(uri, {}, style);
      EXPECT_EQ(200, r.status);
      EXPECT_EQ(std::string::npos, r.body.find("<img src=x"));
      EXPECT_EQ(std::string::npos, r.body.find("<script>alert"));
      EXPECT_EQ(std::string::npos, r.body.find("<svg onload"));
      EXPECT_EQ(std::string::npos, r.body.find("'+alert(1)+'\""));
      if (style == TPageStyle::Gallery) ExpectNoActiveMarkup(r.body);
    }
  }
  const Response inside = Get(folderUri);
  EXPECT_NE(
      std::string::npos,
      inside.body.find("<h1>x&#39;+alert(1)+&#39;&quot;&gt;&lt;svg onload=alert(2)&gt;</h1>"));
  EXPECT_NE(std::string::npos, inside.body.find("<b>in &quot;quoted&quot;.mp4</b>"));
  // The viewer's address of the video, made from the download link as the
  // script makes it ("+" is a space), names it exactly.
  const std::string marker = "<li class=v data-s=1 ";
  const size_t li = inside.body.find(marker);
  ASSERT_NE(std::string::npos, li);
  const size_t at = inside.body.find("href=\"/download?", li) + 16;
  std::string v = inside.body.substr(at, inside.body.find('"', at) - at);
  for (size_t plus; (plus = v.find('+')) != std::string::npos;) v.replace(plus, 1, "%20");
  v = std::regex_replace(v, std::regex("&#39;"), "'");
  EXPECT_EQ("v", Get("/.mirelo/view/" + v).download);
}

TEST(GalleryText, DotPathsRoundTrip) {
  for (const char* path : {"", "a.jpg", "Holiday Photos/beach.jpg", "a+b/c%d/e&f?g#h.jpg",
                           "x'+alert(1)+'/\"q\".mp4", "\xc3\xa9t\xc3\xa9/\xe6\x97\xa5.png"}) {
    SCOPED_TRACE(path);
    const std::string encoded = EncodeDotPath(path);
    EXPECT_EQ(std::string::npos, encoded.find_first_of(" +'\"<>?#&"));
    std::string back;
    ASSERT_TRUE(DecodeDotPath(encoded, back));
    EXPECT_EQ(path, back);
  }
  std::string out;
  for (const char* bad : {"%", "%4", "%zz", "a%00b", "..", "a/../b", "./a", "a/.", "%2E%2E/x"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(DecodeDotPath(bad, out));
  }
  EXPECT_TRUE(DecodeDotPath("a+b", out));
  EXPECT_EQ("a+b", out);
}

}  // namespace
