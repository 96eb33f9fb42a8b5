// File primitives every layer shares.
#include "base/FileUtil.h"

#include "base/UniqueFd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool IsRegularFile(const std::string& path, struct stat* status) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (status) *status = st;
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, bool flush) {
  std::string temp = path + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd) return false;
  const int raw = fd.get();
  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  bool ok = ::fchmod(raw, mode) == 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::write(raw, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) ok = false;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (ok && flush) ok = ::fsync(raw) == 0;
  if (fd.Close() != 0) ok = false;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    // The caller hears why the write failed, not how the clean-up went.
    const int why = errno;
    ::unlink(temp.c_str());
    errno = why;
  }
  return ok;
}
