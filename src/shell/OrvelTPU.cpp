// Desktop and file utilities.
#include "shell/OrvelTPU.h"

#include "shell/Messages.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Owns one file descriptor.
class FdOwner {
 public:
  explicit FdOwner(int fd) : fd_(fd) {}
  FdOwner(const FdOwner&) = delete;
  FdOwner& operator=(const FdOwner&) = delete;
  ~FdOwner() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string WithSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + '/';
}

std::string WithoutSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool GlobMatch(const std::string& name, const std::string& mask) {
  size_t n = 0, m = 0;
  size_t starMask = std::string::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
      ++m;
      ++n;
    } else if (starMask != std::string::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

enum class EntryType { Other, RegularFile, Folder };

// Lists the entries of a folder without following links for the entry itself:
// a link is reported by what it points to for files, never as a folder.
template <typename Visit>
void ForEachEntry(const std::string& folder, Visit visit) {
  const std::string base = WithSlash(folder);
  UniqueDir dir(::opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir) return;
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = base + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) continue;
    EntryType type = EntryType::Other;
    if (S_ISDIR(st.st_mode)) {
      type = EntryType::Folder;
    } else if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && IsRegularFile(full))) {
      type = EntryType::RegularFile;
    }
    visit(name, full, type);
  }
}

// Everything below the folder for deletion: all non-folders depth first, then
// the direct sub-folders (hidden ones too).
void CollectForDeletion(const std::string& folder, std::vector<std::string>& files,
                        std::vector<std::string>& folders, bool top) {
  std::vector<std::string> subs;
  ForEachEntry(folder, [&](const std::string&, const std::string& full, EntryType type) {
    if (type == EntryType::Folder) {
      subs.push_back(full);
    } else {
      files.push_back(full);
    }
  });
  for (const auto& s : subs) CollectForDeletion(s, files, folders, false);
  if (top) folders = subs;
}

}  // namespace

bool CheckFileExists(const std::string& path) {
  if (path.empty()) {
    ShowInfo("No file specified!");
    return false;
  }
  if (IsRegularFile(path)) return true;
  ShowInfo("File \"" + path + "\" does not exist");
  return false;
}

bool IsFolder(const std::string& path) {
  if (path.empty()) return false;
  if (path.size() > 1 && path.back() == ' ') return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFolderNotFile(const std::string& path) { return IsFolder(path) && !IsRegularFile(path); }

bool CanWriteToFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  if (!IsFolder(path.substr(0, slash + 1))) return false;
  const std::string probe =
      IsFolderNotFile(path) ? WithSlash(path) + "WritePermTest.DeleteMe" : path;
  if (IsRegularFile(probe)) {
    FdOwner fd(::open(probe.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return fd.valid();
  }
  // O_EXCL: only a file this test made is removed again.
  FdOwner fd(::open(probe.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  ::unlink(probe.c_str());
  return true;
}

int CreateFolderIfMissing(const std::string& path) {
  if (IsFolder(path)) return 0;
  bool made = false;
  if (!path.empty()) {
    // Each missing parent in turn, as mkdir -p does.
    std::string partial;
    made = true;
    size_t pos = 0;
    while (made && pos < path.size()) {
      size_t next = path.find('/', pos);
      if (next == std::string::npos) next = path.size();
      partial = path.substr(0, next);
      pos = next + 1;
      if (partial.empty()) continue;  // the root
      if (::mkdir(partial.c_str(), 0777) != 0) {
        struct stat st;
        made = errno == EEXIST && ::stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
    }
  }
  if (made && IsFolder(WithoutSlash(path))) return 1;
  ShowError("Cannot create directory!\r\n" + path);
  return -1;
}

std::string LeadingZeros(std::string text, size_t length) {
  if (text.size() < length) text.insert(0, length - text.size(), '0');
  return text;
}

bool MatchesFileMask(const std::string& name, const std::string& mask) {
  if (GlobMatch(name, mask)) return true;
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0) {
    return GlobMatch(name, mask.substr(0, mask.size() - 2));
  }
  return false;
}

void ListFiles(const std::string& folder, const std::string& mask, std::vector<std::string>& list,
               bool fullPaths) {
  ForEachEntry(folder, [&](const std::string& name, const std::string& full, EntryType type) {
    if (type == EntryType::RegularFile && MatchesFileMask(name, mask)) {
      list.push_back(fullPaths ? full : name);
    }
  });
}

void ListFilesRecursive(const std::string& folder, const std::string& mask,
                        std::vector<std::string>& list) {
  ListFiles(folder, mask, list, true);
  std::vector<std::string> subs;
  ListSubfolders(folder, subs);
  for (const auto& s : subs) ListFilesRecursive(s, mask, list);
}

void ListSubfolders(const std::string& folder, std::vector<std::string>& list) {
  ForEachEntry(folder, [&](const std::string& name, const std::string& full, EntryType type) {
    if (type == EntryType::Folder && name[0] != '.') list.push_back(full);
  });
}

bool EmptyFolder(const std::string& folder, bool stopOnError) {
  if (folder.empty()) throw std::invalid_argument("Path is empty!");
  std::vector<std::string> files, folders;
  CollectForDeletion(WithoutSlash(folder), files, folders, true);
  bool ok = true;
  for (const auto& f : files) {
    if (::unlink(f.c_str()) != 0 && errno != ENOENT) {
      ok = false;
      if (stopOnError) return false;
    }
  }
  for (const auto& d : folders) {
    if (!DeleteFolder(d, stopOnError)) {
      ok = false;
      if (stopOnError) return false;
    }
  }
  return ok;
}

bool DeleteFolder(const std::string& folder, bool stopOnError) {
  const std::string path = WithoutSlash(folder);
  // A folder the owner may not write could not be emptied: make it writable first.
  struct stat st;
  if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
  }
  if (!EmptyFolder(folder, stopOnError)) return false;
  return ::rmdir(path.c_str()) == 0;
}

std::string ExpandCrLf(const std::string& text) {
  // Replaces every case-insensitive occurrence of `from`, left to right, without overlap.
  auto replaceAll = [](const std::string& in, const std::string& from, const std::string& to) {
    std::string out;
    size_t i = 0;
    while (i < in.size()) {
      bool hit = i + from.size() <= in.size();
      for (size_t k = 0; hit && k < from.size(); ++k) {
        hit = LowerAscii(in[i + k]) == LowerAscii(from[k]);
      }
      if (hit) {
        out += to;
        i += from.size();
      } else {
        out += in[i++];
      }
    }
    return out;
  };
  std::string s = replaceAll(text, "CRLF ", "CRLF");
  s = replaceAll(s, " CRLF ", "CRLF");
  return replaceAll(s, "CRLF", "\r\n");
}
