// The log kept across runs.
#include "shell/LogFile.h"

#include "base/FileUtil.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <locale>
#include <sstream>

bool LogFile::Load(const std::string& path, std::string* error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return true;  // a first run has no log yet
  std::ifstream in;
  if (S_ISREG(st.st_mode)) in.open(path, std::ios::binary);
  if (!in.is_open() || !in) {
    if (error) *error = "Cannot read the log file " + path;
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::lock_guard<std::mutex> hold(lock_);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    AddLocked(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
  return true;
}

void LogFile::AppendRunSeparator(std::time_t now) {
  Add(std::vector<std::string>{"", "", FormatRunDateTime(now)});
}

void LogFile::AddLocked(const std::string& line) {
  if (lines_.size() < kMaxLines) {
    lines_.push_back(line);
    return;
  }
  lines_[first_].assign(line);
  first_ = (first_ + 1) % lines_.size();
}

template <typename F>
void LogFile::ForEachLocked(F&& f) const {
  for (size_t i = first_; i < lines_.size(); ++i) f(lines_[i]);
  for (size_t i = 0; i < first_; ++i) f(lines_[i]);
}

void LogFile::Add(const std::string& line) { Add(std::vector<std::string>{line}); }

void LogFile::Add(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  std::function<void(const std::string&)> listener;
  std::function<void(const std::vector<std::string>&)> batchListener;
  {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& l : lines) AddLocked(l);
    listener = listener_;
    batchListener = batchListener_;
  }
  if (batchListener) batchListener(lines);
  if (listener) {
    for (const auto& l : lines) listener(l);
  }
}

std::vector<std::string> LogFile::Lines() const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> lines;
  lines.reserve(lines_.size());
  ForEachLocked([&](const std::string& l) { lines.push_back(l); });
  return lines;
}

size_t LogFile::Count() const {
  std::lock_guard<std::mutex> hold(lock_);
  return lines_.size();
}

bool LogFile::Save(const std::string& path, std::string* error) const {
  std::string text;
  {
    std::lock_guard<std::mutex> hold(lock_);
    ForEachLocked([&](const std::string& l) {
      text += l;
      text += "\r\n";
    });
  }
  if (WriteFileAtomically(path, text, false)) return true;
  if (error) *error = "Cannot write the log file " + path;
  return false;
}

void LogFile::SetListener(std::function<void(const std::string&)> listener) {
  std::lock_guard<std::mutex> hold(lock_);
  listener_ = std::move(listener);
  batchListener_ = nullptr;
}

void LogFile::SetBatchListener(std::function<void(const std::vector<std::string>&)> listener) {
  std::lock_guard<std::mutex> hold(lock_);
  batchListener_ = std::move(listener);
  listener_ = nullptr;
}

std::string FormatRunDateTime(std::time_t when) {
  std::tm local{};
  ::localtime_r(&when, &local);
  std::locale user = std::locale::classic();
  try {
    user = std::locale("");
  } catch (const std::runtime_error&) {
    // An unknown locale in the environment: the classic one.
  }
  const std::string name = user.name();
  // The time category decides; a combined name lists it as "LC_TIME=...".
  std::string timeName = name;
  if (const size_t at = name.find("LC_TIME="); at != std::string::npos) {
    timeName = name.substr(at + 8, name.find(';', at) - (at + 8));
  }
  if (timeName == "C" || timeName == "POSIX" || timeName.rfind("C.", 0) == 0) {
    const int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%d/%d/%d %d:%02d:%02d %s", local.tm_mon + 1,
                  local.tm_mday, local.tm_year + 1900, hour12, local.tm_min, local.tm_sec,
                  local.tm_hour < 12 ? "AM" : "PM");
    return buffer;
  }
  std::ostringstream out;
  out.imbue(user);
  out << std::put_time(&local, "%x") << ' ' << std::put_time(&local, "%X");
  return out.str();
}
