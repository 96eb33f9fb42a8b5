// The log: the lines of the log pane, kept across runs in WorkingFolder +
// "Log.txt" (one line per text line, each ended by CR LF). Only the most
// recent ShellLimits::kMaxLogLines lines are kept, in memory and on disk. Safe on any thread.
#pragma once

#include "shell/ShellLimits.h"

#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class LogFile {
 public:
  static constexpr size_t kMaxLines = ShellLimits::kMaxLogLines;

  // Adds the lines of the file (a missing file adds none). False with an
  // error text when the file exists but cannot be read.
  bool Load(const std::string& path, std::string* error);
  // The start of a run: two empty lines, then the date and time `now` in the
  // user's short date and long time formats.
  void AppendRunSeparator(std::time_t now);
  void Add(const std::string& line);
  void Add(const std::vector<std::string>& lines);
  std::vector<std::string> Lines() const;
  size_t Count() const;
  // Replaces the file's content with the lines, atomically. False with an
  // error text when it cannot be written.
  bool Save(const std::string& path, std::string* error) const;

  // Called with every added line (after it was added), e.g. to echo it.
  void SetListener(std::function<void(const std::string&)> listener);
  // Called once per Add with all its lines, e.g. to echo them in one write.
  // Replaces the line listener, and the other way round.
  void SetBatchListener(std::function<void(const std::vector<std::string>&)> listener);

 private:
  void AddLocked(const std::string& line);
  // Calls f with each kept line, oldest first; the caller holds the lock.
  template <typename F>
  void ForEachLocked(F&& f) const;

  mutable std::mutex lock_;
  // The kept lines as a ring: once it holds kMaxLines, a new line is written
  // over the oldest (at first_), reusing its storage.
  std::vector<std::string> lines_;
  size_t first_ = 0;
  std::function<void(const std::string&)> listener_;
  std::function<void(const std::vector<std::string>&)> batchListener_;
};

// The date and time of a run separator: the user's short date, a blank and
// the long time (LC_TIME of the environment; in the C or POSIX locale the
// U.S. English forms "12/31/2026 1:05:09 PM").
std::string FormatRunDateTime(std::time_t when);
