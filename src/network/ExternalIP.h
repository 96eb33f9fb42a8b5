// External address detection through an IP-echo web page.
#pragma once

#include <string>
#include <string_view>

// Asks the IP-echo service (a host name, optionally with ":port") for its root
// page and keeps the digits and dots of the page's body text; "<unknown>" when
// nothing is left (service unreachable, no digits). Never fails otherwise.
std::string GetExternalIp(std::string_view service);

// The text between the first "<body>" (any letter case) and the next
// "</body>" (lower case only); the whole text when there is no "<body>", up to
// the end when there is no "</body>".
std::string ExtractBodyText(std::string_view html);

// The text with every character other than "0" to "9" and "." dropped.
std::string KeepIpCharacters(std::string_view text);
