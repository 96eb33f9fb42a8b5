// In-memory raster picture and its orientation transforms.
#include "imaging/Bitmap.h"

#include "imaging/ImageLimits.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

int BitsPerPixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::Pal1:
      return 1;
    case PixelFormat::Pal4:
      return 4;
    case PixelFormat::Pal8:
      return 8;
    case PixelFormat::Bgr24:
      return 24;
    case PixelFormat::Bgra32:
      return 32;
  }
  return 24;
}

namespace {

std::size_t StrideFor(int width, int bits) {
  return static_cast<std::size_t>((static_cast<std::int64_t>(width) * bits + 31) / 32 * 4);
}

std::size_t PackedBytes(int width, int bits) {
  return static_cast<std::size_t>((static_cast<std::int64_t>(width) * bits + 7) / 8);
}

void SetIndex(std::uint8_t* row, int x, int bits, std::uint8_t index) {
  if (bits == 8) {
    row[x] = index;
  } else if (bits == 4) {
    std::uint8_t& b = row[x >> 1];
    b = (x & 1) ? static_cast<std::uint8_t>((b & 0xF0) | (index & 0x0F))
                : static_cast<std::uint8_t>((b & 0x0F) | (index << 4));
  } else {
    const int shift = 7 - (x & 7);
    std::uint8_t& b = row[x >> 3];
    b = static_cast<std::uint8_t>((b & ~(1 << shift)) | ((index & 1) << shift));
  }
}

// One 32-bit row as 24 bits, alpha dropped. dst may be src itself: each
// pixel's three bytes land at or before its own four, after every byte read.
void DropAlpha(const std::uint8_t* src, std::uint8_t* dst, int width) {
  for (int x = 0; x < width; ++x) {
    dst[x * 3] = src[x * 4];
    dst[x * 3 + 1] = src[x * 4 + 1];
    dst[x * 3 + 2] = src[x * 4 + 2];
  }
}

int GetIndex(const std::uint8_t* row, int x, int bits) {
  if (bits == 8) return row[x];
  if (bits == 4) return (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
  return (row[x >> 3] >> (7 - (x & 7))) & 1;
}

void CheckSize(int width, int height) {
  if (width < 0 || height < 0 || width > kMaxPictureSide || height > kMaxPictureSide ||
      static_cast<std::int64_t>(width) * height > kMaxPicturePixels) {
    throw std::length_error("Picture too large: " + std::to_string(width) + " x " +
                            std::to_string(height) + " pixels");
  }
}

}  // namespace

Bitmap::Bitmap(int width, int height, PixelFormat format) : format_(format) {
  SetSize(width, height);
}

Bitmap::Bitmap(const Bitmap& other)
    : width_(other.width_),
      height_(other.height_),
      format_(other.format_),
      stride_(other.stride_),
      palette_(other.palette_) {
  if (other.data_) {
    const std::size_t bytes = stride_ * static_cast<std::size_t>(height_);
    data_ = AllocatePixelMemory(bytes);
    std::memcpy(data_.get(), other.data_.get(), bytes);
  }
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this != &other) {
    Bitmap copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Bitmap::Bitmap(Bitmap&& other) noexcept
    : width_(std::exchange(other.width_, 0)),
      height_(std::exchange(other.height_, 0)),
      format_(other.format_),
      stride_(std::exchange(other.stride_, 0)),
      data_(std::move(other.data_)),
      palette_(std::move(other.palette_)) {}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    width_ = std::exchange(other.width_, 0);
    height_ = std::exchange(other.height_, 0);
    format_ = other.format_;
    stride_ = std::exchange(other.stride_, 0);
    data_ = std::move(other.data_);
    palette_ = std::move(other.palette_);
  }
  return *this;
}

void Bitmap::SetWidth(int width) { SetSize(width, height_); }
void Bitmap::SetHeight(int height) { SetSize(width_, height); }

void Bitmap::SetSize(int width, int height) {
  CheckSize(width, height);
  if (width == width_ && height == height_) return;
  const int oldWidth = width_;
  const int oldHeight = height_;
  const std::size_t oldStride = stride_;
  PixelMemory old = std::move(data_);
  width_ = width;
  height_ = height;
  stride_ = 0;
  if (width == 0 || height == 0) return;  // stays empty until both sides are set
  Allocate(width, height);
  const int keepRows = old ? std::min(oldHeight, height) : 0;
  const int keepWidth = old ? std::min(oldWidth, width) : 0;
  const std::size_t keepBytes = PackedBytes(keepWidth, BitsPerPixel());
  for (int y = 0; y < keepRows; ++y) {
    std::memcpy(Row(y), old.get() + static_cast<std::size_t>(y) * oldStride, keepBytes);
  }
  FillWhite(keepWidth, keepRows);
}

void Bitmap::Reset(int width, int height, PixelFormat format) {
  Clear();
  format_ = format;
  SetSize(width, height);
}

void Bitmap::ResetForOverwrite(int width, int height, PixelFormat format) {
  CheckSize(width, height);
  Clear();
  format_ = format;
  width_ = width;
  height_ = height;
  if (width > 0 && height > 0) Allocate(width, height);
}

void Bitmap::Clear() {
  data_.reset();
  width_ = height_ = 0;
  stride_ = 0;
}

void Bitmap::Allocate(int width, int height) {
  const int bits = BitsPerPixel();
  stride_ = StrideFor(width, bits);
  data_ = AllocatePixelMemory(stride_ * static_cast<std::size_t>(height));
  const std::size_t packed = PackedBytes(width, bits);
  if (packed < stride_) {
    for (int y = 0; y < height; ++y) std::memset(Row(y) + packed, 0, stride_ - packed);
  }
}

std::uint8_t Bitmap::WhiteIndex() const {
  int best = 0;
  int bestSum = -1;
  const int count = std::min<int>(static_cast<int>(palette_.size()), 1 << BitsPerPixel());
  for (int i = 0; i < count; ++i) {
    const int sum = palette_[i].r + palette_[i].g + palette_[i].b;
    if (sum > bestSum) {
      bestSum = sum;
      best = i;
    }
  }
  return static_cast<std::uint8_t>(best);
}

void Bitmap::FillWhite(int x0, int y0) {
  const int bits = BitsPerPixel();
  if (bits >= 8) {
    const std::uint8_t value = bits == 8 ? WhiteIndex() : 0xFF;
    const std::size_t bpp = static_cast<std::size_t>(bits / 8);
    for (int y = 0; y < height_; ++y) {
      const int from = y < y0 ? x0 : 0;
      if (from < width_) {
        std::memset(Row(y) + from * bpp, value, static_cast<std::size_t>(width_ - from) * bpp);
      }
    }
    return;
  }
  const std::uint8_t index = WhiteIndex();
  const std::uint8_t pattern = bits == 4 ? static_cast<std::uint8_t>(index * 0x11)
                                         : static_cast<std::uint8_t>((index & 1) ? 0xFF : 0x00);
  for (int y = 0; y < height_; ++y) {
    std::uint8_t* row = Row(y);
    if (y >= y0) {
      std::memset(row, pattern, PackedBytes(width_, bits));
    } else {
      for (int x = x0; x < width_; ++x) SetIndex(row, x, bits, index);
    }
  }
}

std::uint32_t Bitmap::PixelRgb(int x, int y) const {
  const std::uint8_t* row = Row(y);
  switch (format_) {
    case PixelFormat::Bgr24:
      return (row[x * 3 + 2] << 16) | (row[x * 3 + 1] << 8) | row[x * 3];
    case PixelFormat::Bgra32:
      return (row[x * 4 + 2] << 16) | (row[x * 4 + 1] << 8) | row[x * 4];
    default: {
      const std::size_t i = static_cast<std::size_t>(GetIndex(row, x, BitsPerPixel()));
      if (i >= palette_.size()) return 0;
      return (palette_[i].r << 16) | (palette_[i].g << 8) | palette_[i].b;
    }
  }
}

Bitmap Bitmap::ToBgr24() && {
  if (format_ == PixelFormat::Bgr24) return std::move(*this);
  if (format_ != PixelFormat::Bgra32 || Empty()) return std::as_const(*this).ToBgr24();
  // Row by row from the top: a row lands at or before where it was read.
  const std::size_t stride = StrideFor(width_, 24);
  std::uint8_t* pixels = data_.get();
  for (int y = 0; y < height_; ++y) {
    std::uint8_t* dst = pixels + static_cast<std::size_t>(y) * stride;
    DropAlpha(pixels + static_cast<std::size_t>(y) * stride_, dst, width_);
    std::memset(dst + static_cast<std::size_t>(width_) * 3, 0,
                stride - static_cast<std::size_t>(width_) * 3);
  }
  format_ = PixelFormat::Bgr24;
  stride_ = stride;
  return std::move(*this);
}

Bitmap Bitmap::ToBgr24() const& {
  if (format_ == PixelFormat::Bgr24) return *this;
  Bitmap out;
  if (Empty()) return out;
  out.Allocate(width_, height_);
  out.width_ = width_;
  out.height_ = height_;
  const int bits = BitsPerPixel();
  PaletteEntry lookup[256] = {};
  std::copy_n(palette_.begin(), std::min<std::size_t>(palette_.size(), 256), lookup);
  for (int y = 0; y < height_; ++y) {
    const std::uint8_t* src = Row(y);
    std::uint8_t* dst = out.Row(y);
    if (format_ == PixelFormat::Bgra32) {
      DropAlpha(src, dst, width_);
    } else {
      const std::size_t count = palette_.size();
      for (int x = 0; x < width_; ++x) {
        const int i = GetIndex(src, x, bits);
        const PaletteEntry e = static_cast<std::size_t>(i) < count ? lookup[i] : PaletteEntry{};
        dst[x * 3] = e.b;
        dst[x * 3 + 1] = e.g;
        dst[x * 3 + 2] = e.r;
      }
    }
  }
  return out;
}

void ApplyOrientation(Bitmap& bitmap, int orientation) {
  if (orientation < 2 || orientation > 8 || bitmap.Empty()) return;
  if (bitmap.BitsPerPixel() < 8) bitmap = bitmap.ToBgr24();
  const int w = bitmap.Width();
  const int h = bitmap.Height();
  const bool swap = orientation >= 5;
  Bitmap out(swap ? h : w, swap ? w : h, bitmap.Format());
  out.SetPalette(bitmap.Palette());
  const std::size_t bpp = static_cast<std::size_t>(bitmap.BitsPerPixel() / 8);
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* src = bitmap.Row(y);
    for (int x = 0; x < w; ++x) {
      int dx = x, dy = y;
      switch (orientation) {
        case 2:
          dx = w - 1 - x;
          break;
        case 3:
          dx = w - 1 - x;
          dy = h - 1 - y;
          break;
        case 4:
          dy = h - 1 - y;
          break;
        case 5:
          dx = y;
          dy = x;
          break;
        case 6:
          dx = h - 1 - y;
          dy = x;
          break;
        case 7:
          dx = h - 1 - y;
          dy = w - 1 - x;
          break;
        case 8:
          dx = y;
          dy = w - 1 - x;
          break;
      }
      std::memcpy(out.Row(dy) + dx * bpp, src + x * bpp, bpp);
    }
  }
  bitmap = std::move(out);
}
