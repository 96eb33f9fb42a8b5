// A response as a value: what the router or a plug-in made of a request, and
// what the connection worker sends. The status, the header lines and a body
// that is a page, raw bytes or a range of an open file.
//
// The worker writes "HTTP/1.0 <Status>", then (when the request named a
// protocol) the header lines and its own (Connection, Date, Server), then the
// body; it knows nothing of routes. A new kind of answer is a new way to fill
// this value; a new way to send one (another body kind, a connection kept
// open) belongs to the worker alone.
#pragma once

#include "base/UniqueFd.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TTcpBlockingSocket;

// The bytes [Offset, Offset + Length) of an open regular file. Reading or
// sending moves Offset on and takes from Length; the file's own offset is
// never used.
struct TFileRange {
  // Block size of ReadBlock.
  static constexpr int kBlockSize = 65536;

  UniqueFd File;
  std::int64_t Offset = 0;
  std::int64_t Length = 0;

  // Reads the next block of the range into buffer (kBlockSize bytes): a whole
  // block, or exactly the bytes that remain; returns the count. No file, or a
  // read that delivers less, throws std::runtime_error.
  int ReadBlock(char* buffer);
  // Sends the rest of the range to socket: straight from the file's pages
  // where the file allows it, else in blocks read with ReadBlock. False when
  // the socket failed or the file ended early, so the peer did not get it all.
  bool Send(TTcpBlockingSocket& socket);
};

// The part of a file of a given size a request asks for with its Range header.
struct TByteRange {
  enum class TKind : std::int8_t {
    Whole,          // no Range, or one that is malformed or names several ranges
    Part,           // the bytes [First, First + Length), Length > 0
    Unsatisfiable,  // a single range that starts past the end
  };
  TKind Kind = TKind::Whole;
  std::int64_t First = 0;
  std::int64_t Length = 0;
};

// Resolves a Range value ("bytes=a-b", "bytes=a-" or "bytes=-n") against a
// file of size bytes: an end past the file is cut to it, a suffix longer than
// the file is the whole file in part form.
TByteRange ParseByteRange(std::string_view value, std::int64_t size);
// The same for the first "Range:" line among a request's header lines (those
// before the first empty line, which starts the body's lines).
TByteRange RequestedRange(const std::vector<std::string>& requestHeaders, std::int64_t size);

struct THttpResponse {
  enum class TBody : std::int8_t {
    Text,   // Body is lines each ended by CR LF (a page)
    Bytes,  // Body is sent as it is
    File,   // the bytes of File
  };

  int Status = 200;
  // Header lines without their line ends; the worker adds its own after them.
  std::vector<std::string> Headers;
  TBody Kind = TBody::Text;
  std::string Body;  // Text and Bytes
  TFileRange File;   // File
  // For a file: the name the worker reports with "Downloading..." while it
  // sends the file.
  std::string ReportName;

  // Whether anything follows the head.
  bool HasBody() const { return Kind == TBody::File || !Body.empty(); }

  // Text in any line ends (CR, LF or CR LF, a zero byte ends it) as a page:
  // every line ended by CR LF.
  static THttpResponse Lines(std::string text);
  static THttpResponse Page(std::string page);  // already CR LF lines
  static THttpResponse Raw(std::string bytes);
  // The page sent for a request nobody answered: the URI as plain text.
  static THttpResponse Fallback(std::string_view uri);
};
