// Small pictures and files made on the fly for the loader's tests.
#pragma once

#include "imaging/Bitmap.h"
#include "support/TempFolder.h"

#include <cstdint>
#include <string>
#include <vector>

// The shared test data folder (the environment variable MIRELO_SHARED_DIR
// overrides the built-in path); empty when it is absent.
std::string SharedTestData(const std::string& sub);

// A 24-bit picture whose pixel (x, y) is TestColour(x, y).
Bitmap TestPicture(int width, int height);
std::uint32_t TestColour(int x, int y);

// A JPEG encoded directly with libjpeg: 1 (grey), 3 (colour) or 4 (CMYK with
// the Adobe marker, samples stored inverted as that marker means) components.
// samples holds width * height * components bytes, rows top to bottom.
std::string MakeJpeg(int width, int height, int components, const std::string& samples,
                     int quality = 95);
// The JPEG with an EXIF block holding this orientation inserted after the SOI.
std::string WithExifOrientation(const std::string& jpeg, int orientation, bool bigEndian);

// Largest difference of one colour channel between two pictures of the same size.
int MaxChannelDifference(const Bitmap& a, const Bitmap& b);

// Little-endian byte writers for hand-made files.
std::string Le16(unsigned v);
std::string Le32(std::uint32_t v);

// A BMP file: 14-byte file header, then dib (header, masks, palette), then
// pixels; the pixel offset points right after dib.
std::string MakeBmpFile(const std::string& dib, const std::string& pixels);
// A 40-byte info header.
std::string InfoHeader(int width, int height, int bits, std::uint32_t compression = 0,
                       std::uint32_t colorsUsed = 0, std::uint32_t imageSize = 0);
// A 24-bit bottom-up BMP of the picture.
std::string MakeBmp24(const Bitmap& picture);

// PNG through libpng's simple writer: format is a PNG_FORMAT_* value; samples
// hold width * height pixels of that format. colormap (PNG_FORMAT_RGB
// entries) makes a palette PNG whose samples are indices.
std::string MakePng(int width, int height, unsigned format, const std::string& samples,
                    const std::string& colormap = "");

// One frame of a GIF: its place on the screen, its indices and its
// transparent index (-1: none). The global palette is colours (RGB triples).
struct GifFrame {
  int left, top, width, height;
  std::string indices;
  int transparent = -1;
  bool interlaced = false;  // rows stored in the four passes of interlacing
};
std::string MakeGif(int screenWidth, int screenHeight, const std::string& colours,
                    const std::vector<GifFrame>& frames);

// An icon file with these images (each a BMP info-header payload or a PNG);
// entry sizes are taken from widths and heights given.
struct IconImage {
  int width, height, bits;
  std::string payload;
};
std::string MakeIco(const std::vector<IconImage>& images);

// An 8 x 8 grey progressive JPEG made of exactly this many scans (2 to 631):
// one DC scan, then each AC coefficient in its own band, refined bit by bit.
std::string MakeManyScanJpeg(int scans);
