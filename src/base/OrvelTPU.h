// Desktop and file utilities: folder and file tests, the write-permission
// test, folder listing and emptying, message-text expansion and small text
// routines. Stateless; the file utilities are safe on any thread.
#pragma once

#include <functional>
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

// Like CreateFolderIfMissing without any message: true when the folder exists
// afterwards.
bool CreateFolderIfMissingQuietly(const std::string& path);

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

// ---- Desktop: autostart, shortcuts, opening documents, the registry file ----

// Starting with the user's logon: an XDG autostart entry
// $XDG_CONFIG_HOME/autostart/<stem>.desktop whose Exec= holds the program path
// in double quotes; "off" deletes that entry. <stem> is FileNameStem of the
// path, or the whole file name when it holds no ".". Failures are silent.
void SetAutoStartFor(const std::string& programPath, bool on);
// SetAutoStartFor with this program's executable.
void SetAutoStart(bool on);
// The autostart entry file SetAutoStartFor writes for the program path.
std::string AutoStartEntryPath(const std::string& programPath);

// Delete <Desktop>/<name>.desktop, or $XDG_DATA_HOME/applications/<name>.desktop;
// true when a file was deleted.
bool DeleteDesktopShortcut(const std::string& name);
bool DeleteStartMenuShortcut(const std::string& name);

// Opens a file, web address or "mailto:" address with the desktop's default
// handler: the installed opener (the window installs its own), else xdg-open
// started in the background. 0 when the handler was started, else an error
// number; callers need not look.
int OpenDocument(const std::string& target);
using DocumentOpener = std::function<int(const std::string& target)>;
// Installs the opener for later calls; an empty function restores xdg-open.
void SetDocumentOpener(DocumentOpener opener);

// The registry of the current user: one INI-format file,
// $XDG_CONFIG_HOME/Orvel/Mirelo.conf, a section per key path ("\" separated,
// a leading "\" ignored). Written atomically; lazy write skips the fsync.
enum class RegistryRoot { CurrentUser };
std::string RegistryFilePath();
// The value's text, or the empty text when the key or value is missing.
// `create` makes a missing key (an empty section).
std::string RegReadText(RegistryRoot root, const std::string& key, const std::string& name,
                        bool create);
// True exactly when the value was written. Without `create` a missing key
// makes it fail.
bool RegWriteText(RegistryRoot root, const std::string& key, const std::string& name, bool create,
                  bool lazyWrite, const std::string& text);
// Deletes a value; true when it existed and the file was rewritten.
bool RegDeleteValue(RegistryRoot root, const std::string& key, const std::string& name);

// ---- Account, machine and special folders ----

enum class SpecialFolder { AppData, Desktop, Documents };
// The folder with "/" appended, or the empty text when it cannot be told.
// AppData: $XDG_DATA_HOME, else ~/.local/share. Desktop and Documents: the XDG
// user directories of $XDG_CONFIG_HOME/user-dirs.dirs, else ~/Desktop, ~/Documents.
std::string GetSpecialFolder(SpecialFolder folder);
// The host name's first label, at most 15 characters, upper case.
std::string GetComputerNameText();
// The account name of the real user id, at most 253 characters, without
// leading and trailing blanks or control characters, upper case.
std::string GetLogonName();

// ---- Text ----

// The file name without its folder, up to (not including) its first ".";
// empty when the name holds no ".". "a.b.exe" gives "a".
std::string FileNameStem(const std::string& path);
// A value of a desktop entry's Exec key: the path in double quotes with the
// quoting rules of desktop entries, then the string escapes.
std::string DesktopExecQuoted(const std::string& path);
// The number of characters of a UTF-8 text (bytes that do not continue a
// sequence).
size_t CharacterCount(const std::string& text);
// The text with `fill` appended until it has at least `minLength` characters
// (UTF-8: "éééé" has 4).
std::string PadRight(std::string text, char fill, size_t minLength);
// Characters first..last (1-based, both included) of the text; empty when
// last < first. Positions beyond the text are cut to it.
std::string CopyRange(const std::string& text, long first, long last);
// The text's characters (UTF-8 sequences kept whole) in reverse order.
std::string ReverseText(const std::string& text);
// 1-based position of the last occurrence of `find` in `text`; 0 when absent.
size_t LastPos(const std::string& find, const std::string& text);
