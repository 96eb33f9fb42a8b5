// External address detection through an IP-echo web page.
#include "network/ExternalIP.h"

#include "net/httpclient.h"

#include <cctype>
#include <vector>

std::string ExtractBodyText(std::string_view html) {
  static constexpr std::string_view kOpen = "<body>";
  std::string_view part = html;
  for (std::size_t i = 0; i + kOpen.size() <= html.size(); ++i) {
    bool match = true;
    for (std::size_t k = 0; k < kOpen.size() && match; ++k) {
      match = std::tolower(static_cast<unsigned char>(html[i + k])) == kOpen[k];
    }
    if (match) {
      part = html.substr(i + kOpen.size());
      break;
    }
  }
  return std::string(part.substr(0, part.find("</body>")));
}

std::string KeepIpCharacters(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if ((c >= '0' && c <= '9') || c == '.') out += c;
  }
  return out;
}

std::string GetExternalIp(std::string_view service) {
  std::vector<std::string> lines;
  FetchLines(service, lines);
  std::string page;
  for (const auto& line : lines) page += line + "\r\n";
  std::string address = KeepIpCharacters(ExtractBodyText(page));
  return address.empty() ? "<unknown>" : address;
}
