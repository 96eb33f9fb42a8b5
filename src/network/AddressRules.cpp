// Address kinds and the loopback-only environment.
#include "network/AddressRules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

bool LoopbackOnlyEnvironment() {
  const char* value = std::getenv(kLoopbackOnlyVariable);
  return value && *value && std::strcmp(value, "0") != 0;
}

bool IsPrivateIPv4(std::string_view address) {
  in_addr a{};
  if (inet_pton(AF_INET, std::string(address).c_str(), &a) != 1) return true;
  const std::uint32_t v = ntohl(a.s_addr);
  return (v >> 24) == 10 || (v >> 20) == ((172u << 4) | 1u) || (v >> 16) == ((192u << 8) | 168u) ||
         (v >> 22) == ((100u << 2) | 1u);
}

bool IsLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  in_addr a{};
  return inet_pton(AF_INET, std::string(host).c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool IsGlobalIPv6(std::string_view address) {
  in6_addr a{};
  if (inet_pton(AF_INET6, std::string(address).c_str(), &a) != 1) return false;
  const std::uint8_t* b = a.s6_addr;
  if ((b[0] & 0xE0) != 0x20) return false;                                         // 2000::/3 only
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0D && b[3] == 0xB8) return false;  // 2001:db8::/32
  return true;
}

std::string HostOfAddress(std::string_view address) {
  std::string_view rest = address;
  if (const auto scheme = rest.find("://"); scheme != std::string_view::npos) {
    rest.remove_prefix(scheme + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    return std::string(rest.substr(1, close == std::string_view::npos ? rest.npos : close - 1));
  }
  // A single colon separates the port; more than one is a bare IPv6 address.
  const auto colon = rest.find(':');
  if (colon != std::string_view::npos && rest.find(':', colon + 1) == std::string_view::npos) {
    rest = rest.substr(0, colon);
  }
  return std::string(rest);
}
