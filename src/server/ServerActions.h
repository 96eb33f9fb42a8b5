// Per-connection request handler: maps a request target to a page, a file
// download or a picture. One object per connection, used by its worker
// thread only; the thumbnail cache is the one shared object it touches.
#pragma once

#include "base/UniqueFd.h"
#include "server/HttpResponse.h"
#include "server/PageStyle.h"
#include "server/ServerLimits.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
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
  // Classic: the table pages; Gallery: the gallery pages and the /.mirelo/
  // routes (GalleryRoutes.cpp).
  TPageStyle PageStyle = TPageStyle::Classic;
  // How long a thumbnail request waits for a thumbnail still to be made; it
  // gets the not-found picture after that.
  int ThumbWaitMs = ServerLimits::kDefaultTimeoutMs;

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
  // found false: the not-found picture under name, whatever is there.
  bool SendPicture(const std::string& base, const std::string& name, THttpResponse& response,
                   bool found = true);
  bool BuildSearchPage(const std::string& searchText, const std::string& rel,
                       THttpResponse& response);
  bool BuildUploadPage(const std::string& rel, THttpResponse& response);
  // The preview of the picture at a share path given as after
  // /.mirelo/preview/ (each segment percent-encoded); 404 when there is none.
  // With the request's header lines (the gallery style) the answer is kept
  // alive and dated by the picture: 304 when the visitor's copy is current.
  bool SendPreview(std::string_view encodedPath, THttpResponse& response,
                   const std::vector<std::string>* requestHeaders = nullptr);

  // The gallery style: its router, pages and the routes under /.mirelo/.
  THttpResponse HandleGalleryRequest(const std::string& uri,
                                     const std::vector<std::string>& requestHeaders, bool& made);
  THttpResponse GalleryRoute(const std::string& uri, const std::vector<std::string>& requestHeaders,
                             bool& made);
  THttpResponse GalleryFolderPage(const std::string& rel);
  THttpResponse GallerySearchPage(const std::string& searchText, const std::string& rel);
  THttpResponse GalleryView(const std::string& encodedPath,
                            const std::vector<std::string>& requestHeaders);
  // Whether name below base is a regular file inside base.
  static bool HasFile(const std::string& base, const std::string& name);
  // A ZIP of the folder an encoded share path names, streamed as it is made.
  THttpResponse ZipFolder(const std::string& encodedPath);

  std::string CacheFolder() const;
  // Thumbnail file names for full picture paths; missing ones are queued, to
  // be made in the background in this order once makersStart, which this
  // sets, is let go: the page that names them holds it while it is sent, so
  // that making them does not slow it.
  std::vector<std::string> ThumbNames(const std::vector<std::string>& pictures,
                                      std::shared_ptr<void>& makersStart);
  // The same for pictures just listed, with their times (a negative tv_nsec:
  // not a regular file).
  std::vector<std::string> ThumbNames(const std::vector<std::string>& pictures,
                                      const std::vector<struct timespec>& times,
                                      std::shared_ptr<void>& makersStart);
  // The thumbnail of that name as a picture, once it is made (waiting for it
  // up to ThumbWaitMs).
  bool SendThumb(const std::string& name, THttpResponse& response);
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

// The share-relative path that a path of percent-encoded segments joined by
// "/" names (anything from the first "?" on is left out), or empty when it
// names nothing inside the share: an empty or malformed segment, one that
// decodes to "/", a zero byte, or a name beginning with "." (which covers
// "." and ".."; hidden names are never listed).
std::string DecodeSharePath(std::string_view encoded);

// Whether name ends in one of the picture extensions the loader reads.
bool IsPictureName(const std::string& name);

// The response for an open file of size bytes: the range asked for (206), a
// range past its end (416, no body) or the whole file. typeLine is the first
// header line; Content-Length (and Content-Range) follow it.
THttpResponse FileRangeResponse(UniqueFd file, std::int64_t size, const TByteRange& range,
                                std::string typeLine);

// Opens path for reading without blocking; returns the handle only when it
// is a regular file (after links), else none. size receives its length.
UniqueFd OpenRegularFile(const std::string& path, uint64_t& size);
