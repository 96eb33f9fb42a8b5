// Fuzz target: the BMP decoder on arbitrary bytes.
#include "imaging/OrvelGraphicLoader.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bitmap bmp;
  const std::string error = DecodeBmp(data, size, bmp);
  // Success gives an empty picture (a header of width or height 0) or one
  // within the limits.
  if (error.empty() && !bmp.Empty() && !PictureSizeAllowed(bmp.Width(), bmp.Height()))
    __builtin_trap();
  return 0;
}
