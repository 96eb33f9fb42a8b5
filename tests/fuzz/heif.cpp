// Fuzz target: the HEIF decoder (HEVC pictures) on arbitrary bytes.
#include "imaging/OrvelGraphicLoader.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bitmap bmp;
  std::string profile;
  const std::string error = DecodeHeif(data, size, bmp, &profile);
  // Success always gives a picture within the limits.
  if (error.empty() && !PictureSizeAllowed(bmp.Width(), bmp.Height())) __builtin_trap();
  if (profile.size() > kMaxColourProfileBytes) __builtin_trap();
  return 0;
}
