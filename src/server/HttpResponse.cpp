// Response values and the sending of file ranges.
#include "server/HttpResponse.h"

#include "net/tcpsocket.h"
#include "server/HttpText.h"
#include "server/RequestText.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (LowerAscii(text[i]) != LowerAscii(prefix[i])) return false;
  return true;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A decimal number of at most 18 digits (so it cannot overflow), else -1.
std::int64_t ParseCount(std::string_view digits) {
  if (digits.empty() || digits.size() > 18) return -1;
  std::int64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

TByteRange ParseByteRange(std::string_view value, std::int64_t size) {
  TByteRange whole;
  value = TrimBlanks(value);
  if (!StartsWithNoCase(value, "bytes=")) return whole;
  const std::string_view rangeText = TrimBlanks(value.substr(6));
  const std::size_t dash = rangeText.find('-');
  if (dash == std::string_view::npos || rangeText.find(',') != std::string_view::npos) return whole;
  const std::string_view firstText = TrimBlanks(rangeText.substr(0, dash));
  const std::string_view lastText = TrimBlanks(rangeText.substr(dash + 1));
  TByteRange r;
  r.Kind = TByteRange::TKind::Part;
  if (firstText.empty()) {
    // The last n bytes.
    const std::int64_t n = ParseCount(lastText);
    if (n < 0) return whole;
    if (n == 0 || size == 0) return {TByteRange::TKind::Unsatisfiable, 0, 0};
    r.Length = n < size ? n : size;
    r.First = size - r.Length;
    return r;
  }
  const std::int64_t first = ParseCount(firstText);
  if (first < 0) return whole;
  std::int64_t last = size - 1;
  if (!lastText.empty()) {
    last = ParseCount(lastText);
    if (last < first) return whole;  // also a malformed end
    if (last > size - 1) last = size - 1;
  }
  if (first >= size) return {TByteRange::TKind::Unsatisfiable, 0, 0};
  r.First = first;
  r.Length = last - first + 1;
  return r;
}

TByteRange RequestedRange(const std::vector<std::string>& requestHeaders, std::int64_t size) {
  for (const auto& line : requestHeaders) {
    if (line.empty()) break;
    if (StartsWithNoCase(line, "range:"))
      return ParseByteRange(std::string_view(line).substr(6), size);
  }
  return {};
}

int TFileRange::ReadBlock(char* buffer) {
  if (!File) throw std::runtime_error("no file to read");
  const int want =
      static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(Length, 0), kBlockSize));
  int got = 0;
  while (got < want) {
    const ssize_t n =
        ::pread(File.get(), buffer + got, static_cast<size_t>(want - got), Offset + got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("file: short read");
    got += static_cast<int>(n);
  }
  Offset += got;
  Length -= got;
  return got;
}

bool TFileRange::Send(TTcpBlockingSocket& socket) {
  if (!File || Length <= 0) return true;
  const std::int64_t sent = socket.SendFile(File.get(), Offset, Length);
  if (sent >= 0) {
    Offset += sent;
    Length -= sent;
    return Length == 0 && socket.LastErrorCode() == 0;
  }
  // Files sendfile cannot read go out in blocks.
  std::vector<char> block(kBlockSize);
  try {
    while (const int n = ReadBlock(block.data())) {
      if (socket.SendBytes(block.data(), n) != n || socket.LastErrorCode() != 0) return false;
    }
  } catch (const std::runtime_error&) {
    return false;
  }
  return true;
}

bool NotModifiedSince(const std::vector<std::string>& requestHeaders, std::time_t modified,
                      std::time_t now) {
  for (const auto& line : requestHeaders) {
    if (line.empty()) break;
    if (!StartsWithNoCase(line, "if-modified-since:")) continue;
    std::time_t since = 0;
    if (!ParseHttpDate(std::string_view(line).substr(18), since) || since > now) return false;
    return modified <= since;
  }
  return false;
}

THttpResponse THttpResponse::NotModified(std::time_t modified) {
  THttpResponse r;
  r.Status = 304;
  r.Kind = TBody::Bytes;
  r.AddLastModified(modified);
  r.KeepAlive = true;
  return r;
}

void THttpResponse::AddLastModified(std::time_t modified) {
  Headers.push_back("Last-Modified: " + FormatHttpDate(modified));
}

THttpResponse THttpResponse::PlainText(int status, std::string text) {
  THttpResponse r = Raw(std::move(text));
  r.Status = status;
  r.Headers.emplace_back("Content-Type: text/plain; charset=utf-8");
  r.Headers.emplace_back("X-Content-Type-Options: nosniff");
  r.Headers.push_back("Content-Length: " + std::to_string(r.Body.size()));
  r.KeepAlive = true;
  return r;
}

THttpResponse THttpResponse::Lines(std::string text) {
  // Text already in CR LF lines is its own result: no split needed.
  if (IsCrLfText(text)) return Page(std::move(text));
  std::string page;
  page.reserve(text.size() + text.size() / 16 + 2);
  for (const auto& line : SplitTextLines(text)) {
    page += line;
    page += "\r\n";
  }
  return Page(std::move(page));
}

THttpResponse THttpResponse::Page(std::string page) {
  THttpResponse r;
  r.Kind = TBody::Text;
  r.Body = std::move(page);
  return r;
}

THttpResponse THttpResponse::Raw(std::string bytes) {
  THttpResponse r;
  r.Kind = TBody::Bytes;
  r.Body = std::move(bytes);
  return r;
}

THttpResponse THttpResponse::Fallback(std::string_view uri) {
  // The URI comes from the peer: escaped, so it cannot bring its own markup.
  return Page("<html>\r\n<head></head>\r\n<body>\r\nRequest Uri: " + HtmlEscape(std::string(uri)) +
              "\r\n<br>\r\nError!!!\r\n</body>\r\n</html>\r\n");
}
