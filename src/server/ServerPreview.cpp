// The preview route: a picture of the share at screen size, shown inline.
#include "server/ServerActions.h"

#include "imaging/CacheKeeper.h"
#include "imaging/PictureFiles.h"
#include "imaging/PreviewCache.h"
#include "server/RequestText.h"

#include <sys/stat.h>

#include <ctime>
#include <stdexcept>

namespace {

// The folder of the previews inside the thumbnail cache's folder, so that
// clearing the cache clears them too.
constexpr char kPreviewFolder[] = "Previews/";

THttpResponse NotFound() {
  THttpResponse response = THttpResponse::Raw("Not found\n");
  response.Status = 404;
  response.Headers.emplace_back("Content-type: text/plain; charset=UTF-8");
  response.Headers.emplace_back("Content-Length: " + std::to_string(response.Body.size()));
  response.Headers.emplace_back("X-Content-Type-Options: nosniff");
  return response;
}

// The picture's name with ".jpg" in place of its extension.
std::string JpegName(const std::string& rel) {
  const std::size_t slash = rel.rfind('/');
  std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name + ".jpg";
}

}  // namespace

std::string DecodeSharePath(std::string_view encoded) {
  encoded = encoded.substr(0, encoded.find('?'));
  if (encoded.empty()) return {};
  std::string path;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = encoded.find('/', start);
    const std::string_view part = encoded.substr(start, slash - start);
    std::string name;
    try {
      name = UrlDecode(part);
    } catch (const std::runtime_error&) {
      return {};
    }
    if (name.empty() || name.front() == '.' ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
      return {};
    }
    if (!path.empty()) path.push_back('/');
    path += name;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return path;
}

bool TServerActions::SendPreview(std::string_view encodedPath, THttpResponse& response,
                                 const std::vector<std::string>* requestHeaders) {
  const std::string rel = DecodeSharePath(encodedPath);
  const std::string cacheFolder = CacheFolder();
  std::string bytes;
  // A preview is remade whenever its picture changes: the picture's time
  // dates it.
  std::time_t modified = -1;
  if (!rel.empty() && !cacheFolder.empty() && !RootFolder.empty()) {
    const TConfined c = ConfinePath(RootFolder, RootFolder + rel);
    struct stat st {};
    if (requestHeaders && c.accepted && IsPictureName(rel) && stat(c.path.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
      modified = st.st_mtime;
      if (NotModifiedSince(*requestHeaders, modified, std::time(nullptr))) {
        response = THttpResponse::NotModified(modified);
        return true;
      }
    }
    const std::string preview =
        c.accepted ? TPreviewCache(cacheFolder + kPreviewFolder).GetPreview(c.path) : std::string();
    if (!preview.empty() && !ReadPictureFile(preview, bytes).empty()) bytes.clear();
  }
  if (bytes.empty()) {
    response = NotFound();
    response.KeepAlive = requestHeaders != nullptr;
    return false;
  }
  response = THttpResponse::Raw(std::move(bytes));
  if (requestHeaders) {
    response.KeepAlive = true;
    if (modified >= 0) response.AddLastModified(modified);
  }
  response.Headers.emplace_back("Content-type: image/jpeg");
  response.Headers.emplace_back("Content-Length: " + std::to_string(response.Body.size()));
  response.Headers.emplace_back("Content-Disposition: inline; filename=\"" +
                                HeaderQuoted(JpegName(rel)) + "\"");
  response.Headers.emplace_back("X-Content-Type-Options: nosniff");
  return true;
}
