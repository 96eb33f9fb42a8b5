// Tests of the filters, the weight lists and the two resampling passes.
#include "imaging/Resampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Entry {
  int index;
  float weight;
  bool operator==(const Entry&) const = default;
};

std::vector<Entry> List(const WeightLists& lists, int i) {
  std::vector<Entry> out;
  for (std::size_t e = 0; e < lists.Indices(i).size(); ++e) {
    out.push_back({lists.Indices(i)[e], lists.Weights(i)[e]});
  }
  return out;
}

std::string Show(const std::vector<Entry>& list) {
  std::string s;
  for (const Entry& e : list) s += std::to_string(e.index) + ":" + std::to_string(e.weight) + " ";
  return s;
}

Bitmap RandomPicture(int width, int height, unsigned seed) {
  Bitmap bmp(width, height);
  std::mt19937 rng(seed);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bmp.Row(y);
    for (int x = 0; x < 3 * width; ++x) row[x] = static_cast<std::uint8_t>(rng());
  }
  return bmp;
}

// Rows of a 24-bit picture as bytes, padding left out.
std::vector<std::vector<std::uint8_t>> Rows(const Bitmap& bmp) {
  std::vector<std::vector<std::uint8_t>> rows;
  for (int y = 0; y < bmp.Height(); ++y) {
    rows.emplace_back(bmp.Row(y), bmp.Row(y) + 3 * bmp.Width());
  }
  return rows;
}

std::uint8_t ClampReference(float sum) {
  if (sum > 255) return 255;
  if (sum < 0) return 0;
  return static_cast<std::uint8_t>(std::nearbyint(sum));
}

// The two passes written as plainly as they are described: per source row and
// destination column, then per destination column walking down the rows,
// each sum rounded to float after every multiply-add.
Bitmap ReferenceResample(const Bitmap& src, int dw, int dh, const FilterRow& f) {
  const int sw = src.Width();
  const int sh = src.Height();
  const WeightLists h(ScaleFactor(dw, sw), sw, dw, f.filter, f.radius);
  Bitmap work(dw, sh);
  for (int k = 0; k < sh; ++k) {
    for (int i = 0; i < dw; ++i) {
      for (int ch = 0; ch < 3; ++ch) {
        float sum = 0;
        for (std::size_t e = 0; e < h.Indices(i).size(); ++e) {
          sum = std::fma(float(src.Row(k)[3 * h.Indices(i)[e] + ch]), h.Weights(i)[e], sum);
        }
        work.Row(k)[3 * i + ch] = ClampReference(sum);
      }
    }
  }
  const WeightLists v(ScaleFactor(dh, sh), sh, dh, f.filter, f.radius);
  Bitmap dst(dw, dh);
  for (int k = 0; k < dw; ++k) {
    for (int i = 0; i < dh; ++i) {
      for (int ch = 0; ch < 3; ++ch) {
        float sum = 0;
        for (std::size_t e = 0; e < v.Indices(i).size(); ++e) {
          sum = std::fma(float(work.Row(v.Indices(i)[e])[3 * k + ch]), v.Weights(i)[e], sum);
        }
        dst.Row(i)[3 * k + ch] = ClampReference(sum);
      }
    }
  }
  return dst;
}

class PortableLoops {
 public:
  PortableLoops() { ForcePortableResampler(true); }
  ~PortableLoops() { ForcePortableResampler(false); }
};

}  // namespace

TEST(FilterTable, NamesAndRadii) {
  const std::pair<const char*, float> rows[] = {{"Box", 0.5f},  {"Triangle", 1}, {"Hermite", 1},
                                                {"Bell", 1.5f}, {"B-Spline", 2}, {"Lanczos3", 3},
                                                {"Mitchell", 2}};
  for (int i = 0; i < kFilterCount; ++i) {
    EXPECT_STREQ(rows[i].first, FilterTable[i].name);
    EXPECT_EQ(rows[i].second, FilterTable[i].radius);
  }
  EXPECT_STREQ("Mitchell", FilterTable[kDefaultFilterIndex].name);
}

TEST(FilterTable, ValuesAtKnownPoints) {
  struct Case {
    FilterFunc f;
    float x;
    double want;
  };
  const Case cases[] = {
      {BoxFilter, 0.5f, 1},
      {BoxFilter, -0.5f, 0},
      {BoxFilter, 0, 1},
      {BoxFilter, 0.49f, 1},
      {BoxFilter, -0.49f, 1},
      {BoxFilter, 0.51f, 0},
      {TriangleFilter, 0, 1},
      {TriangleFilter, 0.25f, 0.75},
      {TriangleFilter, 1, 0},
      {TriangleFilter, 1.5f, 0},
      {HermiteFilter, 0, 1},
      {HermiteFilter, 0.5f, 0.5},
      {HermiteFilter, 0.25f, 0.84375},
      {HermiteFilter, 1, 0},
      {BellFilter, 0, 0.75},
      {BellFilter, 0.25f, 0.6875},
      {BellFilter, 0.5f, 0.5},
      {BellFilter, 1, 0.125},
      {BellFilter, 1.5f, 0},
      {BSplineFilter, 0, 2.0 / 3},
      {BSplineFilter, 0.5f, 0.0625 - 0.25 + 2.0 / 3},
      {BSplineFilter, 1, 1.0 / 6},
      {BSplineFilter, 1.5f, 0.125 / 6},
      {BSplineFilter, 2, 0},
      {Lanczos3Filter, 0, 1},
      {Lanczos3Filter, 1.5f, -0.1350949},
      {Lanczos3Filter, 0.5f, 0.6079271},
      {Lanczos3Filter, 3, 0},
      {MitchellFilter, 0, 16.0 / 18},
      {MitchellFilter, 0.5f, (7 * 0.125 - 3 + 16.0 / 3) / 6},
      {MitchellFilter, 1, 1.0 / 18},
      {MitchellFilter, 1.5f, (-7.0 / 3 * 3.375 + 27 - 30 + 32.0 / 3) / 6},
      {MitchellFilter, 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_NEAR(c.want, c.f(c.x), 2e-7);
    // Every filter but Box is symmetric.
    if (c.f != BoxFilter) {
      EXPECT_EQ(c.f(c.x), c.f(-c.x));
    }
  }
  // Lanczos3 crosses zero at the integers (up to the float rounding of pi * x).
  EXPECT_NEAR(0, Lanczos3Filter(1), 1e-6);
  EXPECT_NEAR(0, Lanczos3Filter(2), 1e-6);
}

TEST(WeightLists, EnlargingThreeToFiveWithTriangle) {
  const float scale = ScaleFactor(5, 3);
  EXPECT_EQ(2.0f, scale);
  const WeightLists lists(scale, 3, 5, TriangleFilter, 1);
  const std::vector<std::vector<Entry>> want = {
      {{0, 1}}, {{0, 0.5f}, {1, 0.5f}}, {{1, 1}}, {{1, 0.5f}, {2, 0.5f}}, {{2, 1}}};
  ASSERT_EQ(5, lists.Count());
  EXPECT_EQ(1.0f, lists.Radius());
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(want[i], List(lists, i)) << i << ": " << Show(List(lists, i));
}

TEST(WeightLists, ShrinkingFiveToThreeWithTriangleMirrorsBothEdges) {
  const float scale = ScaleFactor(3, 5);
  EXPECT_EQ(0.5f, scale);
  const WeightLists lists(scale, 5, 3, TriangleFilter, 1);
  EXPECT_EQ(2.0f, lists.Radius());
  EXPECT_EQ(5, lists.Capacity());
  const std::vector<std::vector<Entry>> want = {{{1, 0.25f}, {0, 0.5f}, {1, 0.25f}},
                                                {{1, 0.25f}, {2, 0.5f}, {3, 0.25f}},
                                                {{3, 0.25f}, {4, 0.5f}, {4, 0.25f}}};
  ASSERT_EQ(3, lists.Count());
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(want[i], List(lists, i)) << i << ": " << Show(List(lists, i));
}

TEST(WeightLists, ShrinkingAThousandToThumbnailWidthWithMitchell) {
  const float scale = ScaleFactor(128, 1000);
  EXPECT_EQ(127.0f / 999.0f, scale);
  EXPECT_NEAR(0.12712713, scale, 1e-8);
  const WeightLists lists(scale, 1000, 128, MitchellFilter, 2);
  EXPECT_NEAR(15.732283, lists.Radius(), 1e-5);
  EXPECT_EQ(32, lists.Capacity());
  ASSERT_EQ(128, lists.Count());
  for (int i = 0; i < 128; ++i) {
    SCOPED_TRACE(i);
    EXPECT_LE(lists.Indices(i).size(), 32u);
    EXPECT_GE(lists.Indices(i).size(), 30u);
    for (float w : lists.Weights(i)) EXPECT_NE(0.0f, w);
  }
  // The last column is centred on the last source pixel.
  const auto last = List(lists, 127);
  EXPECT_TRUE(std::any_of(last.begin(), last.end(), [](const Entry& e) { return e.index == 999; }));
}

TEST(WeightLists, EdgesReadInwardThenClampWhereMirroringIsNotEnough) {
  // Enlarging 10 to 19 with Lanczos3 (scale 2): the first list reads 2 1 0 1 2
  // (tiny weights at the integer zero crossings are still stored), the last
  // one 7 8 9 9 8.
  const WeightLists lanczos(ScaleFactor(19, 10), 10, 19, Lanczos3Filter, 3);
  std::vector<int> first, lastIdx;
  for (int k : lanczos.Indices(0)) first.push_back(k);
  for (int k : lanczos.Indices(18)) lastIdx.push_back(k);
  EXPECT_EQ((std::vector<int>{2, 1, 0, 1, 2}), first);
  EXPECT_EQ((std::vector<int>{7, 8, 9, 9, 8}), lastIdx);

  // Reaches beyond the source: 40 rows to 2, a 2-pixel source enlarged with
  // Lanczos3, a single pixel widened.
  struct Case {
    int src, dst;
    int filter;
  };
  const Case cases[] = {{40, 2, 6}, {40, 3, 5}, {2, 5, 5}, {1, 4, 5}, {3, 2, 0}, {65, 2, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.src) + " -> " + std::to_string(c.dst));
    const WeightLists lists(ScaleFactor(c.dst, c.src), c.src, c.dst, FilterTable[c.filter].filter,
                            FilterTable[c.filter].radius);
    for (int i = 0; i < lists.Count(); ++i) {
      EXPECT_FALSE(lists.Indices(i).empty());
      for (int k : lists.Indices(i)) {
        EXPECT_GE(k, 0);
        EXPECT_LT(k, c.src);
      }
    }
  }
}

TEST(Resample, SumsAreClampedAndRoundedHalfToEven) {
  struct Case {
    float sum;
    int want;
  };
  const Case cases[] = {{255.4f, 255}, {255.5f, 255}, {300, 255}, {-3, 0},      {-0.4f, 0},
                        {127.5f, 128}, {128.5f, 128}, {2.5f, 2},  {3.5f, 4},    {0, 0},
                        {254.5f, 254}, {0.5f, 0},     {1.5f, 2},  {99.49f, 99}, {99.51f, 100}};
  for (const auto& c : cases) EXPECT_EQ(c.want, ClampToByte(c.sum)) << c.sum;
}

TEST(Resample, PortableMultiplyAddIsExactlyRounded) {
  // Sums whose double value falls exactly halfway between two floats while
  // the exact value lies just above: rounding twice would give the lower one.
  // 130 * 16519105 = 2^31 + 2, so 1 + the product is 1 + 2^-24 + 2^-54.
  struct Case {
    float byte, weight, sum;
  };
  const Case halfway[] = {
      {130, std::ldexp(16519105.0f, -55), 1.0f},   {205, std::ldexp(10475530.0f, -55), 1.0f},
      {177, std::ldexp(12132676.0f, -55), 1.0f},   {130, -std::ldexp(16519105.0f, -55), -1.0f},
      {130, std::ldexp(16519105.0f, -48), 128.0f},
  };
  for (const auto& c : halfway) {
    const float want = std::fma(c.byte, c.weight, c.sum);
    EXPECT_NE(static_cast<float>(static_cast<double>(c.byte) * c.weight + c.sum), want)
        << "not a case of double rounding: " << c.byte;
    EXPECT_EQ(want, MultiplyAdd(c.byte, c.weight, c.sum)) << c.byte << " " << c.sum;
  }

  std::mt19937 rng(7);
  std::uniform_real_distribution<float> weight(-1, 1);
  std::uniform_real_distribution<float> sum(-400, 700);
  std::uniform_int_distribution<int> exponent(-60, 0);
  for (int n = 0; n < 200000; ++n) {
    const float b = static_cast<float>(rng() & 255);
    // Weights of every magnitude, down to tiny tails, where a plain double
    // sum would round twice.
    const float w = std::ldexp(weight(rng), exponent(rng));
    const float s = (n % 3 == 0) ? std::ldexp(sum(rng), exponent(rng) / 4) : sum(rng);
    ASSERT_EQ(std::fma(b, w, s), MultiplyAdd(b, w, s)) << b << " " << w << " " << s;
  }
}

TEST(Resample, RowOfTheShrinkExample) {
  // Five pixels to three with Triangle; two rows stay two rows (scale 1).
  const std::uint8_t blue[] = {0, 100, 200, 100, 0};
  const std::uint8_t green[] = {10, 20, 30, 40, 50};
  Bitmap src(5, 2);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 5; ++x) {
      src.Row(y)[3 * x] = blue[x];
      src.Row(y)[3 * x + 1] = green[x];
      src.Row(y)[3 * x + 2] = static_cast<std::uint8_t>(200 + y);
    }
  }
  Bitmap dst(3, 2);
  Resample(src, dst, TriangleFilter, 1);
  // Green 47.5 at the right edge rounds to the even 48.
  const std::vector<std::uint8_t> row0 = {50, 15, 200, 150, 30, 200, 25, 48, 200};
  const std::vector<std::uint8_t> row1 = {50, 15, 201, 150, 30, 201, 25, 48, 201};
  EXPECT_EQ(row0, Rows(dst)[0]);
  EXPECT_EQ(row1, Rows(dst)[1]);
}

TEST(Resample, SameSizeWithBoxOrTriangleReproducesTheSource) {
  for (int f : {0, 1}) {
    SCOPED_TRACE(FilterTable[f].name);
    Bitmap src = RandomPicture(37, 23, 3);
    const auto before = Rows(src);
    Bitmap dst(37, 23);
    Resample(src, dst, FilterTable[f].filter, FilterTable[f].radius);
    EXPECT_EQ(before, Rows(dst));
  }
}

TEST(Resample, EveryFilterMatchesThePlainPassesBitForBit) {
  // Odd sizes leave partial row blocks and pixel groups; shrinking, enlarging
  // and mixed directions; the enlargement makes many sums, so that one
  // rounded differently (an addition out of order) shows in a byte.
  struct Case {
    int sw, sh, dw, dh;
  };
  const Case cases[] = {{301, 203, 128, 86}, {61, 45, 130, 97},  {50, 9, 7, 30},      {9, 40, 2, 2},
                        {1, 5, 3, 4},        {1000, 19, 16, 12}, {160, 120, 800, 600}};
  for (const auto& c : cases) {
    for (int f = 0; f < kFilterCount; ++f) {
      SCOPED_TRACE(std::string(FilterTable[f].name) + " " + std::to_string(c.sw) + "x" +
                   std::to_string(c.sh) + " -> " + std::to_string(c.dw) + "x" +
                   std::to_string(c.dh));
      const Bitmap src = RandomPicture(c.sw, c.sh, c.sw * 7 + f);
      const auto want = Rows(ReferenceResample(src, c.dw, c.dh, FilterTable[f]));
      {
        Bitmap s = src, d(c.dw, c.dh);
        Resample(s, d, FilterTable[f].filter, FilterTable[f].radius);
        ASSERT_EQ(want, Rows(d)) << (ResamplerUsesFma() ? "vector loops" : "portable loops");
      }
      {
        PortableLoops portable;
        Bitmap s = src, d(c.dw, c.dh);
        Resample(s, d, FilterTable[f].filter, FilterTable[f].radius);
        ASSERT_EQ(want, Rows(d)) << "portable loops";
      }
    }
  }
}

TEST(Resample, SizesThatCannotBeFilledFailAndChangeNothing) {
  struct Case {
    int sw, sh, dw, dh;
    const char* error;
  };
  const Case cases[] = {
      {0, 0, 10, 10, "Source bitmap too small"},
      {5, 5, 0, 4, "Destination bitmap too small"},
      {5, 5, 4, 0, "Destination bitmap too small"},
      {5, 5, 1, 4, "Destination bitmap too small"},  // scale 0
      {5, 5, 4, 1, "Destination bitmap too small"},
      {200, 1, 50, 2, "Cannot resample a picture of a single row"},
      {1, 1, 4, 4, "Cannot resample a picture of a single row"},
      {1, 1, 1, 1, "Cannot resample a picture of a single row"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.sw) + "x" + std::to_string(c.sh) + " -> " + std::to_string(c.dw) +
                 "x" + std::to_string(c.dh));
    Bitmap src;
    src.Reset(c.sw, c.sh, PixelFormat::Pal8);
    Bitmap dst;
    dst.Reset(c.dw, c.dh, PixelFormat::Bgra32);
    try {
      Resample(src, dst, MitchellFilter, 2);
      ADD_FAILURE() << "no error";
    } catch (const ResampleError& e) {
      EXPECT_STREQ(c.error, e.what());
    }
    EXPECT_EQ(PixelFormat::Pal8, src.Format());
    EXPECT_EQ(PixelFormat::Bgra32, dst.Format());
    EXPECT_EQ(c.sw, src.Width());
  }
  // A single column is fine: the scale of a one-pixel source is dst / 1.
  Bitmap column = RandomPicture(1, 6, 1);
  Bitmap out(1, 3);
  EXPECT_NO_THROW(Resample(column, out, TriangleFilter, 1));
}

TEST(ResizeBitmap, ReplacesTheBitmapByA24BitResult) {
  // A palette picture of two colours, enlarged with Box: nearest source pixel.
  Bitmap bmp;
  bmp.Reset(2, 2, PixelFormat::Pal8);
  bmp.SetPalette({{10, 20, 30, 0}, {200, 210, 220, 0}});
  bmp.Row(0)[0] = 0;
  bmp.Row(0)[1] = 1;
  bmp.Row(1)[0] = 1;
  bmp.Row(1)[1] = 0;
  ResizeBitmap(3, 3, 0, bmp);
  ASSERT_EQ(PixelFormat::Bgr24, bmp.Format());
  ASSERT_EQ(3, bmp.Width());
  ASSERT_EQ(3, bmp.Height());
  // Columns 0 1 2 sit at source 0, 0.5, 1; Box takes x = 0.5 in and -0.5 out,
  // so the middle takes the left (upper) pixel.
  EXPECT_EQ(0x1E140Au, bmp.PixelRgb(0, 0));
  EXPECT_EQ(0x1E140Au, bmp.PixelRgb(1, 1));
  EXPECT_EQ(0xDCD2C8u, bmp.PixelRgb(2, 0));
  EXPECT_EQ(0xDCD2C8u, bmp.PixelRgb(0, 2));
  EXPECT_EQ(0x1E140Au, bmp.PixelRgb(2, 2));

  // A 32-bit picture loses its fourth byte.
  Bitmap alpha;
  alpha.Reset(4, 4, PixelFormat::Bgra32);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) {
      std::uint8_t* p = alpha.Row(y) + 4 * x;
      p[0] = 1, p[1] = 2, p[2] = 3, p[3] = 0;
    }
  }
  ResizeBitmap(4, 4, 1, alpha);
  ASSERT_EQ(PixelFormat::Bgr24, alpha.Format());
  EXPECT_EQ(0x030201u, alpha.PixelRgb(3, 3));
}

TEST(ResizeBitmap, FilterIndexOutsideTheTableChangesNothing) {
  for (int index : {-1, 7, 255}) {
    Bitmap bmp = RandomPicture(8, 8, 5);
    const auto before = Rows(bmp);
    EXPECT_THROW(ResizeBitmap(4, 4, index, bmp), std::out_of_range) << index;
    EXPECT_EQ(before, Rows(bmp));
  }
  Bitmap flat = RandomPicture(8, 8, 5);
  EXPECT_THROW(ResizeBitmap(4, 1, 6, flat), ResampleError);
  EXPECT_EQ(8, flat.Width());
}
