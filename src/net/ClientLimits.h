// Limits of the outgoing HTTP client and of the tracker, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ClientLimits {

// Largest response body the client holds in memory: an announced length or a
// chunk beyond it fails the request, and a body read until close stops there.
inline constexpr std::int64_t kMaxBodyBytes = 64LL * 1024 * 1024;

// Longest status or header line, and most header lines, of one response.
inline constexpr int kMaxHeaderLineBytes = 64 * 1024;
inline constexpr int kMaxHeaderLines = 1000;

// Redirects a fetch follows; the next one ends the fetch as failed.
inline constexpr int kMaxRedirectHops = 10;

// Bodies below this size go out in the same send as the header block.
inline constexpr std::size_t kSingleSendBytes = 65536;

}  // namespace ClientLimits
