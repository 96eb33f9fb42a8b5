// Reading picture files: regular files only, never blocking on a FIFO or
// device.
#include "imaging/PictureFiles.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

std::string MissingFile(const std::string& fileName) { return "File does not exist: " + fileName; }

std::string ReadRegularFile(const std::string& fileName, std::string& bytes, std::size_t maxBytes,
                            bool startOnly) {
  // O_NONBLOCK: opening a FIFO never waits for a writer; anything that is not
  // a regular file is refused before a byte is read.
  UniqueFd fd(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENXIO || errno == ELOOP) {
      return MissingFile(fileName);
    }
    return "Cannot open " + fileName + ": " + std::strerror(errno);
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return MissingFile(fileName);
  std::size_t want = static_cast<std::size_t>(st.st_size);
  if (want > maxBytes) {
    if (!startOnly) return "File too large: " + fileName;
    want = maxBytes;
  }
  std::string data(want, '\0');
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd.get(), data.data() + got, want - got);
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

}  // namespace

std::string ReadPictureFile(const std::string& fileName, std::string& bytes, std::size_t maxBytes) {
  return ReadRegularFile(fileName, bytes, maxBytes, false);
}

std::string ReadPictureFileStart(const std::string& fileName, std::string& bytes,
                                 std::size_t maxBytes) {
  return ReadRegularFile(fileName, bytes, maxBytes, true);
}
