// Recursive file search by wildcard mask, collecting full paths.
// One object per search, used by one thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

enum TFileAttrKind {
  ffaReadOnly = 1,
  ffaHidden = 2,
  ffaSysFile = 4,
  ffaVolumeID = 8,
  ffaDirectory = 16,
  ffaArchive = 32,
  ffaAnyFile = 63,
};
using TFileAttr = int;  // a set of TFileAttrKind bits

class TFindFile {
 public:
  TFindFile();

  const std::string& Path() const { return Path_; }
  // Taken (with "/" appended) only when it differs, is not empty and names an
  // existing folder.
  void SetPath(const std::string& value);

  std::string FileMask = "*.*";  // matched by MatchesFileMask
  // Entries that are hidden (leading "."), folders, or neither files nor
  // folders (counted as system entries) are skipped unless selected.
  TFileAttr FileAttr = ffaAnyFile;
  bool InSubFolders = false;
  std::vector<std::string> Files;

  // Empties Files, searches Path and returns Files: a folder's matches come
  // before those of its sub-folders. Linked folders are followed, but never
  // one that is already being searched further up.
  const std::vector<std::string>& FindFiles();

 private:
  void SearchFolder(const std::string& folder,
                    std::vector<std::pair<unsigned long, unsigned long>>& ancestors);
  std::string Path_;
};
