// Reads the BMP test suite in the shared test data (skipped when it is absent):
// every good file shows the picture of g/rgb24.bmp within its format's colour
// precision, questionable files load or fail cleanly, bad files fail.
#include "imaging/LoaderFixtures.h"
#include "imaging/OrvelGraphicLoader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

namespace {

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Bitmap Load(const std::string& path) {
  Bitmap bmp;
  std::string error;
  LoadGraphic(path, bmp, error);
  EXPECT_EQ("", error) << path;
  return bmp;
}

// The top-left part of a picture (narrower variants show that part).
Bitmap Crop(const Bitmap& picture, int width, int height) {
  Bitmap out(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t c = picture.PixelRgb(x, y);
      out.Row(y)[x * 3] = c & 0xFF;
      out.Row(y)[x * 3 + 1] = (c >> 8) & 0xFF;
      out.Row(y)[x * 3 + 2] = (c >> 16) & 0xFF;
    }
  }
  return out;
}

double Channel(std::uint32_t rgb, int c, bool luma) {
  if (!luma) return (rgb >> (8 * c)) & 0xFF;
  return 0.299 * ((rgb >> 16) & 0xFF) + 0.587 * ((rgb >> 8) & 0xFF) + 0.114 * (rgb & 0xFF);
}

// Dithered palette pictures match the reference in the mean of each block of
// 8 x 8 reference pixels (the picture's block is scaled to its own height):
// the largest difference of block means over all channels, or of brightness.
double BlockDifference(const Bitmap& bmp, const Bitmap& ref, bool luma) {
  const int block = 8;
  const int rowsPer = ref.Height() / bmp.Height();  // 2 for the half-height variant
  double worst = 0;
  for (int by = 0; by + block <= ref.Height(); by += block) {
    for (int bx = 0; bx + block <= ref.Width(); bx += block) {
      for (int c = 0; c < (luma ? 1 : 3); ++c) {
        double a = 0, b = 0;
        for (int y = 0; y < block; ++y) {
          for (int x = 0; x < block; ++x) {
            b += Channel(ref.PixelRgb(bx + x, by + y), c, luma);
            if (y % rowsPer == 0) a += Channel(bmp.PixelRgb(bx + x, (by + y) / rowsPer), c, luma);
          }
        }
        worst = std::max(worst, std::abs(a * rowsPer - b) / (block * block));
      }
    }
  }
  return worst;
}

// True when b is a with its colours swapped one for one (another palette).
bool SamePictureOtherColours(const Bitmap& a, const Bitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  std::map<std::uint32_t, std::uint32_t> forward, backward;
  for (int y = 0; y < a.Height(); ++y) {
    for (int x = 0; x < a.Width(); ++x) {
      const std::uint32_t p = a.PixelRgb(x, y), q = b.PixelRgb(x, y);
      if (forward.emplace(p, q).first->second != q || backward.emplace(q, p).first->second != p)
        return false;
    }
  }
  return true;
}

double MeanDifference(const Bitmap& a, const Bitmap& b) {
  double sum = 0;
  for (int y = 0; y < a.Height(); ++y) {
    for (int x = 0; x < a.Width(); ++x) {
      for (int c = 0; c < 3; ++c) {
        sum += std::abs(Channel(a.PixelRgb(x, y), c, false) - Channel(b.PixelRgb(x, y), c, false));
      }
    }
  }
  return sum / (3.0 * a.Width() * a.Height());
}

bool AllGrey(const Bitmap& bmp) {
  for (int y = 0; y < bmp.Height(); ++y) {
    for (int x = 0; x < bmp.Width(); ++x) {
      const std::uint32_t c = bmp.PixelRgb(x, y);
      if ((c & 0xFF) != ((c >> 8) & 0xFF) || (c & 0xFF) != (c >> 16)) return false;
    }
  }
  return true;
}

}  // namespace

TEST(BmpSuite, GoodFilesShowTheReferencePicture) {
  const std::string g = SharedTestData("bmpsuite/g");
  if (g.empty()) GTEST_SKIP() << "bmpsuite is not in the shared test data";
  const Bitmap rgb24 = Load(g + "/rgb24.bmp");
  ASSERT_EQ(127, rgb24.Width());
  ASSERT_EQ(64, rgb24.Height());
  const Bitmap pal8 = Load(g + "/pal8.bmp");
  const Bitmap pal4 = Load(g + "/pal4.bmp");
  const Bitmap pal1 = Load(g + "/pal1.bmp");
  // How each file must match: true colour within 5-bit precision of
  // rgb24.bmp; the variants of one palette file exactly like it; the palette
  // files themselves like rgb24.bmp as their few colours allow.
  enum Match {
    TrueColour,
    SameAs,
    Palette256,
    Palette16,
    TwoColours,
    Grey,
    HalfHeight,
    Recoloured
  };
  struct Case {
    const char* name;
    Match match;
    const Bitmap* same;
  };
  const Case cases[] = {
      {"pal1.bmp", TwoColours, nullptr},       {"pal1bg.bmp", Recoloured, &pal1},
      {"pal1wb.bmp", SameAs, &pal1},           {"pal4.bmp", Palette16, nullptr},
      {"pal4gs.bmp", Grey, nullptr},           {"pal4rle.bmp", SameAs, &pal4},
      {"pal8-0.bmp", SameAs, &pal8},           {"pal8.bmp", Palette256, nullptr},
      {"pal8gs.bmp", Grey, nullptr},           {"pal8nonsquare.bmp", HalfHeight, nullptr},
      {"pal8os2.bmp", SameAs, &pal8},          {"pal8rle.bmp", SameAs, &pal8},
      {"pal8topdown.bmp", SameAs, &pal8},      {"pal8v4.bmp", SameAs, &pal8},
      {"pal8v5.bmp", SameAs, &pal8},           {"pal8w124.bmp", SameAs, &pal8},
      {"pal8w125.bmp", SameAs, &pal8},         {"pal8w126.bmp", SameAs, &pal8},
      {"rgb16-565.bmp", TrueColour, nullptr},  {"rgb16-565pal.bmp", TrueColour, nullptr},
      {"rgb16.bmp", TrueColour, nullptr},      {"rgb16bfdef.bmp", TrueColour, nullptr},
      {"rgb24.bmp", TrueColour, nullptr},      {"rgb24pal.bmp", TrueColour, nullptr},
      {"rgb32.bmp", TrueColour, nullptr},      {"rgb32bf.bmp", TrueColour, nullptr},
      {"rgb32bfdef.bmp", TrueColour, nullptr},
  };
  std::vector<std::string> covered;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    covered.push_back(c.name);
    const Bitmap bmp = Load(g + "/" + c.name);
    ASSERT_FALSE(bmp.Empty());
    const Bitmap ref = Crop(rgb24, bmp.Width(), bmp.Height());
    switch (c.match) {
      case TrueColour:  // 5 bits a channel at worst: within half a step of 255 / 31
        EXPECT_LE(MaxChannelDifference(bmp, ref), 4);
        break;
      case SameAs:
        EXPECT_EQ(0, MaxChannelDifference(bmp, Crop(*c.same, bmp.Width(), bmp.Height())));
        break;
      case Palette256:  // 252 colours: close on every pixel, closer on average
        EXPECT_LE(MaxChannelDifference(bmp, ref), 64);
        EXPECT_LE(MeanDifference(bmp, ref), 16);
        EXPECT_LE(BlockDifference(bmp, rgb24, false), 12);
        break;
      case Palette16:  // 12 dithered colours: the brightness of each block
        EXPECT_LE(BlockDifference(bmp, rgb24, true), 50);
        break;
      case TwoColours:
        EXPECT_EQ(2u, bmp.Palette().size());
        EXPECT_LE(BlockDifference(bmp, rgb24, true), 80);
        break;
      case Grey:
        EXPECT_TRUE(AllGrey(bmp));
        EXPECT_LE(BlockDifference(bmp, rgb24, true), 60);
        break;
      case HalfHeight:
        EXPECT_EQ(32, bmp.Height());
        EXPECT_LE(BlockDifference(bmp, rgb24, true), 40);
        break;
      case Recoloured:
        EXPECT_TRUE(SamePictureOtherColours(*c.same, bmp));
        break;
    }
  }
  // Every file of the folder is in the table.
  std::sort(covered.begin(), covered.end());
  EXPECT_EQ(FilesIn(g), covered);
}

TEST(BmpSuite, QuestionableFilesLoadOrFailCleanly) {
  const std::string q = SharedTestData("bmpsuite/q");
  if (q.empty()) GTEST_SKIP() << "bmpsuite is not in the shared test data";
  const Bitmap rgb24 = Load(SharedTestData("bmpsuite/g") + "/rgb24.bmp");
  // Those that carry the picture in a way we read must load; where the colours
  // are stored in full, they must show it (mean of 8 x 8 blocks within 10).
  // The others keep colours we drop (alpha over a different picture, another
  // colour space, 1 to 3 bits a channel, a cut RLE stream).
  struct Case {
    const char* name;
    bool showsPicture;
  };
  const Case readable[] = {
      {"pal8offs.bmp", true},      {"pal8os2-hs.bmp", true},      {"pal8os2-sz.bmp", true},
      {"pal8os2sp.bmp", true},     {"pal8os2v2-16.bmp", true},    {"pal8os2v2-40sz.bmp", true},
      {"pal8os2v2-sz.bmp", true},  {"pal8os2v2.bmp", true},       {"pal8oversizepal.bmp", true},
      {"pal8rletrns.bmp", true},   {"rgb16-3103.bmp", true},      {"rgb16faketrns.bmp", true},
      {"rgb24jpeg.bmp", true},     {"rgb24largepal.bmp", true},   {"rgb24lprof.bmp", true},
      {"rgb24png.bmp", true},      {"rgb24prof.bmp", true},       {"rgb32-111110.bmp", true},
      {"rgb32-7187.bmp", true},    {"rgb32-xbgr.bmp", true},      {"rgb32fakealpha.bmp", true},
      {"rgb32h52.bmp", true},      {"rgba16-5551.bmp", true},     {"rgb16-231.bmp", false},
      {"rgb24prof2.bmp", false},   {"rgba16-1924.bmp", false},    {"rgba16-4444.bmp", false},
      {"rgba32-1.bmp", false},     {"rgba32-1010102.bmp", false}, {"rgba32-2.bmp", false},
      {"rgba32-61754.bmp", false}, {"rgba32-81284.bmp", false},   {"rgba32abf.bmp", false},
      {"rgba32h56.bmp", false},    {"pal2.bmp", false},           {"pal2color.bmp", false},
      {"pal4rletrns.bmp", false},  {"pal4rlecut.bmp", false},     {"pal8rlecut.bmp", false},
  };
  for (const auto& c : readable) {
    SCOPED_TRACE(c.name);
    Bitmap bmp;
    std::string error;
    LoadGraphic(q + "/" + c.name, bmp, error);
    ASSERT_EQ("", error);
    EXPECT_EQ(127, bmp.Width());
    EXPECT_EQ(64, bmp.Height());
    if (c.showsPicture) {
      EXPECT_LE(BlockDifference(bmp, rgb24, false), 10);
    }
  }
  // The rest: a picture or an error text, never a crash.
  for (const auto& name : FilesIn(q)) {
    SCOPED_TRACE(name);
    Bitmap bmp;
    std::string error;
    LoadGraphic(q + "/" + name, bmp, error);
    EXPECT_NE(error.empty(), bmp.Empty()) << error;
  }
}

TEST(BmpSuite, BadFilesFail) {
  const std::string b = SharedTestData("bmpsuite/b");
  if (b.empty()) GTEST_SKIP() << "bmpsuite is not in the shared test data";
  for (const auto& name : FilesIn(b)) {
    SCOPED_TRACE(name);
    Bitmap bmp;
    std::string error;
    LoadGraphic(b + "/" + name, bmp, error);
    EXPECT_NE("", error);
    EXPECT_TRUE(bmp.Empty());
  }
}
