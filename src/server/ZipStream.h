// A folder of the share as a ZIP archive, written as it is read.
//
// Format. Every entry is stored (no compression), its name in UTF-8 (general
// purpose flag bit 11 when the name is valid UTF-8), its CRC-32 and sizes in a
// data descriptor after the data, so nothing is read twice and the archive
// starts at once. A file of 4 GiB or more, an entry that starts beyond 4 GiB
// and an archive of 65535 entries or more use the ZIP64 records.
//
// What goes in. Folders (also empty ones) and regular files below the
// folder, in the order the folder lists them. Hidden names (a leading ".")
// and everything that is neither a file nor a folder are left out, and so is
// every link that leads outside the share or into a hidden place; a folder
// that contains itself (through a link) is entered once. Each entry is opened
// relative to its folder's handle and checked where it really is.
//
// Memory. Flat: the central directory goes to an anonymous temporary file
// while the entries are written and is copied out at the end; the walk holds
// one open folder per level (at most kMaxDepth levels).
//
// Stopping. The sink returns false when the visitor has gone; the walk stops
// at once and Write returns false. A file that shrinks while it is read ends
// its entry early with the bytes it had (the descriptor tells the truth); one
// that grows is cut at the size it had when it was opened.
#pragma once

#include "base/UniqueFd.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

class TZipStream {
 public:
  // Gets the archive's bytes in order; false: stop (the visitor has gone).
  using TSink = std::function<bool(const char* data, std::size_t size)>;

  static constexpr int kMaxDepth = 64;
  static constexpr std::size_t kBlockSize = 65536;

  // shareRoot: the share's real path (RealShareRoot), without a trailing "/".
  // Makes the temporary file of the central directory at once.
  explicit TZipStream(std::string shareRoot);
  ~TZipStream();
  TZipStream(const TZipStream&) = delete;
  TZipStream& operator=(const TZipStream&) = delete;

  // Whether an archive can be written (the temporary file was made).
  bool Ready() const { return central_ != nullptr; }
  // Writes the archive of the open folder (a folder of the share) to sink,
  // once: true when the whole archive went to it.
  bool Write(UniqueFd folder, TSink sink);

  std::uint64_t Entries() const { return entries_; }
  std::uint64_t BytesWritten() const { return offset_; }

  // The DOS date (high 16 bits) and time (low 16 bits) of a local time,
  // clamped to the years 1980 to 2107.
  static std::uint32_t DosDateTime(std::time_t when);
  // Whether text is valid UTF-8 (no overlong forms, no surrogates).
  static bool IsUtf8(const std::string& text);

 private:
  struct TFolderFrame;

  bool Put(const void* data, std::size_t size);
  bool Flush();
  bool AddFolderEntry(const std::string& name, const struct stat& st);
  bool AddFileEntry(const std::string& name, int fd, const struct stat& st);
  bool AddCentralRecord(const std::string& name, const struct stat& st, bool folder,
                        std::uint32_t crc, std::uint64_t size, std::uint64_t localOffset,
                        bool zip64Sizes);
  bool WriteEnd();
  // Opens entry name of folder dfd when it is a file or folder visible in
  // the share; st receives what it is.
  UniqueFd OpenEntry(int dfd, const char* name, struct stat& st) const;

  std::string root_;
  TSink sink_;
  std::string out_;
  std::uint64_t offset_ = 0;   // bytes handed to the sink or waiting in out_
  std::uint64_t entries_ = 0;  // entries written
  std::FILE* central_ = nullptr;
  std::uint64_t centralSize_ = 0;
  bool failed_ = false;
};
