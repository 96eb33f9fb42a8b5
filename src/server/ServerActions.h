// Per-connection request handler: maps a request target to a page, a file
// download or a picture. One object per connection, used by its worker
// thread only; the thumbnail cache is the one shared object it touches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TCacheObj;

// The router's answer to the worker.
enum ResponseMode : uint8_t { Text = 0, Bytes = 1, NotHandled = 255 };

// A file opened for a download: a regular file, read-only, kept open until
// the connection ends.
class TDownloadFile {
 public:
  explicit TDownloadFile(int fd, uint64_t size) : Fd_(fd), Size_(size) {}
  ~TDownloadFile();
  TDownloadFile(const TDownloadFile&) = delete;
  TDownloadFile& operator=(const TDownloadFile&) = delete;

  int Fd() const { return Fd_; }
  uint64_t Size() const { return Size_; }
  uint64_t Position = 0;

 private:
  int Fd_;
  uint64_t Size_;
};

class TServerActions {
 public:
  static constexpr size_t kDownloadBlock = 65536;

  std::vector<std::string>* Headers = nullptr;  // borrowed from the worker
  std::unique_ptr<TDownloadFile> Download;      // the open download, if any
  std::string RootFolder;                       // shared folder, ending with "/"
  bool AllowUploads = false;
  TCacheObj* Cache = nullptr;  // shared by all connections, not owned

  // Routes uri; always sets mode to Text or Bytes. Throws on a malformed
  // percent escape (the request is then abandoned).
  bool HandleRequest(const std::string& uri, std::string& body, std::vector<std::string>& headers,
                     uint8_t& mode);

  bool BuildFolderPage(const std::string& folder, const std::string& rel, std::string& body);
  void OpenDownload(const std::string& base, const std::string& name);
  bool SendPicture(const std::string& base, const std::string& name, std::string& body);
  bool BuildSearchPage(const std::string& searchText, const std::string& rel, std::string& body);
  bool BuildUploadPage(const std::string& rel, std::string& body);

  // Reads the next block of Download into buffer (kDownloadBlock bytes):
  // a full block while one remains, else the rest. Throws on a short read.
  size_t ReadDownloadBlock(char* buffer);
  // Sends the rest of Download to a connected socket from the current
  // position; returns false when the socket failed. Used in place of the
  // block loop where the kernel can copy file to socket itself.
  bool SendDownload(int socketFd);

 private:
  std::string CacheFolder() const;
  // Thumbnail file names for full picture paths, made on every core when missing.
  std::vector<std::string> ThumbNames(const std::vector<std::string>& pictures);
};

// One folder entry of a listing.
struct TFolderEntry {
  int64_t mtime = 0;
  uint64_t size = 0;
  bool directory = false;
  std::string name;
};

// Lists folder (ending with "/"): "." is skipped, ".." kept; entries that
// are folders (after following links) go to folders, all others to files;
// both sorted by CompareNames. A folder that cannot be opened leaves both empty.
void ListFolder(const std::string& folder, std::vector<TFolderEntry>& files,
                std::vector<TFolderEntry>& folders);

// Whether name ends in one of the picture extensions the loader reads.
bool IsPictureName(const std::string& name);

// Opens path for reading without blocking; returns the handle only when it
// is a regular file (after links), else -1. size receives its length.
int OpenRegularFile(const std::string& path, uint64_t& size);
// Whether path names a regular file (after links).
bool IsRegularFile(const std::string& path);
