// Share paths of the dot-named addresses and confined opening of folders.
#include "server/ShareFolder.h"

#include "server/RequestText.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <stdexcept>

bool DecodeSharePath(std::string_view encoded, std::vector<std::string>& names) {
  names.clear();
  const std::size_t query = encoded.find('?');
  if (query != std::string_view::npos) encoded = encoded.substr(0, query);
  std::size_t start = 0;
  while (start < encoded.size()) {
    std::size_t end = encoded.find('/', start);
    if (end == std::string_view::npos) end = encoded.size();
    const std::string_view part = encoded.substr(start, end - start);
    start = end + 1;
    if (part.empty()) return false;  // "//" or a leading "/"
    std::string name;
    try {
      name = UrlDecode(part);
    } catch (const std::runtime_error&) {
      return false;
    }
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
      return false;
    names.push_back(std::move(name));
  }
  return true;
}

std::string HandlePath(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(link, target, PATH_MAX);
  if (n <= 0 || target[0] != '/') return {};
  return std::string(target, static_cast<std::size_t>(n));
}

bool IsVisibleInside(const std::string& shareRoot, const std::string& path) {
  if (shareRoot.empty()) return false;
  if (path == shareRoot) return true;
  // The root "/" shared whole is the one root that ends in "/".
  const std::string prefix = shareRoot == "/" ? shareRoot : shareRoot + "/";
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  for (std::size_t at = prefix.size() - 1; at != std::string::npos; at = path.find('/', at + 1)) {
    if (at + 1 < path.size() && path[at + 1] == '.') return false;
  }
  return true;
}

std::string RealShareRoot(const std::string& shareRoot) {
  std::unique_ptr<char, decltype(&::free)> real(::realpath(shareRoot.c_str(), nullptr), &::free);
  if (!real) return {};
  return real.get();
}

TShareFolder OpenShareFolder(const std::string& shareRoot, const std::vector<std::string>& names) {
  TShareFolder folder;
  const std::string root = RealShareRoot(shareRoot);
  if (root.empty()) return folder;
  UniqueFd current(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current) return folder;
  // One name at a time, each checked where it really led, so no step can
  // pass through a place outside the share.
  for (const auto& name : names) {
    UniqueFd next(::openat(current.get(), name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!next || !IsVisibleInside(root, HandlePath(next.get()))) return folder;
    current = std::move(next);
  }
  folder.Path = HandlePath(current.get());
  if (!IsVisibleInside(root, folder.Path)) return folder;
  const std::size_t slash = folder.Path.rfind('/');
  folder.Name = folder.Path.substr(slash + 1);
  folder.Handle = std::move(current);
  return folder;
}
