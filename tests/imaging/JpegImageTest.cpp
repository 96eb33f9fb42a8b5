// Tests of JPEG decoding, encoding, file bytes kept unchanged and EXIF orientation.
#include "imaging/JpegImage.h"

#include "imaging/ImageLimits.h"
#include "imaging/LoaderFixtures.h"
#include "imaging/PictureFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

namespace {

const std::uint8_t* U8(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// Offset of the first marker 0xFF <marker> in a JPEG, or npos.
std::size_t FindMarker(const std::string& jpeg, unsigned char marker) {
  for (std::size_t i = 2; i + 1 < jpeg.size(); ++i) {
    if (static_cast<unsigned char>(jpeg[i]) == 0xFF &&
        static_cast<unsigned char>(jpeg[i + 1]) == marker) {
      return i;
    }
  }
  return std::string::npos;
}

std::string Solid(int width, int height, std::initializer_list<unsigned char> sample) {
  std::string s;
  for (int i = 0; i < width * height; ++i) {
    for (unsigned char v : sample) s += static_cast<char>(v);
  }
  return s;
}

}  // namespace

TEST(JpegImage, SavedBitmapIsBaselineColourQuality90) {
  JpegImage jpeg;
  jpeg.Assign(TestPicture(20, 12));
  EXPECT_FALSE(jpeg.HoldsFileBytes());
  const std::string bytes = jpeg.SaveToBytes();
  ASSERT_GT(bytes.size(), 4u);
  EXPECT_EQ("\xFF\xD8", bytes.substr(0, 2));
  const std::size_t sof = FindMarker(bytes, 0xC0);  // baseline frame
  ASSERT_NE(std::string::npos, sof);
  EXPECT_EQ(std::string::npos, FindMarker(bytes, 0xC2));  // no progressive frame
  EXPECT_EQ(3, bytes[sof + 9]);                           // three components: colour
  // The first luminance quantiser of the standard table (16) at quality 90
  // scales by 20 %: (16 * 20 + 50) / 100 = 3.
  const std::size_t dqt = FindMarker(bytes, 0xDB);
  ASSERT_NE(std::string::npos, dqt);
  EXPECT_EQ(0, bytes[dqt + 4]);  // table 0, 8-bit
  EXPECT_EQ(3, bytes[dqt + 5]);

  Bitmap back;
  ASSERT_EQ("", DecodeJpeg(U8(bytes), bytes.size(), back));
  EXPECT_EQ(20, back.Width());
  EXPECT_EQ(12, back.Height());
  EXPECT_LE(MaxChannelDifference(back, TestPicture(20, 12)), 12);
}

TEST(JpegImage, FileBytesAreSavedUnchanged) {
  TempFolder dir;
  const std::string original = MakeJpeg(7, 5, 3, Solid(7, 5, {200, 10, 10}));
  const std::string path = dir.Write("a.jpg", original);
  JpegImage jpeg;
  jpeg.LoadFromFile(path);
  EXPECT_TRUE(jpeg.HoldsFileBytes());
  EXPECT_EQ(7, jpeg.Width());
  EXPECT_EQ(5, jpeg.Height());
  EXPECT_EQ(original, jpeg.SaveToBytes());
  const std::string copy = dir / "copy.jpg";
  jpeg.SaveToFile(copy);
  JpegImage again;
  again.LoadFromFile(copy);
  EXPECT_EQ(original, again.FileBytes());
}

TEST(JpegImage, LoadingFailuresThrowAndLeaveTheObject) {
  TempFolder dir;
  JpegImage jpeg;
  jpeg.Assign(TestPicture(2, 2));
  EXPECT_THROW(jpeg.LoadFromFile(dir.Write("x.jpg", "not a jpeg at all")), std::runtime_error);
  EXPECT_THROW(jpeg.LoadFromFile(dir / "missing.jpg"), std::runtime_error);
  EXPECT_THROW(jpeg.LoadFromFile(dir.Path().string()), std::runtime_error);  // a folder
  EXPECT_THROW(jpeg.LoadFromBytes(""), std::runtime_error);
  EXPECT_FALSE(jpeg.HoldsFileBytes());
  EXPECT_EQ(2, jpeg.Width());
  EXPECT_THROW(JpegImage().SaveToBytes(), std::runtime_error);
}

TEST(DecodeJpeg, GreyAndCmykBecomeColour) {
  struct Case {
    const char* name;
    int components;
    std::initializer_list<unsigned char> sample;
    std::uint32_t rgb;
  };
  const Case cases[] = {
      {"grey", 1, {128}, 0x808080},
      {"colour", 3, {200, 30, 60}, 0xC81E3C},
      // Inverted CMYK as the Adobe marker means: 255 is no ink.
      {"cmyk red", 4, {255, 0, 0, 255}, 0xFF0000},
      {"cmyk half black", 4, {255, 255, 255, 128}, 0x808080},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string jpeg = MakeJpeg(16, 8, c.components, Solid(16, 8, c.sample));
    Bitmap bmp;
    ASSERT_EQ("", DecodeJpeg(U8(jpeg), jpeg.size(), bmp));
    ASSERT_EQ(PixelFormat::Bgr24, bmp.Format());
    Bitmap want(16, 8);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 16; ++x) {
        want.Row(y)[x * 3] = c.rgb & 0xFF;
        want.Row(y)[x * 3 + 1] = (c.rgb >> 8) & 0xFF;
        want.Row(y)[x * 3 + 2] = (c.rgb >> 16) & 0xFF;
      }
    }
    EXPECT_LE(MaxChannelDifference(bmp, want), 4);
  }
}

TEST(DecodeJpeg, BrokenFilesGiveErrorTexts) {
  const std::string good = MakeJpeg(64, 64, 3, Solid(64, 64, {1, 2, 3}));
  // Claims 65,500 x 65,500 pixels: refused from the header alone.
  std::string huge = good;
  const std::size_t sof = FindMarker(huge, 0xC0);
  huge[sof + 5] = huge[sof + 7] = static_cast<char>(0xFF);
  huge[sof + 6] = huge[sof + 8] = static_cast<char>(0xDC);
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;  // start of the expected text
  };
  const Case cases[] = {
      {"empty", "", "Empty JPEG"},
      {"not a jpeg", "GIF89a....", "Not a JPEG file"},
      {"header only", good.substr(0, FindMarker(good, 0xDA)), ""},
      {"truncated data", good.substr(0, good.size() / 2), "Premature end of JPEG file"},
      {"too large", huge, "Picture too large: 65500 x 65500 pixels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bitmap bmp = TestPicture(3, 3);
    const std::string error = DecodeJpeg(U8(c.bytes), c.bytes.size(), bmp);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(0u, error.find(c.error)) << error;
    EXPECT_EQ(3, bmp.Width());  // untouched
  }
}

TEST(ExifOrientation, ReadsTheTagInBothByteOrders) {
  const std::string plain = MakeJpeg(8, 8, 3, Solid(8, 8, {1, 2, 3}));
  EXPECT_EQ(1, ReadExifOrientation(U8(plain), plain.size()));
  for (int value = 1; value <= 8; ++value) {
    for (bool big : {false, true}) {
      const std::string jpeg = WithExifOrientation(plain, value, big);
      EXPECT_EQ(value, ReadExifOrientation(U8(jpeg), jpeg.size())) << value << big;
      JpegImage image;
      image.LoadFromBytes(jpeg);
      EXPECT_EQ(value, image.Orientation());
    }
  }
}

TEST(ExifOrientation, MalformedBlocksCountAsUpright) {
  const std::string plain = MakeJpeg(8, 8, 3, Solid(8, 8, {1, 2, 3}));
  const std::string six = WithExifOrientation(plain, 6, false);
  std::string badOffset = six;
  badOffset[4 + 2 + 6 + 4] = static_cast<char>(0xF0);  // first IFD far beyond the block
  std::string badLength = six;
  badLength[4] = static_cast<char>(0x7F);  // segment runs past the end
  const std::string cases[] = {WithExifOrientation(plain, 0, false),
                               WithExifOrientation(plain, 9, true),
                               badOffset,
                               badLength,
                               six.substr(0, 20),
                               "",
                               "\xFF\xD8"};
  for (const auto& bytes : cases) EXPECT_EQ(1, ReadExifOrientation(U8(bytes), bytes.size()));
}

TEST(ExifOrientation, FromAFile) {
  TempFolder dir;
  const std::string jpeg = WithExifOrientation(MakeJpeg(8, 8, 1, Solid(8, 8, {9})), 8, true);
  EXPECT_EQ(8, ReadJpegOrientation(dir.Write("r.jpg", jpeg)));
  EXPECT_EQ(1, ReadJpegOrientation(dir / "none.jpg"));
}

// A hostile progressive file can hold thousands of scans; past the limit the
// decoder stops with an error text.
TEST(DecodeJpeg, ScanLimitAtAndOnePast) {
  for (int scans : {kMaxJpegScans, kMaxJpegScans + 1}) {
    SCOPED_TRACE(scans);
    const std::string jpeg = MakeManyScanJpeg(scans);
    Bitmap bmp;
    const std::string error = DecodeJpeg(U8(jpeg), jpeg.size(), bmp);
    if (scans <= kMaxJpegScans) {
      EXPECT_EQ("", error);
      EXPECT_EQ(8, bmp.Width());
    } else {
      EXPECT_EQ("JPEG file has more than 500 scans", error);
      EXPECT_TRUE(bmp.Empty());
    }
  }
}

// A file read on as the decoder asks is read as it was when it was opened:
// bytes that arrive later (a copy still being written) are not decoded, so
// a file cut short fails until it is opened again whole.
TEST(DecodeJpegFile, ReadsNoFurtherThanTheSizeAtOpening) {
  TempFolder dir;
  std::string samples(static_cast<std::size_t>(320) * 240 * 3, '\0');
  std::uint32_t seed = 7;
  for (char& c : samples) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  const std::string jpeg = MakeJpeg(320, 240, 3, samples);
  const std::size_t cut = jpeg.size() / 2;
  ASSERT_GT(cut, 4096u);
  const std::string path = dir.Write("growing.jpg", jpeg.substr(0, cut));
  UniqueFd fd;
  std::size_t size = 0;
  ASSERT_EQ("", OpenPictureFile(path, fd, size));
  ASSERT_EQ(cut, size);
  std::string head;
  ASSERT_EQ("", ReadPictureBytes(path, fd.get(), 4096, head));
  {
    std::ofstream more(path, std::ios::binary | std::ios::app);
    more << jpeg.substr(cut);
  }
  Bitmap picture;
  EXPECT_NE("", DecodeJpegFile(head, fd.get(), size, picture));
  EXPECT_TRUE(picture.Empty());

  Bitmap expected;
  ASSERT_EQ("",
            DecodeJpeg(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), expected));
  ASSERT_EQ("", OpenPictureFile(path, fd, size));
  ASSERT_EQ("", ReadPictureBytes(path, fd.get(), 4096, head));
  ASSERT_EQ("", DecodeJpegFile(head, fd.get(), size, picture));
  EXPECT_EQ(0, MaxChannelDifference(expected, picture));
}
