// Embedded colour profiles: JPEG and PNG readers and the conversion to sRGB.
#include "imaging/ColourProfile.h"

#include "imaging/ImageLimits.h"

#include <lcms2.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

// Inflates a zlib stream into at most limit bytes; empty on any failure.
std::string Inflate(const std::uint8_t* data, std::size_t size, std::size_t limit) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return {};
  std::string out;
  char buffer[16384];
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(size, 0xFFFFFFFFu));
  int result = Z_OK;
  while (result == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    result = inflate(&z, Z_NO_FLUSH);
    const std::size_t got = sizeof buffer - z.avail_out;
    if (out.size() + got > limit) {
      result = Z_MEM_ERROR;
      break;
    }
    out.append(buffer, got);
    if (result == Z_OK && got == 0 && z.avail_in == 0) break;  // cut short
  }
  inflateEnd(&z);
  return result == Z_STREAM_END ? out : std::string();
}

struct ProfileCloser {
  void operator()(void* p) const { cmsCloseProfile(p); }
};
struct TransformDeleter {
  void operator()(void* t) const { cmsDeleteTransform(t); }
};

}  // namespace

std::string ReadJpegProfile(const std::uint8_t* data, std::size_t size) {
  constexpr char kTag[] = "ICC_PROFILE";  // and its zero byte
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return {};
  std::vector<std::string> parts;
  int count = 0;
  std::size_t total = 0;
  std::size_t pos = 2;
  while (pos + 4 <= size) {
    if (data[pos] != 0xFF) break;
    const std::uint8_t marker = data[pos + 1];
    if (marker == 0xFF) {
      ++pos;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) break;  // image data: no profile after it
    const std::size_t length = (static_cast<std::size_t>(data[pos + 2]) << 8) | data[pos + 3];
    if (length < 2 || pos + 2 + length > size) break;
    const std::uint8_t* seg = data + pos + 4;
    const std::size_t segSize = length - 2;
    if (marker == 0xE2 && segSize > sizeof kTag + 1 && std::memcmp(seg, kTag, sizeof kTag) == 0) {
      const int number = seg[sizeof kTag];
      const int of = seg[sizeof kTag + 1];
      if (of == 0 || number == 0 || number > of || (count != 0 && of != count)) return {};
      if (count == 0) {
        count = of;
        parts.resize(static_cast<std::size_t>(of));
      }
      std::string& part = parts[static_cast<std::size_t>(number - 1)];
      if (!part.empty()) return {};  // the same part twice
      part.assign(reinterpret_cast<const char*>(seg + sizeof kTag + 2), segSize - sizeof kTag - 2);
      total += part.size();
      if (total > kMaxColourProfileBytes) return {};
    }
    pos += 2 + length;
  }
  std::string profile;
  profile.reserve(total);
  for (const std::string& part : parts) {
    if (part.empty()) return {};
    profile += part;
  }
  return profile;
}

std::string ReadPngProfile(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (size < 8 || std::memcmp(data, kSignature, 8) != 0) return {};
  std::size_t pos = 8;
  while (pos + 8 <= size) {
    const std::size_t length = Be32(data + pos);
    const std::uint8_t* type = data + pos + 4;
    if (length > size - pos - 8) return {};
    const std::uint8_t* body = data + pos + 8;
    if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0) return {};
    if (std::memcmp(type, "iCCP", 4) == 0) {
      // name (1 to 79 bytes), a zero byte, compression method 0, zlib data
      const auto* end =
          static_cast<const std::uint8_t*>(std::memchr(body, 0, std::min<std::size_t>(length, 80)));
      if (!end || end == body) return {};
      const std::size_t nameSize = static_cast<std::size_t>(end - body);
      if (nameSize + 2 > length || body[nameSize + 1] != 0) return {};
      return Inflate(body + nameSize + 2, length - nameSize - 2, kMaxColourProfileBytes);
    }
    pos += 12 + length;
  }
  return {};
}

bool ConvertToSrgb(Bitmap& bitmap, const std::string& iccProfile) {
  if (iccProfile.empty() || bitmap.Empty()) return false;
  std::unique_ptr<void, ProfileCloser> source(
      cmsOpenProfileFromMem(iccProfile.data(), static_cast<cmsUInt32Number>(iccProfile.size())));
  if (!source || cmsGetColorSpace(source.get()) != cmsSigRgbData) return false;
  const cmsProfileClassSignature kind = cmsGetDeviceClass(source.get());
  if (kind != cmsSigInputClass && kind != cmsSigDisplayClass && kind != cmsSigOutputClass &&
      kind != cmsSigColorSpaceClass) {
    return false;
  }
  std::unique_ptr<void, ProfileCloser> srgb(cmsCreate_sRGBProfile());
  if (!srgb) return false;
  std::unique_ptr<void, TransformDeleter> transform(cmsCreateTransform(
      source.get(), TYPE_BGR_8, srgb.get(), TYPE_BGR_8, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE));
  if (!transform) return false;
  Bitmap picture = std::move(bitmap).ToBgr24();
  const int width = picture.Width();
  std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 3);
  for (int y = 0; y < picture.Height(); ++y) {
    std::memcpy(row.data(), picture.Row(y), row.size());
    cmsDoTransform(transform.get(), row.data(), picture.Row(y),
                   static_cast<cmsUInt32Number>(width));
  }
  bitmap = std::move(picture);
  return true;
}
