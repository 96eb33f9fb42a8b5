// Body lines and date texts of the HTTP exchange.
#include "server/HttpText.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstdio>

namespace {

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

bool IsCrLfText(std::string_view text) {
  const char* const p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
#ifdef __SSE2__
    // Sixteen bytes at a time past those that are not CR, LF or zero.
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const int special = _mm_movemask_epi8(_mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, zero)));
      if (special != 0) {
        i += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(special)));
        break;
      }
      i += 16;
    }
    if (i >= n) break;
#endif
    const char c = p[i];
    if (c == '\0' || c == '\n') return false;
    if (c == '\r') {
      if (i + 1 >= n || p[i + 1] != '\n') return false;
      ++i;
    }
    ++i;
  }
  return text.empty() || text.back() == '\n';
}

std::size_t CountTextLines(std::string_view text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::size_t count = 0;
  std::size_t p = 0;
  while (p < text.size()) {
    ++count;
    const std::size_t q = text.find_first_of("\r\n", p);
    if (q == std::string_view::npos) break;
    p = (text[q] == '\r' && q + 1 < text.size() && text[q + 1] == '\n') ? q + 2 : q + 1;
  }
  return count;
}

std::vector<std::string> SplitTextLines(std::string_view text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> lines;
  std::size_t p = 0;
  while (p < text.size()) {
    const std::size_t q = text.find_first_of("\r\n", p);
    if (q == std::string_view::npos) {
      lines.emplace_back(text.substr(p));
      break;
    }
    lines.emplace_back(text.substr(p, q - p));
    p = (text[q] == '\r' && q + 1 < text.size() && text[q + 1] == '\n') ? q + 2 : q + 1;
  }
  return lines;
}

std::string TimeZoneText(int offsetMinutes) {
  const int a = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d%02d", offsetMinutes >= 0 ? '+' : '-', a / 60, a % 60);
  return text;
}

std::string TimeZoneText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return TimeZoneText(static_cast<int>(local.tm_gmtoff / 60));
}

std::string FormatRfc822Date(const std::tm& local, int offsetMinutes) {
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %s", kDays[local.tm_wday % 7],
                local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, TimeZoneText(offsetMinutes).c_str());
  return text;
}

std::string FormatRfc822Date(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return FormatRfc822Date(local, static_cast<int>(local.tm_gmtoff / 60));
}

std::string FormatHttpDate(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday % 7],
                utc.tm_mday, kMonths[utc.tm_mon % 12], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

bool ParseHttpDate(std::string_view text, std::time_t& when) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  // "Sun, 06 Nov 1994 08:49:37 GMT": 29 characters in fixed places.
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT")
    return false;
  auto number = [&text](std::size_t at, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
    }
    return true;
  };
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (!number(5, 2, day) || !number(12, 4, year) || !number(17, 2, hour) ||
      !number(20, 2, minute) || !number(23, 2, second))
    return false;
  int month = -1;
  for (int m = 0; m < 12; ++m)
    if (text.substr(8, 3) == kMonths[m]) month = m;
  if (month < 0 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || year < 1970)
    return false;
  std::tm utc{};
  utc.tm_year = year - 1900;
  utc.tm_mon = month;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  when = timegm(&utc);
  return true;
}
