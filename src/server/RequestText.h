// Text helpers shared by the router and the page builders: percent coding,
// marker search, path composition and confinement, HTML and header escaping,
// and the size and time texts of the listing. Paths use "/" as separator.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// Percent and plus decoding. Throws std::runtime_error on a malformed escape.
std::string UrlDecode(std::string_view text);
// Percent and plus encoding: letters, digits and *@._-$!'() stay, space is "+".
std::string UrlEncode(std::string_view text);
// UrlDecode, then one leading "/" removed.
std::string DecodeRequestPath(std::string_view uri);
// Link form of an internal path. The internal separator already is "/".
std::string ToUrlSlashes(std::string_view text);
// Empty stays empty; anything else ends with exactly one trailing "/" added
// when it lacks one.
std::string WithSeparator(std::string_view text);
std::string JoinFolder(std::string_view root, std::string_view rel);
// 1-based position of marker in text ignoring ASCII letter case; 0 when absent.
size_t PosNoCase(std::string_view marker, std::string_view text);
// Text after the first occurrence of marker; the whole text when absent.
std::string TextAfter(std::string_view marker, std::string_view text);

struct TConfined {
  std::string path;  // the cleaned path, ".." and "." resolved when accepted
  bool accepted = false;
};
// Removes every "../" and "..\" (repeatedly), then accepts the path only when
// it begins with base and, read component by component, never leaves it.
TConfined ConfinePath(std::string_view base, std::string_view path);

// HTML text and attribute values: & < > " ' escaped.
std::string HtmlEscape(std::string_view text);
void AppendHtmlEscaped(std::string& out, std::string_view text);
// Percent-encodes everything but letters, digits and -_.~/ (a path for a
// JavaScript string or a link).
std::string EncodePathForScript(std::string_view text);
// UrlEncode of each "/"-separated component, the "/" kept.
std::string EncodePathComponents(std::string_view text);
// A value for a quoted header parameter: control characters become "_",
// '"' and '\' get a backslash.
std::string HeaderQuoted(std::string_view text);
// A JSON string (quotes included): '"', '\' and control characters escaped,
// bytes that are not UTF-8 replaced by U+FFFD.
std::string JsonQuoted(std::string_view text);
// The first count characters of text, never cutting a UTF-8 sequence.
std::string FirstChars(std::string_view text, size_t count);
// Number of characters (UTF-8 code points; stray bytes count one each).
size_t CharCount(std::string_view text);

// Byte order with a-z folded onto A-Z; <0, 0, >0.
int CompareNames(std::string_view a, std::string_view b);
// "0 Byte", "1,023 Byte", "1.5 KB" ... in the user's number format.
std::string FormatFileSize(uint64_t size);
// Short date, a space and the long time in the user's format; the time left
// out at exactly midnight. Seconds are rounded down to an even number.
std::string FormatFileTime(std::time_t when);
