// Tests of the in-memory picture and its orientation transforms.
#include "imaging/Bitmap.h"

#include "imaging/ImageLimits.h"
#include "imaging/LoaderFixtures.h"
#include "imaging/PictureMemory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

TEST(Bitmap, FreshIsEmpty) {
  Bitmap bmp;
  EXPECT_TRUE(bmp.Empty());
  EXPECT_EQ(0, bmp.Width());
  EXPECT_EQ(0, bmp.Height());
  EXPECT_EQ(nullptr, bmp.Pixels());
}

TEST(Bitmap, SettingWidthAndHeightGivesWhiteInEveryLayout) {
  const std::vector<PaletteEntry> palette = {{0, 0, 0, 0}, {250, 251, 252, 0}, {9, 9, 9, 0}};
  struct Case {
    PixelFormat format;
    int width;
    std::size_t stride;
  };
  const Case cases[] = {{PixelFormat::Pal1, 33, 8},
                        {PixelFormat::Pal4, 9, 8},
                        {PixelFormat::Pal8, 5, 8},
                        {PixelFormat::Bgr24, 5, 16},
                        {PixelFormat::Bgra32, 3, 12}};
  for (const auto& c : cases) {
    SCOPED_TRACE(BitsPerPixel(c.format));
    Bitmap bmp;
    bmp.Reset(0, 0, c.format);
    bmp.SetPalette(palette);
    bmp.SetWidth(c.width);
    EXPECT_TRUE(bmp.Empty());
    bmp.SetHeight(3);
    ASSERT_FALSE(bmp.Empty());
    EXPECT_EQ(c.stride, bmp.Stride());
    const std::uint32_t white = BitsPerPixel(c.format) <= 8 ? 0xFCFBFAu : 0xFFFFFFu;
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < c.width; ++x) ASSERT_EQ(white, bmp.PixelRgb(x, y)) << x << "," << y;
    }
  }
}

TEST(Bitmap, ResizingKeepsTheOverlapAndWhitensTheRest) {
  Bitmap bmp = TestPicture(3, 2);
  bmp.SetSize(4, 3);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) {
      const std::uint32_t want = (x < 3 && y < 2) ? TestColour(x, y) : 0xFFFFFFu;
      EXPECT_EQ(want, bmp.PixelRgb(x, y)) << x << "," << y;
    }
  }
  bmp.SetWidth(1);
  EXPECT_EQ(TestColour(0, 1), bmp.PixelRgb(0, 1));
}

TEST(Bitmap, ResizingAPaletteLayoutKeepsIndices) {
  Bitmap bmp;
  bmp.Reset(0, 0, PixelFormat::Pal1);
  bmp.SetPalette({{0, 0, 0, 0}, {255, 255, 255, 0}});
  bmp.SetSize(3, 1);
  bmp.Row(0)[0] = 0x40;  // pixels 0 and 2 black, 1 white
  bmp.SetSize(10, 2);
  const std::uint32_t want[] = {0, 0xFFFFFF, 0, 0xFFFFFF, 0xFFFFFF};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(want[x], bmp.PixelRgb(x, 0)) << x;
  EXPECT_EQ(0xFFFFFFu, bmp.PixelRgb(9, 1));
}

TEST(Bitmap, SizeLimitsAtAndOnePast) {
  EXPECT_NO_THROW(Bitmap(kMaxPictureSide, 1));
  EXPECT_THROW(Bitmap(kMaxPictureSide + 1, 1), std::length_error);
  EXPECT_THROW(Bitmap(1, kMaxPictureSide + 1), std::length_error);
  EXPECT_TRUE(PictureSizeAllowed(65'535, 2730));     // 178,910,550 pixels
  EXPECT_FALSE(PictureSizeAllowed(65'535, 2731));    // 178,976,085 pixels
  EXPECT_TRUE(PictureSizeAllowed(13'377, 13'377));   // 178,944,129 pixels
  EXPECT_FALSE(PictureSizeAllowed(13'378, 13'377));  // 178,957,506 pixels
  EXPECT_THROW(Bitmap(65'535, 2731), std::length_error);
  Bitmap bmp;
  EXPECT_THROW(bmp.ResetForOverwrite(65'535, 2731, PixelFormat::Bgr24), std::length_error);
  bmp.ResetForOverwrite(3, 2, PixelFormat::Pal4);
  EXPECT_EQ(4u, bmp.Stride());
  EXPECT_THROW(Bitmap(-1, 5), std::length_error);
}

TEST(Bitmap, ToBgr24LooksUpPalettesAndDropsAlpha) {
  Bitmap pal;
  pal.Reset(2, 1, PixelFormat::Pal4);
  pal.SetPalette({{1, 2, 3, 0}, {4, 5, 6, 0}});
  pal.Row(0)[0] = 0x1F;  // index 1, then 15 (beyond the palette: black)
  const Bitmap a = pal.ToBgr24();
  EXPECT_EQ(PixelFormat::Bgr24, a.Format());
  EXPECT_EQ(0x060504u, a.PixelRgb(0, 0));
  EXPECT_EQ(0u, a.PixelRgb(1, 0));

  Bitmap rgba(1, 1, PixelFormat::Bgra32);
  const std::uint8_t px[] = {10, 20, 30, 0};
  std::copy(px, px + 4, rgba.Row(0));
  EXPECT_EQ(0x1E140Au, rgba.ToBgr24().PixelRgb(0, 0));
}

// The conversion of a picture that is not needed any more works in its own
// memory, front to back; it must give what the copying one gives, padding
// bytes at the row ends included, whatever the row length.
TEST(Bitmap, ToBgr24InPlaceGivesWhatTheCopyGives) {
  for (const int width : {1, 2, 3, 5, 17, 640}) {
    SCOPED_TRACE(width);
    constexpr int kHeight = 7;
    Bitmap rgba(width, kHeight, PixelFormat::Bgra32);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < width * 4; ++x) rgba.Row(y)[x] = static_cast<std::uint8_t>(x * 7 + y);
    }
    const Bitmap copied = rgba.ToBgr24();
    const std::uint8_t* memory = rgba.Pixels();
    const Bitmap converted = std::move(rgba).ToBgr24();
    EXPECT_EQ(memory, converted.Pixels());
    EXPECT_EQ(PixelFormat::Bgr24, converted.Format());
    ASSERT_EQ(copied.Stride(), converted.Stride());
    for (int y = 0; y < kHeight; ++y) {
      EXPECT_EQ(0, std::memcmp(copied.Row(y), converted.Row(y), copied.Stride())) << "row " << y;
    }
  }
  Bitmap bgr = TestPicture(3, 2);
  const std::uint8_t* memory = bgr.Pixels();
  EXPECT_EQ(memory, std::move(bgr).ToBgr24().Pixels());
}

TEST(Bitmap, CopiesAreDeep) {
  Bitmap a = TestPicture(2, 2);
  Bitmap b = a;
  b.Row(0)[0] = 0;
  EXPECT_NE(a.PixelRgb(0, 0), b.PixelRgb(0, 0));
}

// A 3 x 2 picture with letters for pixels:  a b c
//                                           d e f
// and how each orientation shows it upright.
namespace {

// Resident bytes of this process.
long ResidentBytes() {
  long pages = 0, resident = 0;
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  const int read = std::fscanf(f, "%ld %ld", &pages, &resident);
  std::fclose(f);
  return read == 2 ? resident * ::sysconf(_SC_PAGESIZE) : -1;
}

}  // namespace

// A large picture is a plain value like a small one (white when made, deep
// copies, moves that keep the pixels, resizing that keeps the overlap), and
// its memory goes back to the system as soon as the last copy is freed,
// under the memory policy that the thumbnail cache sets for the program.
// A sanitizer's allocator keeps freed heap blocks in quarantine, so there the
// resident size cannot tell whether a picture gave its memory back.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kResidentSizeShowsFreeing = false;
#else
constexpr bool kResidentSizeShowsFreeing = true;
#endif

TEST(Bitmap, LargePicturesGiveTheirMemoryBack) {
  KeepPictureMemoryInHeap();
  constexpr int kWidth = 4000, kHeight = 3000;  // 36 MB of pixels
  constexpr long kPixelBytes = 3L * kWidth * kHeight;
  const long before = ResidentBytes();
  ASSERT_GT(before, 0);
  {
    Bitmap big(kWidth, kHeight);
    EXPECT_EQ(0xFFFFFFu, big.PixelRgb(kWidth - 1, kHeight - 1));
    big.Row(kHeight - 1)[0] = 7;
    big.Row(0)[3 * (kWidth - 1) + 2] = 9;
    EXPECT_GE(ResidentBytes() - before, kPixelBytes * 9 / 10);
    Bitmap copy = big;
    big.Row(kHeight - 1)[0] = 8;
    EXPECT_EQ(7, copy.Row(kHeight - 1)[0]);
    Bitmap moved = std::move(copy);
    EXPECT_TRUE(copy.Empty());
    EXPECT_EQ(7, moved.Row(kHeight - 1)[0]);
    EXPECT_EQ(9, moved.Row(0)[3 * (kWidth - 1) + 2]);
    moved.SetSize(kWidth / 2, kHeight);  // smaller: a heap block
    EXPECT_EQ(7, moved.Row(kHeight - 1)[0]);
    moved.SetSize(kWidth, kHeight);  // large again
    EXPECT_EQ(7, moved.Row(kHeight - 1)[0]);
    EXPECT_EQ(0xFFFFFFu, moved.PixelRgb(kWidth - 1, 0));
  }
  if (kResidentSizeShowsFreeing) {
    EXPECT_LT(ResidentBytes() - before, kPixelBytes / 4);
  }
}

// During picture work, heap blocks as large as a photo's file or decoder
// buffers stay in the heaps when freed, so that the next picture finds them;
// when the work of every thread has ended, they go back to the system,
// whichever thread held them.
TEST(PictureWork, HeapBlocksStayForTheNextPictureAndGoBackAfter) {
  if (!kResidentSizeShowsFreeing) GTEST_SKIP() << "a sanitizer's allocator keeps freed blocks";
  KeepPictureMemoryInHeap();
  constexpr std::size_t kBlock = 24u << 20;
  const auto useAndFree = [] {
    auto* volatile block = static_cast<char*>(std::malloc(kBlock));
    ASSERT_NE(nullptr, block);
    for (std::size_t i = 0; i < kBlock; i += 4096) block[i] = 1;
    std::free(block);
  };
  const long before = ResidentBytes();
  ASSERT_GT(before, 0);
  {
    PictureWork outer;
    long kept = 0;
    std::thread maker([&] {
      PictureWork work;
      PictureWork nested;  // counts with the outer one of its thread
      useAndFree();
      kept = ResidentBytes() - before;
    });
    maker.join();
    // The thread's work has ended and given back its heap, though another
    // thread's work goes on.
    EXPECT_GE(kept, static_cast<long>(kBlock) * 9 / 10);
    EXPECT_LT(ResidentBytes() - before, static_cast<long>(kBlock) / 4);
    useAndFree();
    EXPECT_GE(ResidentBytes() - before, static_cast<long>(kBlock) * 9 / 10);
  }
  EXPECT_LT(ResidentBytes() - before, static_cast<long>(kBlock) / 4);
}

TEST(ApplyOrientation, EveryValue) {
  struct Case {
    int orientation;
    int width, height;
    const char* rows;  // expected letters row by row
  };
  const Case cases[] = {
      {1, 3, 2, "abcdef"}, {2, 3, 2, "cbafed"}, {3, 3, 2, "fedcba"}, {4, 3, 2, "defabc"},
      {5, 2, 3, "adbecf"}, {6, 2, 3, "daebfc"}, {7, 2, 3, "fcebda"}, {8, 2, 3, "cfbead"},
      {0, 3, 2, "abcdef"}, {9, 3, 2, "abcdef"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.orientation);
    Bitmap bmp(3, 2);
    const char* letters = "abcdef";
    for (int i = 0; i < 6; ++i) bmp.Row(i / 3)[(i % 3) * 3] = static_cast<std::uint8_t>(letters[i]);
    ApplyOrientation(bmp, c.orientation);
    ASSERT_EQ(c.width, bmp.Width());
    ASSERT_EQ(c.height, bmp.Height());
    std::string got;
    for (int y = 0; y < bmp.Height(); ++y) {
      for (int x = 0; x < bmp.Width(); ++x) got += static_cast<char>(bmp.Row(y)[x * 3]);
    }
    EXPECT_EQ(c.rows, got);
  }
}

TEST(ApplyOrientation, PaletteLayoutsBecomeColour) {
  Bitmap bmp;
  bmp.Reset(2, 1, PixelFormat::Pal1);
  bmp.SetPalette({{0, 0, 255, 0}, {255, 0, 0, 0}});
  bmp.Row(0)[0] = 0x40;  // red, blue
  ApplyOrientation(bmp, 6);
  ASSERT_EQ(1, bmp.Width());
  ASSERT_EQ(2, bmp.Height());
  EXPECT_EQ(0xFF0000u, bmp.PixelRgb(0, 0));
  EXPECT_EQ(0x0000FFu, bmp.PixelRgb(0, 1));
}
