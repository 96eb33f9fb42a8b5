// Tests of the HEIF, AVIF and WebP readers and of embedded colour profiles,
// on small files made with the Debian tools (tests/data/pictures/README.md).
#include "imaging/CacheKeeper.h"
#include "imaging/ColourProfile.h"
#include "imaging/JpegImage.h"
#include "imaging/LoaderFixtures.h"
#include "imaging/OrvelGraphicLoader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

namespace {

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(MIRELO_SOURCE_DIR) + "/tests/data/pictures/" + name,
                   std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.empty()) ADD_FAILURE() << "missing fixture " << name;
  return bytes;
}

const std::uint8_t* Data(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

using Decoder = std::string (*)(const std::uint8_t*, std::size_t, Bitmap&);

// Each channel of the pixel within tolerance of 0xRRGGBB.
void ExpectColour(const Bitmap& bmp, int x, int y, std::uint32_t rgb, int tolerance) {
  const std::uint32_t got = bmp.PixelRgb(x, y);
  for (int shift : {16, 8, 0}) {
    const int want = static_cast<int>((rgb >> shift) & 0xFF);
    const int have = static_cast<int>((got >> shift) & 0xFF);
    EXPECT_LE(std::abs(want - have), tolerance)
        << "pixel " << x << "," << y << " is " << std::hex << got << ", wanted " << rgb;
  }
}

// The fixture "quad": red, green / blue, white quadrants of 24 x 16.
void ExpectQuad(const Bitmap& bmp, int tolerance) {
  ASSERT_EQ(48, bmp.Width());
  ASSERT_EQ(32, bmp.Height());
  ExpectColour(bmp, 8, 5, 0xFF0000, tolerance);
  ExpectColour(bmp, 40, 5, 0x00FF00, tolerance);
  ExpectColour(bmp, 8, 26, 0x0000FF, tolerance);
  ExpectColour(bmp, 40, 26, 0xFFFFFF, tolerance);
}

}  // namespace

TEST(PhoneFormats, ExtensionsAreSupportedPictures) {
  struct Case {
    const char* name;
    bool heif, avif, webp;
  };
  const Case cases[] = {
      {"IMG_0001.HEIC", true, false, false}, {"a.heif", true, false, false},
      {"b.Avif", false, true, false},        {"sticker.webp", false, false, true},
      {"x.heic.txt", false, false, false},   {"x.webp ", false, false, false},
      {"x.hei", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.heif, IsHeif(c.name));
    EXPECT_EQ(c.avif, IsAvif(c.name));
    EXPECT_EQ(c.webp, IsWebp(c.name));
    EXPECT_EQ(c.heif || c.avif || c.webp, IsSupportedPicture(c.name));
  }
}

TEST(PhoneFormats, EveryFormatDecodes) {
  struct Case {
    const char* file;
    Decoder decode;
    int tolerance;  // lossy coding moves colours a little
  };
  const Case cases[] = {
      {"quad.heic", DecodeHeif, 24},
      {"quad10.heic", DecodeHeif, 24},  // 10 bits per sample, brought down to 8
      {"quad.avif", DecodeHeif, 24},    // AV1 through the same reader
      {"quad.webp", DecodeWebp, 24},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string bytes = Fixture(c.file);
    Bitmap bmp;
    ASSERT_EQ("", c.decode(Data(bytes), bytes.size(), bmp));
    EXPECT_EQ(PixelFormat::Bgr24, bmp.Format());
    ExpectQuad(bmp, c.tolerance);
  }
}

TEST(PhoneFormats, WebpAlphaIsKeptAndAnimationsGiveTheirFirstFrame) {
  const std::string alpha = Fixture("alpha.webp");
  Bitmap bmp;
  ASSERT_EQ("", DecodeWebp(Data(alpha), alpha.size(), bmp));
  ASSERT_EQ(PixelFormat::Bgra32, bmp.Format());
  // Lossless with exact colours: the transparent half keeps its stored blue.
  EXPECT_EQ(0x0000FFu, bmp.PixelRgb(2, 2));
  EXPECT_EQ(0, bmp.Row(2)[2 * 4 + 3]);
  EXPECT_EQ(0x00FF00u, bmp.PixelRgb(12, 2));
  EXPECT_EQ(255, bmp.Row(2)[12 * 4 + 3]);

  const std::string anim = Fixture("anim.webp");  // a red frame, then a blue one
  Bitmap frame;
  ASSERT_EQ("", DecodeWebp(Data(anim), anim.size(), frame));
  EXPECT_EQ(48, frame.Width());
  EXPECT_EQ(32, frame.Height());
  ExpectColour(frame, 24, 16, 0xFF0000, 24);

  // A first frame of 16 x 16 red at (8, 8) on a 32 x 32 canvas: transparent around it.
  const std::string offset = Fixture("offset.webp");
  ASSERT_EQ("", DecodeWebp(Data(offset), offset.size(), frame));
  ASSERT_EQ(32, frame.Width());
  ASSERT_EQ(32, frame.Height());
  for (const auto& [x, y, inside] :
       {std::tuple{7, 7, false}, std::tuple{8, 8, true}, std::tuple{23, 23, true},
        std::tuple{24, 12, false}, std::tuple{12, 24, false}}) {
    SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
    EXPECT_EQ(inside ? 0xFF0000u : 0u, frame.PixelRgb(x, y));
    EXPECT_EQ(inside ? 255 : 0, frame.Row(y)[x * 4 + 3]);
  }
}

TEST(PhoneFormats, LoadGraphicLoadAsJpegAndThumbnails) {
  TempFolder temp;
  for (const char* name : {"quad.heic", "quad.avif", "quad.webp"}) {
    SCOPED_TRACE(name);
    const std::string path = temp.Write(name, Fixture(name));
    Bitmap bmp;
    std::string error = "stale";
    LoadGraphic(path, bmp, error);
    EXPECT_EQ("", error);
    ExpectQuad(bmp, 24);

    JpegImage jpeg;
    LoadAsJpeg(path, jpeg, error);
    ASSERT_EQ("", error);
    Bitmap back;
    ASSERT_EQ("", DecodeJpeg(Data(jpeg.SaveToBytes()), jpeg.SaveToBytes().size(), back));
    ExpectQuad(back, 32);

    // The cache makes a thumbnail of the box's width: 48 x 32 gives 128 x 85.
    TCacheObj cache(temp / (std::string("cache-") + name));
    const std::string thumb = cache.GetThumb(path);
    ASSERT_FALSE(thumb.empty());
    JpegImage made;
    made.LoadFromFile(thumb);
    EXPECT_EQ(128, made.Width());
    EXPECT_EQ(85, made.Height());
  }
  // A damaged file is an error text for both, never a throw.
  for (const char* name : {"bad.heic", "bad.avif", "bad.webp"}) {
    SCOPED_TRACE(name);
    const std::string path = temp.Write(name, "RIFF....WEBPVP8 not a picture at all");
    Bitmap bmp;
    std::string error;
    LoadGraphic(path, bmp, error);
    EXPECT_NE("", error);
    EXPECT_TRUE(bmp.Empty());
    JpegImage jpeg;
    EXPECT_NO_THROW(LoadAsJpeg(path, jpeg, error));
    EXPECT_NE("", error);
    EXPECT_TRUE(jpeg.Empty());
  }
}

// Files that claim a huge size are refused before decoding, and every cut of
// a good file ends in an error text or a picture, never both or neither.
TEST(PhoneFormats, BombsAndTruncations) {
  // Each HEIF "ispe" box holds width and height as 32-bit big-endian numbers
  // after its version and flags.
  std::string heifBomb = Fixture("quad.heic");
  std::size_t boxes = 0;
  for (std::size_t at = heifBomb.find("ispe"); at != std::string::npos;
       at = heifBomb.find("ispe", at + 4), ++boxes) {
    heifBomb.replace(at + 8, 8, std::string("\0\0\xEA\x60\0\0\xEA\x60", 8));  // 60000 x 60000
  }
  ASSERT_GT(boxes, 0u);
  // A lossy WebP's frame header: 14-bit width and height (16383 x 16383).
  std::string webpBomb = Fixture("quad.webp");
  ASSERT_EQ("VP8 ", webpBomb.substr(12, 4));
  webpBomb.replace(26, 4, std::string("\xFF\x3F\xFF\x3F", 4));
  const std::pair<std::string, Decoder> bombs[] = {{heifBomb, DecodeHeif}, {webpBomb, DecodeWebp}};
  for (const auto& [bytes, decode] : bombs) {
    SCOPED_TRACE(bytes.substr(8, 4));
    Bitmap bmp;
    const std::string error = decode(Data(bytes), bytes.size(), bmp);
    EXPECT_EQ(0u, error.find("Picture too large")) << error;
    EXPECT_TRUE(bmp.Empty());
  }

  // A grid whose canvas is far larger than the picture it declares is
  // refused before the canvas is made; a damaged AV1 stream is an error.
  for (const char* name : {"grid-bomb.heic", "damaged.avif"}) {
    SCOPED_TRACE(name);
    const std::string bytes = Fixture(name);
    Bitmap bmp;
    EXPECT_NE("", DecodeHeif(Data(bytes), bytes.size(), bmp));
    EXPECT_TRUE(bmp.Empty());
  }

  const std::pair<const char*, Decoder> goods[] = {
      {"quad.heic", DecodeHeif}, {"quad.avif", DecodeHeif},  {"quad.webp", DecodeWebp},
      {"anim.webp", DecodeWebp}, {"alpha.webp", DecodeWebp}, {"offset.webp", DecodeWebp}};
  for (const auto& [name, decode] : goods) {
    SCOPED_TRACE(name);
    const std::string bytes = Fixture(name);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      const std::string part = bytes.substr(0, cut);  // its own allocation, for the sanitizer
      Bitmap bmp;
      const std::string error = decode(Data(part), part.size(), bmp);
      EXPECT_EQ(error.empty(), !bmp.Empty()) << "cut at " << cut << ": " << error;
    }
  }
}

TEST(ColourProfiles, ProfilesComeOutOfEveryFormat) {
  const std::string icc = Fixture("swapped.icc");
  std::string profile;
  Bitmap bmp;
  const std::string heif = Fixture("red-swapped.heic");
  ASSERT_EQ("", DecodeHeif(Data(heif), heif.size(), bmp, &profile));
  EXPECT_EQ(icc, profile);
  const std::string webp = Fixture("red-swapped.webp");
  ASSERT_EQ("", DecodeWebp(Data(webp), webp.size(), bmp, &profile));
  EXPECT_EQ(icc, profile);
  const std::string png = Fixture("red-swapped.png");
  EXPECT_EQ(icc, ReadPngProfile(Data(png), png.size()));
  // Files without one give none.
  const std::string plain = Fixture("quad.webp");
  ASSERT_EQ("", DecodeWebp(Data(plain), plain.size(), bmp, &profile));
  EXPECT_EQ("", profile);
  const std::string plainHeif = Fixture("quad.heic");
  ASSERT_EQ("", DecodeHeif(Data(plainHeif), plainHeif.size(), bmp, &profile));
  EXPECT_EQ("", profile);
}

TEST(ColourProfiles, JpegSegmentsAreJoinedInTheirOrder) {
  const std::string icc = Fixture("swapped.icc");
  const std::string jpeg = MakeJpeg(2, 2, 3, std::string(12, '\x80'));
  const auto segment = [](int number, int count, const std::string& part) {
    const std::string body = std::string("ICC_PROFILE\0", 12) + static_cast<char>(number) +
                             static_cast<char>(count) + part;
    const std::size_t length = body.size() + 2;
    return std::string("\xFF\xE2", 2) + static_cast<char>(length >> 8) +
           static_cast<char>(length & 0xFF) + body;
  };
  const std::string first = icc.substr(0, 100);
  const std::string second = icc.substr(100);
  struct Case {
    const char* what;
    std::string segments;
    std::string expected;
  };
  const Case cases[] = {
      {"one segment", segment(1, 1, icc), icc},
      {"two, stored backwards", segment(2, 2, second) + segment(1, 2, first), icc},
      {"one of two missing", segment(1, 2, first), ""},
      {"a part twice", segment(1, 2, first) + segment(1, 2, first), ""},
      {"counts that differ", segment(1, 2, first) + segment(2, 3, second), ""},
      {"number zero", segment(0, 1, icc), ""},
      {"none", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = jpeg.substr(0, 2) + c.segments + jpeg.substr(2);
    EXPECT_EQ(c.expected, ReadJpegProfile(Data(file), file.size()));
    Bitmap bmp;
    EXPECT_EQ("", DecodeJpeg(Data(file), file.size(), bmp));  // still a good JPEG
  }
}

TEST(ColourProfiles, ConversionToSrgb) {
  // Stored red under the profile with red and blue swapped is sRGB blue.
  Bitmap red(4, 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 4; ++x) {
      std::uint8_t* p = red.Row(y) + 3 * x;
      p[0] = 0, p[1] = 0, p[2] = 255;
    }
  }
  Bitmap converted = red;
  ASSERT_TRUE(ConvertToSrgb(converted, Fixture("swapped.icc")));
  ExpectColour(converted, 3, 1, 0x0000FF, 8);

  // Nothing to convert with: the picture stays as it was.
  for (const std::string& profile :
       {std::string(), std::string("not a profile"), Fixture("swapped.icc").substr(0, 200)}) {
    Bitmap same = red;
    EXPECT_FALSE(ConvertToSrgb(same, profile));
    EXPECT_EQ(0xFF0000u, same.PixelRgb(3, 1));
  }
}
