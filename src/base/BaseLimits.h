// Limits of the base utilities, in one place.
#pragma once

#include <cstddef>

namespace BaseLimits {

// The computer name and logon name are cut to these lengths.
inline constexpr std::size_t kComputerNameMax = 15;
inline constexpr std::size_t kLogonNameMax = 253;

}  // namespace BaseLimits
