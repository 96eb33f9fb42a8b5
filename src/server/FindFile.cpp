// Recursive file search by wildcard mask.
#include "server/FindFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

size_t CharLength(std::string_view s, size_t i) {
  size_t n = 1;
  while (i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

bool Match(std::string_view mask, std::string_view name) {
  size_t m = 0, n = 0;
  size_t starM = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (m < mask.size() && mask[m] == '?') {
      ++m;
      n += CharLength(name, n);
    } else if (m < mask.size() && Upper(mask[m]) == Upper(name[n])) {
      ++m;
      ++n;
    } else if (starM != std::string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesMask(std::string_view mask, std::string_view name) {
  if (Match(mask, name)) return true;
  if (mask.size() >= 2 && mask.substr(mask.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos) {
    return Match(mask.substr(0, mask.size() - 2), name);
  }
  return false;
}

TFindFile::TFindFile() {
  char buf[4096];
  Path_ = getcwd(buf, sizeof buf) ? buf : ".";
  if (Path_.back() != '/') Path_ += '/';
}

void TFindFile::SetPath(const std::string& value) {
  if (value.empty() || value == Path_) return;
  struct stat st {};
  if (stat(value.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  Path_ = value;
  if (Path_.back() != '/') Path_ += '/';
}

const std::vector<std::string>& TFindFile::FindFiles() {
  Files.clear();
  std::vector<std::pair<unsigned long, unsigned long>> open;
  SearchFolder(Path_, open);
  return Files;
}

void TFindFile::SearchFolder(const std::string& folder,
                             std::vector<std::pair<unsigned long, unsigned long>>& ancestors) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DirPtr dir(fdopendir(fd));
  if (!dir) {
    ::close(fd);  // fdopendir failed and did not take the handle
    return;
  }
  struct stat self {};
  if (fstat(fd, &self) != 0) return;
  const std::pair<unsigned long, unsigned long> id{self.st_dev, self.st_ino};
  if (std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) return;
  ancestors.push_back(id);

  std::vector<std::string> subFolders;
  while (dirent* e = readdir(dir.get())) {
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    int attr = 0;
    if (name[0] == '.') attr |= ffaHidden;
    unsigned char type = e->d_type;
    if (type == DT_LNK || type == DT_UNKNOWN) {
      struct stat st {};
      if (fstatat(fd, e->d_name, &st, 0) != 0) {
        type = DT_UNKNOWN;  // a broken link
      } else if (S_ISDIR(st.st_mode)) {
        type = DT_DIR;
      } else if (S_ISREG(st.st_mode)) {
        type = DT_REG;
      } else {
        type = DT_UNKNOWN;
      }
    }
    if (type == DT_DIR) {
      attr |= ffaDirectory;
    } else if (type == DT_REG) {
      attr |= ffaArchive;
    } else {
      attr |= ffaSysFile;
    }
    const int skipping = ffaHidden | ffaSysFile | ffaVolumeID | ffaDirectory;
    if ((attr & skipping & ~FileAttr) == 0 && MatchesMask(FileMask, name)) {
      Files.push_back(folder + e->d_name);
    }
    if (InSubFolders && type == DT_DIR && !(attr & ffaHidden)) subFolders.emplace_back(name);
  }
  dir.reset();
  for (const std::string& sub : subFolders) SearchFolder(folder + sub + "/", ancestors);
  ancestors.pop_back();
}
