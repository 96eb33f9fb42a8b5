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

// The tracker's reachability check: the longest it waits for the asking
// program's answer (connection and status line together), the most it reads
// of that answer, and how many checks one address may ask for in a minute.
inline constexpr int kReachCheckMs = 5000;
inline constexpr std::size_t kReachAnswerBytes = 4 * 1024;
inline constexpr int kReachChecksPerMinute = 5;
// Addresses whose recent checks the tracker remembers; past this it forgets
// the oldest minute's worth first.
inline constexpr std::size_t kReachRememberedAddresses = 10000;
// The program's own wait for the tracker's verdict (the check plus the way there).
inline constexpr int kReachQueryMs = kReachCheckMs + 5000;

// Port mapping: one exchange with the router (connection, request and
// answer), the wait for SSDP answers, the most read of one answer, and the
// lease asked for (renewed when half of it is gone).
inline constexpr int kRouterCallMs = 3000;
inline constexpr int kRouterDiscoveryMs = 1500;
inline constexpr std::size_t kRouterAnswerBytes = 64 * 1024;
inline constexpr int kMappingLeaseSeconds = 3600;
// After a failed renewal the next try comes this much sooner.
inline constexpr int kMappingRetrySeconds = 60;
// External ports tried after the sharing port when the router has it taken.
inline constexpr int kMappingPortTries = 10;
// How long stopping waits for the router to remove a mapping.
inline constexpr int kMappingRemoveWaitMs = kRouterCallMs + 1000;

}  // namespace NetworkLimits
