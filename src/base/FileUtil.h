// File primitives every layer shares: the regular-file test, the atomic
// write and the owner of an open folder. Stateless; safe on any thread.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <memory>
#include <string>

// True exactly when the path names an existing regular file, links followed:
// a folder, FIFO, socket, device or broken link is not one. Never opens the
// file, so it never blocks. With `status`, the file's status is stored there.
bool IsRegularFile(const std::string& path, struct stat* status = nullptr);

// Atomic file replacement: writes the bytes to a new temporary file beside the
// target, closes it with errors checked (fsync first when `flush`), then
// renames it over the target. The file keeps the target's permissions (0644
// for a new one). False when any step failed, with errno telling why; the
// target is then unchanged and no temporary file is left.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, bool flush);

// Closes a folder opened with opendir.
struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
// An open folder, closed when its owner goes; empty when opendir failed
// (errno tells why).
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
inline UniqueDir OpenFolder(const std::string& path) { return UniqueDir(::opendir(path.c_str())); }
