// Fuzz target: the ICO decoder on arbitrary bytes.
#include "imaging/OrvelGraphicLoader.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bitmap bmp;
  const std::string error = DecodeIco(data, size, bmp);
  // Success always gives a picture within the limits.
  if (error.empty() && !PictureSizeAllowed(bmp.Width(), bmp.Height())) __builtin_trap();
  return 0;
}
