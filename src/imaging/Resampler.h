// Filtered scaling of pictures: the filter table, the weight lists of one pass
// and the two separable passes over 24-bit rows. Pure computation: any thread
// may resample, each on bitmaps of its own.
#pragma once

#include "imaging/Bitmap.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

// A reconstruction filter: weight of a source pixel at signed distance x.
using FilterFunc = float (*)(float x);

struct FilterRow {
  const char* name;  // descriptive only
  FilterFunc filter;
  float radius;  // support half-width in source pixels at scale 1
};

constexpr int kFilterCount = 7;
// Indexed by the "Resampler quality" setting: 0 "Box" ... 6 "Mitchell".
extern const FilterRow FilterTable[kFilterCount];
// The default quality: "Mitchell".
constexpr int kDefaultFilterIndex = 6;

float BoxFilter(float x);
float TriangleFilter(float x);
float HermiteFilter(float x);
float BellFilter(float x);
float BSplineFilter(float x);
float Lanczos3Filter(float x);
float MitchellFilter(float x);

// Thrown by Resample and ResizeBitmap for sizes they cannot fill.
class ResampleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Scale factor of one direction as a 32-bit float: dst / src for a source of
// one pixel, else (dst - 1) / (src - 1) (the corner pixels map onto each other).
float ScaleFactor(int dstSize, int srcSize);

// The weight lists of one pass: list i holds the source indices (always inside
// 0 .. srcSize - 1) and non-zero weights that make destination position i,
// in the order the filter walks them.
class WeightLists {
 public:
  WeightLists(float scale, int srcSize, int dstSize, FilterFunc filter, float radius);

  int Count() const { return static_cast<int>(first_.size()) - 1; }
  std::span<const std::int32_t> Indices(int i) const {
    return {index_.data() + first_[i], index_.data() + first_[i + 1]};
  }
  std::span<const float> Weights(int i) const {
    return {weight_.data() + first_[i], weight_.data() + first_[i + 1]};
  }
  // Most entries a list may hold: trunc(2w + 1), w the effective radius.
  int Capacity() const { return capacity_; }
  // The effective radius w of this pass.
  float Radius() const { return radius_; }

 private:
  std::vector<std::int32_t> first_;  // list i is [first_[i], first_[i + 1])
  std::vector<std::int32_t> index_;
  std::vector<float> weight_;
  int capacity_ = 0;
  float radius_ = 0;
};

// Sum of one channel byte: weight * byte added to sum, computed exactly and
// rounded once to a 32-bit float (a fused multiply-add).
float MultiplyAdd(float byte, float weight, float sum);

// A channel sum as a byte: above 255 gives 255, below 0 gives 0, otherwise the
// nearest integer, ties to even.
std::uint8_t ClampToByte(float sum);

// Resample uses AVX2 and fused multiply-add instructions where the processor
// has them, else portable loops; both give the same bytes. Tests and
// benchmarks may force the portable loops (for all threads).
bool ResamplerUsesFma();
void ForcePortableResampler(bool on);

// Scales source into destination, whose size the caller has set; its pixels
// are overwritten and it becomes 24-bit. The source becomes 24-bit too.
// Throws ResampleError ("Source bitmap too small", or a destination the passes
// cannot fill) before changing either bitmap.
void Resample(Bitmap& source, Bitmap& destination, FilterFunc filter, float radius);

// Replaces bitmap by a 24-bit picture of the new size, resampled with
// FilterTable[filterIndex]. Throws std::out_of_range for an index outside
// 0 .. 6 and ResampleError for sizes that cannot be resampled; bitmap is then
// unchanged.
void ResizeBitmap(int newWidth, int newHeight, int filterIndex, Bitmap& bitmap);
