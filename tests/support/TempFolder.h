// A fresh folder for one test under the system's temporary folder, removed
// with everything in it (folders a test locked included) when it goes.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mirelo-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a folder " + pattern);
    path_ = pattern;
  }
  ~TempFolder() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Folders a test made unreadable or read-only are opened up first.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(
             path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
      }
    }
    fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, without a trailing "/".
  const std::filesystem::path& Path() const { return path_; }
  // The folder with a trailing "/".
  std::string Slash() const { return path_.string() + "/"; }
  // A path inside the folder.
  std::string operator/(const std::string& relative) const { return Slash() + relative; }

  // Writes a file (making its folders) and returns its path.
  std::string Write(const std::string& relative, const std::string& bytes = "x") const {
    const std::filesystem::path file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
    return file.string();
  }
  // A file's bytes ("" when it cannot be read).
  std::string Read(const std::string& relative) const {
    std::ifstream in(path_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Whether anything (a broken link too) has this name.
  bool Exists(const std::string& relative) const {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path_ / relative, ec));
  }
  void Mkdir(const std::string& relative) const {
    std::filesystem::create_directories(path_ / relative);
  }
  // The names in the folder itself, hidden ones included, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_;
};
