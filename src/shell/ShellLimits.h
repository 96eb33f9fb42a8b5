// Limits of the application shell, in one place.
#pragma once

#include <cstddef>

namespace ShellLimits {

// Lines the log keeps, in memory and on disk; older ones are dropped.
inline constexpr std::size_t kMaxLogLines = 100000;
// Shortest user name accepted.
inline constexpr std::size_t kUserNameMinLength = 7;
// The computer name and logon name are cut to these lengths.
inline constexpr std::size_t kComputerNameMax = 15;
inline constexpr std::size_t kLogonNameMax = 253;

}  // namespace ShellLimits
