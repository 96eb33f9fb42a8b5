// Recursive file search by wildcard mask.
#include "server/FindFile.h"

#include "base/FileUtil.h"
#include "base/OrvelTPU.h"
#include "base/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

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
  UniqueFd owned(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!owned) return;
  UniqueDir dir(fdopendir(owned.get()));
  if (!dir) return;
  const int fd = owned.release();  // the directory stream closes it now
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
    if ((attr & skipping & ~FileAttr) == 0 && MatchesFileMask(std::string(name), FileMask)) {
      Files.push_back(folder + e->d_name);
    }
    if (InSubFolders && type == DT_DIR && !(attr & ffaHidden)) subFolders.emplace_back(name);
  }
  dir.reset();
  for (const std::string& sub : subFolders) SearchFolder(folder + sub + "/", ancestors);
  ancestors.pop_back();
}
