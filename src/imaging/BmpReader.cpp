// Our own reader of BMP files: 1, 2, 4, 8, 16, 24 and 32 bits, RLE4 and RLE8,
// bottom-up and top-down rows, OS/2, Windows and V4/V5 headers, bit fields,
// and JPEG or PNG payloads. Every size and offset is checked against the data
// before it is used; the picture size against ImageLimits.h before allocating.
#include "imaging/BmpReader.h"

#include "imaging/ImageLimits.h"
#include "imaging/JpegImage.h"
#include "imaging/OrvelGraphicLoader.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::int32_t I32(const std::uint8_t* p) { return static_cast<std::int32_t>(U32(p)); }

enum Compression : std::uint32_t {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kJpeg = 4,
  kPng = 5,
  kAlphaBitFields = 6,
};

// One colour channel of a 16 or 32-bit pixel: mask, shift and scale to 8 bits.
struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint32_t max = 0;
  std::uint8_t Get(std::uint32_t pixel) const {
    const std::uint64_t v = (pixel & mask) >> shift;
    if (max == 255) return static_cast<std::uint8_t>(v);
    if (max == 0) return 0;
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
  }
};

bool MakeChannel(std::uint32_t mask, Channel& channel) {
  channel = {};
  if (mask == 0) return true;
  const int shift = std::countr_zero(mask);
  const std::uint32_t run = mask >> shift;
  if ((run & (run + 1)) != 0) return false;  // not one run of set bits
  channel.mask = mask;
  channel.shift = shift;
  channel.max = run;
  return true;
}

struct Header {
  std::uint32_t size = 0;
  std::int64_t width = 0;
  std::int64_t height = 0;  // rows of the picture (icons: without the mask)
  bool topDown = false;
  int planes = 0;
  int bits = 0;
  std::uint32_t compression = kRgb;
  std::uint32_t imageSize = 0;
  std::int32_t xDensity = 0;
  std::int32_t yDensity = 0;
  std::uint32_t colorsUsed = 0;
  std::uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  bool hasMasks = false;
  bool os2 = false;    // OS/2 1.x: 3-byte palette entries
  bool os2v2 = false;  // OS/2 2.x: its own compression codes
  std::size_t paletteStart = 0;
};

std::string ParseHeader(const std::uint8_t* d, std::size_t size, bool icon, Header& h) {
  if (size < 4) return "BMP header is truncated";
  h.size = U32(d);
  const std::uint32_t s = h.size;
  if (s != 12 && s != 16 && s != 40 && s != 52 && s != 56 && s != 64 && s != 108 && s != 124) {
    return "BMP header size " + std::to_string(s) + " is not supported";
  }
  if (size < s) return "BMP header is truncated";
  std::int64_t rawHeight;
  if (s == 12) {
    h.os2 = true;
    h.width = U16(d + 4);
    rawHeight = U16(d + 6);
    h.planes = U16(d + 8);
    h.bits = U16(d + 10);
  } else {
    h.os2v2 = s == 16 || s == 64;
    h.width = I32(d + 4);
    rawHeight = I32(d + 8);
    h.planes = U16(d + 12);
    h.bits = U16(d + 14);
    if (s >= 40) {
      h.compression = U32(d + 16);
      h.imageSize = U32(d + 20);
      h.xDensity = I32(d + 24);
      h.yDensity = I32(d + 28);
      h.colorsUsed = U32(d + 32);
    }
  }
  h.paletteStart = s;
  if (h.os2v2 && h.compression != kRgb && h.compression != kRle8 && h.compression != kRle4) {
    return "OS/2 BMP compression " + std::to_string(h.compression) + " is not supported";
  }
  if (!h.os2v2 && (h.compression == kBitFields || h.compression == kAlphaBitFields)) {
    h.hasMasks = true;
    if (s >= 52) {
      for (int i = 0; i < (s >= 56 ? 4 : 3); ++i) h.masks[i] = U32(d + 40 + 4 * i);
    } else {
      const std::size_t count = h.compression == kAlphaBitFields ? 4 : 3;
      if (size < s + 4 * count) return "BMP colour masks are truncated";
      for (std::size_t i = 0; i < count; ++i) h.masks[i] = U32(d + s + 4 * i);
      h.paletteStart += 4 * count;
    }
  } else if (s >= 56 && h.compression == kRgb) {
    h.masks[3] = 0;  // a V4/V5 alpha mask means nothing without bit fields
  }
  if (h.width < 0) return "BMP width is negative";
  if (rawHeight < 0) {
    if (h.compression == kRle4 || h.compression == kRle8) {
      return "Compressed BMP cannot be stored top-down";
    }
    h.topDown = true;
    rawHeight = -rawHeight;
  }
  if (icon) rawHeight /= 2;
  h.height = rawHeight;
  if (h.planes != 1 && !(icon && h.planes == 0)) return "BMP must have one plane";
  if (h.xDensity < 0 || h.yDensity < 0) return "BMP pixel density is negative";
  if (h.xDensity > 0 && h.yDensity > 0 &&
      std::max(h.xDensity, h.yDensity) / std::min(h.xDensity, h.yDensity) > 1000) {
    return "BMP pixel density is unreasonable";
  }
  switch (h.compression) {
    case kRgb:
      if (h.bits != 1 && h.bits != 2 && h.bits != 4 && h.bits != 8 && h.bits != 16 &&
          h.bits != 24 && h.bits != 32) {
        return "BMP with " + std::to_string(h.bits) + " bits per pixel is not supported";
      }
      break;
    case kRle8:
      if (h.bits != 8) return "RLE8 BMP must have 8 bits per pixel";
      break;
    case kRle4:
      if (h.bits != 4) return "RLE4 BMP must have 4 bits per pixel";
      break;
    case kBitFields:
    case kAlphaBitFields:
      if (h.bits != 16 && h.bits != 32) return "BMP bit fields need 16 or 32 bits per pixel";
      break;
    case kJpeg:
    case kPng:
      if (icon) return "Compressed icon bitmap is not supported";
      break;
    default:
      return "BMP compression " + std::to_string(h.compression) + " is not supported";
  }
  return {};
}

// Builds the three (or four) channels, checking that the masks fit the pixel,
// are runs of bits and do not overlap.
std::string MakeChannels(const Header& h, Channel ch[4]) {
  std::uint32_t masks[4] = {h.masks[0], h.masks[1], h.masks[2], h.masks[3]};
  if (!h.hasMasks) {
    if (h.bits == 16) {
      masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F, masks[3] = 0;
    } else {
      masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF, masks[3] = 0;
    }
  }
  std::uint32_t seen = 0;
  for (int i = 0; i < 4; ++i) {
    if (i < 3 && masks[i] == 0) return "BMP colour masks are invalid";
    if (h.bits == 16 && (masks[i] >> 16) != 0) return "BMP colour masks are invalid";
    if ((seen & masks[i]) != 0 || !MakeChannel(masks[i], ch[i])) {
      return "BMP colour masks are invalid";
    }
    seen |= masks[i];
  }
  return {};
}

std::string CheckIndices(const Bitmap& bmp, std::size_t paletteSize) {
  if (paletteSize >= 256) return {};
  for (int y = 0; y < bmp.Height(); ++y) {
    const std::uint8_t* row = bmp.Row(y);
    for (int x = 0; x < bmp.Width(); ++x) {
      if (row[x] >= paletteSize) return "BMP pixel refers past the end of its palette";
    }
  }
  return {};
}

// Fills the pixels that RLE data skips, lazily: the decoder only moves
// forward (rows from the bottom, left to right), so everything between the
// last pixel written and the next one gets the white index just before the
// next write. A hostile file that claims a huge picture and then ends thus
// fails before the picture's pages are ever touched.
class RleCanvas {
 public:
  RleCanvas(Bitmap& bmp, std::uint8_t white) : bmp_(bmp), white_(white) {}
  // Row y from the bottom, with everything before (x, y) filled.
  std::uint8_t* At(int x, int y) {
    FillTo(static_cast<std::int64_t>(y) * bmp_.Width() + x);
    return bmp_.Row(bmp_.Height() - 1 - y) + x;
  }
  void Wrote(int x, int y, int count) {
    filled_ = static_cast<std::int64_t>(y) * bmp_.Width() + x + count;
  }
  void FillRest() { FillTo(static_cast<std::int64_t>(bmp_.Height()) * bmp_.Width()); }

 private:
  void FillTo(std::int64_t target) {
    const int width = bmp_.Width();
    while (filled_ < target) {
      const int y = static_cast<int>(filled_ / width);
      const int x = static_cast<int>(filled_ % width);
      const int count = static_cast<int>(std::min<std::int64_t>(width - x, target - filled_));
      std::memset(bmp_.Row(bmp_.Height() - 1 - y) + x, white_, static_cast<std::size_t>(count));
      filled_ += count;
    }
  }

  Bitmap& bmp_;
  std::uint8_t white_;
  std::int64_t filled_ = 0;
};

// RLE4 and RLE8 into an 8-bit picture whose rows are not yet written. Rows run
// from the bottom. Runs may not pass the end of a row nor the last row.
std::string DecodeRle(const std::uint8_t* p, const std::uint8_t* end, bool four, Bitmap& bmp,
                      std::uint8_t white) {
  const int width = bmp.Width();
  const int height = bmp.Height();
  RleCanvas canvas(bmp, white);
  int x = 0;
  int y = 0;  // counted from the bottom
  while (true) {
    if (end - p < 2) {
      if (y >= height) break;  // every row done; the end marker is missing
      return "BMP compressed data is truncated";
    }
    const int a = p[0];
    const int b = p[1];
    p += 2;
    if (a > 0) {  // a run of a pixels
      if (y >= height || a > width - x) return "BMP compressed data runs past its row";
      std::uint8_t* row = canvas.At(x, y);
      if (four) {
        for (int i = 0; i < a; ++i) row[i] = static_cast<std::uint8_t>((i & 1) ? b & 0x0F : b >> 4);
      } else {
        std::memset(row, b, static_cast<std::size_t>(a));
      }
      canvas.Wrote(x, y, a);
      x += a;
    } else if (b == 0) {  // end of line
      x = 0;
      if (++y > height) return "BMP compressed data runs past the last row";
    } else if (b == 1) {  // end of bitmap
      break;
    } else if (b == 2) {  // move right and up
      if (end - p < 2) return "BMP compressed data is truncated";
      x += p[0];
      y += p[1];
      p += 2;
      if (x > width || y > height) return "BMP compressed data moves past the picture";
    } else {  // b literal pixels
      const std::size_t bytes = four ? static_cast<std::size_t>((b + 1) / 2) : b;
      const std::size_t padded = (bytes + 1) & ~std::size_t{1};
      if (static_cast<std::size_t>(end - p) < padded) return "BMP compressed data is truncated";
      if (y >= height || b > width - x) return "BMP compressed data runs past its row";
      std::uint8_t* row = canvas.At(x, y);
      for (int i = 0; i < b; ++i) {
        row[i] = four ? static_cast<std::uint8_t>((i & 1) ? p[i / 2] & 0x0F : p[i / 2] >> 4) : p[i];
      }
      canvas.Wrote(x, y, b);
      x += b;
      p += padded;
    }
  }
  canvas.FillRest();
  return {};
}

// The palette's lightest entry, which shows the pixels RLE data skips.
std::uint8_t LightestIndex(const std::vector<PaletteEntry>& palette) {
  int best = 0;
  int bestSum = -1;
  for (std::size_t i = 0; i < palette.size() && i < 256; ++i) {
    const int sum = palette[i].r + palette[i].g + palette[i].b;
    if (sum > bestSum) {
      bestSum = sum;
      best = static_cast<int>(i);
    }
  }
  return static_cast<std::uint8_t>(best);
}

void ReadPaletteRow(const std::uint8_t* src, int bits, int width, std::uint8_t* dst) {
  if (bits == 8) {
    std::memcpy(dst, src, static_cast<std::size_t>(width));
    return;
  }
  const int perByte = 8 / bits;
  const int mask = (1 << bits) - 1;
  for (int x = 0; x < width; ++x) {
    const int shift = 8 - bits * (x % perByte + 1);
    dst[x] = static_cast<std::uint8_t>((src[x / perByte] >> shift) & mask);
  }
}

}  // namespace

std::string DecodeDib(const std::uint8_t* data, std::size_t size, const DibOptions& options,
                      Bitmap& bitmap, std::vector<std::uint8_t>* mask) {
  Header h;
  std::string error = ParseHeader(data, size, options.icon, h);
  if (!error.empty()) return error;
  if (h.width == 0 || h.height == 0) {
    bitmap.Clear();
    if (mask) mask->clear();
    return {};
  }
  if (!PictureSizeAllowed(h.width, h.height)) {
    return "Picture too large: " + std::to_string(h.width) + " x " + std::to_string(h.height) +
           " pixels";
  }
  if (options.icon && (h.width > kMaxIconSide || h.height > kMaxIconSide)) {
    return "Icon image too large: " + std::to_string(h.width) + " x " + std::to_string(h.height) +
           " pixels";
  }
  const int width = static_cast<int>(h.width);
  const int height = static_cast<int>(h.height);

  // The palette: what the header declares, as far as the file holds it.
  std::vector<PaletteEntry> palette;
  const std::size_t entrySize = h.os2 ? 3 : 4;
  std::size_t paletteBytes = 0;
  if (h.bits <= 8 && h.compression != kJpeg && h.compression != kPng) {
    std::size_t declared = h.colorsUsed != 0 && !h.os2 ? h.colorsUsed : std::size_t{1} << h.bits;
    if (h.paletteStart > size || declared > (size - h.paletteStart) / entrySize) {
      return "BMP palette runs past the end of the file";
    }
    std::size_t count = std::min<std::size_t>(declared, std::size_t{1} << h.bits);
    if (options.pixelOffset > h.paletteStart) {
      count = std::min(count, (options.pixelOffset - h.paletteStart) / entrySize);
    }
    palette.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t* e = data + h.paletteStart + i * entrySize;
      palette[i] = {e[0], e[1], e[2], 0};
    }
    paletteBytes = declared * entrySize;
    if (palette.empty()) return "BMP palette is empty";
  }
  std::size_t offset = options.pixelOffset;
  if (offset == 0) {
    offset = h.paletteStart + paletteBytes;
  } else if (offset < h.paletteStart) {
    return "BMP pixel data overlaps its header";
  }
  if (offset > size) return "BMP file is truncated";
  const std::size_t available = size - offset;
  if (!options.icon && h.imageSize != 0 && h.size > 16 && h.imageSize > available) {
    return "BMP image size runs past the end of the file";
  }

  if (h.compression == kJpeg || h.compression == kPng) {
    const std::size_t length = h.imageSize != 0 ? h.imageSize : available;
    Bitmap inner;
    error = h.compression == kJpeg ? DecodeJpeg(data + offset, length, inner)
                                   : DecodePng(data + offset, length, inner);
    if (!error.empty()) return error;
    bitmap = std::move(inner);
    return {};
  }

  Bitmap out;
  if (h.compression == kRle4 || h.compression == kRle8) {
    out.ResetForOverwrite(width, height, PixelFormat::Pal8);
    out.SetPalette(palette);
    error =
        DecodeRle(data + offset, data + size, h.compression == kRle4, out, LightestIndex(palette));
    if (error.empty()) error = CheckIndices(out, palette.size());
    if (!error.empty()) return error;
    bitmap = std::move(out);
    if (mask) mask->clear();
    return {};
  }

  const std::size_t rowBytes =
      static_cast<std::size_t>((static_cast<std::int64_t>(width) * h.bits + 31) / 32 * 4);
  if (rowBytes * static_cast<std::size_t>(height) > available) return "BMP file is truncated";
  auto sourceRow = [&](int y) {
    const int stored = h.topDown ? y : height - 1 - y;
    return data + offset + static_cast<std::size_t>(stored) * rowBytes;
  };

  if (h.bits <= 8) {
    out.Reset(width, height, PixelFormat::Pal8);
    out.SetPalette(palette);
    for (int y = 0; y < height; ++y) ReadPaletteRow(sourceRow(y), h.bits, width, out.Row(y));
    error = CheckIndices(out, palette.size());
    if (!error.empty()) return error;
  } else if (h.bits == 24) {
    out.Reset(width, height, PixelFormat::Bgr24);
    for (int y = 0; y < height; ++y) {
      std::memcpy(out.Row(y), sourceRow(y), static_cast<std::size_t>(width) * 3);
    }
  } else {
    Channel ch[4];
    error = MakeChannels(h, ch);
    if (!error.empty()) return error;
    // An icon's 32-bit image carries alpha in its top byte.
    if (options.icon && h.bits == 32 && ch[3].mask == 0 && !h.hasMasks) {
      MakeChannel(0xFF000000u, ch[3]);
    }
    const bool alpha = options.icon && h.bits == 32;
    out.Reset(width, height, alpha ? PixelFormat::Bgra32 : PixelFormat::Bgr24);
    const int step = alpha ? 4 : 3;
    for (int y = 0; y < height; ++y) {
      const std::uint8_t* src = sourceRow(y);
      std::uint8_t* dst = out.Row(y);
      for (int x = 0; x < width; ++x) {
        const std::uint32_t px = h.bits == 16 ? U16(src + 2 * x) : U32(src + 4 * x);
        dst[x * step] = ch[2].Get(px);
        dst[x * step + 1] = ch[1].Get(px);
        dst[x * step + 2] = ch[0].Get(px);
        if (alpha) dst[x * step + 3] = ch[3].Get(px);
      }
    }
  }

  if (mask) {
    mask->clear();
    const std::size_t maskRow = static_cast<std::size_t>((width + 31) / 32 * 4);
    const std::size_t maskStart = offset + rowBytes * static_cast<std::size_t>(height);
    if (options.icon && (size - maskStart) / maskRow >= static_cast<std::size_t>(height)) {
      mask->resize(static_cast<std::size_t>(width) * height);
      for (int y = 0; y < height; ++y) {
        const std::uint8_t* src =
            data + maskStart + static_cast<std::size_t>(height - 1 - y) * maskRow;
        for (int x = 0; x < width; ++x) {
          (*mask)[static_cast<std::size_t>(y) * width + x] = (src[x >> 3] >> (7 - (x & 7))) & 1;
        }
      }
    }
  }
  bitmap = std::move(out);
  return {};
}

std::string DecodeBmp(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  if (size < 18 || data[0] != 'B' || data[1] != 'M') return "Not a BMP file";
  const std::uint32_t fileSize = U32(data + 2);
  if (fileSize > size) return "BMP file is truncated";
  const std::uint32_t pixelOffset = U32(data + 10);
  DibOptions options;
  if (pixelOffset != 0) {
    if (pixelOffset < 14 || pixelOffset > size) return "BMP pixel offset is invalid";
    options.pixelOffset = pixelOffset - 14;
  }
  return DecodeDib(data + 14, size - 14, options, bitmap, nullptr);
}
