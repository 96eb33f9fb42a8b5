// The machine's own address in the local network.
#include "network/OrvelInternet.h"

#include "network/AddressRules.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <memory>

namespace {

struct IfAddrsFree {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
struct AddrInfoFree {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

std::string NumericText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = nullptr;
  if (address->sa_family == AF_INET) {
    raw = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
  } else if (address->sa_family == AF_INET6) {
    raw = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
  } else {
    return {};
  }
  if (!inet_ntop(address->sa_family, raw, text, sizeof text)) return {};
  return text;
}

std::string HostNameAddress() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &raw) != 0 || !raw) return {};
  const std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
  return NumericText(raw->ai_addr);
}

}  // namespace

std::string FirstUsableIPv4(const std::vector<TInterfaceAddress>& interfaces) {
  for (const auto& i : interfaces) {
    if (i.Up && !i.Loopback && i.IPv4 && !i.Address.empty()) return i.Address;
  }
  return {};
}

std::string FirstGlobalIPv6(const std::vector<TInterfaceAddress>& interfaces) {
  for (const auto& i : interfaces) {
    if (i.Up && !i.Loopback && !i.IPv4 && IsGlobalIPv6(i.Address)) return i.Address;
  }
  return {};
}

std::vector<TInterfaceAddress> ListInterfaceAddresses() {
  std::vector<TInterfaceAddress> result;
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return result;
  const std::unique_ptr<ifaddrs, IfAddrsFree> list(raw);
  for (const ifaddrs* it = raw; it; it = it->ifa_next) {
    if (!it->ifa_addr) continue;
    const int family = it->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    TInterfaceAddress entry;
    entry.Up = (it->ifa_flags & IFF_UP) != 0;
    entry.Loopback = (it->ifa_flags & IFF_LOOPBACK) != 0;
    entry.IPv4 = family == AF_INET;
    entry.Address = NumericText(it->ifa_addr);
    result.push_back(std::move(entry));
  }
  return result;
}

std::string GetLocalIp() {
  std::string address = FirstUsableIPv4(ListInterfaceAddresses());
  if (address.empty()) address = HostNameAddress();
  return address;
}
