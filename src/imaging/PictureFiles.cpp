// Reading picture files: regular files only, never blocking on a FIFO or
// device.
#include "imaging/PictureFiles.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

std::string MissingFile(const std::string& fileName) { return "File does not exist: " + fileName; }

}  // namespace

std::string OpenPictureFile(const std::string& fileName, UniqueFd& fd, std::size_t& size,
                            std::size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO never waits for a writer; anything that is not
  // a regular file is refused before a byte is read.
  UniqueFd file(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENXIO || errno == ELOOP) {
      return MissingFile(fileName);
    }
    return "Cannot open " + fileName + ": " + std::strerror(errno);
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return MissingFile(fileName);
  if (static_cast<std::uint64_t>(st.st_size) > maxBytes) return "File too large: " + fileName;
  size = static_cast<std::size_t>(st.st_size);
  fd = std::move(file);
  return {};
}

std::string ReadPictureBytes(const std::string& fileName, int fd, std::size_t maxBytes,
                             std::string& bytes) {
  std::string data(maxBytes, '\0');
  std::size_t got = 0;
  while (got < maxBytes) {
    const ssize_t n = ::read(fd, data.data() + got, maxBytes - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return "Cannot read " + fileName + ": " + std::strerror(errno);
    }
    if (n == 0) break;  // the file shrank while we read it
    got += static_cast<std::size_t>(n);
  }
  data.resize(got);
  bytes = std::move(data);
  return {};
}

std::string ReadPictureFile(const std::string& fileName, std::string& bytes, std::size_t maxBytes) {
  UniqueFd fd;
  std::size_t size = 0;
  std::string error = OpenPictureFile(fileName, fd, size, maxBytes);
  if (!error.empty()) return error;
  return ReadPictureBytes(fileName, fd.get(), size, bytes);
}

std::string ReadPictureFileStart(const std::string& fileName, std::string& bytes,
                                 std::size_t maxBytes) {
  UniqueFd fd;
  std::size_t size = 0;
  std::string error = OpenPictureFile(fileName, fd, size, SIZE_MAX);
  if (!error.empty()) return error;
  return ReadPictureBytes(fileName, fd.get(), std::min(size, maxBytes), bytes);
}
