// Picture files on disk: whole and partial reads that never block. The
// regular-file test and the atomic write are base/FileUtil's.
#pragma once

#include "imaging/ImageLimits.h"

#include <cstddef>
#include <string>

// Reads a whole regular file into bytes without ever blocking on a FIFO or
// device. Returns "File does not exist: <name>" for anything but a regular
// file, or another error text; bytes is unchanged on failure.
std::string ReadPictureFile(const std::string& fileName, std::string& bytes,
                            std::size_t maxBytes = kMaxPictureFileBytes);
// The same, reading at most the first maxBytes bytes of the file.
std::string ReadPictureFileStart(const std::string& fileName, std::string& bytes,
                                 std::size_t maxBytes);
