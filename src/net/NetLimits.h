// Sizes and bounds of the socket layer, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace NetLimits {

// Largest single read handed out by ReceivePacket (the pending-byte cap).
inline constexpr int kMaxPacket = 65536;
// Default for SendMaxChunk: largest single send, and the block size of
// ReceiveToStream.
inline constexpr int kSendMaxChunk = 65536;
// Largest piece SendFile hands to one sendfile call. Pieces of this size
// kept loopback downloads fastest: larger ones (up to the whole file) made
// fewer calls yet moved fewer bytes per second.
inline constexpr std::int64_t kSendFileChunk = 256 * 1024;
// Close() discards input that has already arrived before it closes; a peer
// that keeps sending cannot hold it longer than this many bytes.
inline constexpr std::size_t kMaxClosePurgeBytes = 1 << 20;
// Close() waits this long before it discards late input.
inline constexpr int kClosePurgeDelayMs = 1;

}  // namespace NetLimits
