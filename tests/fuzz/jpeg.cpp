// Fuzz target: JPEG decoding, header parsing and the EXIF orientation reader.
#include "imaging/JpegImage.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bitmap bmp;
  if (DecodeJpeg(data, size, bmp).empty()) ApplyOrientation(bmp, ReadExifOrientation(data, size));
  try {
    JpegImage jpeg;
    jpeg.LoadFromBytes(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::exception&) {
  }
  return 0;
}
