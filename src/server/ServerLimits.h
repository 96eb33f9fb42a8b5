// Bounds of the server against hostile or broken peers, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ServerLimits {

// The port and the connection time-out of a listener the program does not
// configure otherwise (the settings start from the same values).
inline constexpr int kDefaultPort = 3724;
inline constexpr int kDefaultTimeoutMs = 12000;

// Longest request line or header line, without its CR LF (longer: 10055,
// connection closed without a response). Also bounds an upload's part header.
inline constexpr int kMaxHeadLineLength = 16 * 1024;
// Most header lines one request may carry.
inline constexpr int kMaxHeaderLines = 100;
// The request line and all header lines must have arrived within this time.
inline constexpr int kRequestHeadTimeMs = 60 * 1000;
// Largest plain (non-multipart) request body; uploads are streamed to disk.
inline constexpr std::int64_t kMaxPlainBody = 16 * 1024 * 1024;
// Most lines a plain body may split into: each becomes a header-list entry,
// so a body of line ends alone would otherwise cost many times its size.
inline constexpr int kMaxPlainBodyLines = 65536;
// Most workers running at once; the listener stops accepting at the cap.
inline constexpr int kMaxWorkers = 256;
// A thread waiting for a connection wakes at least this often.
inline constexpr int kListenerPollMs = 250;
// A connection that sends nothing is taken after about this long.
inline constexpr int kDeferAcceptSeconds = 1;
// After accept failed for want of handles or memory, the next try waits this long.
inline constexpr int kAcceptRetryMs = 10;
// How long a stopping program waits for running workers.
inline constexpr int kExitWorkerWaitMs = 5000;
// Threads that wait for the next connection once theirs is served, at most;
// a thread that found no work within the idle time ends (one always waits).
inline constexpr int kMaxIdleWorkerThreads = 64;
inline constexpr int kWorkerThreadIdleMs = 10 * 1000;

// A kept connection (HTTP/1.1 keep-alive, for responses that allow it) waits
// this long for its next request, looking every poll interval whether the
// server nears its worker cap: at the yield share of the cap, idle kept
// connections close and give their workers back.
inline constexpr int kKeepAliveIdleMs = 5000;
inline constexpr int kKeepAlivePollMs = 100;
inline constexpr int kKeepAliveYieldPercent = 75;
// Most requests one connection may carry.
inline constexpr int kMaxRequestsPerConnection = 1000;
// A refused or finished upload's unread rest is read and dropped up to this
// size, so the answer reaches the visitor; a larger rest closes the
// connection after the answer.
inline constexpr std::int64_t kMaxDrainedBody = 16 * 1024 * 1024;

// Folder listings kept for reuse: each is used for at most this long, and
// sooner made again when its folder changes.
inline constexpr int kListingMaxAgeMs = 1000;
// At most this many listings, with at most this many entries in all, are kept.
inline constexpr int kMaxKeptListings = 64;
inline constexpr std::size_t kMaxKeptListingEntries = 200 * 1000;

}  // namespace ServerLimits
