// Reading and writing picture files: regular files only, never blocking on a
// FIFO or device, and written whole or not at all.
#include "imaging/PictureFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Owns one file descriptor.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int Get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string MissingFile(const std::string& fileName) { return "File does not exist: " + fileName; }

std::string ReadRegularFile(const std::string& fileName, std::string& bytes, std::size_t maxBytes,
                            bool startOnly) {
  // O_NONBLOCK: opening a FIFO never waits for a writer; anything that is not
  // a regular file is refused before a byte is read.
  FileHandle fd(::open(fileName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.Get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENXIO || errno == ELOOP) {
      return MissingFile(fileName);
    }
    return "Cannot open " + fileName + ": " + std::strerror(errno);
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return MissingFile(fileName);
  std::size_t want = static_cast<std::size_t>(st.st_size);
  if (want > maxBytes) {
    if (!startOnly) return "File too large: " + fileName;
    want = maxBytes;
  }
  std::string data(want, '\0');
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd.Get(), data.data() + got, want - got);
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

bool PictureFileExists(const std::string& fileName) {
  struct stat st {};
  return ::stat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ReadPictureFile(const std::string& fileName, std::string& bytes, std::size_t maxBytes) {
  return ReadRegularFile(fileName, bytes, maxBytes, false);
}

std::string ReadPictureFileStart(const std::string& fileName, std::string& bytes,
                                 std::size_t maxBytes) {
  return ReadRegularFile(fileName, bytes, maxBytes, true);
}

std::string WriteFileAtomically(const std::string& fileName, const std::string& bytes) {
  std::string temp = fileName + ".tmpXXXXXX";
  FileHandle fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.Get() < 0) return "Cannot create " + temp + ": " + std::strerror(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const std::string error = "Cannot write " + temp + ": " + std::strerror(errno);
      ::unlink(temp.c_str());
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  ::fchmod(fd.Get(), 0644);
  if (!fd.Close() || ::rename(temp.c_str(), fileName.c_str()) != 0) {
    const std::string error = "Cannot save " + fileName + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return error;
  }
  return {};
}
