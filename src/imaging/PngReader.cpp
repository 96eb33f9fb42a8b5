// PNG decoding through libpng. Colours come back as stored: alpha is kept in
// the 32-bit layout (never composited) and a single transparent colour stays
// an ordinary colour. libpng reports errors with longjmp: the setjmp sits in
// small functions with trivial locals; the library structs are owned by a
// holder in the caller's frame.
#include "imaging/ImageLimits.h"
#include "imaging/OrvelGraphicLoader.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct PngSource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t pos;
};

class PngHolder {
 public:
  PngHolder() = default;
  ~PngHolder() {
    if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  }
  PngHolder(const PngHolder&) = delete;
  PngHolder& operator=(const PngHolder&) = delete;

  png_structp png = nullptr;
  png_infop info = nullptr;
  PngSource source{};
  char message[200] = {};
};

void OnError(png_structp png, png_const_charp text) {
  auto* holder = static_cast<PngHolder*>(png_get_error_ptr(png));
  std::snprintf(holder->message, sizeof holder->message, "PNG error: %s", text);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

void ReadBytes(png_structp png, png_bytep out, png_size_t length) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (length > src->size - src->pos) png_error(png, "file is truncated");
  std::memcpy(out, src->data + src->pos, length);
  src->pos += length;
}

// What the rows will hold after the transformations chosen in ReadHeader.
struct PngLayout {
  png_uint_32 width, height;
  int bitDepth, colorType;
  PixelFormat format;
};

bool ReadHeader(PngHolder& h, PngLayout& layout) {
  if (setjmp(png_jmpbuf(h.png))) return false;
  png_set_read_fn(h.png, &h.source, ReadBytes);
  png_set_user_limits(h.png, kMaxPictureSide, kMaxPictureSide);
  png_read_info(h.png, h.info);
  layout.width = png_get_image_width(h.png, h.info);
  layout.height = png_get_image_height(h.png, h.info);
  layout.bitDepth = png_get_bit_depth(h.png, h.info);
  layout.colorType = png_get_color_type(h.png, h.info);
  if (layout.bitDepth == 16) png_set_strip_16(h.png);
  switch (layout.colorType) {
    case PNG_COLOR_TYPE_PALETTE:
    case PNG_COLOR_TYPE_GRAY:
      if (layout.bitDepth == 1) {
        layout.format = PixelFormat::Pal1;
      } else if (layout.bitDepth == 4) {
        layout.format = PixelFormat::Pal4;
      } else {
        if (layout.bitDepth == 2) png_set_packing(h.png);
        layout.format = PixelFormat::Pal8;
      }
      break;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      png_set_gray_to_rgb(h.png);
      png_set_bgr(h.png);
      layout.format = PixelFormat::Bgra32;
      break;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      png_set_bgr(h.png);
      layout.format = PixelFormat::Bgra32;
      break;
    default:
      png_set_bgr(h.png);
      layout.format = PixelFormat::Bgr24;
      break;
  }
  png_set_interlace_handling(h.png);
  png_read_update_info(h.png, h.info);
  return true;
}

bool ReadPalette(PngHolder& h, std::vector<PaletteEntry>& palette) {
  if (setjmp(png_jmpbuf(h.png))) return false;
  png_colorp colours = nullptr;
  int count = 0;
  if (png_get_PLTE(h.png, h.info, &colours, &count) == PNG_INFO_PLTE) {
    for (int i = 0; i < count && i < 256; ++i) {
      palette[static_cast<std::size_t>(i)] = {colours[i].blue, colours[i].green, colours[i].red, 0};
    }
    palette.resize(static_cast<std::size_t>(std::min(count, 256)));
  }
  return true;
}

bool ReadRows(PngHolder& h, png_bytepp rows) {
  if (setjmp(png_jmpbuf(h.png))) return false;
  png_read_image(h.png, rows);
  png_read_end(h.png, nullptr);
  return true;
}

}  // namespace

std::string DecodePng(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  if (size < 8 || png_sig_cmp(data, 0, 8) != 0) return "Not a PNG file";
  PngHolder h;
  h.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &h, OnError, OnWarning);
  if (!h.png) return "PNG decoder cannot start";
  h.info = png_create_info_struct(h.png);
  if (!h.info) return "PNG decoder cannot start";
  h.source = {data, size, 0};
  PngLayout layout{};
  if (!ReadHeader(h, layout)) return h.message;
  if (!PictureSizeAllowed(layout.width, layout.height)) {
    return "Picture too large: " + std::to_string(layout.width) + " x " +
           std::to_string(layout.height) + " pixels";
  }
  Bitmap out;
  out.ResetForOverwrite(static_cast<int>(layout.width), static_cast<int>(layout.height),
                        layout.format);
  if (layout.colorType == PNG_COLOR_TYPE_PALETTE) {
    std::vector<PaletteEntry> palette(256);
    if (!ReadPalette(h, palette)) return h.message;
    out.SetPalette(std::move(palette));
  } else if (layout.colorType == PNG_COLOR_TYPE_GRAY) {
    const int levels = 1 << std::min(layout.bitDepth, 8);
    std::vector<PaletteEntry> palette(static_cast<std::size_t>(levels));
    for (int i = 0; i < levels; ++i) {
      const auto v = static_cast<std::uint8_t>(i * 255 / (levels - 1));
      palette[static_cast<std::size_t>(i)] = {v, v, v, 0};
    }
    out.SetPalette(std::move(palette));
  }
  if (png_get_rowbytes(h.png, h.info) > out.Stride()) return "PNG rows are larger than expected";
  std::vector<png_bytep> rows(layout.height);
  for (png_uint_32 y = 0; y < layout.height; ++y) rows[y] = out.Row(static_cast<int>(y));
  if (!ReadRows(h, rows.data())) return h.message;
  bitmap = std::move(out);
  return {};
}
