// Our own reader of device-independent bitmaps, shared by BMP files and the
// images inside icon files.
#pragma once

#include "imaging/Bitmap.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DibOptions {
  // Where the pixels start, counted from the header; 0 means right after the
  // header, masks and palette.
  std::size_t pixelOffset = 0;
  // An icon image: the header's height counts the colour rows and the mask
  // rows, and a 1-bit mask (1 = transparent) follows the colour rows.
  bool icon = false;
};

// Decodes a bitmap whose header starts at data. Palette pictures come back as
// 8-bit with their palette; 16, 24 and 32-bit ones as 24-bit (icons: 32-bit
// keeps its alpha). A header with a width or height of 0 gives an empty
// bitmap and no error. For icons, mask receives one byte per pixel, row by
// row from the top (1 = transparent), or stays empty when the file has none.
// Returns the error text, empty on success; bitmap is unchanged on failure.
std::string DecodeDib(const std::uint8_t* data, std::size_t size, const DibOptions& options,
                      Bitmap& bitmap, std::vector<std::uint8_t>* mask);
