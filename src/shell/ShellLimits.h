// Limits of the application shell, in one place.
#pragma once

#include <cstddef>

namespace ShellLimits {

// Lines the log keeps, in memory and on disk; older ones are dropped.
inline constexpr std::size_t kMaxLogLines = 100000;
// Shortest user name accepted.
inline constexpr std::size_t kUserNameMinLength = 7;

}  // namespace ShellLimits
