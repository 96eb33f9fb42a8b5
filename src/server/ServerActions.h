// Per-connection request handler: maps a request target to a page, a file
// download or a picture. One object per connection, used by its worker
// thread only; the thumbnail cache is the one shared object it touches.
#pragma once

#include "base/UniqueFd.h"
#include "server/HttpResponse.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

class TCacheObj;
class TFolderCache;

class TServerActions {
 public:
  // The shared folder, ending in "/".
  std::string RootFolder;
  // The program's pictures (the not-found picture and the listing's icons),
  // ending in "/"; set by the caller.
  std::string SystemFolder;
  bool AllowUploads = false;
  // The thumbnail cache shared by all connections (not owned).
  TCacheObj* Cache = nullptr;
  // Listings shared by all connections; none: every listing reads its folder.
  std::shared_ptr<TFolderCache> Listings;

  // The response to a request for uri: a page, a picture or a file. Of the
  // request's header lines (up to the first empty line) only Range is read,
  // by a download. made (if given) tells whether the page or picture was made
  // (a download: false). Throws on a malformed percent escape (the request is
  // then abandoned).
  //
  // Addresses under "/.mirelo/" no shared name can take: "/.mirelo/zip/"
  // followed by a share path gives the ZIP of that folder.
  THttpResponse HandleRequest(const std::string& uri,
                              const std::vector<std::string>& requestHeaders = {},
                              bool* made = nullptr);

 private:
  bool BuildFolderPage(const std::string& folder, const std::string& rel, THttpResponse& response);
  THttpResponse OpenDownload(const std::string& base, const std::string& name,
                             const std::vector<std::string>& requestHeaders);
  bool SendPicture(const std::string& base, const std::string& name, THttpResponse& response);
  bool BuildSearchPage(const std::string& searchText, const std::string& rel,
                       THttpResponse& response);
  bool BuildUploadPage(const std::string& rel, THttpResponse& response);
  // A ZIP of the folder an encoded share path names, streamed as it is made.
  THttpResponse ZipFolder(const std::string& encodedPath);

  std::string CacheFolder() const;
  // Thumbnail file names for full picture paths, made on every core when missing.
  std::vector<std::string> ThumbNames(const std::vector<std::string>& pictures);
  // The same for pictures just listed, with their times (a negative tv_nsec:
  // not a regular file).
  std::vector<std::string> ThumbNames(const std::vector<std::string>& pictures,
                                      const std::vector<struct timespec>& times);
};

// One folder entry of a listing.
struct TFolderEntry {
  int64_t mtime = 0;
  uint64_t size = 0;
  bool directory = false;
  std::string name;
  bool regular = false;         // a regular file (after following links)
  struct timespec modified {};  // mtime, to the nanosecond
  // A regular file itself (no link) with no other name: every change to it
  // is a change in its folder.
  bool ownedByFolder = false;
};

// Lists folder (ending with "/"): "." is skipped, ".." kept; entries that
// are folders (after following links) go to folders, all others to files;
// both sorted by CompareNames. A folder that cannot be opened leaves both empty.
void ListFolder(const std::string& folder, std::vector<TFolderEntry>& files,
                std::vector<TFolderEntry>& folders);
// Looks at entry.name in folder (ending with "/") again, as ListFolder does,
// and fills in the rest of entry; false when it is gone.
bool StatFolderEntry(const std::string& folder, TFolderEntry& entry);

// Whether name ends in one of the picture extensions the loader reads.
bool IsPictureName(const std::string& name);

// Opens path for reading without blocking; returns the handle only when it
// is a regular file (after links), else none. size receives its length.
UniqueFd OpenRegularFile(const std::string& path, uint64_t& size);
