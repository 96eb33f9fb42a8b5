// Start-up paths, version texts, the beta marker and single-instance locks.
#include "base/StartUp.h"

#include "base/FileUtil.h"
#include "base/OrvelTPU.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#ifndef MIRELO_VERSION
#define MIRELO_VERSION ""
#endif

namespace {

struct Settled {
  std::string workingFolder;
  std::string settingsFolder;
  std::string settingsFile;
  bool firstRun = false;
  std::string userName;
};

Settled& State() {
  static Settled state;
  return state;
}

std::string ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

void Settle(const std::string& working) {
  Settled& s = State();
  s.workingFolder = working;
  s.settingsFolder = working + "system/";
  s.settingsFile = s.settingsFolder + "Mirelo.INI";
  struct stat st;
  s.firstRun = ::stat(s.settingsFile.c_str(), &st) != 0;
}

void CreateWorkingFolders(const std::string& working) {
  if (working.empty()) return;
  CreateFolderIfMissingQuietly(working);
  CreateFolderIfMissingQuietly(working + "system/");
}

}  // namespace

std::string ProgramFolder() {
  const std::string exe = ExecutablePath();
  const size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

std::string InstalledDataFolderFor(const std::string& programFolder) {
  // Run from the build folder (or an unpacked copy), system/ sits beside the
  // executable and the program keeps everything there.
  if (programFolder.empty() || IsFolder(programFolder + "system")) return std::string();
  const std::string binSuffix = "/bin/";
  if (programFolder.size() < binSuffix.size() ||
      programFolder.compare(programFolder.size() - binSuffix.size(), binSuffix.size(), binSuffix) !=
          0) {
    return std::string();
  }
  const std::string prefix = programFolder.substr(0, programFolder.size() - binSuffix.size());
  const std::string data = prefix + "/share/mirelo-share/";
  return IsFolder(data) ? data : std::string();
}

std::string InstalledDataFolder() { return InstalledDataFolderFor(ProgramFolder()); }

bool IsInstalled() { return !InstalledDataFolder().empty(); }

std::string SystemFolder() {
  const std::string data = InstalledDataFolder();
  return (data.empty() ? ProgramFolder() : data) + "system/";
}

std::string PluginFolder() {
  const std::string data = InstalledDataFolder();
  return data.empty() ? ProgramFolder() : data + "plugins/";
}

const std::string& WorkingFolder() { return State().workingFolder; }
const std::string& SettingsFolder() { return State().settingsFolder; }
const std::string& SettingsFile() { return State().settingsFile; }
bool FirstRun() { return State().firstRun; }

void InitPaths() { Settle(ChooseWorkingFolder("Mirelo File Share")); }

void InitPathsIn(const std::string& workingFolder) {
  std::string folder = workingFolder;
  if (!folder.empty() && folder[0] != '/') {
    std::error_code ec;
    folder = (std::filesystem::current_path(ec) / folder).string();
  }
  folder = WithSlash(folder);
  CreateWorkingFolders(folder);
  Settle(folder);
}

std::string ChooseWorkingFolder(const std::string& name) {
  // An installed program never writes beside itself, not even for root.
  return ChooseWorkingFolderFrom(name, ProgramFolder(), IsUserAdmin() && !IsInstalled());
}

std::string ChooseWorkingFolderFrom(const std::string& name, const std::string& programFolder,
                                    bool isAdmin) {
  std::string folder;
  if (isAdmin && CanWriteToFolder(programFolder + "WriteAccessTestFile.$$$")) {
    folder = programFolder;
  } else {
    folder = GetSpecialFolder(SpecialFolder::AppData) + name;
  }
  folder = WithSlash(folder);
  CreateWorkingFolders(folder);
  return folder;
}

bool IsUserAdmin() { return ::geteuid() == 0; }

std::string GetFileVersion() { return MIRELO_VERSION; }

std::string ShortVersionOf(const std::string& version) {
  const size_t dot = LastPos(".", version);
  return dot == 0 ? std::string() : CopyRange(version, 1, static_cast<long>(dot) - 1);
}

std::string GetShortVersion() { return ShortVersionOf(GetFileVersion()); }

bool IsBetaTester() { return IsRegularFile(ProgramFolder() + "BetaTester"); }

const std::string& UserName() { return State().userName; }
void SetUserName(const std::string& name) { State().userName = name; }

std::unique_ptr<FileLock> FileLock::Acquire(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
  if (!fd) return nullptr;
  int rc;
  do {
    rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return nullptr;
  return std::unique_ptr<FileLock>(new FileLock(std::move(fd), path));
}

std::string SingleInstanceName(bool fullPath) {
  const std::string exe = ExecutablePath();
  std::string name = fullPath ? exe : exe.substr(exe.rfind('/') + 1);
  for (char& c : name) {
    if (c == ' ' || c == '/' || c == '\\') c = '_';
  }
  return name;
}

std::string SingleInstanceLockPath(bool fullPath) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string folder = (runtime && *runtime && IsFolder(runtime))
                           ? std::string(runtime)
                           : std::filesystem::temp_directory_path().string();
  return WithSlash(folder) + SingleInstanceName(fullPath) + ".lock";
}

bool CheckSingleInstance(bool fullPath) {
  static std::unique_ptr<FileLock> held;
  static std::mutex once;
  std::lock_guard<std::mutex> hold(once);
  if (held) return false;
  held = FileLock::Acquire(SingleInstanceLockPath(fullPath));
  return !held;
}

std::unique_ptr<FileLock> LockWorkingFolder(const std::string& workingFolder) {
  return FileLock::Acquire(WithSlash(workingFolder) + "Mirelo.lock");
}
