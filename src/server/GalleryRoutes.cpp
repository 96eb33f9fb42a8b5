// The gallery style's router: the classic addresses with gallery pages and
// a not-found page, and the routes under /.mirelo/ (assets, the inline view
// of pictures and media). Every answer carries the gallery's policy headers.
#include "imaging/CacheKeeper.h"
#include "server/FolderCache.h"
#include "server/GalleryAssets.h"
#include "server/GalleryText.h"
#include "server/RequestText.h"
#include "server/ServerActions.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <utility>

bool ParsePageStyle(std::string_view name, TPageStyle& style) {
  for (const TPageStyle s : {TPageStyle::Classic, TPageStyle::Gallery}) {
    if (CompareNames(name, PageStyleName(s)) == 0) {
      style = s;
      return true;
    }
  }
  return false;
}

const TGalleryAsset* FindGalleryAsset(std::string_view name) {
  for (std::size_t i = 0; i < kGalleryAssetTableSize; ++i) {
    if (kGalleryAssetTable[i].Name == name) return &kGalleryAssetTable[i];
  }
  return nullptr;
}

namespace {

std::string_view ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  const size_t slash = name.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return name.substr(dot + 1);
}

bool Unreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string_view GalleryAssetType(std::string_view name) {
  const std::string_view ext = ExtensionOf(name);
  if (ext == "css") return "text/css; charset=utf-8";
  if (ext == "js") return "text/javascript; charset=utf-8";
  if (ext == "svg") return "image/svg+xml";
  return "application/octet-stream";
}

std::string EncodeDotPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size() + path.size() / 2);
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (Unreserved(c) || c == '/') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool DecodeDotPath(std::string_view encoded, std::string& path) {
  path.clear();
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c == '%') {
      if (i + 2 >= encoded.size()) return false;
      const int hi = HexValue(encoded[i + 1]);
      const int lo = HexValue(encoded[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return false;
    path += c;
  }
  // Segments as decoded: none may climb or stand for its own folder.
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    const std::string_view segment =
        std::string_view(path).substr(start, slash == std::string::npos ? slash : slash - start);
    if (segment == "." || segment == "..") return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

TMediaType MediaTypeOf(std::string_view name) {
  struct TRow {
    std::string_view Ext;
    TMediaKind Kind;
    std::string_view Type;
  };
  static constexpr std::array<TRow, 26> kRows{{
      {"jpg", TMediaKind::Picture, "image/jpeg"},   {"jpeg", TMediaKind::Picture, "image/jpeg"},
      {"jpe", TMediaKind::Picture, "image/jpeg"},   {"png", TMediaKind::Picture, "image/png"},
      {"gif", TMediaKind::Picture, "image/gif"},    {"bmp", TMediaKind::Picture, "image/bmp"},
      {"webp", TMediaKind::Picture, "image/webp"},  {"avif", TMediaKind::Picture, "image/avif"},
      {"heic", TMediaKind::Picture, "image/heic"},  {"heif", TMediaKind::Picture, "image/heif"},
      {"ico", TMediaKind::Picture, "image/x-icon"}, {"mp4", TMediaKind::Video, "video/mp4"},
      {"m4v", TMediaKind::Video, "video/mp4"},      {"webm", TMediaKind::Video, "video/webm"},
      {"ogv", TMediaKind::Video, "video/ogg"},      {"mov", TMediaKind::Video, "video/quicktime"},
      {"mp3", TMediaKind::Audio, "audio/mpeg"},     {"m4a", TMediaKind::Audio, "audio/mp4"},
      {"aac", TMediaKind::Audio, "audio/aac"},      {"ogg", TMediaKind::Audio, "audio/ogg"},
      {"oga", TMediaKind::Audio, "audio/ogg"},      {"opus", TMediaKind::Audio, "audio/ogg"},
      {"wav", TMediaKind::Audio, "audio/wav"},      {"flac", TMediaKind::Audio, "audio/flac"},
      {"weba", TMediaKind::Audio, "audio/webm"},    {"mkv", TMediaKind::Video, "video/x-matroska"},
  }};
  const std::string_view ext = ExtensionOf(name);
  if (ext.empty()) return {};
  for (const TRow& row : kRows) {
    if (CompareNames(ext, row.Ext) == 0) return {row.Kind, row.Type};
  }
  return {};
}

bool TServerActions::HasFile(const std::string& base, const std::string& name) {
  const TConfined c = ConfinePath(base, base + name);
  struct stat st {};
  return c.accepted && stat(c.path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

THttpResponse TServerActions::HandleGalleryRequest(const std::string& uri,
                                                   const std::vector<std::string>& requestHeaders,
                                                   bool& made) {
  THttpResponse response = GalleryRoute(uri, requestHeaders, made);
  // Every gallery answer has its length, so its connection may carry the
  // browser's next request (the worker never keeps one after a stream).
  response.KeepAlive = response.Kind != THttpResponse::TBody::Stream;
  response.Headers.emplace_back(kGalleryPolicy);
  response.Headers.emplace_back(kNoSniff);
  response.Headers.emplace_back(kNoReferrer);
  return response;
}

namespace {

constexpr std::string_view kDotPrefix = "/.mirelo/";

// The assets are built into the program: they last changed, at the latest,
// when it started.
const std::time_t kAssetsChanged = std::time(nullptr);

// A fixed asset: its bytes, type and a day of keeping.
THttpResponse AssetResponse(const TGalleryAsset& asset,
                            const std::vector<std::string>& requestHeaders) {
  if (NotModifiedSince(requestHeaders, kAssetsChanged, std::time(nullptr)))
    return THttpResponse::NotModified(kAssetsChanged);
  THttpResponse response = THttpResponse::Raw(std::string(asset.Bytes));
  response.AddLastModified(kAssetsChanged);
  response.Headers.push_back("Content-Type: " + std::string(GalleryAssetType(asset.Name)));
  response.Headers.push_back("Content-Length: " + std::to_string(asset.Bytes.size()));
  response.Headers.emplace_back("Cache-Control: max-age=86400");
  return response;
}

// When the open file fd, or the file at path, last changed; -1 when it
// cannot be told.
std::time_t ChangedAt(int fd) {
  struct stat st {};
  return fd >= 0 && fstat(fd, &st) == 0 ? st.st_mtime : -1;
}
std::time_t ChangedAt(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : -1;
}

// Whether the visitor's copy of something that last changed at modified is
// current (nothing is when the time is unknown).
bool VisitorHasIt(const std::vector<std::string>& requestHeaders, std::time_t modified) {
  return modified >= 0 && NotModifiedSince(requestHeaders, modified, std::time(nullptr));
}

// A file answer (whole or in part) as of its file's time: 304 when the
// visitor's copy is current, else the answer with its Last-Modified.
THttpResponse WithFileTime(THttpResponse response, const std::vector<std::string>& requestHeaders) {
  if (response.Kind != THttpResponse::TBody::File) return response;
  const std::time_t modified = ChangedAt(response.File.File.get());
  if (modified < 0) return response;
  if (VisitorHasIt(requestHeaders, modified)) return THttpResponse::NotModified(modified);
  response.AddLastModified(modified);
  return response;
}

}  // namespace

THttpResponse GalleryNotFound();

THttpResponse TServerActions::GalleryRoute(const std::string& uri,
                                           const std::vector<std::string>& requestHeaders,
                                           bool& made) {
  made = false;
  if (uri.compare(0, kDotPrefix.size(), kDotPrefix) == 0) {
    // The addresses of the gallery itself, read as sent (no shared name can
    // begin with "/.mirelo/": the router never lists or links dot-names there).
    std::string_view rest = std::string_view(uri).substr(kDotPrefix.size());
    rest = rest.substr(0, rest.find('?'));
    if (rest.compare(0, 7, "assets/") == 0) {
      if (const TGalleryAsset* asset = FindGalleryAsset(rest.substr(7))) {
        made = true;
        return AssetResponse(*asset, requestHeaders);
      }
    } else if (rest.compare(0, 5, "view/") == 0) {
      return GalleryView(std::string(rest.substr(5)), requestHeaders);
    }
    return GalleryNotFound();
  }

  const std::string p = uri == "/" ? std::string() : DecodeRequestPath(uri);
  if (p.empty()) return GalleryFolderPage(p);
  if (PosNoCase("DOWNLOAD?", p) > 0) {
    const std::string name = TextAfter("DOWNLOAD?", p);
    if (!HasFile(RootFolder, name)) return GalleryNotFound();
    THttpResponse response =
        WithFileTime(OpenDownload(RootFolder, name, requestHeaders), requestHeaders);
    response.ReportName = RootFolder + uri.substr(uri.find('?') + 1);
    return response;
  }
  THttpResponse response;
  if (PosNoCase("SYSTEMIMG/", p) > 0) {
    const bool folder = CompareNames(TextAfter("SYSTEMIMG/", p), "FOLDER.JPG") == 0;
    made = SendPicture(SystemFolder, folder ? "mirelo folder.gif" : "mirelo file.gif", response);
    return response;
  }
  if (PosNoCase("TAMBNEIL/", p) > 0) {
    const std::string name = TextAfter("TAMBNEIL/", p);
    // A thumbnail still queued is made first (bounded by the worker's wait);
    // one that is not ready in time, or could not be made, is not found.
    if (name.empty() || (Cache && !Cache->AwaitThumb(name, ThumbWaitMs)) ||
        !HasFile(CacheFolder(), name))
      return GalleryNotFound();
    // A thumbnail file is only ever replaced whole: its time is its version.
    const std::time_t modified = ChangedAt(CacheFolder() + name);
    if (VisitorHasIt(requestHeaders, modified)) return THttpResponse::NotModified(modified);
    made = SendPicture(CacheFolder(), name, response);
    if (made && modified >= 0) response.AddLastModified(modified);
    return response;
  }
  if (IsPictureName(p)) {
    if (!HasFile(RootFolder, p)) return GalleryNotFound();
    const TConfined c = ConfinePath(RootFolder, RootFolder + p);
    const std::time_t modified = ChangedAt(c.path);
    if (VisitorHasIt(requestHeaders, modified)) return THttpResponse::NotModified(modified);
    made = SendPicture(RootFolder, p, response);
    if (made && modified >= 0) response.AddLastModified(modified);
    return response;
  }
  if (PosNoCase("CMDUPLOADFILE", p) > 0) return GalleryFolderPage(TextAfter("?", p));
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
    } else {
      folder = q;
    }
    made = true;
    return GallerySearchPage(text, folder);
  }
  response = GalleryFolderPage(p);
  made = response.Status == 200;
  return response;
}

THttpResponse TServerActions::GalleryView(const std::string& encodedPath,
                                          const std::vector<std::string>& requestHeaders) {
  std::string rel;
  if (!DecodeDotPath(encodedPath, rel)) return GalleryNotFound();
  const TConfined c = ConfinePath(RootFolder, RootFolder + rel);
  uint64_t size = 0;
  UniqueFd fd = c.accepted ? OpenRegularFile(c.path, size) : UniqueFd();
  if (!fd) return GalleryNotFound();
  const std::time_t modified = ChangedAt(fd.get());
  if (VisitorHasIt(requestHeaders, modified)) return THttpResponse::NotModified(modified);
  const std::int64_t total = static_cast<std::int64_t>(size);
  const TMediaType media = MediaTypeOf(rel);
  const bool inline_ = media.Kind != TMediaKind::None;
  const TByteRange range = RequestedRange(requestHeaders, total);
  THttpResponse response = FileRangeResponse(
      std::move(fd), total, range,
      "Content-Type: " +
          std::string(inline_ ? media.Type : std::string_view("application/octet-stream")));
  response.Headers.emplace_back("Accept-Ranges: bytes");
  if (response.Status == 416) return response;
  const size_t slash = rel.rfind('/');
  const std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
  response.Headers.push_back(std::string("Content-Disposition: ") +
                             (inline_ ? "inline" : "attachment") + "; filename=\"" +
                             HeaderQuoted(name) + "\"");
  if (modified >= 0) response.AddLastModified(modified);
  response.ReportName = c.path;
  return response;
}
