// The body of the HEIF and AVIF fuzz targets (each has its own seeds).
#pragma once

#include "imaging/OrvelGraphicLoader.h"

#include <libheif/heif.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Files whose primary picture declares more pixels than this are left out:
// within the limits they are slow to decode by design (a picture of a
// hundred megapixels takes seconds), which a fuzzer would report as a
// timeout. The unit tests decode such declarations.
constexpr std::int64_t kFuzzedHeifPixels = 4'000'000;

inline bool DeclaresLargePicture(const std::uint8_t* data, std::size_t size) {
  heif_context* context = heif_context_alloc();
  bool large = false;
  if (heif_context_read_from_memory_without_copy(context, data, size, nullptr).code ==
      heif_error_Ok) {
    heif_image_handle* handle = nullptr;
    if (heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok) {
      large =
          std::int64_t{heif_image_handle_get_width(handle)} * heif_image_handle_get_height(handle) >
          kFuzzedHeifPixels;
      heif_image_handle_release(handle);
    }
  }
  heif_context_free(context);
  return large;
}

inline int FuzzHeif(const std::uint8_t* data, std::size_t size) {
  if (DeclaresLargePicture(data, size)) return 0;
  Bitmap bmp;
  std::string profile;
  const std::string error = DecodeHeif(data, size, bmp, &profile);
  // Success always gives a picture within the limits.
  if (error.empty() && !PictureSizeAllowed(bmp.Width(), bmp.Height())) __builtin_trap();
  if (profile.size() > kMaxColourProfileBytes) __builtin_trap();
  return 0;
}
