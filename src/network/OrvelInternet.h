// The machine's own address in the local network.
#pragma once

#include <string>
#include <vector>

// One address of a network interface, as the system lists them.
struct TInterfaceAddress {
  bool Up = false;
  bool Loopback = false;
  bool IPv4 = false;
  std::string Address;  // numeric text
};

// The first IPv4 address of an interface that is up and not loopback; "" when
// there is none.
std::string FirstUsableIPv4(const std::vector<TInterfaceAddress>& interfaces);

// The first global IPv6 address (IsGlobalIPv6) of an interface that is up
// and not loopback; "" when there is none.
std::string FirstGlobalIPv6(const std::vector<TInterfaceAddress>& interfaces);

// The system's interface addresses, in its order.
std::vector<TInterfaceAddress> ListInterfaceAddresses();

// FirstUsableIPv4 of the system's interfaces; failing that, the first IPv4
// address the host name resolves to; failing that, "".
std::string GetLocalIp();
