// Desktop and file utilities: folder and file tests, the write-permission
// test, folder listing and emptying, message-text expansion and small text
// routines. Stateless; the file utilities are safe on any thread.
#pragma once

#include <string>
#include <vector>

// True exactly when the path names an existing regular file (a link is
// followed; a FIFO, socket, device or folder is not a file). Otherwise shows
// the information message "File "<path>" does not exist" (or "No file
// specified!" for an empty path) and returns false. Never blocks.
bool CheckFileExists(const std::string& path);

// True when the path is an existing folder; false for a path longer than one
// character whose last character is a blank. A trailing "/" is accepted.
bool IsFolder(const std::string& path);

// IsFolder and no regular file of that name exists.
bool IsFolderNotFile(const std::string& path);

// The write-permission test: the folder part of the path (up to its last "/")
// must exist; then a folder path gets the probe file "WritePermTest.DeleteMe"
// inside it, any other path is the probe itself. True when the probe could be
// opened for writing (an existing regular file) or created (and is then
// removed again).
bool CanWriteToFolder(const std::string& path);

// 0 when the folder exists; 1 after creating it with its missing parents;
// -1 after showing "Cannot create directory!\r\n<path>" when that failed.
int CreateFolderIfMissing(const std::string& path);

// The text with "0" prepended until it is at least `length` long.
std::string LeadingZeros(std::string text, size_t length);

// File-name masks with the desktop's rules: "*" any run, "?" one character,
// ASCII letters without regard to case, and a trailing ".*" also matches a
// name without an extension ("*.*" matches every name).
bool MatchesFileMask(const std::string& name, const std::string& mask);

// Appends each regular file directly in the folder whose name matches the
// mask, as a bare name or as folder + name. Order: the directory's order.
void ListFiles(const std::string& folder, const std::string& mask, std::vector<std::string>& list,
               bool fullPaths);

// Appends the full paths of matching regular files in the folder, then
// recurses into each sub-folder whose name does not begin with ".". Links to
// folders are not followed.
void ListFilesRecursive(const std::string& folder, const std::string& mask,
                        std::vector<std::string>& list);

// Appends the full paths of the folder's direct sub-folders (not links to
// folders) whose names do not begin with ".".
void ListSubfolders(const std::string& folder, std::vector<std::string>& list);

// Deletes everything inside the folder (files, links, special files and
// sub-folders, hidden ones too) and keeps the folder. Links are removed, never
// followed. A failure makes the result false and, with stopOnError, ends the
// work at once. Throws std::invalid_argument("Path is empty!") for an empty path.
bool EmptyFolder(const std::string& folder, bool stopOnError);

// EmptyFolder, then removes the folder itself; true when all of it succeeded.
bool DeleteFolder(const std::string& folder, bool stopOnError);

// Message-text line breaks: "CRLF " and " CRLF " become "CRLF", then every
// "CRLF" becomes CR LF; the token is matched without regard to case.
std::string ExpandCrLf(const std::string& text);
