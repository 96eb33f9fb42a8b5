// Start-up paths, version texts, the beta marker and single-instance locks.
// The paths are settled once, on the main thread, before anything reads them.
#pragma once

#include "base/UniqueFd.h"

#include <memory>
#include <string>

// Folder of the executable, ending in "/".
std::string ProgramFolder();
// The data folder of an installed program, "<prefix>/share/mirelo-share/",
// when programFolder is "<prefix>/bin/" with no "system" folder in it and that
// data folder exists; otherwise "" (the program runs from its build folder).
std::string InstalledDataFolderFor(const std::string& programFolder);
std::string InstalledDataFolder();
bool IsInstalled();
// The fixed pictures: "system/" in the installed data folder, else beside
// the executable.
std::string SystemFolder();
// Where plug-in libraries are looked for: "plugins/" in the installed data
// folder, else the program folder.
std::string PluginFolder();

// The process-wide paths, each ending in "/" (the file excepted).
const std::string& WorkingFolder();
const std::string& SettingsFolder();  // WorkingFolder + "system/"
const std::string& SettingsFile();    // SettingsFolder + "Mirelo.INI"
// True when the settings file did not exist when the paths were settled.
bool FirstRun();

// Settles the paths on ChooseWorkingFolder("Mirelo File Share").
void InitPaths();
// Settles the paths on a given working folder (the --workdir option),
// creating it and its "system/" folder when missing.
void InitPathsIn(const std::string& workingFolder);

// The program folder when the user is an administrator and may write there
// (ChooseWorkingFolder: and the program is not installed), else the per-user application-data
// folder + name; "/" appended, created (with its "system/" folder) when missing.
std::string ChooseWorkingFolder(const std::string& name);
// The same decision with its inputs given.
std::string ChooseWorkingFolderFrom(const std::string& name, const std::string& programFolder,
                                    bool isAdmin);

// Effective user id 0.
bool IsUserAdmin();
// The version compiled in from the build, e.g. "1.0.0.0"; GetShortVersion
// drops its last dot-separated part ("" when it holds no ".").
std::string GetFileVersion();
std::string GetShortVersion();
std::string ShortVersionOf(const std::string& version);
// A regular file "BetaTester" in the program folder.
bool IsBetaTester();

// The user's chosen name, set at start-up (at least 7 characters, no "*").
const std::string& UserName();
void SetUserName(const std::string& name);

// An exclusive advisory lock on a file, held until destroyed (or the process
// ends). Acquire never blocks: empty when another process holds it.
class FileLock {
 public:
  static std::unique_ptr<FileLock> Acquire(const std::string& path);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  const std::string& Path() const { return path_; }

 private:
  FileLock(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

// The single-instance name: the executable's full path (fullPath) or file
// name, every blank and "/" replaced by "_".
std::string SingleInstanceName(bool fullPath);
// $XDG_RUNTIME_DIR (else the temp folder) + "/" + name + ".lock".
std::string SingleInstanceLockPath(bool fullPath);
// True when another instance holds the lock (the window then asks it to come
// forward and ends); otherwise this process takes the lock and keeps it until
// it ends.
bool CheckSingleInstance(bool fullPath);

// The lock of a working folder ("Mirelo.lock" inside it): two processes must
// never share one cache database. Empty when another process holds it.
std::unique_ptr<FileLock> LockWorkingFolder(const std::string& workingFolder);
