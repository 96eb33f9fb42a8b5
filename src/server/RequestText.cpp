// Text helpers of the router and the page builders.
#include "server/RequestText.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool KeptByUrlEncode(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '*':
    case '@':
    case '.':
    case '_':
    case '-':
    case '$':
    case '!':
    case '\'':
    case '(':
    case ')':
      return true;
    default:
      return false;
  }
}

void AppendPercent(std::string& out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decimal digits of a small non-negative number, at least `digits` of them.
void AppendNumber(std::string& out, int value, int digits) {
  char buf[12];
  int n = 0;
  do {
    buf[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 || n < digits);
  while (n > 0) out += buf[--n];
}

// The user's locale for numbers and times; the classic one when the
// environment names none that exists.
const std::locale& UserLocale() {
  static const std::locale loc = [] {
    try {
      return std::locale("");
    } catch (const std::exception&) {
      return std::locale::classic();
    }
  }();
  return loc;
}

bool IsPlainLocale(const std::locale& loc) {
  const std::string name = loc.name();
  return name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

std::string GroupDigits(unsigned long long value, char sep) {
  std::string digits = std::to_string(value);
  std::string out;
  const size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    out += digits[i];
    const size_t left = n - 1 - i;
    if (left > 0 && left % 3 == 0 && sep) out += sep;
  }
  return out;
}

}  // namespace

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 1 < text.size() && text[i + 1] == '%') {
        out += '%';
        ++i;
      } else if (i + 2 >= text.size()) {
        char msg[96];
        std::snprintf(msg, sizeof msg,
                      "Error decoding URL style (%%XX) encoded string at position %zu", i + 1);
        throw std::runtime_error(msg);
      } else {
        const int hi = HexValue(text[i + 1]);
        const int lo = HexValue(text[i + 2]);
        if (hi < 0 || lo < 0) {
          throw std::runtime_error("Invalid URL encoded character (" +
                                   std::string(text.substr(i, 3)) + ") at position " +
                                   std::to_string(i + 1));
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
      }
    } else {
      out += c;
    }
  }
  return out;
}

std::string UrlEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3 / 2);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (KeptByUrlEncode(c)) {
      out += ch;
    } else if (c == ' ') {
      out += '+';
    } else {
      AppendPercent(out, c);
    }
  }
  return out;
}

std::string DecodeRequestPath(std::string_view uri) {
  std::string p = UrlDecode(uri);
  if (!p.empty() && p[0] == '/') p.erase(0, 1);
  return p;
}

std::string ToUrlSlashes(std::string_view text) { return std::string(text); }

std::string WithSeparator(std::string_view text) {
  std::string out(text);
  if (!out.empty() && out.back() != '/') out += '/';
  return out;
}

std::string JoinFolder(std::string_view root, std::string_view rel) {
  return WithSeparator(root) + WithSeparator(rel);
}

size_t PosNoCase(std::string_view marker, std::string_view text) {
  if (marker.empty() || marker.size() > text.size()) return 0;
  for (size_t i = 0; i + marker.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < marker.size() && Upper(text[i + k]) == Upper(marker[k])) ++k;
    if (k == marker.size()) return i + 1;
  }
  return 0;
}

std::string TextAfter(std::string_view marker, std::string_view text) {
  const size_t pos = PosNoCase(marker, text);
  if (pos == 0) return std::string(text);
  return std::string(text.substr(pos - 1 + marker.size()));
}

TConfined ConfinePath(std::string_view base, std::string_view path) {
  TConfined result;
  std::string cleaned(path);
  for (;;) {
    size_t at = cleaned.find("../");
    if (at == std::string::npos) at = cleaned.find("..\\");
    if (at == std::string::npos) break;
    cleaned.erase(at, 3);
  }
  result.path = cleaned;
  // A zero byte would cut the name the kernel sees; such a path is refused.
  if (cleaned.find('\0') != std::string::npos) return result;
  // Without a base (a cache that could not be set up) nothing is inside.
  if (base.empty()) return result;
  if (cleaned.size() < base.size() || cleaned.compare(0, base.size(), base) != 0) return result;

  // Walk the part below base: "." is dropped, ".." climbs, and climbing out
  // of base refuses. The resolved path is what gets opened, so a link inside
  // the folder followed by ".." cannot lead above it either.
  std::string_view rest(cleaned);
  rest.remove_prefix(base.size());
  const bool trailing = !rest.empty() && rest.back() == '/';
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string_view::npos) end = rest.size();
    const std::string_view part = rest.substr(start, end - start);
    if (part == "..") {
      if (parts.empty()) return result;
      parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string resolved(base);
  if (!resolved.empty() && resolved.back() != '/' && !parts.empty()) resolved += '/';
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) resolved += '/';
    resolved += parts[i];
  }
  if (trailing && !parts.empty()) resolved += '/';
  result.path = std::move(resolved);
  result.accepted = true;
  return result;
}

void AppendHtmlEscaped(std::string& out, std::string_view text) {
  size_t plain = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity = nullptr;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      case '\'':
        entity = "&#39;";
        break;
      default:
        continue;
    }
    out.append(text, plain, i - plain);
    out += entity;
    plain = i + 1;
  }
  out.append(text, plain, text.size() - plain);
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendHtmlEscaped(out, text);
  return out;
}

std::string EncodePathForScript(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~' || c == '/') {
      out += ch;
    } else {
      AppendPercent(out, c);
    }
  }
  return out;
}

std::string EncodePathComponents(std::string_view text) {
  std::string out;
  size_t start = 0;
  for (;;) {
    const size_t slash = text.find('/', start);
    out += UrlEncode(text.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    out += '/';
    start = slash + 1;
  }
  return out;
}

std::string HeaderQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += '_';
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += ch;
    }
  }
  return out;
}

std::string FirstChars(std::string_view text, size_t count) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsContinuation(static_cast<unsigned char>(text[i]))) {
      if (chars == count) return std::string(text.substr(0, i));
      ++chars;
    }
  }
  return std::string(text);
}

size_t CharCount(std::string_view text) {
  size_t chars = 0;
  for (const char c : text) chars += IsContinuation(static_cast<unsigned char>(c)) ? 0 : 1;
  return chars;
}

int CompareNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(Upper(a[i]));
    const auto y = static_cast<unsigned char>(Upper(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string FormatFileSize(uint64_t size) {
  if (size == 0) return "0 Byte";
  const std::locale& loc = UserLocale();
  char thousands = ',';
  char decimal = '.';
  if (!IsPlainLocale(loc)) {
    const auto& punct = std::use_facet<std::numpunct<char>>(loc);
    decimal = punct.decimal_point();
    thousands = punct.grouping().empty() ? '\0' : punct.thousands_sep();
  }
  struct Unit {
    double divisor;
    const char* name;
  };
  static const Unit kUnits[] = {
      {1099511627776.0, " TB"}, {1073741824.0, " GB"}, {1048576.0, " MB"}, {1024.0, " KB"}};
  for (const Unit& u : kUnits) {
    const double q = static_cast<double>(size) / u.divisor;
    if (q >= 1.0) {
      const long long tenths = std::llround(q * 10.0);
      std::string out = GroupDigits(static_cast<unsigned long long>(tenths / 10), thousands);
      out += decimal;
      out += static_cast<char>('0' + tenths % 10);
      return out + u.name;
    }
  }
  return GroupDigits(size, thousands) + " Byte";
}

std::string FormatFileTime(std::time_t when) {
  std::tm t{};
  localtime_r(&when, &t);
  t.tm_sec &= ~1;
  const bool midnight = t.tm_hour == 0 && t.tm_min == 0 && t.tm_sec == 0;
  const std::locale& loc = UserLocale();
  if (IsPlainLocale(loc)) {
    // U.S. English conventions: M/d/yyyy and h:mm:ss AM.
    std::string out;
    out.reserve(24);
    AppendNumber(out, t.tm_mon + 1, 1);
    out += '/';
    AppendNumber(out, t.tm_mday, 1);
    out += '/';
    AppendNumber(out, t.tm_year + 1900, 4);
    if (!midnight) {
      out += ' ';
      AppendNumber(out, t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12, 1);
      out += ':';
      AppendNumber(out, t.tm_min, 2);
      out += ':';
      AppendNumber(out, t.tm_sec, 2);
      out += t.tm_hour < 12 ? " AM" : " PM";
    }
    return out;
  }
  std::ostringstream out;
  out.imbue(loc);
  out << std::put_time(&t, "%x");
  if (!midnight) out << ' ' << std::put_time(&t, "%X");
  return out.str();
}

std::string JsonQuoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out.push_back('\\');
        out.push_back(static_cast<char>(c));
      } else if (c < 0x20 || c == 0x7f) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\u%04x", c);
        out += esc;
      } else {
        out.push_back(static_cast<char>(c));
      }
      ++i;
      continue;
    }
    // One whole, shortest-form sequence of a scalar value, or U+FFFD.
    std::size_t more = 0;
    std::uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      cp = c & 0x07;
    }
    bool valid = more > 0 && i + more < n;
    for (std::size_t k = 1; valid && k <= more; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (valid && ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
                  (more == 3 && (cp < 0x10000 || cp > 0x10FFFF))))
      valid = false;
    if (valid) {
      out.append(text.substr(i, more + 1));
      i += more + 1;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  out.push_back('"');
  return out;
}
