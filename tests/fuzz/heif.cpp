// Fuzz target: the HEIF decoder (HEVC pictures) on arbitrary bytes.
#include "HeifFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzHeif(data, size);
}
