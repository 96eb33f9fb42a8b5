// In-memory raster picture: width, height and top-down rows of pixels in one of
// the layouts 1, 4 or 8 bits with a palette, 24-bit blue-green-red or 32-bit
// blue-green-red-alpha. A Bitmap is a plain value: copies are deep, one thread
// uses an object at a time.
#pragma once

#include "imaging/PictureMemory.h"

#include <cstddef>
#include <cstdint>
#include <vector>

enum class PixelFormat : std::uint8_t { Pal1, Pal4, Pal8, Bgr24, Bgra32 };

// Bits per pixel of a layout: 1, 4, 8, 24 or 32.
int BitsPerPixel(PixelFormat format);

// One palette colour, in the byte order of the 32-bit layout.
struct PaletteEntry {
  std::uint8_t b = 0, g = 0, r = 0, a = 0;
  bool operator==(const PaletteEntry&) const = default;
};

class Bitmap {
 public:
  // An empty picture (0 x 0) in the 24-bit layout.
  Bitmap() = default;
  // A white picture of this size and layout. Throws std::length_error when the
  // size is beyond the limits of ImageLimits.h.
  Bitmap(int width, int height, PixelFormat format = PixelFormat::Bgr24);
  Bitmap(const Bitmap& other);
  Bitmap& operator=(const Bitmap& other);
  Bitmap(Bitmap&& other) noexcept;
  Bitmap& operator=(Bitmap&& other) noexcept;
  ~Bitmap() = default;

  int Width() const { return width_; }
  int Height() const { return height_; }
  PixelFormat Format() const { return format_; }
  int BitsPerPixel() const { return ::BitsPerPixel(format_); }
  // Bytes from one row to the next: the packed row rounded up to 4 bytes.
  std::size_t Stride() const { return stride_; }
  bool Empty() const { return width_ <= 0 || height_ <= 0; }

  // Row y (0 is the top row); y must be in [0, Height()).
  std::uint8_t* Row(int y) { return data_.get() + static_cast<std::size_t>(y) * stride_; }
  const std::uint8_t* Row(int y) const {
    return data_.get() + static_cast<std::size_t>(y) * stride_;
  }
  // All rows, Stride() bytes apart; null when empty.
  std::uint8_t* Pixels() { return data_.get(); }
  const std::uint8_t* Pixels() const { return data_.get(); }

  // The palette of the 1, 4 and 8-bit layouts; an index beyond it reads as black.
  const std::vector<PaletteEntry>& Palette() const { return palette_; }
  void SetPalette(std::vector<PaletteEntry> palette) { palette_ = std::move(palette); }

  // Resizing keeps the pixels of the overlapping area and fills the rest with
  // white (a palette layout gets its lightest entry). Setting width and height
  // of an empty Bitmap gives a white picture. Throws std::length_error beyond
  // the limits; setting either side to 0 empties the picture.
  void SetWidth(int width);
  void SetHeight(int height);
  void SetSize(int width, int height);

  // Empties the picture and gives it this layout, then this size, all white.
  void Reset(int width, int height, PixelFormat format);
  // The same without the white fill, for decoders that write every pixel of
  // every row before anyone reads them (large pages stay untouched until then).
  void ResetForOverwrite(int width, int height, PixelFormat format);
  // Empties the picture (layout and palette stay).
  void Clear();

  // Colour of one pixel as 0xRRGGBB, whatever the layout.
  std::uint32_t PixelRgb(int x, int y) const;
  // The picture in the 24-bit layout (alpha is dropped, palette indices looked up).
  Bitmap ToBgr24() const&;
  // The same from a picture that is no longer needed: the 32-bit layout is
  // converted in its own memory, so that the two never exist at once.
  Bitmap ToBgr24() &&;

 private:
  void Allocate(int width, int height);  // new uninitialised rows
  void FillWhite(int x0, int y0);        // white outside [0,x0) x [0,y0)
  std::uint8_t WhiteIndex() const;

  int width_ = 0;
  int height_ = 0;
  PixelFormat format_ = PixelFormat::Bgr24;
  std::size_t stride_ = 0;
  PixelMemory data_;
  std::vector<PaletteEntry> palette_;
};

// Turns a picture as an EXIF orientation value asks (2 mirrored, 3 turned half
// round, 4 flipped, 5 transposed, 6 turned a quarter clockwise, 7 transversed,
// 8 turned a quarter anticlockwise), so that it shows upright. Values 2 to 8
// change the picture (1, 2, 4 and 8-bit layouts become 24-bit); any other
// value leaves it as it is.
void ApplyOrientation(Bitmap& bitmap, int orientation);
