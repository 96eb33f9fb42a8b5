// A response as a value: what the router or a plug-in made of a request, and
// what the connection worker sends. The status, the header lines and a body
// that is a page, raw bytes or a range of an open file.
//
// The worker writes "HTTP/1.0 <Status>", then (when the request named a
// protocol) the header lines and its own (Connection, Date, Server), then the
// body; it knows nothing of routes. A response that allows keep-alive may go
// out as HTTP/1.1 on a connection kept for the next request instead. A new kind of answer is a new
// way to fill this value; a new way to send one (another body kind, a connection kept open) belongs
// to the worker alone, which a route may only allow.
#pragma once

#include "base/UniqueFd.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
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

// Whether the request's If-Modified-Since (among its header lines, up to the
// first empty one) says the visitor's copy of something last changed at
// modified is still current. A date the visitor cannot have had (later than
// now) or one in another form counts as none.
bool NotModifiedSince(const std::vector<std::string>& requestHeaders, std::time_t modified,
                      std::time_t now);

struct THttpResponse {
  enum class TBody : std::int8_t {
    Text,    // Body is lines each ended by CR LF (a page)
    Bytes,   // Body is sent as it is
    File,    // the bytes of File
    Stream,  // whatever Stream writes; the connection is closed after it
  };
  // Hands bytes to the connection in order; false when the peer is gone.
  using TSink = std::function<bool(const char* data, std::size_t size)>;

  int Status = 200;
  // Header lines without their line ends; the worker adds its own after them.
  std::vector<std::string> Headers;
  TBody Kind = TBody::Text;
  std::string Body;  // Text and Bytes
  TFileRange File;   // File
  // For a file: the name the worker reports with "Downloading..." while it
  // sends the file.
  std::string ReportName;
  // Stream: writes the whole body to the sink; false when it stopped early.
  std::function<bool(const TSink& sink)> Stream;
  // The connection may carry the next request after this response (a
  // keep-alive opt-in): the worker then answers an HTTP/1.1 or keep-alive
  // request in HTTP/1.1 with a Content-Length and keeps the connection for a
  // short while. Never for a Stream.
  bool KeepAlive = false;
  // Let go once the response is sent (or dropped unsent): what a route hands
  // over here waits for the sending, such as background work that would
  // slow it.
  std::shared_ptr<void> HeldWhileSending;

  // Whether anything follows the head.
  bool HasBody() const { return Kind == TBody::File || Kind == TBody::Stream || !Body.empty(); }

  // Text in any line ends (CR, LF or CR LF, a zero byte ends it) as a page:
  // every line ended by CR LF.
  static THttpResponse Lines(std::string text);
  static THttpResponse Page(std::string page);  // already CR LF lines
  static THttpResponse Raw(std::string bytes);
  // The answer that the visitor's copy of something that last changed at
  // modified is current: 304 with its Last-Modified, no body, kept alive.
  static THttpResponse NotModified(std::time_t modified);
  // Adds the Last-Modified line for something that last changed at modified.
  void AddLastModified(std::time_t modified);
  // A small plain-text answer (a 404 of the dot-named addresses): its length
  // given, no sniffing, kept alive.
  static THttpResponse PlainText(int status, std::string text);

  // The page sent for a request nobody answered: the URI as plain text.
  static THttpResponse Fallback(std::string_view uri);
};
