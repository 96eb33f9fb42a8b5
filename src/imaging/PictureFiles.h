// Picture files on disk: whole and partial reads that never block. The
// regular-file test and the atomic write are base/FileUtil's.
#pragma once

#include "base/UniqueFd.h"
#include "imaging/ImageLimits.h"

#include <cstddef>
#include <string>

// Opens a regular file for reading without ever blocking on a FIFO or device,
// and tells its size. Returns "File does not exist: <name>" for anything but a
// regular file, "File too large: <name>" beyond maxBytes, or another error
// text; fd and size are unchanged on failure.
std::string OpenPictureFile(const std::string& fileName, UniqueFd& fd, std::size_t& size,
                            std::size_t maxBytes = kMaxPictureFileBytes);
// Reads up to maxBytes from an open file into bytes: fewer where the file
// ends. Errors name fileName; bytes is unchanged on failure.
std::string ReadPictureBytes(const std::string& fileName, int fd, std::size_t maxBytes,
                             std::string& bytes);

// Reads a whole regular file into bytes without ever blocking on a FIFO or
// device. Returns "File does not exist: <name>" for anything but a regular
// file, or another error text; bytes is unchanged on failure.
std::string ReadPictureFile(const std::string& fileName, std::string& bytes,
                            std::size_t maxBytes = kMaxPictureFileBytes);
// The same, reading at most the first maxBytes bytes of the file.
std::string ReadPictureFileStart(const std::string& fileName, std::string& bytes,
                                 std::size_t maxBytes);
