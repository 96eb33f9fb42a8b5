// Small pictures and files made on the fly for the loader's tests.
#include "imaging/LoaderFixtures.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>
#include <vector>

std::string SharedTestData(const std::string& sub) {
  const char* env = std::getenv("MIRELO_SHARED_DIR");
  const std::string base = env && *env ? env : MIRELO_SHARED_DIR;
  const std::string path = base + "/testdata/" + sub;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? path : std::string();
}

std::uint32_t TestColour(int x, int y) {
  // A smooth gradient (lossy formats keep it well) for pictures up to 32 x 32.
  const unsigned r = static_cast<unsigned>(x * 7 + 10) & 0xFF;
  const unsigned g = static_cast<unsigned>(y * 6 + 20) & 0xFF;
  const unsigned b = static_cast<unsigned>((x + y) * 3 + 5) & 0xFF;
  return (r << 16) | (g << 8) | b;
}

Bitmap TestPicture(int width, int height) {
  Bitmap bmp(width, height, PixelFormat::Bgr24);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::uint32_t c = TestColour(x, y);
      bmp.Row(y)[x * 3] = c & 0xFF;
      bmp.Row(y)[x * 3 + 1] = (c >> 8) & 0xFF;
      bmp.Row(y)[x * 3 + 2] = (c >> 16) & 0xFF;
    }
  }
  return bmp;
}

std::string MakeJpeg(int width, int height, int components, const std::string& samples,
                     int quality) {
  jpeg_compress_struct info{};
  jpeg_error_mgr err{};
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<char*>(samples.data())) +
                   static_cast<std::size_t>(info.next_scanline) * width * components;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  std::string result(reinterpret_cast<char*>(out), size);
  jpeg_destroy_compress(&info);
  std::free(out);
  return result;
}

std::string WithExifOrientation(const std::string& jpeg, int orientation, bool bigEndian) {
  auto u16 = [&](unsigned v) {
    return bigEndian ? std::string{static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}
                     : std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
  };
  auto u32 = [&](unsigned v) {
    return bigEndian ? u16(v >> 16) + u16(v & 0xFFFF) : u16(v & 0xFFFF) + u16(v >> 16);
  };
  std::string tiff = bigEndian ? "MM" : "II";
  tiff += u16(42) + u32(8);
  tiff += u16(2);                                                 // two entries
  tiff += u16(0x010F) + u16(2) + u32(4) + std::string("Cam", 4);  // maker, ASCII
  tiff += u16(0x0112) + u16(3) + u32(1) + u16(static_cast<unsigned>(orientation)) + u16(0);
  tiff += u32(0);
  const std::string body = std::string("Exif\0\0", 6) + tiff;
  const unsigned length = static_cast<unsigned>(body.size() + 2);
  std::string segment = "\xFF\xE1";
  segment += static_cast<char>(length >> 8);
  segment += static_cast<char>(length & 0xFF);
  segment += body;
  return jpeg.substr(0, 2) + segment + jpeg.substr(2);
}

int MaxChannelDifference(const Bitmap& a, const Bitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return 256;
  int worst = 0;
  for (int y = 0; y < a.Height(); ++y) {
    for (int x = 0; x < a.Width(); ++x) {
      const std::uint32_t p = a.PixelRgb(x, y);
      const std::uint32_t q = b.PixelRgb(x, y);
      for (int shift = 0; shift < 24; shift += 8) {
        const int d =
            std::abs(static_cast<int>((p >> shift) & 0xFF) - static_cast<int>((q >> shift) & 0xFF));
        worst = std::max(worst, d);
      }
    }
  }
  return worst;
}

std::string Le16(unsigned v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

std::string Le32(std::uint32_t v) { return Le16(v & 0xFFFF) + Le16(v >> 16); }

std::string MakeBmpFile(const std::string& dib, const std::string& pixels) {
  const std::uint32_t offset = static_cast<std::uint32_t>(14 + dib.size());
  return "BM" + Le32(static_cast<std::uint32_t>(offset + pixels.size())) + Le32(0) + Le32(offset) +
         dib + pixels;
}

std::string InfoHeader(int width, int height, int bits, std::uint32_t compression,
                       std::uint32_t colorsUsed, std::uint32_t imageSize) {
  return Le32(40) + Le32(static_cast<std::uint32_t>(width)) +
         Le32(static_cast<std::uint32_t>(height)) + Le16(1) + Le16(static_cast<unsigned>(bits)) +
         Le32(compression) + Le32(imageSize) + Le32(2835) + Le32(2835) + Le32(colorsUsed) + Le32(0);
}

std::string MakeBmp24(const Bitmap& picture) {
  const Bitmap bgr = picture.ToBgr24();
  std::string pixels;
  const std::size_t rowBytes = (static_cast<std::size_t>(bgr.Width()) * 3 + 3) / 4 * 4;
  for (int y = bgr.Height() - 1; y >= 0; --y) {
    std::string row(reinterpret_cast<const char*>(bgr.Row(y)), bgr.Width() * 3u);
    row.resize(rowBytes, '\0');
    pixels += row;
  }
  return MakeBmpFile(InfoHeader(bgr.Width(), bgr.Height(), 24), pixels);
}

std::string MakePng(int width, int height, unsigned format, const std::string& samples,
                    const std::string& colormap) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = format;
  if (!colormap.empty()) {
    image.format |= PNG_FORMAT_FLAG_COLORMAP;
    image.colormap_entries = static_cast<png_uint_32>(colormap.size() / 3);
  }
  png_alloc_size_t size = 0;
  const void* map = colormap.empty() ? nullptr : colormap.data();
  if (!png_image_write_to_memory(&image, nullptr, &size, 0, samples.data(), 0, map)) {
    throw std::runtime_error("png size");
  }
  std::string out(size, '\0');
  if (!png_image_write_to_memory(&image, out.data(), &size, 0, samples.data(), 0, map)) {
    throw std::runtime_error(image.message);
  }
  out.resize(size);
  return out;
}

namespace {

int WriteToString(GifFileType* gif, const GifByteType* data, int length) {
  static_cast<std::string*>(gif->UserData)
      ->append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  return length;
}

}  // namespace

std::string MakeGif(int screenWidth, int screenHeight, const std::string& colours,
                    const std::vector<GifFrame>& frames) {
  std::string out;
  int error = 0;
  GifFileType* gif = EGifOpen(&out, WriteToString, &error);
  if (!gif) throw std::runtime_error("EGifOpen");
  EGifSetGifVersion(gif, true);
  const int count = static_cast<int>(colours.size() / 3);
  int size = 2;
  while (size < count) size *= 2;
  ColorMapObject* map = GifMakeMapObject(size, nullptr);
  for (int i = 0; i < count; ++i) {
    map->Colors[i] = {static_cast<GifByteType>(colours[i * 3]),
                      static_cast<GifByteType>(colours[i * 3 + 1]),
                      static_cast<GifByteType>(colours[i * 3 + 2])};
  }
  int depth = 1;
  while ((1 << depth) < size) ++depth;
  EGifPutScreenDesc(gif, screenWidth, screenHeight, depth, 0, map);
  for (const auto& f : frames) {
    if (f.transparent >= 0) {
      const GifByteType ext[4] = {1, 0, 0, static_cast<GifByteType>(f.transparent)};
      EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    }
    EGifPutImageDesc(gif, f.left, f.top, f.width, f.height, f.interlaced, nullptr);
    std::vector<int> order;
    if (f.interlaced) {
      for (const auto& [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}}) {
        for (int y = start; y < f.height; y += step) order.push_back(y);
      }
    } else {
      for (int y = 0; y < f.height; ++y) order.push_back(y);
    }
    for (int y : order) {
      EGifPutLine(gif,
                  reinterpret_cast<GifPixelType*>(const_cast<char*>(f.indices.data())) +
                      static_cast<std::size_t>(y) * f.width,
                  f.width);
    }
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return out;
}

std::string MakeIco(const std::vector<IconImage>& images) {
  std::string dir = Le16(0) + Le16(1) + Le16(static_cast<unsigned>(images.size()));
  std::string body;
  std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
  for (const auto& img : images) {
    dir += static_cast<char>(img.width & 0xFF);
    dir += static_cast<char>(img.height & 0xFF);
    dir += std::string("\0\0", 2) + Le16(1) + Le16(static_cast<unsigned>(img.bits)) +
           Le32(static_cast<std::uint32_t>(img.payload.size())) + Le32(offset);
    offset += static_cast<std::uint32_t>(img.payload.size());
    body += img.payload;
  }
  return dir + body;
}

std::string MakeManyScanJpeg(int scans) {
  if (scans < 2 || scans > 1 + 63 * 10) throw std::invalid_argument("scan count");
  std::vector<jpeg_scan_info> script;
  script.push_back({1, {0}, 0, 0, 0, 0});
  const int ac = scans - 1;
  for (int k = 1; k <= 63; ++k) {
    // Band k gets its share of the AC scans (at least 1, at most 10).
    const int share = ac / 63 + (k <= ac % 63 ? 1 : 0);
    if (share == 0) {
      continue;
    }
    script.push_back({1, {0}, k, k, 0, share - 1});
    for (int a = share - 1; a >= 1; --a) script.push_back({1, {0}, k, k, a, a - 1});
  }
  jpeg_compress_struct info{};
  jpeg_error_mgr err{};
  info.err = jpeg_std_error(&err);
  jpeg_create_compress(&info);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &out, &size);
  info.image_width = 8;
  info.image_height = 8;
  info.input_components = 1;
  info.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  info.scan_info = script.data();
  info.num_scans = static_cast<int>(script.size());
  jpeg_start_compress(&info, TRUE);
  unsigned char pixels[64];
  for (int i = 0; i < 64; ++i) pixels[i] = static_cast<unsigned char>(i * 4);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = pixels + info.next_scanline * 8;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  std::string result(reinterpret_cast<char*>(out), size);
  jpeg_destroy_compress(&info);
  std::free(out);
  return result;
}
