// Limits on the pictures the loader accepts: a file claiming more is refused
// with an error text before any large allocation.
#pragma once

#include <cstddef>
#include <cstdint>

// Most pixels in one picture (24-bit rows of such a picture still fit in 2 GiB).
constexpr std::int64_t kMaxPicturePixels = 178'956'970;
// Longest side of a picture, in pixels.
constexpr int kMaxPictureSide = 65'535;
// Largest picture file read into memory.
constexpr std::size_t kMaxPictureFileBytes = std::size_t{512} << 20;
// Most memory the JPEG decoder may use for its own work (coefficient buffers of
// progressive files), apart from the picture.
constexpr long kMaxJpegDecoderMemory = 1L << 30;
// Most scans in one JPEG file; a hostile progressive file can otherwise make
// the decoder spin on thousands of empty scans.
constexpr int kMaxJpegScans = 500;
// Most images listed in one icon file's directory.
constexpr int kMaxIconImages = 256;
// Longest side of one icon image. Icon directories name at most 256; a few
// bytes of RLE data could otherwise make an "icon" of a hundred megapixels.
constexpr int kMaxIconSide = 1024;
// How much larger than its declared size an image made while decoding a HEIF
// file (a coded picture with its padding, a tile) may be, per side.
constexpr int kMaxHeifOverhang = 1024;
// Largest embedded colour profile taken from a picture; a larger one is ignored.
constexpr std::size_t kMaxColourProfileBytes = std::size_t{4} << 20;

// True when a picture of this size is within the limits above (and not empty).
constexpr bool PictureSizeAllowed(std::int64_t width, std::int64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         width * height <= kMaxPicturePixels;
}
