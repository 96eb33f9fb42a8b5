// Our own reader of icon files: picks the largest image of the directory (then
// the deepest colour) and draws it, BMP or PNG payload, over a white picture.
#include "imaging/BmpReader.h"
#include "imaging/ImageLimits.h"
#include "imaging/OrvelGraphicLoader.h"

#include <cstring>
#include <vector>

namespace {

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Draws a decoded image over white: alpha blends when the image has any, else
// the mask applies as the platform draws icons (white AND mask XOR colour).
Bitmap DrawOverWhite(const Bitmap& image, const std::vector<std::uint8_t>& mask) {
  Bitmap out;
  out.SetWidth(image.Width());
  out.SetHeight(image.Height());
  bool hasAlpha = false;
  if (image.Format() == PixelFormat::Bgra32) {
    for (int y = 0; y < image.Height() && !hasAlpha; ++y) {
      const std::uint8_t* row = image.Row(y);
      for (int x = 0; x < image.Width(); ++x) {
        if (row[x * 4 + 3] != 0) {
          hasAlpha = true;
          break;
        }
      }
    }
  }
  for (int y = 0; y < image.Height(); ++y) {
    std::uint8_t* dst = out.Row(y);
    const std::uint8_t* src = image.Row(y);
    for (int x = 0; x < image.Width(); ++x) {
      const std::uint32_t rgb = image.PixelRgb(x, y);
      std::uint8_t c[3] = {static_cast<std::uint8_t>(rgb), static_cast<std::uint8_t>(rgb >> 8),
                           static_cast<std::uint8_t>(rgb >> 16)};
      if (hasAlpha) {
        const unsigned a = src[x * 4 + 3];
        for (auto& v : c) v = static_cast<std::uint8_t>((v * a + 255 * (255 - a) + 127) / 255);
      } else if (!mask.empty() && mask[static_cast<std::size_t>(y) * image.Width() + x]) {
        for (auto& v : c) v = static_cast<std::uint8_t>(0xFF ^ v);
      }
      std::memcpy(dst + x * 3, c, 3);
    }
  }
  return out;
}

}  // namespace

std::string DecodeIco(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  if (size < 6 || U16(data) != 0 || (U16(data + 2) != 1 && U16(data + 2) != 2)) {
    return "Not an icon file";
  }
  const int count = U16(data + 4);
  if (count == 0) return "Icon file holds no image";
  if (count > kMaxIconImages) return "Icon file lists too many images";
  if (size < 6 + 16 * static_cast<std::size_t>(count)) return "Icon directory is truncated";
  int best = -1;
  std::int64_t bestArea = -1;
  int bestBits = -1;
  for (int i = 0; i < count; ++i) {
    const std::uint8_t* e = data + 6 + 16 * i;
    const std::int64_t w = e[0] ? e[0] : 256;
    const std::int64_t h = e[1] ? e[1] : 256;
    const int bits = U16(e + 6);
    if (w * h > bestArea || (w * h == bestArea && bits > bestBits)) {
      best = i;
      bestArea = w * h;
      bestBits = bits;
    }
  }
  const std::uint8_t* e = data + 6 + 16 * best;
  const std::uint32_t length = U32(e + 8);
  const std::uint32_t offset = U32(e + 12);
  if (offset > size || length > size - offset || length < 8) {
    return "Icon image lies outside the file";
  }
  const std::uint8_t* payload = data + offset;
  Bitmap image;
  std::vector<std::uint8_t> mask;
  std::string error;
  static constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (std::memcmp(payload, kPngSignature, 8) == 0) {
    error = DecodePng(payload, length, image);
  } else {
    DibOptions options;
    options.icon = true;
    error = DecodeDib(payload, length, options, image, &mask);
  }
  if (!error.empty()) return error;
  if (image.Empty()) return "Icon image is empty";
  if (image.Width() > kMaxIconSide || image.Height() > kMaxIconSide) {
    return "Icon image too large: " + std::to_string(image.Width()) + " x " +
           std::to_string(image.Height()) + " pixels";
  }
  bitmap = DrawOverWhite(image, mask);
  return {};
}
