// Text helpers of the gallery style: the path form of the /.mirelo/
// addresses and the kinds of file the viewer shows.
#pragma once

#include <string>
#include <string_view>

// A share-relative path as the /.mirelo/ addresses carry it: each
// "/"-separated segment percent-encoded (all but letters, digits and -._~,
// a space as %20), the "/" kept.
std::string EncodeDotPath(std::string_view path);
// The reverse: percent escapes decoded ("+" stays "+"). False for a
// malformed escape, a zero byte, or a "." or ".." segment.
bool DecodeDotPath(std::string_view encoded, std::string& path);

enum class TMediaKind : char { None, Picture, Video, Audio };
struct TMediaType {
  TMediaKind Kind = TMediaKind::None;
  std::string_view Type;  // the Content-Type; empty for None
};
// What a file is by its extension (any letter case). Only these are ever
// shown inline; everything else (HTML, SVG, text ...) is a download.
TMediaType MediaTypeOf(std::string_view name);

// The header lines every gallery response carries.
inline constexpr std::string_view kGalleryPolicy =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; media-src 'self'; connect-src 'self'; form-action 'self'; "
    "base-uri 'none'; frame-ancestors 'none'";
inline constexpr std::string_view kNoSniff = "X-Content-Type-Options: nosniff";
inline constexpr std::string_view kNoReferrer = "Referrer-Policy: no-referrer";
