// Tests of the image loader: extension tests, file reading and loading every format.
#include "imaging/OrvelGraphicLoader.h"

#include "base/FileUtil.h"
#include "imaging/LoaderFixtures.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <png.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

TEST(ExtensionTests, NamesAndTheirFormats) {
  struct Case {
    const char* name;
    bool jpeg, bmp, gif, png, ico, emf, supported;
  };
  const Case cases[] = {
      {"Holiday.jpeg", true, false, false, false, false, false, true},
      {"HOLIDAY.JPG", true, false, false, false, false, false, true},
      {"a.jfif", true, false, false, false, false, false, true},
      {"b.Jpe", true, false, false, false, false, false, true},
      {"/srv/pics/x.Bmp", false, true, false, false, false, false, true},
      {"anim.GIF", false, false, true, false, false, false, true},
      {"shot.png", false, false, false, true, false, false, true},
      {"app.ico", false, false, false, false, true, false, false},
      {"chart.EMF", false, false, false, false, false, true, false},
      {"c.jpg.txt", false, false, false, false, false, false, false},
      {"d.jpg ", false, false, false, false, false, false, false},
      {"noextension", false, false, false, false, false, false, false},
      {"pics.jpg/readme", false, false, false, false, false, false, false},
      {"pics.jpg\\readme", false, false, false, false, false, false, false},
      {"c:.jpg:x", false, false, false, false, false, false, false},
      {".jpg", true, false, false, false, false, false, true},
      {"a.jpg.", false, false, false, false, false, false, false},
      {"a.jp", false, false, false, false, false, false, false},
      {"a.jpgg", false, false, false, false, false, false, false},
      {"", false, false, false, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.jpeg, IsJpeg(c.name));
    EXPECT_EQ(c.bmp, IsBmp(c.name));
    EXPECT_EQ(c.gif, IsGif(c.name));
    EXPECT_EQ(c.png, IsPng(c.name));
    EXPECT_EQ(c.ico, IsIco(c.name));
    EXPECT_EQ(c.emf, IsEmf(c.name));
    EXPECT_EQ(c.supported, IsSupportedPicture(c.name));
  }
}

// Only regular files are pictures: a FIFO, socket, device, folder or a link to
// a device is a missing file, and reading one never blocks.
TEST(PictureFiles, OnlyRegularFilesExist) {
  TempFolder dir;
  const std::string regular = dir.Write("real.jpg", "abc");
  const std::string fifo = dir / "fifo.jpg";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string zero = dir / "zero.jpg";
  ASSERT_EQ(0, ::symlink("/dev/zero", zero.c_str()));
  const std::string dangling = dir / "dangling.jpg";
  ASSERT_EQ(0, ::symlink((dir / "nothing").c_str(), dangling.c_str()));
  const std::string link = dir / "link.jpg";
  ASSERT_EQ(0, ::symlink(regular.c_str(), link.c_str()));
  const std::string sock = dir / "sock.jpg";
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  const std::string folder = dir / "folder.jpg";
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));

  struct Case {
    std::string path;
    bool exists;
  };
  const Case cases[] = {{regular, true}, {link, true},         {fifo, false},
                        {zero, false},   {sock, false},        {dangling, false},
                        {folder, false}, {"/dev/null", false}, {dir / "missing.jpg", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.exists, IsRegularFile(c.path));
    std::string bytes = "untouched";
    const std::string error = ReadPictureFile(c.path, bytes);
    // The JPEG loaders read the file once instead of testing it first; a
    // missing file still comes back as missing, and "abc" is read and fails.
    JpegImage jpeg;
    std::string jpegError;
    Bitmap upright;
    std::string uprightError;
    if (c.exists) {
      EXPECT_EQ("", error);
      EXPECT_EQ("abc", bytes);
      EXPECT_THROW(LoadAsJpegIfPresent(c.path, jpeg, jpegError), std::runtime_error);
      LoadGraphicUpright(c.path, upright, uprightError);
      EXPECT_NE("", uprightError);
      EXPECT_NE("File does not exist: " + c.path, uprightError);
    } else {
      EXPECT_EQ("File does not exist: " + c.path, error);
      EXPECT_EQ("untouched", bytes);
      EXPECT_FALSE(LoadAsJpegIfPresent(c.path, jpeg, jpegError));
      EXPECT_EQ("File does not exist: " + c.path, jpegError);
      LoadGraphicUpright(c.path, upright, uprightError);
      EXPECT_EQ("File does not exist: " + c.path, uprightError);
    }
    EXPECT_TRUE(jpeg.Empty());
    EXPECT_TRUE(upright.Empty());
  }
  ::close(s);
}

TEST(PictureFiles, ReadLimitsAndStarts) {
  TempFolder dir;
  const std::string path = dir.Write("f.png", "0123456789");
  std::string bytes;
  EXPECT_EQ("", ReadPictureFile(path, bytes, 10));
  EXPECT_EQ("0123456789", bytes);
  EXPECT_NE("", ReadPictureFile(path, bytes, 9));  // one byte over the limit
  EXPECT_EQ("", ReadPictureFileStart(path, bytes, 4));
  EXPECT_EQ("0123", bytes);
}

namespace {

const std::uint8_t* U8(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

std::string Bgr(std::initializer_list<std::uint32_t> rgbs) {
  std::string s;
  for (std::uint32_t c : rgbs) {
    s += static_cast<char>((c >> 16) & 0xFF);
    s += static_cast<char>((c >> 8) & 0xFF);
    s += static_cast<char>(c & 0xFF);
  }
  return s;
}

}  // namespace

TEST(LoadGraphic, MissingUnsupportedAndMetafiles) {
  TempFolder dir;
  const std::string missing = dir / "a.png";
  Bitmap bmp;
  std::string error = "stale";
  LoadGraphic(missing, bmp, error);
  EXPECT_EQ("File does not exist: " + missing, error);
  EXPECT_TRUE(bmp.Empty());

  LoadGraphic(dir.Write("notes.txt", "hello"), bmp, error);
  EXPECT_EQ("Unsupported graphic format", error);

  const std::string emf = dir.Write("chart.emf", " EMF");
  LoadGraphic(emf, bmp, error);
  EXPECT_EQ("Metafile pictures cannot be shown here: " + emf, error);
  EXPECT_TRUE(bmp.Empty());

  const std::string fifo = dir / "pipe.jpg";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  LoadGraphic(fifo, bmp, error);  // must not block waiting for a writer
  EXPECT_EQ("File does not exist: " + fifo, error);
}

// Every format through LoadGraphic: the picture's size and some pixels.
TEST(LoadGraphic, EveryFormat) {
  TempFolder dir;
  const Bitmap picture = TestPicture(6, 4);
  // A palette PNG, a grey PNG with 16 bits and a colour PNG with alpha.
  const std::string palettePng =
      MakePng(3, 1, PNG_FORMAT_RGB, std::string("\0\1\2", 3), Bgr({0xFF0000, 0x00FF00, 0x0000FF}));
  const std::string rgbaPng =
      MakePng(2, 1, PNG_FORMAT_RGBA, std::string("\x10\x20\x30\x00\x40\x50\x60\xFF", 8));
  const std::string greyPng = MakePng(2, 1, PNG_FORMAT_GRAY, std::string("\x00\xFF", 2));
  struct Case {
    std::string name;
    std::string bytes;
    int width, height;
    std::vector<std::pair<int, std::uint32_t>> pixels;  // x on row 0, colour
    int tolerance;
  };
  const Case cases[] = {
      {"photo.JPG", EncodeJpeg(picture), 6, 4, {{0, TestColour(0, 0)}, {5, TestColour(5, 0)}}, 12},
      {"plain.bmp", MakeBmp24(picture), 6, 4, {{0, TestColour(0, 0)}, {5, TestColour(5, 0)}}, 0},
      {"pal.png", palettePng, 3, 1, {{0, 0xFF0000}, {1, 0x00FF00}, {2, 0x0000FF}}, 0},
      // Alpha is kept, never composited: the transparent pixel keeps its colour.
      {"alpha.png", rgbaPng, 2, 1, {{0, 0x102030}, {1, 0x405060}}, 0},
      {"grey.png", greyPng, 2, 1, {{0, 0x000000}, {1, 0xFFFFFF}}, 0},
      {"anim.gif",
       MakeGif(4, 3, Bgr({0x000000, 0xFF0000, 0x00FF00}),
               {{1, 0, 2, 1, std::string("\1\0", 2), 0}, {0, 0, 4, 3, std::string(12, '\2')}}),
       4,
       3,
       {{0, 0xFFFFFF}, {1, 0xFF0000}, {2, 0xFFFFFF}, {3, 0xFFFFFF}},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bitmap bmp;
    std::string error = "stale";
    LoadGraphic(dir.Write(c.name, c.bytes), bmp, error);
    ASSERT_EQ("", error);
    ASSERT_EQ(c.width, bmp.Width());
    ASSERT_EQ(c.height, bmp.Height());
    for (const auto& [x, rgb] : c.pixels) {
      const std::uint32_t got = bmp.PixelRgb(x, 0);
      for (int shift = 0; shift < 24; shift += 8) {
        EXPECT_NEAR(static_cast<int>((rgb >> shift) & 0xFF),
                    static_cast<int>((got >> shift) & 0xFF), c.tolerance)
            << "x=" << x << " got " << std::hex << got;
      }
    }
  }
}

TEST(DecodeGif, InterlacedRowsComeBackInOrder) {
  std::string colours, rows;
  for (int i = 0; i < 8; ++i) {
    colours += Bgr({static_cast<std::uint32_t>(i * 0x100000)});
    rows += static_cast<char>(i);
  }
  GifFrame frame{0, 0, 1, 8, rows};
  frame.interlaced = true;
  const std::string gif = MakeGif(1, 8, colours, {frame});
  Bitmap bmp;
  ASSERT_EQ("", DecodeGif(U8(gif), gif.size(), bmp));
  for (int y = 0; y < 8; ++y)
    EXPECT_EQ(static_cast<std::uint32_t>(y * 0x100000), bmp.PixelRgb(0, y));
}

TEST(LoadGraphic, PngKeepsItsPixelDepth) {
  const std::string palette =
      MakePng(3, 1, PNG_FORMAT_RGB, std::string("\0\1\2", 3), Bgr({0xFF0000, 0x00FF00, 0x0000FF}));
  Bitmap bmp;
  ASSERT_EQ("", DecodePng(U8(palette), palette.size(), bmp));
  EXPECT_LE(bmp.BitsPerPixel(), 8);
  const std::string rgba = MakePng(1, 1, PNG_FORMAT_RGBA, std::string("\1\2\3\4", 4));
  ASSERT_EQ("", DecodePng(U8(rgba), rgba.size(), bmp));
  EXPECT_EQ(PixelFormat::Bgra32, bmp.Format());
  EXPECT_EQ(4, bmp.Row(0)[3]);  // the alpha as stored
  const std::string rgb = MakePng(1, 1, PNG_FORMAT_RGB, std::string("\1\2\3", 3));
  ASSERT_EQ("", DecodePng(U8(rgb), rgb.size(), bmp));
  EXPECT_EQ(PixelFormat::Bgr24, bmp.Format());
}

TEST(LoadGraphic, BmpOfZeroSizeIsInvalid) {
  TempFolder dir;
  for (const auto& [w, h] : {std::pair{0, 4}, std::pair{4, 0}}) {
    Bitmap bmp = TestPicture(2, 2);
    std::string error;
    LoadGraphic(dir.Write("empty.bmp", MakeBmpFile(InfoHeader(w, h, 24), "")), bmp, error);
    EXPECT_EQ("Invalid image size!", error);
  }
}

// An icon is drawn over white: the largest image wins; alpha blends and the
// AND mask shows the white fill.
TEST(LoadGraphic, IconsDrawTheLargestImageOverWhite) {
  TempFolder dir;
  // 2 x 2, 32-bit with alpha: opaque red, fully transparent, half-transparent black.
  std::string bgra32 = InfoHeader(2, 4, 32) + std::string("\0\0\xFF\xFF", 4) +
                       std::string("\0\0\0\x80", 4) +  // bottom row
                       std::string("\0\0\xFF\xFF", 4) + std::string("\x11\x22\x33\x00", 4) +
                       std::string(8, '\0');  // AND mask rows (ignored: alpha present)
  // 1 x 1, 8-bit palette image with its mask saying transparent.
  std::string pal8 = InfoHeader(1, 2, 8, 0, 2) + std::string("\0\0\0\0\x10\x20\x30\0", 8) +
                     std::string("\1\0\0\0", 4) + std::string("\x80\0\0\0", 4);
  const std::string ico = MakeIco({{1, 1, 8, pal8}, {2, 2, 32, bgra32}});
  Bitmap bmp;
  std::string error;
  LoadGraphic(dir.Write("app.ico", ico), bmp, error);
  ASSERT_EQ("", error);
  ASSERT_EQ(2, bmp.Width());
  ASSERT_EQ(2, bmp.Height());
  EXPECT_EQ(0xFF0000u, bmp.PixelRgb(0, 0));
  EXPECT_EQ(0xFFFFFFu, bmp.PixelRgb(1, 0));
  EXPECT_EQ(0xFF0000u, bmp.PixelRgb(0, 1));
  EXPECT_EQ(0x7F7F7Fu, bmp.PixelRgb(1, 1));  // black at alpha 128 over white

  // The small image alone: its masked pixel is white AND mask XOR colour.
  const std::string one = MakeIco({{1, 1, 8, pal8}});
  LoadGraphic(dir.Write("one.ico", one), bmp, error);
  ASSERT_EQ("", error);
  EXPECT_EQ(0xFFFFFFu ^ 0x302010u, bmp.PixelRgb(0, 0));

  // A PNG payload.
  const std::string png = MakePng(3, 3, PNG_FORMAT_RGBA, std::string(36, '\xFF'));
  LoadGraphic(dir.Write("png.ico", MakeIco({{1, 1, 8, pal8}, {3, 3, 32, png}})), bmp, error);
  ASSERT_EQ("", error);
  EXPECT_EQ(3, bmp.Width());
  EXPECT_FALSE(IsSupportedPicture("png.ico"));
}

TEST(LoadAsJpeg, JpegBytesStayAndOtherFormatsAreCompressed) {
  TempFolder dir;
  const Bitmap picture = TestPicture(9, 7);
  const std::string original = EncodeJpeg(picture, 75);
  JpegImage jpeg;
  std::string error = "stale";
  LoadAsJpeg(dir.Write("a.jpeg", original), jpeg, error);
  EXPECT_EQ("", error);
  EXPECT_EQ(original, jpeg.SaveToBytes());

  std::string rgb;
  for (int y = 0; y < 7; ++y) {
    for (int x = 0; x < 9; ++x) {
      const std::uint32_t c = TestColour(x, y);
      rgb += Bgr({c});
    }
  }
  const std::string sources[][2] = {
      {"p.png", MakePng(9, 7, PNG_FORMAT_RGB, rgb)},
      {"b.bmp", MakeBmp24(picture)},
      {"g.gif", MakeGif(9, 7, Bgr({0x102030, 0xA0B0C0}), {{0, 0, 9, 7, std::string(63, '\1')}})},
  };
  for (const auto& s : sources) {
    SCOPED_TRACE(s[0]);
    error = "stale";
    JpegImage converted;
    LoadAsJpeg(dir.Write(s[0], s[1]), converted, error);
    ASSERT_EQ("", error);
    EXPECT_FALSE(converted.HoldsFileBytes());
    const std::string bytes = converted.SaveToBytes();
    // The saved file is what quality 90 gives for the decoded picture.
    Bitmap decoded;
    ASSERT_EQ("", converted.Decode(decoded));
    EXPECT_EQ(EncodeJpeg(decoded, 90), bytes);
    Bitmap back;
    ASSERT_EQ("", DecodeJpeg(U8(bytes), bytes.size(), back));
    EXPECT_EQ(9, back.Width());
    EXPECT_EQ(7, back.Height());
  }

  LoadAsJpeg(dir.Write("i.ico", "x"), jpeg, error);
  EXPECT_EQ("Unsupported graphic format", error);
  LoadAsJpeg(dir / "none.gif", jpeg, error);
  EXPECT_EQ("File does not exist: " + (dir / "none.gif"), error);
}

TEST(LoadAsJpeg, FailuresTextOrThrowAsEachFormatDoes) {
  TempFolder dir;
  JpegImage jpeg;
  std::string error;
  EXPECT_THROW(LoadAsJpeg(dir.Write("bad.jpg", "not a jpeg"), jpeg, error), std::runtime_error);

  const std::string gif = dir.Write("bad.gif", "GIF89a\x01");
  EXPECT_THROW(LoadAsJpeg(gif, jpeg, error), std::runtime_error);
  EXPECT_EQ("Cannot convert GIF to JPEG: " + gif, error);

  const std::string png = dir.Write("bad.png", "\x89PNG\r\n\x1A\n broken");
  EXPECT_THROW(LoadAsJpeg(png, jpeg, error), std::runtime_error);
  EXPECT_EQ("Cannot convert Png to JPEG: " + png, error);

  LoadAsJpeg(dir.Write("bad.bmp", "BM broken"), jpeg, error);
  EXPECT_EQ("Not a BMP file", error);
  LoadAsJpeg(dir.Write("zero.bmp", MakeBmpFile(InfoHeader(0, 3, 24), "")), jpeg, error);
  EXPECT_EQ("Invalid image size!", error);
  EXPECT_TRUE(jpeg.Empty());
}

// Hand-made BMP variants the suite does not cover well: RLE with deltas and
// literals, 16-bit 5-6-5, top-down 32-bit, OS/2 headers, and bad data.
namespace {

// LoadGraphicUpright gives the picture LoadGraphic gives, turned as
// ReadJpegOrientation says (JPEGs only), and of this size.
void ExpectUprightAsLoadedAndTurned(const std::string& path, int width, int height) {
  Bitmap expected;
  std::string error;
  LoadGraphic(path, expected, error);
  ASSERT_EQ("", error);
  if (IsJpeg(path)) ApplyOrientation(expected, ReadJpegOrientation(path));
  Bitmap upright;
  LoadGraphicUpright(path, upright, error);
  ASSERT_EQ("", error);
  EXPECT_EQ(width, upright.Width());
  EXPECT_EQ(height, upright.Height());
  ASSERT_EQ(expected.Width(), upright.Width());
  ASSERT_EQ(expected.Height(), upright.Height());
  EXPECT_EQ(0, MaxChannelDifference(expected, upright));
}

}  // namespace

// One read gives the pixels and the orientation: the result is the picture
// LoadGraphic gives, turned as ReadJpegOrientation says; other formats and
// JPEGs without the tag come back as LoadGraphic gives them.
TEST(LoadGraphicUpright, TurnsJpegsByTheirOwnTag) {
  TempFolder dir;
  const Bitmap picture = TestPicture(6, 4);
  const std::string plain = MakeJpeg(6, 4, 3, [&] {
    std::string samples;
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 6; ++x) {
        const std::uint32_t c = TestColour(x, y);
        samples += static_cast<char>(c >> 16);
        samples += static_cast<char>(c >> 8);
        samples += static_cast<char>(c);
      }
    }
    return samples;
  }());
  struct Case {
    std::string name;
    std::string bytes;
    int width, height;
  };
  const Case cases[] = {
      {"plain.jpg", plain, 6, 4},
      {"one.jpg", WithExifOrientation(plain, 1, false), 6, 4},
      {"three.jpeg", WithExifOrientation(plain, 3, true), 6, 4},
      {"six.jpg", WithExifOrientation(plain, 6, false), 4, 6},
      {"eight.JPG", WithExifOrientation(plain, 8, true), 4, 6},
      {"picture.bmp", MakeBmp24(picture), 6, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectUprightAsLoadedAndTurned(dir.Write(c.name, c.bytes), c.width, c.height);
  }
  Bitmap untouched = picture;
  std::string error;
  LoadGraphicUpright(dir.Write("bad.jpg", "not a jpeg"), untouched, error);
  EXPECT_NE("", error);
  EXPECT_EQ(0, MaxChannelDifference(picture, untouched));
}

// A JPEG beyond the start that LoadGraphicUpright reads first is decoded as
// the rest of the file comes in: large marker segments that the decoder skips
// across the boundary, and image data read in blocks, give the picture that
// the whole file in memory gives; a file cut short fails the same way.
TEST(LoadGraphicUpright, ReadsLargeJpegsOnAsTheDecoderAsks) {
  TempFolder dir;
  constexpr int kWidth = 640, kHeight = 480;
  std::string samples(static_cast<std::size_t>(kWidth) * kHeight * 3, '\0');
  std::uint32_t seed = 12345;
  for (char& c : samples) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  const std::string noise = MakeJpeg(kWidth, kHeight, 3, samples);
  ASSERT_GT(noise.size(), 2 * kJpegOrientationSearchBytes);
  // Three application segments of 60,000 bytes after the EXIF block: 180,000
  // bytes the decoder skips, across the first bytes read and later blocks.
  std::string padded = WithExifOrientation(noise, 6, false);
  std::string segment = "\xFF\xE9";
  segment += static_cast<char>(60000 >> 8);
  segment += static_cast<char>(60000 & 0xFF);
  segment += std::string(60000 - 2, 'x');
  const std::size_t exifEnd =
      4 + ((static_cast<std::uint8_t>(padded[4]) << 8) | static_cast<std::uint8_t>(padded[5]));
  padded.insert(exifEnd, segment + segment + segment);
  struct Case {
    std::string name;
    std::string bytes;
    int width, height;
  };
  const Case cases[] = {
      {"noise.jpg", noise, kWidth, kHeight},
      {"padded.jpg", padded, kHeight, kWidth},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectUprightAsLoadedAndTurned(dir.Write(c.name, c.bytes), c.width, c.height);
    const std::string cut = dir.Write("cut-" + c.name, c.bytes.substr(0, c.bytes.size() * 2 / 3));
    Bitmap whole;
    std::string error;
    LoadGraphic(cut, whole, error);
    EXPECT_NE("", error);
    const Bitmap before = TestPicture(3, 2);
    Bitmap untouched = before;
    std::string cutError;
    LoadGraphicUpright(cut, untouched, cutError);
    EXPECT_EQ(error, cutError);
    EXPECT_EQ(0, MaxChannelDifference(before, untouched));
  }
}

TEST(DecodeBmp, HandMadeVariants) {
  const std::string pal2 = std::string("\0\0\xFF\0", 4) + std::string("\xFF\0\0\0", 4);
  // RLE8 3 x 2 (rows bottom first): run of 3 red; end of line; literal of 3
  // (blue, red, blue) padded to a word; end of bitmap.
  const std::string rle8 = std::string("\x03\x00\x00\x00\x00\x03\x01\x00\x01\x00\x00\x01", 12);
  // RLE4 3 x 1: run of 3 nibbles alternating 1, 0, 1.
  const std::string rle4 = std::string("\x03\x10\x00\x01", 4);
  // 16-bit 5-6-5 with its masks after the header: pure green, then pure blue.
  const std::string masks565 = Le32(0xF800) + Le32(0x07E0) + Le32(0x001F);
  const std::string px565 = Le16(0x07E0) + Le16(0x001F);
  // 32-bit top-down: first row red, second green.
  const std::string px32 = std::string("\0\0\xFF\0", 4) + std::string("\0\xFF\0\0", 4);
  // OS/2 1.x header, 1-bit, 3-byte palette entries.
  const std::string os2 =
      Le32(12) + Le16(2) + Le16(1) + Le16(1) + Le16(1) + std::string("\0\0\0\xFF\xFF\xFF", 6);
  struct Case {
    const char* name;
    std::string file;
    std::string error;
    std::vector<std::uint32_t> topRow;
  };
  const Case cases[] = {
      {"rle8",
       MakeBmpFile(InfoHeader(3, 2, 8, 1, 2) + pal2, rle8),
       "",
       {0x0000FF, 0xFF0000, 0x0000FF}},
      {"rle4",
       MakeBmpFile(InfoHeader(3, 1, 4, 2, 2) + pal2, rle4),
       "",
       {0x0000FF, 0xFF0000, 0x0000FF}},
      {"565", MakeBmpFile(InfoHeader(2, 1, 16, 3) + masks565, px565), "", {0x00FF00, 0x0000FF}},
      {"topdown32", MakeBmpFile(InfoHeader(1, -2, 32), px32), "", {0xFF0000}},
      {"os2", MakeBmpFile(os2, std::string("\x40\0\0\0", 4)), "", {0x000000, 0xFFFFFF}},
      // Pixels the data skips show the palette's lightest colour.
      {"rle skips",
       MakeBmpFile(InfoHeader(3, 1, 8, 1, 3) + pal2 + std::string("\xFF\xFF\xFF\0", 4),
                   std::string("\x00\x02\x01\x00\x01\x01\x00\x01", 8)),
       "",
       {0xFFFFFF, 0x0000FF, 0xFFFFFF}},
      {"rle run past row",
       MakeBmpFile(InfoHeader(2, 1, 8, 1, 2) + pal2, std::string("\x03\x00\x00\x01", 4)),
       "BMP compressed data runs past its row",
       {}},
      {"rle delta past picture",
       MakeBmpFile(InfoHeader(2, 1, 8, 1, 2) + pal2, std::string("\x00\x02\x05\x00\x00\x01", 6)),
       "BMP compressed data moves past the picture",
       {}},
      {"rle truncated",
       MakeBmpFile(InfoHeader(2, 2, 8, 1, 2) + pal2, std::string("\x02\x00", 2)),
       "BMP compressed data is truncated",
       {}},
      {"index past palette",
       MakeBmpFile(InfoHeader(1, 1, 8, 0, 2) + pal2, std::string("\x05\0\0\0", 4)),
       "BMP pixel refers past the end of its palette",
       {}},
      {"rows missing",
       MakeBmpFile(InfoHeader(4, 4, 24), std::string(20, '\0')),
       "BMP file is truncated",
       {}},
      {"too large",
       MakeBmpFile(InfoHeader(65'536, 1, 24), ""),
       "Picture too large: 65536 x 1 pixels",
       {}},
      {"bomb",
       MakeBmpFile(InfoHeader(20'000, 20'000, 1), ""),
       "Picture too large: 20000 x 20000 pixels",
       {}},
      {"bad planes",
       MakeBmpFile(Le32(12) + Le16(1) + Le16(1) + Le16(2) + Le16(24), "\0\0\0\0"),
       "BMP must have one plane",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bitmap bmp;
    EXPECT_EQ(c.error, DecodeBmp(U8(c.file), c.file.size(), bmp));
    if (!c.error.empty()) {
      EXPECT_TRUE(bmp.Empty());
      continue;
    }
    ASSERT_EQ(static_cast<int>(c.topRow.size()), bmp.Width());
    for (int x = 0; x < bmp.Width(); ++x) EXPECT_EQ(c.topRow[x], bmp.PixelRgb(x, 0)) << x;
  }
}

// Pictures that claim a huge size are refused before any large allocation,
// and every cut of a good file ends in an error text or a picture.
TEST(HostileFiles, BombsAndTruncations) {
  const Bitmap picture = TestPicture(16, 16);
  const std::string png = MakePng(16, 16, PNG_FORMAT_RGB, std::string(16 * 16 * 3, '\x40'));
  std::string pngBomb = MakePng(1, 1, PNG_FORMAT_RGB, "abc");
  // IHDR width and height: 40,000 x 40,000 (within the side limit, over the
  // pixel limit); libpng checks the chunk's CRC, so recompute it.
  const std::string dims = std::string("\0\0\x9C\x40\0\0\x9C\x40", 8);
  pngBomb.replace(16, 8, dims);
  const std::uint32_t crc = static_cast<std::uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(pngBomb.data() + 12), 17));
  pngBomb.replace(29, 4,
                  std::string{static_cast<char>(crc >> 24), static_cast<char>(crc >> 16),
                              static_cast<char>(crc >> 8), static_cast<char>(crc)});
  const std::string gifBomb =
      MakeGif(65'535, 65'535, Bgr({0, 0xFFFFFF}), {{0, 0, 1, 1, std::string("\1", 1)}});
  using D = std::string (*)(const std::uint8_t*, std::size_t, Bitmap&);
  const std::pair<const char*, D> bombs[] = {{"png", DecodePng}, {"gif", DecodeGif}};
  const std::string bombBytes[] = {pngBomb, gifBomb};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(bombs[i].first);
    Bitmap bmp;
    const std::string error = bombs[i].second(U8(bombBytes[i]), bombBytes[i].size(), bmp);
    EXPECT_EQ(0u, error.find("Picture too large")) << error;
  }

  const std::pair<const char*, std::pair<D, std::string>> goods[] = {
      {"jpeg", {DecodeJpeg, EncodeJpeg(picture)}},
      {"png", {DecodePng, png}},
      {"bmp", {DecodeBmp, MakeBmp24(picture)}},
      {"gif",
       {DecodeGif, MakeGif(16, 16, Bgr({0, 0xFFFFFF}), {{0, 0, 16, 16, std::string(256, '\1')}})}},
      {"ico",
       {DecodeIco, MakeIco({{4, 4, 32, InfoHeader(4, 8, 32) + std::string(64 + 16, '\x7F')}})}},
  };
  for (const auto& [name, good] : goods) {
    SCOPED_TRACE(name);
    const auto& [decode, bytes] = good;
    Bitmap whole;
    ASSERT_EQ("", decode(U8(bytes), bytes.size(), whole));
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      Bitmap bmp;
      const std::string error = decode(U8(bytes), cut, bmp);
      EXPECT_TRUE(!error.empty() || !bmp.Empty()) << "cut at " << cut;
      EXPECT_EQ(error.empty(), !bmp.Empty()) << "cut at " << cut;
    }
  }
}

TEST(HostileFiles, IconLimits) {
  const std::string pal8 = InfoHeader(1, 2, 8, 0, 2) + std::string("\0\0\0\0\x10\x20\x30\0", 8) +
                           std::string("\1\0\0\0", 4) + std::string("\x80\0\0\0", 4);
  for (int count : {kMaxIconImages, kMaxIconImages + 1}) {
    SCOPED_TRACE(count);
    const std::string ico = MakeIco(std::vector<IconImage>(count, {1, 1, 8, pal8}));
    Bitmap bmp;
    const std::string error = DecodeIco(U8(ico), ico.size(), bmp);
    EXPECT_EQ(count <= kMaxIconImages ? "" : "Icon file lists too many images", error);
  }
  // An image that claims 40,000 x 40,000 pixels (the header counts the mask rows too).
  const std::string bomb = MakeIco({{0, 0, 32, InfoHeader(40'000, 80'000, 32) + "xxxx"}});
  Bitmap bmp;
  EXPECT_EQ("Picture too large: 40000 x 40000 pixels", DecodeIco(U8(bomb), bomb.size(), bmp));

  // A few bytes of RLE8 data may claim any size: icons stop at kMaxIconSide.
  for (int side : {kMaxIconSide, kMaxIconSide + 1}) {
    SCOPED_TRACE(side);
    const std::string rle = InfoHeader(side, 2 * 3, 8, 1, 2) +
                            std::string("\0\0\0\0\xFF\xFF\xFF\0", 8) + std::string("\0\1", 2);
    const std::string ico = MakeIco({{0, 0, 8, rle}});
    Bitmap picture;
    const std::string error = DecodeIco(U8(ico), ico.size(), picture);
    if (side <= kMaxIconSide) {
      EXPECT_EQ("", error);
      EXPECT_EQ(side, picture.Width());
    } else {
      EXPECT_EQ("Icon image too large: 1025 x 3 pixels", error);
    }
  }
}
