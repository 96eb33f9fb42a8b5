// Fuzz target: an arbitrary colour profile applied to a small picture, and
// the profile readers of JPEG and PNG files on the same bytes.
#include "imaging/ColourProfile.h"
#include "imaging/ImageLimits.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bitmap bmp(7, 3);
  const std::string profile(reinterpret_cast<const char*>(data), size);
  if (ConvertToSrgb(bmp, profile) && (bmp.Width() != 7 || bmp.Height() != 3)) __builtin_trap();
  if (ReadJpegProfile(data, size).size() > kMaxColourProfileBytes) __builtin_trap();
  if (ReadPngProfile(data, size).size() > kMaxColourProfileBytes) __builtin_trap();
  return 0;
}
