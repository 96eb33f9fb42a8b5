// A JPEG picture: either the bytes of a JPEG file as read (saved again
// unchanged) or a Bitmap assigned to it (compressed when saved: quality 90,
// baseline, colour). A plain value; one thread uses an object at a time.
#pragma once

#include "imaging/Bitmap.h"

#include <cstddef>
#include <cstdint>
#include <string>

class JpegImage {
 public:
  JpegImage() = default;

  // Reads the whole file and parses its header for width and height. Throws
  // std::runtime_error when the file is missing, not a regular file, unreadable
  // or its header does not parse; the object is then unchanged.
  void LoadFromFile(const std::string& fileName);
  // The same with bytes already in memory.
  void LoadFromBytes(std::string bytes);
  // Holds a copy of the picture, to be compressed when saved.
  void Assign(const Bitmap& bitmap);
  void Assign(Bitmap&& bitmap);

  bool Empty() const { return !holdsBytes_ && bitmap_.Empty(); }
  bool HoldsFileBytes() const { return holdsBytes_; }
  int Width() const { return holdsBytes_ ? width_ : bitmap_.Width(); }
  int Height() const { return holdsBytes_ ? height_ : bitmap_.Height(); }
  // The file's bytes as read (empty when the object holds a Bitmap).
  const std::string& FileBytes() const { return bytes_; }

  // The JPEG file: the bytes as read, or the Bitmap compressed at quality 90.
  // Throws std::runtime_error when the object is empty or compression fails.
  std::string SaveToBytes() const;
  // The same, leaving the object empty: held file bytes are moved, not copied.
  std::string ReleaseBytes();
  // Writes SaveToBytes() to a temporary file beside fileName, then renames it
  // over fileName. Throws std::runtime_error on failure.
  void SaveToFile(const std::string& fileName) const;

  // Decodes the held picture at full size into bitmap (24-bit). Returns the
  // error text, empty on success; bitmap is unchanged on failure.
  std::string Decode(Bitmap& bitmap) const;
  // The EXIF orientation of the held file (1 to 8; 1 when it has none).
  int Orientation() const;

 private:
  bool holdsBytes_ = false;
  std::string bytes_;
  int width_ = 0;
  int height_ = 0;
  Bitmap bitmap_;
};

// Decodes JPEG bytes at full size with the decoder's default settings into a
// 24-bit bitmap (grey and CMYK/YCCK files become colour). Returns the error
// text, empty on success; bitmap is unchanged on failure.
std::string DecodeJpeg(const std::uint8_t* data, std::size_t size, Bitmap& bitmap);
// The same for a JPEG file of fileSize bytes open at fd, whose first bytes,
// head, have been read from it: the rest is read in blocks as the decoder
// needs it, so the file's bytes are never held whole, and never beyond
// fileSize (a file that grows meanwhile is read as it was).
std::string DecodeJpegFile(const std::string& head, int fd, std::size_t fileSize, Bitmap& bitmap);
// Compresses a picture of any layout as a baseline colour JPEG of this quality.
// Throws std::runtime_error on failure or for an empty picture.
std::string EncodeJpeg(const Bitmap& bitmap, int quality = 90);
// The orientation tag (0x0112) of the EXIF block of JPEG bytes: 1 to 8, or 1
// when there is none or it is malformed.
int ReadExifOrientation(const std::uint8_t* data, std::size_t size);
// The same for a JPEG file; reads only its first kJpegOrientationSearchBytes.
// 1 on any failure.
int ReadJpegOrientation(const std::string& fileName);
// The EXIF block is the first or second segment and at most 64 KiB long.
inline constexpr std::size_t kJpegOrientationSearchBytes = 2 * 65'536 + 4;
