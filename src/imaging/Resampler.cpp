// Filtered scaling of pictures: filters, weight lists and the two passes.
//
// Precision: filters and weights are computed in long double (the widest type
// here) and rounded to float at fixed points; every channel sum is a float
// that takes each byte * weight through a fused multiply-add, i.e. the exact
// value rounded once (the instruction where the processor has it, an exact
// software version elsewhere). The passes keep that operation and its order,
// so the result does not depend on how the loops are vectorised.
#include "imaging/Resampler.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

// The AVX2 passes exist for x86 only; elsewhere the portable ones do all.
#if defined(__x86_64__) || defined(__i386__)
#define MIRELO_RESAMPLER_AVX2 1
#include <immintrin.h>
#endif

namespace {

using Wide = long double;

constexpr Wide kPi = 3.141592653589793238462643383279502884L;
constexpr Wide kTwoThirds = 2.0L / 3.0L;
constexpr Wide kSixteenThirds = 16.0L / 3.0L;
constexpr Wide kMinusSevenThirds = -7.0L / 3.0L;
constexpr Wide kThirtyTwoThirds = 32.0L / 3.0L;
constexpr Wide kOneSixth = 1.0L / 6.0L;

float Sinc(float x) {
  if (x == 0.0f) return 1.0f;
  const float u = static_cast<float>(kPi * x);
  // sin in double: the long double one costs as much as a whole pass here.
  return static_cast<float>(static_cast<Wide>(std::sin(static_cast<double>(u))) / u);
}

// An exact fused multiply-add without the instruction. The double product of
// two floats is exact and their double sum is rounded once; rounding that to
// float again is the correctly rounded result unless the double sum fell
// exactly halfway between two floats (or among the tiny subnormal floats).
// Only then is the exact error of the sum needed: the sum is made round-to-odd
// from it, and rounding that to float is exact.
inline float SoftMultiplyAdd(float a, float b, float c) {
  const double p = static_cast<double>(a) * static_cast<double>(b);
  const double cd = c;
  const double s = p + cd;
  std::uint64_t bits = std::bit_cast<std::uint64_t>(s);
  constexpr std::uint64_t kLowBits = (std::uint64_t{1} << 29) - 1;  // below float precision
  constexpr std::uint64_t kHalfway = std::uint64_t{1} << 28;
  const std::uint64_t exponent = (bits >> 52) & 0x7FF;
  if ((bits & kLowBits) == kHalfway || (exponent < 1023 - 125 && s != 0.0)) [[unlikely]] {
    const double bb = s - p;
    const double err = (p - (s - bb)) + (cd - bb);
    if (err != 0.0 && (bits & 1) == 0) bits += ((err > 0.0) == (s > 0.0)) ? 1 : std::uint64_t(-1);
  }
  return static_cast<float>(std::bit_cast<double>(bits));
}

inline std::uint8_t ToByte(float sum) {
  if (sum > 255.0f) return 255;
  if (sum < 0.0f) return 0;
  // Adding 1.5 * 2^23 leaves no fraction bits: the sum is rounded to the
  // nearest integer, ties to even, in the current (nearest) rounding mode.
  constexpr float kMagic = 12582912.0f;
  return static_cast<std::uint8_t>(static_cast<int>((sum + kMagic) - kMagic));
}

// The horizontal pass takes kBlockRows source rows at a time and lays their
// bytes out as floats per source pixel: lane c * kBlockRows + r holds channel c
// of row r. One weight then multiplies a contiguous run of kLanes floats.
constexpr int kBlockRows = 8;
constexpr int kLanes = kBlockRows * 3;

// Rows k0 .. k0 + kBlockRows - 1 of src (the last one repeated past the end).
inline void BlockRows(const Bitmap& src, int k0, const std::uint8_t* rows[kBlockRows]) {
  const int used = std::min(kBlockRows, src.Height() - k0);
  for (int r = 0; r < kBlockRows; ++r) rows[r] = src.Row(k0 + std::min(r, used - 1));
}

inline void LayOutPixels(const std::uint8_t* const rows[kBlockRows], int x0, int x1, float* block) {
  for (int x = x0; x < x1; ++x) {
    float* b = block + static_cast<std::size_t>(x) * kLanes;
    for (int r = 0; r < kBlockRows; ++r) {
      const std::uint8_t* p = rows[r] + 3 * static_cast<std::size_t>(x);
      b[r] = p[0];
      b[kBlockRows + r] = p[1];
      b[2 * kBlockRows + r] = p[2];
    }
  }
}

inline void StoreColumn(const float acc[kLanes], Bitmap& work, int k0, int i) {
  const int used = std::min(kBlockRows, work.Height() - k0);
  for (int r = 0; r < used; ++r) {
    std::uint8_t* d = work.Row(k0 + r) + 3 * static_cast<std::size_t>(i);
    d[0] = ToByte(acc[r]);
    d[1] = ToByte(acc[kBlockRows + r]);
    d[2] = ToByte(acc[2 * kBlockRows + r]);
  }
}

// Portable horizontal pass (any x86-64): block holds width * kLanes floats.
void HorizontalPassSoft(const Bitmap& src, Bitmap& work, const WeightLists& lists, float* block) {
  const std::uint8_t* rows[kBlockRows];
  for (int k0 = 0; k0 < src.Height(); k0 += kBlockRows) {
    BlockRows(src, k0, rows);
    LayOutPixels(rows, 0, src.Width(), block);
    for (int i = 0; i < lists.Count(); ++i) {
      const std::span<const std::int32_t> index = lists.Indices(i);
      const std::span<const float> weight = lists.Weights(i);
      float acc[kLanes] = {};
      for (std::size_t e = 0; e < index.size(); ++e) {
        const float* p = block + static_cast<std::size_t>(index[e]) * kLanes;
        const float w = weight[e];
        for (int l = 0; l < kLanes; ++l) acc[l] = SoftMultiplyAdd(p[l], w, acc[l]);
      }
      StoreColumn(acc, work, k0, i);
    }
  }
}

// Portable vertical pass: destination row i sums whole work rows, stepping by
// the stride; acc holds one float per byte of a destination row.
void VerticalPassSoft(const Bitmap& work, Bitmap& dst, const WeightLists& lists, float* acc) {
  const std::size_t rowBytes = 3 * static_cast<std::size_t>(dst.Width());
  const std::uint8_t* const base = work.Pixels();
  const std::size_t stride = work.Stride();
  for (int i = 0; i < lists.Count(); ++i) {
    const std::span<const std::int32_t> index = lists.Indices(i);
    const std::span<const float> weight = lists.Weights(i);
    std::fill(acc, acc + rowBytes, 0.0f);
    for (std::size_t e = 0; e < index.size(); ++e) {
      const std::uint8_t* p = base + static_cast<std::size_t>(index[e]) * stride;
      const float w = weight[e];
      for (std::size_t k = 0; k < rowBytes; ++k) acc[k] = SoftMultiplyAdd(p[k], w, acc[k]);
    }
    std::uint8_t* d = dst.Row(i);
    for (std::size_t k = 0; k < rowBytes; ++k) d[k] = ToByte(acc[k]);
  }
}

#ifdef MIRELO_RESAMPLER_AVX2

// The same passes with AVX2 and the fused multiply-add instruction.

#define MIRELO_FMA_TARGET __attribute__((target("avx2,fma")))

MIRELO_FMA_TARGET inline __m256 Pick(__m128i lo, __m128i hi, __m128i maskLo, __m128i maskHi) {
  const __m128i bytes = _mm_or_si128(_mm_shuffle_epi8(lo, maskLo), _mm_shuffle_epi8(hi, maskHi));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
}

// Eight floats of each channel from 8 pixels (24 bytes) at p.
MIRELO_FMA_TARGET inline void SplitChannels(const std::uint8_t* p, __m256& b, __m256& g,
                                            __m256& r) {
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 16));
  b = Pick(lo, hi, _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
           _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, -1, -1, -1, -1, -1, -1, -1, -1));
  g = Pick(lo, hi, _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
           _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, -1, -1, -1, -1, -1, -1, -1, -1));
  r = Pick(lo, hi, _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
           _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, -1, -1, -1, -1, -1, -1, -1, -1));
}

// Transposes 8 rows of 8 floats in place.
MIRELO_FMA_TARGET inline void Transpose8(__m256 v[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(v[0], v[1]);
  const __m256 t1 = _mm256_unpackhi_ps(v[0], v[1]);
  const __m256 t2 = _mm256_unpacklo_ps(v[2], v[3]);
  const __m256 t3 = _mm256_unpackhi_ps(v[2], v[3]);
  const __m256 t4 = _mm256_unpacklo_ps(v[4], v[5]);
  const __m256 t5 = _mm256_unpackhi_ps(v[4], v[5]);
  const __m256 t6 = _mm256_unpacklo_ps(v[6], v[7]);
  const __m256 t7 = _mm256_unpackhi_ps(v[6], v[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44);
  const __m256 u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44);
  const __m256 u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44);
  const __m256 u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44);
  const __m256 u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  v[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  v[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  v[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  v[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  v[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  v[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  v[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  v[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Adds entries from..end of list i to the three channel sums.
MIRELO_FMA_TARGET inline void SumColumn(const WeightLists& lists, const float* block, int i,
                                        std::size_t from, __m256& a0, __m256& a1, __m256& a2) {
  const std::span<const std::int32_t> index = lists.Indices(i);
  const std::span<const float> weight = lists.Weights(i);
  for (std::size_t e = from; e < index.size(); ++e) {
    const float* p = block + static_cast<std::size_t>(index[e]) * kLanes;
    const __m256 w = _mm256_broadcast_ss(&weight[e]);
    a0 = _mm256_fmadd_ps(_mm256_loadu_ps(p), w, a0);
    a1 = _mm256_fmadd_ps(_mm256_loadu_ps(p + 8), w, a1);
    a2 = _mm256_fmadd_ps(_mm256_loadu_ps(p + 16), w, a2);
  }
}

MIRELO_FMA_TARGET inline void StoreColumn(__m256 a0, __m256 a1, __m256 a2, Bitmap& work, int k0,
                                          int i) {
  alignas(32) float acc[kLanes];
  _mm256_store_ps(acc, a0);
  _mm256_store_ps(acc + 8, a1);
  _mm256_store_ps(acc + 16, a2);
  StoreColumn(acc, work, k0, i);
}

MIRELO_FMA_TARGET void HorizontalPassFma(const Bitmap& src, Bitmap& work, const WeightLists& lists,
                                         float* block) {
  static_assert(kBlockRows == 8, "one AVX register per channel");
  const int sw = src.Width();
  const int dw = lists.Count();
  const std::uint8_t* rows[kBlockRows];
  for (int k0 = 0; k0 < src.Height(); k0 += kBlockRows) {
    BlockRows(src, k0, rows);
    int x0 = 0;
    for (; x0 + 8 <= sw; x0 += 8) {
      __m256 ch[3][8];
      for (int r = 0; r < 8; ++r) {
        SplitChannels(rows[r] + 3 * static_cast<std::size_t>(x0), ch[0][r], ch[1][r], ch[2][r]);
      }
      for (int c = 0; c < 3; ++c) {
        Transpose8(ch[c]);
        for (int j = 0; j < 8; ++j) {
          _mm256_storeu_ps(block + static_cast<std::size_t>(x0 + j) * kLanes + 8 * c, ch[c][j]);
        }
      }
    }
    LayOutPixels(rows, x0, sw, block);

    int i = 0;
    // Two destination columns at a time: six independent sums in flight.
    for (; i + 1 < dw; i += 2) {
      const std::span<const std::int32_t> ia = lists.Indices(i);
      const std::span<const std::int32_t> ib = lists.Indices(i + 1);
      const std::span<const float> wa = lists.Weights(i);
      const std::span<const float> wb = lists.Weights(i + 1);
      const std::size_t both = std::min(ia.size(), ib.size());
      __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, b0 = a0, b1 = a0, b2 = a0;
      for (std::size_t e = 0; e < both; ++e) {
        const float* p = block + static_cast<std::size_t>(ia[e]) * kLanes;
        const float* q = block + static_cast<std::size_t>(ib[e]) * kLanes;
        const __m256 w = _mm256_broadcast_ss(&wa[e]);
        const __m256 v = _mm256_broadcast_ss(&wb[e]);
        a0 = _mm256_fmadd_ps(_mm256_loadu_ps(p), w, a0);
        b0 = _mm256_fmadd_ps(_mm256_loadu_ps(q), v, b0);
        a1 = _mm256_fmadd_ps(_mm256_loadu_ps(p + 8), w, a1);
        b1 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 8), v, b1);
        a2 = _mm256_fmadd_ps(_mm256_loadu_ps(p + 16), w, a2);
        b2 = _mm256_fmadd_ps(_mm256_loadu_ps(q + 16), v, b2);
      }
      SumColumn(lists, block, i, both, a0, a1, a2);
      SumColumn(lists, block, i + 1, both, b0, b1, b2);
      StoreColumn(a0, a1, a2, work, k0, i);
      StoreColumn(b0, b1, b2, work, k0, i + 1);
    }
    for (; i < dw; ++i) {
      __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0;
      SumColumn(lists, block, i, 0, a0, a1, a2);
      StoreColumn(a0, a1, a2, work, k0, i);
    }
  }
}

MIRELO_FMA_TARGET void VerticalPassFma(const Bitmap& work, Bitmap& dst, const WeightLists& lists,
                                       float* acc) {
  const std::size_t rowBytes = 3 * static_cast<std::size_t>(dst.Width());
  const std::uint8_t* const base = work.Pixels();
  const std::size_t stride = work.Stride();
  for (int i = 0; i < lists.Count(); ++i) {
    const std::span<const std::int32_t> index = lists.Indices(i);
    const std::span<const float> weight = lists.Weights(i);
    std::fill(acc, acc + rowBytes, 0.0f);
    for (std::size_t e = 0; e < index.size(); ++e) {
      const std::uint8_t* p = base + static_cast<std::size_t>(index[e]) * stride;
      const float w = weight[e];
      for (std::size_t k = 0; k < rowBytes; ++k) acc[k] = __builtin_fmaf(p[k], w, acc[k]);
    }
    std::uint8_t* d = dst.Row(i);
    for (std::size_t k = 0; k < rowBytes; ++k) d[k] = ToByte(acc[k]);
  }
}

bool HasFma() {
  static const bool has = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return has;
}

#else

bool HasFma() { return false; }

void HorizontalPassFma(const Bitmap& src, Bitmap& work, const WeightLists& lists, float* block) {
  HorizontalPassSoft(src, work, lists, block);
}

void VerticalPassFma(const Bitmap& work, Bitmap& dst, const WeightLists& lists, float* acc) {
  VerticalPassSoft(work, dst, lists, acc);
}

#endif

std::atomic<bool> forcePortable{false};

}  // namespace

float BoxFilter(float x) { return (x > -0.5f && x <= 0.5f) ? 1.0f : 0.0f; }

float TriangleFilter(float x) {
  const Wide t = std::fabs(x);
  return t < 1 ? static_cast<float>(1 - t) : 0.0f;
}

float HermiteFilter(float x) {
  const Wide t = std::fabs(x);
  return t < 1 ? static_cast<float>((2 * t - 3) * t * t + 1) : 0.0f;
}

float BellFilter(float x) {
  const Wide t = std::fabs(x);
  if (t < 0.5L) return static_cast<float>(0.75L - t * t);
  if (t < 1.5L) {
    const float u = static_cast<float>(t - 1.5L);
    return static_cast<float>(0.5L * u * u);
  }
  return 0.0f;
}

float BSplineFilter(float x) {
  const Wide t = std::fabs(x);
  if (t < 1) {
    const float tt = static_cast<float>(t * t);
    return static_cast<float>(0.5L * tt * t - tt + kTwoThirds);
  }
  if (t < 2) {
    const float u = static_cast<float>(2 - t);
    return static_cast<float>(static_cast<Wide>(u) * u * u * kOneSixth);
  }
  return 0.0f;
}

float Lanczos3Filter(float x) {
  const float t = std::fabs(x);
  if (t < 3.0f) {
    return static_cast<float>(static_cast<Wide>(Sinc(t)) * Sinc(static_cast<float>(t / 3.0L)));
  }
  return 0.0f;
}

float MitchellFilter(float x) {
  const Wide t = std::fabs(x);
  const float tt = static_cast<float>(t * t);
  if (t < 1) {
    const float n = static_cast<float>(7 * t * tt - 12 * static_cast<Wide>(tt) + kSixteenThirds);
    return static_cast<float>(n / 6.0L);
  }
  if (t < 2) {
    const float n = static_cast<float>(kMinusSevenThirds * t * tt + 12 * static_cast<Wide>(tt) -
                                       20 * t + kThirtyTwoThirds);
    return static_cast<float>(n / 6.0L);
  }
  return 0.0f;
}

const FilterRow FilterTable[kFilterCount] = {
    {"Box", BoxFilter, 0.5f},           {"Triangle", TriangleFilter, 1.0f},
    {"Hermite", HermiteFilter, 1.0f},   {"Bell", BellFilter, 1.5f},
    {"B-Spline", BSplineFilter, 2.0f},  {"Lanczos3", Lanczos3Filter, 3.0f},
    {"Mitchell", MitchellFilter, 2.0f},
};

bool ResamplerUsesFma() { return HasFma() && !forcePortable.load(std::memory_order_relaxed); }

void ForcePortableResampler(bool on) { forcePortable.store(on, std::memory_order_relaxed); }

float MultiplyAdd(float byte, float weight, float sum) {
  return SoftMultiplyAdd(byte, weight, sum);
}

std::uint8_t ClampToByte(float sum) { return ToByte(sum); }

float ScaleFactor(int dstSize, int srcSize) {
  if (srcSize == 1) return static_cast<float>(static_cast<Wide>(dstSize) / srcSize);
  return static_cast<float>(static_cast<Wide>(dstSize - 1) / (srcSize - 1));
}

WeightLists::WeightLists(float scale, int srcSize, int dstSize, FilterFunc filter, float radius) {
  const bool shrink = scale < 1.0f;
  float w = radius;
  float fscale = 1.0f;
  if (shrink) {
    w = static_cast<float>(static_cast<Wide>(radius) / scale);
    fscale = static_cast<float>(1.0L / scale);
  }
  radius_ = w;
  capacity_ = static_cast<int>(2 * static_cast<Wide>(w) + 1);
  first_.reserve(static_cast<std::size_t>(dstSize) + 1);
  index_.reserve(static_cast<std::size_t>(dstSize) * static_cast<std::size_t>(capacity_));
  weight_.reserve(index_.capacity());
  first_.push_back(0);
  const std::int64_t n = srcSize;
  for (int i = 0; i < dstSize; ++i) {
    const float c = static_cast<float>(static_cast<Wide>(i) / scale);
    const std::int64_t left = static_cast<std::int64_t>(std::floor(static_cast<Wide>(c) - w));
    const std::int64_t right = static_cast<std::int64_t>(std::ceil(static_cast<Wide>(c) + w));
    for (std::int64_t j = left; j <= right; ++j) {
      float weight;
      if (shrink) {
        const float arg = static_cast<float>((c - static_cast<Wide>(j)) / fscale);
        weight = static_cast<float>(static_cast<Wide>(filter(arg)) / fscale);
      } else {
        weight = filter(static_cast<float>(c - static_cast<Wide>(j)));
      }
      if (weight == 0.0f) continue;
      std::int64_t k = j < 0 ? -j : (j >= n ? 2 * n - j - 1 : j);
      // Mirroring stays inside the source only while w < n; beyond, clamp.
      k = std::clamp<std::int64_t>(k, 0, n - 1);
      index_.push_back(static_cast<std::int32_t>(k));
      weight_.push_back(weight);
    }
    first_.push_back(static_cast<std::int32_t>(index_.size()));
  }
}

void Resample(Bitmap& source, Bitmap& destination, FilterFunc filter, float radius) {
  const int sw = source.Width();
  const int sh = source.Height();
  const int dw = destination.Width();
  const int dh = destination.Height();
  if (sw < 1 || sh < 1) throw ResampleError("Source bitmap too small");
  if (dw < 1 || dh < 1 || (dw == 1 && sw > 1) || (dh == 1 && sh > 1)) {
    throw ResampleError("Destination bitmap too small");
  }
  if (sh == 1 || dh == 1) throw ResampleError("Cannot resample a picture of a single row");

  if (source.Format() != PixelFormat::Bgr24) source = std::move(source).ToBgr24();
  if (destination.Format() != PixelFormat::Bgr24) destination.Reset(dw, dh, PixelFormat::Bgr24);
  Bitmap work(dw, sh, PixelFormat::Bgr24);
  const bool fma = ResamplerUsesFma();
  {
    const WeightLists lists(ScaleFactor(dw, sw), sw, dw, filter, radius);
    std::vector<float> block(static_cast<std::size_t>(sw) * kLanes);
    if (fma) {
      HorizontalPassFma(source, work, lists, block.data());
    } else {
      HorizontalPassSoft(source, work, lists, block.data());
    }
  }
  const WeightLists lists(ScaleFactor(dh, sh), sh, dh, filter, radius);
  std::vector<float> acc(3 * static_cast<std::size_t>(dw));
  if (fma) {
    VerticalPassFma(work, destination, lists, acc.data());
  } else {
    VerticalPassSoft(work, destination, lists, acc.data());
  }
}

void ResizeBitmap(int newWidth, int newHeight, int filterIndex, Bitmap& bitmap) {
  if (filterIndex < 0 || filterIndex >= kFilterCount) {
    throw std::out_of_range("Filter index out of range: " + std::to_string(filterIndex));
  }
  if (newWidth < 1 || newHeight < 1) throw ResampleError("Destination bitmap too small");
  Bitmap result(newWidth, newHeight, PixelFormat::Bgr24);
  const FilterRow& row = FilterTable[filterIndex];
  Resample(bitmap, result, row.filter, row.radius);
  bitmap = std::move(result);
}
