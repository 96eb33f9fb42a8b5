// ZIP archives of share folders: the walk, the records and the streaming.
#include "server/ZipStream.h"

#include "base/FileUtil.h"
#include "server/ShareFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kDescriptorSignature = 0x08074b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint16_t kFlagDescriptor = 0x0008;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint16_t kVersionPlain = 20;
constexpr std::uint16_t kVersionZip64 = 45;
constexpr std::uint16_t kMadeByUnix = 3 << 8;
constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMax16 = 0xFFFFu;

void Le16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}
void Le32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Le64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint16_t NameFlags(const std::string& name) {
  return static_cast<std::uint16_t>(kFlagDescriptor | (TZipStream::IsUtf8(name) ? kFlagUtf8 : 0));
}

}  // namespace

struct TZipStream::TFolderFrame {
  UniqueDir Dir;
  std::string Prefix;  // the names of its entries start with it ("a/b/")
  dev_t Device = 0;
  ino_t Inode = 0;
};

TZipStream::TZipStream(std::string shareRoot)
    : root_(std::move(shareRoot)), central_(std::tmpfile()) {
  out_.reserve(kBlockSize + 1024);
}

TZipStream::~TZipStream() {
  if (central_) std::fclose(central_);
}

std::uint32_t TZipStream::DosDateTime(std::time_t when) {
  std::tm t{};
  if (!localtime_r(&when, &t) || t.tm_year < 80) {
    t = std::tm{};
    t.tm_year = 80;
    t.tm_mday = 1;
  } else if (t.tm_year > 207) {
    t = std::tm{};
    t.tm_year = 207;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 58;
  }
  const std::uint32_t date =
      static_cast<std::uint32_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
  const std::uint32_t time =
      static_cast<std::uint32_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
  return (date << 16) | time;
}

bool TZipStream::IsUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    int more = 0;
    std::uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(more) >= n) return false;
    for (int k = 1; k <= more; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

bool TZipStream::Flush() {
  if (failed_) return false;
  if (out_.empty()) return true;
  if (!sink_(out_.data(), out_.size())) failed_ = true;
  out_.clear();
  return !failed_;
}

bool TZipStream::Put(const void* data, std::size_t size) {
  if (failed_) return false;
  offset_ += size;
  if (out_.size() + size > kBlockSize) {
    if (!Flush()) return false;
    if (size >= kBlockSize) {
      if (!sink_(static_cast<const char*>(data), size)) failed_ = true;
      return !failed_;
    }
  }
  out_.append(static_cast<const char*>(data), size);
  return true;
}

UniqueFd TZipStream::OpenEntry(int dfd, const char* name, struct stat& st) const {
  // Only files and folders are opened at all: a device or a pipe is never
  // touched.
  if (::fstatat(dfd, name, &st, 0) != 0) return UniqueFd();
  const bool folder = S_ISDIR(st.st_mode);
  if (!folder && !S_ISREG(st.st_mode)) return UniqueFd();
  UniqueFd fd(::openat(dfd, name,
                       O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (folder ? O_DIRECTORY : 0)));
  if (!fd) return fd;
  // What was opened may differ from what was looked at (a link swapped in
  // between): its own description and place decide.
  if (::fstat(fd.get(), &st) != 0 || (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) ||
      !IsVisibleInside(root_, HandlePath(fd.get())))
    return UniqueFd();
  return fd;
}

bool TZipStream::AddCentralRecord(const std::string& name, const struct stat& st, bool folder,
                                  std::uint32_t crc, std::uint64_t size, std::uint64_t localOffset,
                                  bool zip64Sizes) {
  const bool bigOffset = localOffset >= kMax32;
  std::string extra;
  if (zip64Sizes || bigOffset) {
    std::string fields;
    if (zip64Sizes) {
      Le64(fields, size);
      Le64(fields, size);
    }
    if (bigOffset) Le64(fields, localOffset);
    Le16(extra, 0x0001);
    Le16(extra, static_cast<std::uint16_t>(fields.size()));
    extra += fields;
  }
  const bool zip64 = !extra.empty();
  const std::uint32_t when = DosDateTime(st.st_mtime);
  const std::uint32_t mode =
      (folder ? S_IFDIR : S_IFREG) | (static_cast<std::uint32_t>(st.st_mode) & 0777);
  std::string r;
  r.reserve(46 + name.size() + extra.size());
  Le32(r, kCentralSignature);
  Le16(r, static_cast<std::uint16_t>(kMadeByUnix | (zip64 ? kVersionZip64 : kVersionPlain)));
  Le16(r, zip64Sizes ? kVersionZip64 : kVersionPlain);
  Le16(r, NameFlags(name));
  Le16(r, 0);  // stored
  Le16(r, static_cast<std::uint16_t>(when & 0xFFFF));
  Le16(r, static_cast<std::uint16_t>(when >> 16));
  Le32(r, crc);
  Le32(r, zip64Sizes ? kMax32 : static_cast<std::uint32_t>(size));
  Le32(r, zip64Sizes ? kMax32 : static_cast<std::uint32_t>(size));
  Le16(r, static_cast<std::uint16_t>(name.size()));
  Le16(r, static_cast<std::uint16_t>(extra.size()));
  Le16(r, 0);  // comment
  Le16(r, 0);  // disk
  Le16(r, 0);  // internal attributes
  Le32(r, (mode << 16) | (folder ? 0x10 : 0));
  Le32(r, bigOffset ? kMax32 : static_cast<std::uint32_t>(localOffset));
  r += name;
  r += extra;
  if (std::fwrite(r.data(), 1, r.size(), central_) != r.size()) return false;
  centralSize_ += r.size();
  ++entries_;
  return true;
}

bool TZipStream::AddFolderEntry(const std::string& name, const struct stat& st) {
  const std::uint64_t at = offset_;
  const std::uint32_t when = DosDateTime(st.st_mtime);
  std::string h;
  Le32(h, kLocalSignature);
  Le16(h, kVersionPlain);
  Le16(h, NameFlags(name));
  Le16(h, 0);
  Le16(h, static_cast<std::uint16_t>(when & 0xFFFF));
  Le16(h, static_cast<std::uint16_t>(when >> 16));
  Le32(h, 0);
  Le32(h, 0);
  Le32(h, 0);
  Le16(h, static_cast<std::uint16_t>(name.size()));
  Le16(h, 0);
  h += name;
  Le32(h, kDescriptorSignature);
  Le32(h, 0);
  Le32(h, 0);
  Le32(h, 0);
  return Put(h.data(), h.size()) && AddCentralRecord(name, st, true, 0, 0, at, false);
}

bool TZipStream::AddFileEntry(const std::string& name, int fd, const struct stat& st) {
  const std::uint64_t at = offset_;
  const std::uint64_t planned = static_cast<std::uint64_t>(st.st_size);
  const bool zip64 = planned >= kMax32;
  const std::uint32_t when = DosDateTime(st.st_mtime);
  std::string h;
  Le32(h, kLocalSignature);
  Le16(h, zip64 ? kVersionZip64 : kVersionPlain);
  Le16(h, NameFlags(name));
  Le16(h, 0);
  Le16(h, static_cast<std::uint16_t>(when & 0xFFFF));
  Le16(h, static_cast<std::uint16_t>(when >> 16));
  Le32(h, 0);
  Le32(h, zip64 ? kMax32 : 0);
  Le32(h, zip64 ? kMax32 : 0);
  Le16(h, static_cast<std::uint16_t>(name.size()));
  Le16(h, zip64 ? 20 : 0);
  h += name;
  if (zip64) {
    Le16(h, 0x0001);
    Le16(h, 16);
    Le64(h, 0);
    Le64(h, 0);
  }
  if (!Put(h.data(), h.size())) return false;

  std::uint32_t crc = static_cast<std::uint32_t>(::crc32(0L, Z_NULL, 0));
  std::uint64_t done = 0;
  std::vector<char> block(kBlockSize);
  while (done < planned) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(planned - done, static_cast<std::uint64_t>(kBlockSize)));
    const ssize_t n = ::pread(fd, block.data(), want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // shrunk or unreadable: the entry ends here
    crc = static_cast<std::uint32_t>(
        ::crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(n)));
    if (!Put(block.data(), static_cast<std::size_t>(n))) return false;
    done += static_cast<std::uint64_t>(n);
  }

  std::string d;
  Le32(d, kDescriptorSignature);
  Le32(d, crc);
  if (zip64) {
    Le64(d, done);
    Le64(d, done);
  } else {
    Le32(d, static_cast<std::uint32_t>(done));
    Le32(d, static_cast<std::uint32_t>(done));
  }
  return Put(d.data(), d.size()) && AddCentralRecord(name, st, false, crc, done, at, zip64);
}

bool TZipStream::WriteEnd() {
  const std::uint64_t centralOffset = offset_;
  if (std::fflush(central_) != 0 || std::fseek(central_, 0, SEEK_SET) != 0) return false;
  std::vector<char> block(kBlockSize);
  for (;;) {
    const std::size_t n = std::fread(block.data(), 1, block.size(), central_);
    if (n > 0 && !Put(block.data(), n)) return false;
    if (n < block.size()) break;
  }
  if (std::ferror(central_)) return false;

  std::string e;
  const bool zip64 = entries_ >= kMax16 || centralSize_ >= kMax32 || centralOffset >= kMax32;
  if (zip64) {
    const std::uint64_t zip64EndAt = offset_;
    Le32(e, kZip64EndSignature);
    Le64(e, 44);
    Le16(e, kMadeByUnix | kVersionZip64);
    Le16(e, kVersionZip64);
    Le32(e, 0);
    Le32(e, 0);
    Le64(e, entries_);
    Le64(e, entries_);
    Le64(e, centralSize_);
    Le64(e, centralOffset);
    Le32(e, kZip64LocatorSignature);
    Le32(e, 0);
    Le64(e, zip64EndAt);
    Le32(e, 1);
  }
  Le32(e, kEndSignature);
  Le16(e, 0);
  Le16(e, 0);
  const std::uint16_t count = entries_ >= kMax16 ? kMax16 : static_cast<std::uint16_t>(entries_);
  Le16(e, count);
  Le16(e, count);
  Le32(e, centralSize_ >= kMax32 ? kMax32 : static_cast<std::uint32_t>(centralSize_));
  Le32(e, centralOffset >= kMax32 ? kMax32 : static_cast<std::uint32_t>(centralOffset));
  Le16(e, 0);
  return Put(e.data(), e.size()) && Flush();
}

bool TZipStream::Write(UniqueFd folder, TSink sink) {
  sink_ = std::move(sink);
  if (!central_ || !folder || offset_ > 0) return false;
  struct stat top {};
  if (::fstat(folder.get(), &top) != 0) return false;

  std::vector<TFolderFrame> stack;
  auto enter = [&stack](UniqueFd fd, std::string prefix, const struct stat& st) {
    TFolderFrame frame;
    frame.Dir.reset(::fdopendir(fd.get()));
    if (!frame.Dir) return;
    fd.release();
    frame.Prefix = std::move(prefix);
    frame.Device = st.st_dev;
    frame.Inode = st.st_ino;
    stack.push_back(std::move(frame));
  };
  enter(std::move(folder), std::string(), top);
  if (stack.empty()) return false;

  while (!stack.empty()) {
    TFolderFrame& frame = stack.back();
    errno = 0;
    dirent* e = ::readdir(frame.Dir.get());
    if (!e) {
      stack.pop_back();
      continue;
    }
    if (e->d_name[0] == '.') continue;  // ".", ".." and hidden names
    struct stat st {};
    UniqueFd fd = OpenEntry(::dirfd(frame.Dir.get()), e->d_name, st);
    if (!fd) continue;
    const std::string name = frame.Prefix + e->d_name;
    if (S_ISREG(st.st_mode)) {
      if (!AddFileEntry(name, fd.get(), st)) return false;
      continue;
    }
    bool seen = false;
    for (const auto& f : stack) seen = seen || (f.Device == st.st_dev && f.Inode == st.st_ino);
    if (seen || static_cast<int>(stack.size()) >= kMaxDepth) continue;
    if (!AddFolderEntry(name + "/", st)) return false;
    enter(std::move(fd), name + "/", st);  // frame may move: not used after this
  }
  return WriteEnd();
}
