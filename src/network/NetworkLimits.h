// Limits of the public-network pieces (the tracker and its records), in one place.
#pragma once

#include <cstddef>

namespace NetworkLimits {

// A presence record has exactly this many "*"-separated fields.
inline constexpr int kPresenceFields = 9;
// Longest presence record the tracker accepts, without its line end.
inline constexpr std::size_t kMaxRecordBytes = 1024;
// Largest request body the tracker reads (the multipart post around a record).
inline constexpr std::size_t kMaxTrackerPostBytes = 64 * 1024;
// Longest request or header line, and most header lines, the tracker reads.
inline constexpr int kMaxTrackerLineBytes = 8 * 1024;
inline constexpr int kMaxTrackerHeaderLines = 100;
// Connections the tracker serves at once; more wait in the listen queue.
inline constexpr int kMaxTrackerConnections = 32;
// Default age after which the tracker drops a user's line.
inline constexpr int kDefaultMaxAgeMinutes = 15;

}  // namespace NetworkLimits
