// Picture files on disk: the existence test, whole and partial reads, and
// the atomic write used for JPEG files and the thumbnail cache's lists.
#pragma once

#include "imaging/ImageLimits.h"

#include <cstddef>
#include <string>

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
