// Fuzz target: the HEIF decoder on AV1 pictures (AVIF seeds) and arbitrary bytes.
#include "HeifFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return FuzzHeif(data, size);
}
