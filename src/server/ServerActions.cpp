// The router, the folder reader and the downloads.
#include "server/ServerActions.h"

#include "base/FileUtil.h"
#include "server/RequestText.h"
#include "server/ShareFolder.h"
#include "server/ZipStream.h"

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
  const UniqueDir dir = OpenFolder(folder);
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

THttpResponse FileRangeResponse(UniqueFd file, std::int64_t size, const TByteRange& range,
                                std::string typeLine) {
  THttpResponse response;
  if (range.Kind == TByteRange::TKind::Unsatisfiable) {
    response.Status = 416;
    response.Kind = THttpResponse::TBody::Bytes;
    response.Headers.emplace_back("Content-Length: 0");
    response.Headers.emplace_back("Content-Range: bytes */" + std::to_string(size));
    return response;
  }
  response.Kind = THttpResponse::TBody::File;
  response.File.File = std::move(file);
  response.File.Offset = 0;
  response.File.Length = size;
  response.Headers.push_back(std::move(typeLine));
  if (range.Kind == TByteRange::TKind::Part) {
    response.Status = 206;
    response.File.Offset = range.First;
    response.File.Length = range.Length;
    response.Headers.emplace_back("Content-Length: " + std::to_string(range.Length));
    response.Headers.emplace_back("Content-Range: bytes " + std::to_string(range.First) + "-" +
                                  std::to_string(range.First + range.Length - 1) + "/" +
                                  std::to_string(size));
  } else {
    response.Headers.emplace_back("Content-Length: " + std::to_string(size));
  }
  return response;
}

THttpResponse TServerActions::HandleRequest(const std::string& uri,
                                            const std::vector<std::string>& requestHeaders,
                                            bool* made) {
  // Addresses under the dot-named prefix are matched on the request as sent;
  // the picture previews and the folder archives serve both page styles.
  static constexpr std::string_view kPreviewPrefix = "/.mirelo/preview/";
  if (uri.starts_with(kPreviewPrefix)) {
    THttpResponse response;
    const bool done = SendPreview(std::string_view(uri).substr(kPreviewPrefix.size()), response,
                                  PageStyle == TPageStyle::Gallery ? &requestHeaders : nullptr);
    if (made) *made = done;
    return response;
  }
  static constexpr std::string_view kZipPrefix = "/.mirelo/zip/";
  if (uri.starts_with(kZipPrefix)) {
    if (made) *made = true;
    return ZipFolder(uri.substr(kZipPrefix.size()));
  }
  if (PageStyle == TPageStyle::Gallery) {
    bool done = false;
    THttpResponse response = HandleGalleryRequest(uri, requestHeaders, done);
    if (made) *made = done;
    return response;
  }
  THttpResponse response;
  bool done = false;
  const std::string p = uri == "/" ? std::string() : DecodeRequestPath(uri);
  const std::string f = JoinFolder(RootFolder, p);

  if (p.empty()) {
    done = BuildFolderPage(f, p, response);
  } else if (PosNoCase("DOWNLOAD?", p) > 0) {
    response = OpenDownload(RootFolder, TextAfter("DOWNLOAD?", p), requestHeaders);
    // Reported as the request named it.
    response.ReportName = RootFolder + uri.substr(uri.find('?') + 1);
  } else if (PosNoCase("SYSTEMIMG/", p) > 0) {
    const bool folder = CompareNames(TextAfter("SYSTEMIMG/", p), "FOLDER.JPG") == 0;
    done = SendPicture(SystemFolder, folder ? "mirelo folder.gif" : "mirelo file.gif", response);
  } else if (PosNoCase("TAMBNEIL/", p) > 0) {
    done = SendThumb(TextAfter("TAMBNEIL/", p), response);
  } else if (IsPictureName(p)) {
    done = SendPicture(RootFolder, p, response);
  } else if (p == "UPLOADING") {
    done = BuildFolderPage(f, p, response);
  } else if (PosNoCase("CMDUPLOADFILE", p) > 0) {
    done = BuildUploadPage(TextAfter("?", p), response);
  } else if (PosNoCase("UPLOAD", p) > 0) {
    done = BuildFolderPage(f, p, response);
  } else if (PosNoCase("SEARCH?", p) > 0) {
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
    done = BuildSearchPage(text, folder, response);
  } else {
    done = BuildFolderPage(f, p, response);
  }
  if (made) *made = done;
  return response;
}

THttpResponse TServerActions::OpenDownload(const std::string& base, const std::string& name,
                                           const std::vector<std::string>& requestHeaders) {
  std::string path;
  std::string shownName;
  const TConfined c = ConfinePath(base, base + name);
  uint64_t size = 0;
  UniqueFd fd = c.accepted ? OpenRegularFile(c.path, size) : UniqueFd();
  const bool found = fd.valid();
  if (found) {
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
  const std::int64_t total = static_cast<std::int64_t>(size);
  // A found file may be asked for in part; the not-found picture goes whole.
  const TByteRange range = found ? RequestedRange(requestHeaders, total) : TByteRange{};
  THttpResponse response =
      FileRangeResponse(std::move(fd), total, range, "Content-type: application/force-download");
  if (response.Status == 416) return response;
  response.Headers.emplace_back("Content-Disposition: attachment; filename=\"" +
                                HeaderQuoted(shownName) + "\";");
  return response;
}

THttpResponse TServerActions::ZipFolder(const std::string& encodedPath) {
  std::vector<std::string> names;
  const std::string root = RealShareRoot(RootFolder);
  TShareFolder folder;
  if (!root.empty() && DecodeSharePath(encodedPath, names))
    folder = OpenShareFolder(RootFolder, names);
  if (!folder.Handle) return THttpResponse::PlainText(404, "Not found\n");

  THttpResponse response;
  response.Kind = THttpResponse::TBody::Stream;
  response.Headers.emplace_back("Content-Type: application/zip");
  const std::string name = folder.Name.empty() ? std::string("share") : folder.Name;
  response.Headers.emplace_back("Content-Disposition: attachment; filename=\"" +
                                HeaderQuoted(name + ".zip") + "\"");
  response.Headers.emplace_back("Cache-Control: no-store");
  response.ReportName = folder.Path;
  // The stream owns the open folder until it has run.
  auto zip = std::make_shared<TZipStream>(root);
  if (!zip->Ready()) return THttpResponse::PlainText(500, "The archive cannot be made now\n");
  auto handle = std::make_shared<UniqueFd>(std::move(folder.Handle));
  response.Stream = [zip, handle](const THttpResponse::TSink& sink) {
    return zip->Write(std::move(*handle), sink);
  };
  return response;
}
