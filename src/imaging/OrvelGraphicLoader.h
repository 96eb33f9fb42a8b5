// The image loader: tells pictures by their file names, loads a picture of any
// supported format into a Bitmap, and loads a picture as a JpegImage
// (converting GIF, PNG and BMP on the way). Failures come back as an error
// text (empty means success) unless a function says it throws. All functions
// may be called from any thread; they share no state.
#pragma once

#include "imaging/Bitmap.h"
#include "imaging/ImageLimits.h"
#include "imaging/JpegImage.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Extension tests: the file name's extension (from the last "." on, when no
// "/" follows it), compared without regard to ASCII letter case.
bool IsJpeg(const std::string& fileName);  // .jpg .jpeg .jpe .jfif
bool IsBmp(const std::string& fileName);
bool IsGif(const std::string& fileName);
bool IsPng(const std::string& fileName);
bool IsIco(const std::string& fileName);
bool IsEmf(const std::string& fileName);
// The pictures that get thumbnails and JPEG delivery: JPEG, BMP, GIF and PNG.
bool IsSupportedPicture(const std::string& fileName);

// True when fileName names a regular file (symbolic links followed). A folder,
// FIFO, socket or device counts as a missing file.
bool PictureFileExists(const std::string& fileName);
// Reads a whole regular file into bytes without ever blocking on a FIFO or
// device. Returns "File does not exist: <name>" for anything but a regular
// file, or another error text; bytes is unchanged on failure.
std::string ReadPictureFile(const std::string& fileName, std::string& bytes,
                            std::size_t maxBytes = kMaxPictureFileBytes);
// The same, reading at most the first maxBytes bytes of the file.
std::string ReadPictureFileStart(const std::string& fileName, std::string& bytes,
                                 std::size_t maxBytes);
// Writes bytes to a temporary file beside fileName, then renames it over
// fileName, so the target is never half written. Returns the error text.
std::string WriteFileAtomically(const std::string& fileName, const std::string& bytes);
