// The router, the folder reader and the downloads.
#include "server/ServerActions.h"

#include "net/tcpsocket.h"
#include "server/RequestText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <system_error>

namespace {

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

// Orders entries by CompareNames; entries that compare equal keep the
// directory's order. Sorting indices moves each entry once.
void SortByName(std::vector<TFolderEntry>& entries) {
  std::vector<uint32_t> order(entries.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&entries](uint32_t a, uint32_t b) {
    return CompareNames(entries[a].name, entries[b].name) < 0;
  });
  std::vector<TFolderEntry> sorted;
  sorted.reserve(entries.size());
  for (const uint32_t i : order) sorted.push_back(std::move(entries[i]));
  entries = std::move(sorted);
}

std::string FileNamePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

UniqueFd OpenRegularFile(const std::string& path, uint64_t& size) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) return fd;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    errno = EISDIR;
    return UniqueFd();
  }
  size = static_cast<uint64_t>(st.st_size);
  return fd;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

// Fills entry from the entry named name in folder dfd (links followed, and
// a broken link described as itself); false when it is gone. type is the
// folder's own word on it (DT_UNKNOWN when none).
bool DescribeEntry(int dfd, const char* name, unsigned char type, TFolderEntry& entry) {
  struct stat st {};
  if (fstatat(dfd, name, &st, 0) != 0 && fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  entry.directory = S_ISDIR(st.st_mode);
  entry.size = entry.directory ? 0 : static_cast<uint64_t>(st.st_size);
  entry.mtime = st.st_mtime;
  entry.regular = S_ISREG(st.st_mode);
  entry.modified = st.st_mtim;
  entry.ownedByFolder = type == DT_REG && entry.regular && st.st_nlink == 1;
  return true;
}

}  // namespace

void ListFolder(const std::string& folder, std::vector<TFolderEntry>& files,
                std::vector<TFolderEntry>& folders) {
  files.clear();
  folders.clear();
  std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
  if (!dir) return;
  const int dfd = dirfd(dir.get());
  while (dirent* e = readdir(dir.get())) {
    if (e->d_name[0] == '.' && e->d_name[1] == '\0') continue;
    TFolderEntry entry;
    if (!DescribeEntry(dfd, e->d_name, e->d_type, entry)) continue;
    entry.name = e->d_name;
    (entry.directory ? folders : files).push_back(std::move(entry));
  }
  SortByName(files);
  SortByName(folders);
}

bool StatFolderEntry(const std::string& folder, TFolderEntry& entry) {
  return DescribeEntry(AT_FDCWD, (folder + entry.name).c_str(), DT_UNKNOWN, entry);
}

bool TServerActions::HandleRequest(const std::string& uri, std::string& body,
                                   std::vector<std::string>& headers, ResponseMode& mode) {
  body.clear();
  headers.clear();
  Headers = &headers;
  const std::string p = uri == "/" ? std::string() : DecodeRequestPath(uri);
  const std::string f = JoinFolder(RootFolder, p);

  if (p.empty()) {
    mode = ResponseMode::Text;
    return BuildFolderPage(f, p, body);
  }
  if (PosNoCase("DOWNLOAD?", p) > 0) {
    mode = ResponseMode::Bytes;
    OpenDownload(RootFolder, TextAfter("DOWNLOAD?", p));
    return false;
  }
  if (PosNoCase("SYSTEMIMG/", p) > 0) {
    mode = ResponseMode::Bytes;
    const bool folder = CompareNames(TextAfter("SYSTEMIMG/", p), "FOLDER.JPG") == 0;
    return SendPicture(SystemFolder, folder ? "mirelo folder.gif" : "mirelo file.gif", body);
  }
  if (PosNoCase("TAMBNEIL/", p) > 0) {
    mode = ResponseMode::Bytes;
    return SendPicture(CacheFolder(), TextAfter("TAMBNEIL/", p), body);
  }
  if (IsPictureName(p)) {
    mode = ResponseMode::Bytes;
    return SendPicture(RootFolder, p, body);
  }
  mode = ResponseMode::Text;
  if (p == "UPLOADING") return BuildFolderPage(f, p, body);
  if (PosNoCase("CMDUPLOADFILE", p) > 0) return BuildUploadPage(TextAfter("?", p), body);
  if (PosNoCase("UPLOAD", p) > 0) return BuildFolderPage(f, p, body);
  if (PosNoCase("SEARCH?", p) > 0) {
    const std::string q = TextAfter("SEARCH?", p);
    std::string text;
    std::string folder;
    const size_t amp = q.find('&');
    if (amp != std::string::npos) {
      auto valueOf = [](const std::string& part) {
        const size_t eq = part.find('=');
        return eq == std::string::npos ? part : part.substr(eq + 1);
      };
      text = valueOf(q.substr(0, amp));
      folder = valueOf(q.substr(amp + 1));
      if (folder.empty()) folder.push_back('/');
    } else {
      folder = q;
    }
    return BuildSearchPage(text, folder, body);
  }
  return BuildFolderPage(f, p, body);
}

void TServerActions::OpenDownload(const std::string& base, const std::string& name) {
  std::string path;
  std::string shownName;
  const TConfined c = ConfinePath(base, base + name);
  uint64_t size = 0;
  UniqueFd fd = c.accepted ? OpenRegularFile(c.path, size) : UniqueFd();
  if (fd) {
    path = c.path;
    shownName = FileNamePart(name);
  } else {
    // Missing, refused, a folder or not a regular file: the not-found picture.
    path = SystemFolder + "not found.jpg";
    shownName = "not found.jpg";
    fd = OpenRegularFile(path, size);
    if (!fd) {
      throw std::system_error(errno, std::generic_category(), "Cannot open file " + path);
    }
  }
  Download = std::move(fd);
  Headers->emplace_back("Content-type: application/force-download");
  Headers->emplace_back("Content-Length: " + std::to_string(size));
  Headers->emplace_back("Content-Disposition: attachment; filename=\"" + HeaderQuoted(shownName) +
                        "\";");
}

int TServerActions::ReadDownloadBlock(char* buffer) {
  if (!Download) throw std::runtime_error("no download is open");
  struct stat st {};
  if (fstat(Download.get(), &st) != 0) throw std::runtime_error("download: cannot stat");
  const off_t position = lseek(Download.get(), 0, SEEK_CUR);
  if (position < 0) throw std::runtime_error("download: cannot seek");
  const off_t left = std::max<off_t>(0, st.st_size - position);
  const int want = static_cast<int>(std::min<off_t>(left, kDownloadBlockSize));
  int got = 0;
  while (got < want) {
    const ssize_t n = read(Download.get(), buffer + got, static_cast<size_t>(want - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("download: short read");
    got += static_cast<int>(n);
  }
  return got;
}

bool TServerActions::SendDownload(TTcpBlockingSocket& socket) {
  if (!Download) return true;
  struct stat st {};
  if (fstat(Download.get(), &st) != 0) return false;
  const off_t position = lseek(Download.get(), 0, SEEK_CUR);
  if (position < 0) return false;
  const std::int64_t left = std::max<std::int64_t>(0, st.st_size - position);
  const std::int64_t sent = socket.SendFile(Download.get(), position, left);
  if (sent >= 0) return sent == left && socket.LastErrorCode() == 0;
  // Files sendfile cannot read go out in blocks.
  std::vector<char> block(kDownloadBlockSize);
  try {
    while (const int n = ReadDownloadBlock(block.data())) {
      if (socket.SendBytes(block.data(), n) != n || socket.LastErrorCode() != 0) return false;
    }
  } catch (const std::runtime_error&) {
    return false;
  }
  return true;
}
