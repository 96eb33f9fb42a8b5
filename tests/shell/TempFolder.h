// Test helpers: a temporary folder per test, and environment variables set
// for the test's duration.
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

// A fresh folder under the system's temp folder, removed with its contents.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mirelo-shell-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder with a trailing "/".
  std::string Slash() const { return path_.string() + "/"; }
  // A path inside the folder.
  std::string operator/(const std::string& rel) const { return Slash() + rel; }

  void Write(const std::string& rel, const std::string& bytes) const {
    std::filesystem::create_directories((path_ / rel).parent_path());
    std::ofstream(path_ / rel, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& rel) const {
    std::ifstream in(path_ / rel, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool Exists(const std::string& rel) const {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path_ / rel, ec));
  }
  void Mkdir(const std::string& rel) const { std::filesystem::create_directories(path_ / rel); }

 private:
  std::filesystem::path path_;
};

// Sets (or unsets, for nullopt) one environment variable until destroyed.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};
