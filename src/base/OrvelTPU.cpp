// Desktop and file utilities.
#include "base/OrvelTPU.h"

#include "base/BaseLimits.h"
#include "base/FileUtil.h"
#include "base/IniFile.h"
#include "base/Messages.h"
#include "base/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string WithSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + '/';
}

std::string WithoutSlash(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool GlobMatch(const std::string& name, const std::string& mask) {
  size_t n = 0, m = 0;
  size_t starMask = std::string::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (m < mask.size() && (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
      ++m;
      ++n;
    } else if (starMask != std::string::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

enum class EntryType { Other, RegularFile, Folder };

// Lists the entries of a folder without following links for the entry itself:
// a link is reported by what it points to for files, never as a folder.
template <typename Visit>
void ForEachEntry(const std::string& folder, Visit visit) {
  const std::string base = WithSlash(folder);
  const UniqueDir dir = OpenFolder(folder.empty() ? "." : folder);
  if (!dir) return;
  while (dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = base + name;
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) continue;
    EntryType type = EntryType::Other;
    if (S_ISDIR(st.st_mode)) {
      type = EntryType::Folder;
    } else if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && IsRegularFile(full))) {
      type = EntryType::RegularFile;
    }
    visit(name, full, type);
  }
}

// Everything below the folder for deletion: all non-folders depth first, then
// the direct sub-folders (hidden ones too).
void CollectForDeletion(const std::string& folder, std::vector<std::string>& files,
                        std::vector<std::string>& folders, bool top) {
  std::vector<std::string> subs;
  ForEachEntry(folder, [&](const std::string&, const std::string& full, EntryType type) {
    if (type == EntryType::Folder) {
      subs.push_back(full);
    } else {
      files.push_back(full);
    }
  });
  for (const auto& s : subs) CollectForDeletion(s, files, folders, false);
  if (top) folders = subs;
}

}  // namespace

bool CreateFolderIfMissingQuietly(const std::string& path) {
  if (path.empty() || IsFolder(path)) return !path.empty();
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return IsFolder(path);
}

bool CheckFileExists(const std::string& path) {
  if (path.empty()) {
    ShowInfo("No file specified!");
    return false;
  }
  if (IsRegularFile(path)) return true;
  ShowInfo("File \"" + path + "\" does not exist");
  return false;
}

bool IsFolder(const std::string& path) {
  if (path.empty()) return false;
  if (path.size() > 1 && path.back() == ' ') return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFolderNotFile(const std::string& path) { return IsFolder(path) && !IsRegularFile(path); }

bool CanWriteToFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  if (!IsFolder(path.substr(0, slash + 1))) return false;
  const std::string probe =
      IsFolderNotFile(path) ? WithSlash(path) + "WritePermTest.DeleteMe" : path;
  if (IsRegularFile(probe)) {
    UniqueFd fd(::open(probe.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    return fd.valid();
  }
  // O_EXCL: only a file this test made is removed again.
  UniqueFd fd(::open(probe.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644));
  if (!fd.valid()) return false;
  ::unlink(probe.c_str());
  return true;
}

int CreateFolderIfMissing(const std::string& path) {
  if (IsFolder(path)) return 0;
  bool made = false;
  if (!path.empty()) {
    // Each missing parent in turn, as mkdir -p does.
    std::string partial;
    made = true;
    size_t pos = 0;
    while (made && pos < path.size()) {
      size_t next = path.find('/', pos);
      if (next == std::string::npos) next = path.size();
      partial = path.substr(0, next);
      pos = next + 1;
      if (partial.empty()) continue;  // the root
      if (::mkdir(partial.c_str(), 0777) != 0) {
        struct stat st;
        made = errno == EEXIST && ::stat(partial.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
    }
  }
  struct stat st;
  if (made && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 1;
  ShowError("Cannot create directory!\r\n" + path);
  return -1;
}

std::string LeadingZeros(std::string text, size_t length) {
  if (text.size() < length) text.insert(0, length - text.size(), '0');
  return text;
}

bool MatchesFileMask(const std::string& name, const std::string& mask) {
  if (GlobMatch(name, mask)) return true;
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0) {
    return GlobMatch(name, mask.substr(0, mask.size() - 2));
  }
  return false;
}

void ListFiles(const std::string& folder, const std::string& mask, std::vector<std::string>& list,
               bool fullPaths) {
  ForEachEntry(folder, [&](const std::string& name, const std::string& full, EntryType type) {
    if (type == EntryType::RegularFile && MatchesFileMask(name, mask)) {
      list.push_back(fullPaths ? full : name);
    }
  });
}

void ListFilesRecursive(const std::string& folder, const std::string& mask,
                        std::vector<std::string>& list) {
  ListFiles(folder, mask, list, true);
  std::vector<std::string> subs;
  ListSubfolders(folder, subs);
  for (const auto& s : subs) ListFilesRecursive(s, mask, list);
}

void ListSubfolders(const std::string& folder, std::vector<std::string>& list) {
  ForEachEntry(folder, [&](const std::string& name, const std::string& full, EntryType type) {
    if (type == EntryType::Folder && name[0] != '.') list.push_back(full);
  });
}

bool EmptyFolder(const std::string& folder, bool stopOnError) {
  if (folder.empty()) throw std::invalid_argument("Path is empty!");
  std::vector<std::string> files, folders;
  CollectForDeletion(WithoutSlash(folder), files, folders, true);
  bool ok = true;
  for (const auto& f : files) {
    if (::unlink(f.c_str()) != 0 && errno != ENOENT) {
      ok = false;
      if (stopOnError) return false;
    }
  }
  for (const auto& d : folders) {
    if (!DeleteFolder(d, stopOnError)) {
      ok = false;
      if (stopOnError) return false;
    }
  }
  return ok;
}

bool DeleteFolder(const std::string& folder, bool stopOnError) {
  const std::string path = WithoutSlash(folder);
  // A folder the owner may not write could not be emptied: make it writable first.
  struct stat st;
  if (!path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);
  }
  if (!EmptyFolder(folder, stopOnError)) return false;
  return ::rmdir(path.c_str()) == 0;
}

std::string ExpandCrLf(const std::string& text) {
  // Replaces every case-insensitive occurrence of `from`, left to right, without overlap.
  auto replaceAll = [](const std::string& in, const std::string& from, const std::string& to) {
    std::string out;
    size_t i = 0;
    while (i < in.size()) {
      bool hit = i + from.size() <= in.size();
      for (size_t k = 0; hit && k < from.size(); ++k) {
        hit = LowerAscii(in[i + k]) == LowerAscii(from[k]);
      }
      if (hit) {
        out += to;
        i += from.size();
      } else {
        out += in[i++];
      }
    }
    return out;
  };
  std::string s = replaceAll(text, "CRLF ", "CRLF");
  s = replaceAll(s, " CRLF ", "CRLF");
  return replaceAll(s, "CRLF", "\r\n");
}

// ---- Desktop ----

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : fallback;
}

std::string HomeFolder() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "";
}

std::string ConfigHome() {
  const std::string home = HomeFolder();
  return EnvOr("XDG_CONFIG_HOME", home.empty() ? "" : home + "/.config");
}

std::string DataHome() {
  const std::string home = HomeFolder();
  return EnvOr("XDG_DATA_HOME", home.empty() ? "" : home + "/.local/share");
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

std::string DesktopExecQuoted(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  quoted += '"';
  std::string escaped;
  for (char c : quoted) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

namespace {

std::string RegistrySection(const std::string& key) {
  size_t b = 0;
  while (b < key.size() && key[b] == '\\') ++b;
  return key.substr(b);
}

std::mutex openerLock;
std::shared_ptr<const DocumentOpener> installedOpener;

int SpawnXdgOpen(const std::string& target) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(target.c_str()), nullptr};
  pid_t pid = 0;
  const int rc = ::posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return rc;
  // The handler runs on its own; a helper thread reaps it.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return 0;
}

}  // namespace

std::string AutoStartEntryPath(const std::string& programPath) {
  std::string stem = FileNameStem(programPath);
  if (stem.empty()) stem = FileNameOf(programPath);
  const std::string config = ConfigHome();
  if (config.empty() || stem.empty()) return "";
  return config + "/autostart/" + stem + ".desktop";
}

void SetAutoStartFor(const std::string& programPath, bool on) {
  const std::string entry = AutoStartEntryPath(programPath);
  if (entry.empty()) return;
  if (!on) {
    ::unlink(entry.c_str());
    return;
  }
  std::string name = FileNameStem(programPath);
  if (name.empty()) name = FileNameOf(programPath);
  const std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=" +
      name +
      "\n"
      "Exec=" +
      DesktopExecQuoted(programPath) +
      "\n"
      "X-GNOME-Autostart-enabled=true\n";
  if (CreateFolderIfMissingQuietly(FolderOf(entry))) WriteFileAtomically(entry, text, false);
}

void SetAutoStart(bool on) {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return;
  SetAutoStartFor(std::string(buffer, static_cast<size_t>(n)), on);
}

bool DeleteDesktopShortcut(const std::string& name) {
  const std::string desktop = GetSpecialFolder(SpecialFolder::Desktop);
  if (desktop.empty()) return false;
  return ::unlink((desktop + name + ".desktop").c_str()) == 0;
}

bool DeleteStartMenuShortcut(const std::string& name) {
  const std::string data = DataHome();
  if (data.empty()) return false;
  return ::unlink((data + "/applications/" + name + ".desktop").c_str()) == 0;
}

void SetDocumentOpener(DocumentOpener opener) {
  auto next = opener ? std::make_shared<const DocumentOpener>(std::move(opener)) : nullptr;
  std::lock_guard<std::mutex> hold(openerLock);
  installedOpener = std::move(next);
}

int OpenDocument(const std::string& target) {
  std::shared_ptr<const DocumentOpener> opener;
  {
    std::lock_guard<std::mutex> hold(openerLock);
    opener = installedOpener;
  }
  if (opener) return (*opener)(target);
  return SpawnXdgOpen(target);
}

std::string RegistryFilePath() {
  const std::string config = ConfigHome();
  return config.empty() ? std::string() : config + "/Orvel/Mirelo.conf";
}

std::string RegReadText(RegistryRoot, const std::string& key, const std::string& name,
                        bool create) {
  const std::string file = RegistryFilePath();
  if (file.empty()) return "";
  IniFile ini(file);
  const std::string section = RegistrySection(key);
  if (!ini.HasSection(section)) {
    if (create && CreateFolderIfMissingQuietly(FolderOf(file))) {
      ini.AddSection(section);
      ini.Save(false);
    }
    return "";
  }
  return ini.ReadString(section, name, "");
}

bool RegWriteText(RegistryRoot, const std::string& key, const std::string& name, bool create,
                  bool lazyWrite, const std::string& text) {
  const std::string file = RegistryFilePath();
  if (file.empty()) return false;
  IniFile ini(file);
  const std::string section = RegistrySection(key);
  if (!ini.HasSection(section) && !create) return false;
  if (!CreateFolderIfMissingQuietly(FolderOf(file))) return false;
  ini.WriteString(section, name, text);
  return ini.Save(!lazyWrite);
}

bool RegDeleteValue(RegistryRoot, const std::string& key, const std::string& name) {
  const std::string file = RegistryFilePath();
  if (file.empty()) return false;
  IniFile ini(file);
  if (!ini.DeleteKey(RegistrySection(key), name)) return false;
  return ini.Save(true);
}

// ---- Account, machine and special folders ----

std::string GetSpecialFolder(SpecialFolder folder) {
  std::string path;
  const std::string home = HomeFolder();
  if (folder == SpecialFolder::AppData) {
    path = DataHome();
  } else {
    const char* var = folder == SpecialFolder::Desktop ? "XDG_DESKTOP_DIR" : "XDG_DOCUMENTS_DIR";
    const std::string config = ConfigHome();
    if (!config.empty()) {
      std::ifstream in(config + "/user-dirs.dirs");
      std::string line;
      while (std::getline(in, line)) {
        if (line.rfind(std::string(var) + "=", 0) != 0) continue;
        std::string value = line.substr(std::string(var).size() + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
          value = value.substr(1, value.size() - 2);
        }
        if (value.rfind("$HOME", 0) == 0 && !home.empty()) value = home + value.substr(5);
        if (!value.empty() && value[0] == '/') path = value;
      }
    }
    if (path.empty() && !home.empty()) {
      path = home + (folder == SpecialFolder::Desktop ? "/Desktop" : "/Documents");
    }
  }
  if (path.empty()) return "";
  if (path.back() != '/') path += '/';
  return path;
}

std::string GetComputerNameText() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof(buffer) - 1) != 0) return "";
  std::string name = buffer;
  name = name.substr(0, name.find('.'));
  if (name.size() > BaseLimits::kComputerNameMax) name.resize(BaseLimits::kComputerNameMax);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

std::string GetLogonName() {
  std::string name;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
    name = found->pw_name;
  }
  if (name.size() > BaseLimits::kLogonNameMax) name.resize(BaseLimits::kLogonNameMax);
  auto trimmed = [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 127; };
  size_t b = 0, e = name.size();
  while (b < e && trimmed(name[b])) ++b;
  while (e > b && trimmed(name[e - 1])) --e;
  name = name.substr(b, e - b);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

// ---- Text ----

std::string FileNameStem(const std::string& path) {
  const std::string name = FileNameOf(path);
  const size_t dot = name.find('.');
  return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

size_t CharacterCount(const std::string& text) {
  size_t count = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

std::string PadRight(std::string text, char fill, size_t minLength) {
  const size_t length = CharacterCount(text);
  if (length < minLength) text.append(minLength - length, fill);
  return text;
}

std::string CopyRange(const std::string& text, long first, long last) {
  if (first < 1) first = 1;
  if (last > static_cast<long>(text.size())) last = static_cast<long>(text.size());
  if (last < first) return "";
  return text.substr(static_cast<size_t>(first - 1), static_cast<size_t>(last - first + 1));
}

std::string ReverseText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t end = text.size();
  while (end > 0) {
    size_t start = end - 1;
    // Back to the lead byte of a UTF-8 sequence (at most three continuation bytes).
    while (start > 0 && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
      --start;
    }
    out.append(text, start, end - start);
    end = start;
  }
  return out;
}

size_t LastPos(const std::string& find, const std::string& text) {
  if (find.empty() || find.size() > text.size()) return 0;
  const size_t at = text.rfind(find);
  return at == std::string::npos ? 0 : at + 1;
}
