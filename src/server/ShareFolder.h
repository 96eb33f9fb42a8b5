// Folders of the share named by a visitor: the "/"-separated, percent-encoded
// share paths of the dot-named addresses, and opening what they name without
// ever leaving the share.
//
// A name is taken as inside the share only when the file the kernel actually
// opened lies under the share's real path (read back from the open handle),
// so links, ".." and links swapped while a request runs cannot lead outside.
// Hidden names (a leading ".") are never reached this way.
#pragma once

#include "base/UniqueFd.h"

#include <string>
#include <string_view>
#include <vector>

// Splits an encoded share path ("" is the share itself) into its decoded
// names. False when a name is empty (a leading "/" or "//"), ".", "..", hidden, holds a
// "/" or a zero byte, or has a malformed escape. A trailing "/" is allowed;
// anything from a "?" on is ignored.
bool DecodeSharePath(std::string_view encoded, std::vector<std::string>& names);

// The real path of the file an open handle refers to; empty when unknown.
std::string HandlePath(int fd);

// Whether path (a real path) is shareRoot itself or lies under it with no
// hidden name below it. shareRoot is a real path without a trailing "/".
bool IsVisibleInside(const std::string& shareRoot, const std::string& path);

// A folder of the share, opened.
struct TShareFolder {
  UniqueFd Handle;   // open for reading, O_DIRECTORY
  std::string Path;  // its real path, without a trailing "/"
  std::string Name;  // its own name (the share's for the share itself)
};

// Opens the folder names lead to below shareRoot (any form of the share's
// path). Handle invalid when it does not exist, is no folder, or is not a
// visible part of the share.
TShareFolder OpenShareFolder(const std::string& shareRoot, const std::vector<std::string>& names);

// The real path of shareRoot without a trailing "/"; empty when it is gone.
std::string RealShareRoot(const std::string& shareRoot);
