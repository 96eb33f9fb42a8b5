// The image loader: extension tests and the load operations.
#include "imaging/OrvelGraphicLoader.h"

#include "base/FileUtil.h"
#include "imaging/ColourProfile.h"

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace {

std::string UpperExtension(std::string_view fileName) {
  const std::size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string ext(fileName.substr(dot));
  if (ext.find_first_of("/\\:") != std::string::npos) return {};
  for (char& c : ext) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return ext;
}

bool ExtensionIn(const std::string& fileName, std::initializer_list<std::string_view> list) {
  const std::string ext = UpperExtension(fileName);
  for (std::string_view e : list) {
    if (ext == e) return true;
  }
  return false;
}

std::string MissingFile(const std::string& fileName) { return "File does not exist: " + fileName; }

}  // namespace

bool IsJpeg(const std::string& fileName) {
  return ExtensionIn(fileName, {".JPG", ".JPEG", ".JPE", ".JFIF"});
}
bool IsBmp(const std::string& fileName) { return ExtensionIn(fileName, {".BMP"}); }
bool IsGif(const std::string& fileName) { return ExtensionIn(fileName, {".GIF"}); }
bool IsPng(const std::string& fileName) { return ExtensionIn(fileName, {".PNG"}); }
bool IsIco(const std::string& fileName) { return ExtensionIn(fileName, {".ICO"}); }
bool IsEmf(const std::string& fileName) { return ExtensionIn(fileName, {".EMF"}); }
bool IsHeif(const std::string& fileName) { return ExtensionIn(fileName, {".HEIC", ".HEIF"}); }
bool IsAvif(const std::string& fileName) { return ExtensionIn(fileName, {".AVIF"}); }
bool IsWebp(const std::string& fileName) { return ExtensionIn(fileName, {".WEBP"}); }
bool IsSupportedPicture(const std::string& fileName) {
  return ExtensionIn(fileName, {".JPG", ".JPEG", ".JPE", ".JFIF", ".BMP", ".GIF", ".PNG", ".HEIC",
                                ".HEIF", ".AVIF", ".WEBP"});
}

namespace {

using Decoder = std::string (*)(const std::uint8_t*, std::size_t, Bitmap&);

// Reads the file and decodes it into a temporary picture; the caller's bitmap
// receives it only on success. Failures of any kind come back as text.
std::string DecodeFile(const std::string& fileName, Decoder decode, Bitmap& bitmap) {
  try {
    std::string bytes;
    std::string error = ReadPictureFile(fileName, bytes);
    if (!error.empty()) return error;
    Bitmap picture;
    error = decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), picture);
    if (!error.empty()) return error;
    bitmap = std::move(picture);
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}

std::string DecodeBmpChecked(const std::uint8_t* data, std::size_t size, Bitmap& bitmap) {
  Bitmap picture;
  std::string error = DecodeBmp(data, size, picture);
  if (!error.empty()) return error;
  if (picture.Width() < 1 || picture.Height() < 1) return "Invalid image size!";
  bitmap = std::move(picture);
  return {};
}

}  // namespace

void LoadJpeg(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  error = DecodeFile(fileName, DecodeJpeg, bitmap);
}

void LoadBmp(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  error = DecodeFile(fileName, DecodeBmpChecked, bitmap);
}

void LoadGif(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  error = DecodeFile(fileName, DecodeGif, bitmap);
}

void LoadPng(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  error = DecodeFile(fileName, DecodePng, bitmap);
}

void LoadIco(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  error = DecodeFile(fileName, DecodeIco, bitmap);
}

void LoadHeif(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  error = DecodeFile(fileName, DecodeHeif, bitmap);
}

void LoadWebp(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  error = DecodeFile(fileName, DecodeWebp, bitmap);
}

void LoadEmf(const std::string& fileName, Bitmap&, std::string& error) {
  error = "Metafile pictures cannot be shown here: " + fileName;
}

void LoadGraphicUpright(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  if (!IsJpeg(fileName)) {
    LoadGraphic(fileName, bitmap, error);
    return;
  }
  try {
    // The start of the file holds the orientation, where ReadJpegOrientation
    // looks for it; the decoder reads on from there.
    UniqueFd fd;
    std::size_t size = 0;
    std::string head;
    error = OpenPictureFile(fileName, fd, size);
    if (error.empty()) {
      error =
          ReadPictureBytes(fileName, fd.get(), std::min(size, kJpegOrientationSearchBytes), head);
    }
    if (!error.empty()) {
      if (!IsRegularFile(fileName)) error = MissingFile(fileName);
      return;
    }
    const int orientation =
        ReadExifOrientation(reinterpret_cast<const std::uint8_t*>(head.data()), head.size());
    Bitmap picture;
    error = DecodeJpegFile(head, fd.get(), size, picture);
    if (!error.empty()) return;
    ApplyOrientation(picture, orientation);
    bitmap = std::move(picture);
  } catch (const std::exception& e) {
    error = e.what();
  }
}

bool LoadAsJpegIfPresent(const std::string& fileName, JpegImage& jpeg, std::string& error) {
  if (!IsJpeg(fileName)) {
    if (!IsRegularFile(fileName)) {
      error = MissingFile(fileName);
      return false;
    }
    LoadAsJpeg(fileName, jpeg, error);
    return true;
  }
  // One open both tells a regular file and reads it.
  std::string bytes;
  const std::string failure = ReadPictureFile(fileName, bytes);
  if (!failure.empty()) {
    if (!IsRegularFile(fileName)) {
      error = MissingFile(fileName);
      return false;
    }
    throw std::runtime_error(failure);
  }
  error.clear();
  jpeg.LoadFromBytes(std::move(bytes));
  return true;
}

void LoadGraphic(const std::string& fileName, Bitmap& bitmap, std::string& error) {
  if (!IsRegularFile(fileName)) {
    error = MissingFile(fileName);
  } else if (IsJpeg(fileName)) {
    LoadJpeg(fileName, bitmap, error);
  } else if (IsBmp(fileName)) {
    LoadBmp(fileName, bitmap, error);
  } else if (IsGif(fileName)) {
    LoadGif(fileName, bitmap, error);
  } else if (IsPng(fileName)) {
    LoadPng(fileName, bitmap, error);
  } else if (IsIco(fileName)) {
    LoadIco(fileName, bitmap, error);
  } else if (IsEmf(fileName)) {
    LoadEmf(fileName, bitmap, error);
  } else if (IsHeif(fileName) || IsAvif(fileName)) {
    LoadHeif(fileName, bitmap, error);
  } else if (IsWebp(fileName)) {
    LoadWebp(fileName, bitmap, error);
  } else {
    error = "Unsupported graphic format";
  }
}

namespace {

// GIF and PNG conversion: error names the conversion while it runs; a decoder
// failure propagates as an exception with error still naming it.
void ConvertToJpeg(const std::string& fileName, Decoder decode, const char* what, JpegImage& jpeg,
                   std::string& error) {
  error = std::string("Cannot convert ") + what + " to JPEG: " + fileName;
  Bitmap picture;
  std::string bytes;
  std::string failure = ReadPictureFile(fileName, bytes);
  if (failure.empty()) {
    failure = decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), picture);
  }
  if (!failure.empty()) throw std::runtime_error(failure);
  jpeg.Assign(std::move(picture));
  error.clear();
}

}  // namespace

void GifToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error) {
  ConvertToJpeg(fileName, DecodeGif, "GIF", jpeg, error);
}

void PngToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error) {
  ConvertToJpeg(fileName, DecodePng, "Png", jpeg, error);
}

namespace {

void DecodeToJpeg(const std::string& fileName, Decoder decode, JpegImage& jpeg,
                  std::string& error) {
  Bitmap picture;
  error = DecodeFile(fileName, decode, picture);
  if (error.empty()) jpeg.Assign(std::move(picture));
}

}  // namespace

void BmpToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error) {
  DecodeToJpeg(fileName, DecodeBmpChecked, jpeg, error);
}

void HeifToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error) {
  DecodeToJpeg(fileName, DecodeHeif, jpeg, error);
}

void WebpToJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error) {
  DecodeToJpeg(fileName, DecodeWebp, jpeg, error);
}

void LoadAsJpeg(const std::string& fileName, JpegImage& jpeg, std::string& error) {
  if (!IsRegularFile(fileName)) {
    error = MissingFile(fileName);
    return;
  }
  error.clear();
  if (IsJpeg(fileName)) {
    jpeg.LoadFromFile(fileName);
  } else if (IsGif(fileName)) {
    GifToJpeg(fileName, jpeg, error);
  } else if (IsPng(fileName)) {
    PngToJpeg(fileName, jpeg, error);
  } else if (IsBmp(fileName)) {
    BmpToJpeg(fileName, jpeg, error);
  } else if (IsHeif(fileName) || IsAvif(fileName)) {
    HeifToJpeg(fileName, jpeg, error);
  } else if (IsWebp(fileName)) {
    WebpToJpeg(fileName, jpeg, error);
  } else {
    error = "Unsupported graphic format";
  }
}

std::string LoadPicture(const std::string& fileName, Bitmap& bitmap, std::string& iccProfile,
                        int& orientation) {
  try {
    std::string bytes;
    std::string error = ReadPictureFile(fileName, bytes);
    if (!error.empty()) return error;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    Bitmap picture;
    std::string profile;
    int turn = 1;
    if (IsJpeg(fileName)) {
      error = DecodeJpeg(data, bytes.size(), picture);
      if (error.empty()) {
        profile = ReadJpegProfile(data, bytes.size());
        turn = ReadExifOrientation(data, bytes.size());
      }
    } else if (IsPng(fileName)) {
      error = DecodePng(data, bytes.size(), picture);
      if (error.empty()) profile = ReadPngProfile(data, bytes.size());
    } else if (IsHeif(fileName) || IsAvif(fileName)) {
      error = DecodeHeif(data, bytes.size(), picture, &profile);
    } else if (IsWebp(fileName)) {
      error = DecodeWebp(data, bytes.size(), picture, &profile);
    } else if (IsBmp(fileName)) {
      error = DecodeBmpChecked(data, bytes.size(), picture);
    } else if (IsGif(fileName)) {
      error = DecodeGif(data, bytes.size(), picture);
    } else if (IsIco(fileName)) {
      error = DecodeIco(data, bytes.size(), picture);
    } else {
      error = "Unsupported graphic format";
    }
    if (!error.empty()) return error;
    bitmap = std::move(picture);
    iccProfile = std::move(profile);
    orientation = turn;
    return {};
  } catch (const std::exception& e) {
    return e.what();
  }
}
