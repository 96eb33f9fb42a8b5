// Texts of the HTTP exchange: request and response bodies as lines, and the
// date of the Date header.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// Splits text into lines as the response and form bodies are read: CR, LF and
// CR LF each end a line, a zero byte ends the text, and a final line end adds
// no empty line.
std::vector<std::string> SplitTextLines(std::string_view text);
// True when text is already lines each ended by CR LF, with no zero byte: its
// split lines joined again with CR LF are the text itself.
bool IsCrLfText(std::string_view text);
// The number of lines SplitTextLines makes of text.
std::size_t CountTextLines(std::string_view text);

// "Tue, 5 Mar 2024 14:07:09 +0100": local date and time and the offset from
// UTC in minutes (positive east of Greenwich).
std::string FormatRfc822Date(const std::tm& local, int offsetMinutes);
// The same for a moment, in the process's local time zone.
std::string FormatRfc822Date(std::time_t when);
// "Sun, 06 Nov 1994 08:49:37 GMT": the HTTP date of a moment, in UTC.
std::string FormatHttpDate(std::time_t when);
// The moment of an HTTP date in that form (blanks around it allowed);
// false for any other text.
bool ParseHttpDate(std::string_view text, std::time_t& when);
// "+0100", "-0330": sign, then hours and minutes of the offset.
std::string TimeZoneText(int offsetMinutes);
// TimeZoneText of the current local offset.
std::string TimeZoneText();
