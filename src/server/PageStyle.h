// The look of the pages visitors get: the classic table pages, or the
// gallery pages with their own assets under /.mirelo/.
#pragma once

#include <cstdint>
#include <string_view>

enum class TPageStyle : std::int8_t { Classic, Gallery };

// "classic" or "gallery", as the settings file and the command line write it.
constexpr std::string_view PageStyleName(TPageStyle style) {
  return style == TPageStyle::Gallery ? "gallery" : "classic";
}
// Reads a name in any letter case; false (style unchanged) for anything else.
bool ParsePageStyle(std::string_view name, TPageStyle& style);
