// Small pictures and files made on the fly for the loader's tests.
#pragma once

#include "imaging/Bitmap.h"

#include <cstdint>
#include <string>

// A fresh temporary folder, removed with everything in it when the object dies.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  // Writes bytes to a file of this name in the folder and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

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
