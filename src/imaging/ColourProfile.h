// Embedded colour profiles: taking the ICC bytes out of JPEG and PNG files,
// and turning a picture described by such a profile into sRGB (lcms2).
// Stateless; safe on any thread.
#pragma once

#include "imaging/Bitmap.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The profile of JPEG bytes (its APP2 "ICC_PROFILE" segments joined in their
// order); empty when it has none, or its segments are incomplete, out of
// order or larger than kMaxColourProfileBytes together.
std::string ReadJpegProfile(const std::uint8_t* data, std::size_t size);
// The profile of PNG bytes (its iCCP chunk, inflated); empty when it has
// none or it cannot be inflated within kMaxColourProfileBytes.
std::string ReadPngProfile(const std::uint8_t* data, std::size_t size);

// Converts the picture's colours from the RGB profile given as ICC bytes into
// sRGB (perceptual intent). The picture becomes 24-bit. False, with the
// picture unchanged, when the profile is empty, does not parse or does not
// describe RGB colours.
bool ConvertToSrgb(Bitmap& bitmap, const std::string& iccProfile);
