// Tests of the preview route: the share path in the address, what is sent,
// and hostile addresses that must never reach a file outside the share.
#include "ServerFixture.h"
#include "imaging/Bitmap.h"
#include "imaging/CacheKeeper.h"
#include "imaging/JpegImage.h"
#include "imaging/PreviewCache.h"
#include "server/RequestText.h"
#include "server/ServerActions.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using servertest::ReadAll;
using servertest::WriteAll;

// A JPEG of one colour.
std::string Jpeg(int width, int height, std::uint8_t blue, std::uint8_t green, std::uint8_t red) {
  Bitmap bmp(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = bmp.Row(y) + 3 * x;
      p[0] = blue, p[1] = green, p[2] = red;
    }
  }
  return EncodeJpeg(bmp);
}

Bitmap Decoded(const std::string& bytes) {
  Bitmap bmp;
  EXPECT_EQ("", DecodeJpeg(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), bmp));
  return bmp;
}

class PreviewRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temp_.Slash() + "share/";
    temp_.Mkdir("share/sub dir");
    WriteAll(root_ + "sub dir/photo one.jpg", Jpeg(2000, 1000, 0, 0, 255));
    WriteAll(root_ + "phone.heic",
             ReadAll(std::string(MIRELO_SOURCE_DIR) + "/tests/data/pictures/quad.heic"));
    WriteAll(root_ + "notes.txt", "text");
    WriteAll(root_ + "sub dir/.hidden.jpg", Jpeg(8, 8, 0, 0, 0));
    // Pictures outside the share that no address may reach.
    WriteAll(temp_.Slash() + "outside.jpg", Jpeg(8, 8, 0, 255, 0));
    temp_.Mkdir("share-other");
    WriteAll(temp_.Slash() + "share-other/x.jpg", Jpeg(8, 8, 0, 255, 0));
    cache_ = std::make_unique<TCacheObj>(temp_.Slash() + "cache/");
  }
  servertest::Response Get(const std::string& uri) {
    return servertest::Request(root_, cache_.get(), false, uri);
  }

  TempFolder temp_;
  std::string root_;
  std::unique_ptr<TCacheObj> cache_;
};

}  // namespace

TEST(DecodeSharePath, SegmentsAreDecodedAndNothingLeavesTheShare) {
  struct Case {
    const char* encoded;
    const char* path;  // "" when refused
  };
  const Case cases[] = {
      {"a.jpg", "a.jpg"},
      {"sub/b%20c.jpg", "sub/b c.jpg"},
      {"sub/b+c.jpg", "sub/b c.jpg"},
      {"%C3%A9t%C3%A9.heic", "\xC3\xA9t\xC3\xA9.heic"},
      {"a%2Bb.jpg", "a+b.jpg"},
      {"a.jpg?v=12", "a.jpg"},
      {"a%3Fb.jpg", "a?b.jpg"},
      {"", ""},
      {"?a.jpg", ""},
      {"../outside.jpg", ""},
      {"sub/../../outside.jpg", ""},
      {"%2E%2E/outside.jpg", ""},
      {"..%2Foutside.jpg", ""},
      {"sub%2F..%2F..%2Foutside.jpg", ""},
      {"/etc/passwd.jpg", ""},
      {"%2Fetc%2Fpasswd.jpg", ""},
      {"a//b.jpg", ""},
      {"sub/", ""},
      {"./a.jpg", ""},
      {".hidden.jpg", ""},
      {"a%00.jpg", ""},
      {"a%zz.jpg", ""},
      {"a%4", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoded);
    EXPECT_EQ(c.path, DecodeSharePath(c.encoded));
  }
}

TEST_F(PreviewRoute, SendsTheScreenSizedJpegInline) {
  const servertest::Response r = Get("/.mirelo/preview/sub%20dir/photo%20one.jpg");
  ASSERT_EQ(200, r.status);
  EXPECT_TRUE(r.result);
  EXPECT_EQ("image/jpeg", r.Header("Content-type: "));
  EXPECT_EQ(std::to_string(r.body.size()), r.Header("Content-Length: "));
  EXPECT_EQ("inline; filename=\"photo one.jpg\"", r.Header("Content-Disposition: "));
  EXPECT_EQ("nosniff", r.Header("X-Content-Type-Options: "));
  const Bitmap bmp = Decoded(r.body);
  EXPECT_EQ(1600, bmp.Width());
  EXPECT_EQ(800, bmp.Height());
  // Kept beside the thumbnails, so that clearing the cache clears it.
  EXPECT_EQ(r.body, ReadAll(cache_->CacheFolder + "Previews/" +
                            TPreviewCache::PreviewName(root_ + "sub dir/photo one.jpg")));

  const servertest::Response heif = Get("/.mirelo/preview/phone.heic");
  ASSERT_EQ(200, heif.status);
  EXPECT_EQ("inline; filename=\"phone.jpg\"", heif.Header("Content-Disposition: "));
  EXPECT_EQ(48, Decoded(heif.body).Width());
}

TEST_F(PreviewRoute, HostileAndMissingPathsAreNotFound) {
  const char* uris[] = {
      "/.mirelo/preview/",
      "/.mirelo/preview/missing.jpg",
      "/.mirelo/preview/notes.txt",
      "/.mirelo/preview/sub%20dir",
      "/.mirelo/preview/sub%20dir/",
      "/.mirelo/preview/sub%20dir/.hidden.jpg",
      "/.mirelo/preview/../outside.jpg",
      "/.mirelo/preview/..%2Foutside.jpg",
      "/.mirelo/preview/%2E%2E%2Foutside.jpg",
      "/.mirelo/preview/sub%20dir/../../outside.jpg",
      "/.mirelo/preview/sub%20dir%2F..%2F..%2Foutside.jpg",
      "/.mirelo/preview/....//outside.jpg",
      "/.mirelo/preview/..\\outside.jpg",
      "/.mirelo/preview/../share-other/x.jpg",
      "/.mirelo/preview/%2E%2E/share-other/x.jpg",
      "/.mirelo/preview/%zz.jpg",
      "/.mirelo/preview/a%00.jpg",
  };
  for (const char* uri : uris) {
    SCOPED_TRACE(uri);
    const servertest::Response r = Get(uri);
    EXPECT_EQ(404, r.status);
    EXPECT_FALSE(r.result);
    EXPECT_EQ("text/plain; charset=UTF-8", r.Header("Content-type: "));
    EXPECT_EQ("Not found\n", r.body);
  }
  // Absolute paths, plain and encoded, name nothing in the share.
  for (const std::string& uri : {"/.mirelo/preview/" + temp_.Slash() + "outside.jpg",
                                 "/.mirelo/preview/" + UrlEncode(temp_.Slash() + "outside.jpg")}) {
    SCOPED_TRACE(uri);
    EXPECT_EQ(404, Get(uri).status);
  }
  // Without a thumbnail cache there is nowhere to keep previews.
  EXPECT_EQ(404, servertest::Request(root_, nullptr, false, "/.mirelo/preview/phone.heic").status);
}

TEST_F(PreviewRoute, PhonePicturesGetThumbnailsInTheListing) {
  const servertest::Response r = Get("/");
  ASSERT_EQ(200, r.status);
  const std::size_t link = r.body.find("/TAMBNEIL/");
  ASSERT_NE(std::string::npos, link);
  const std::string name = r.body.substr(link + 10, 13);
  // The listing leaves the making to the cache's background makers.
  ASSERT_TRUE(cache_->WaitForThumbs(30000));
  const Bitmap thumb = Decoded(ReadAll(cache_->CacheFolder + name));
  EXPECT_EQ(128, thumb.Width());  // the 48 x 32 picture in the 128 x 96 box
  EXPECT_EQ(85, thumb.Height());
  // The picture route converts it as it converts a PNG.
  const servertest::Response picture = Get("/phone.heic");
  EXPECT_EQ("image/jpeg", picture.Header("Content-type: "));
  EXPECT_EQ(48, Decoded(picture.body).Width());
}
