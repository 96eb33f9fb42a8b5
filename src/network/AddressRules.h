// What kind of address a text is (private, loopback, global IPv6), and the
// environment setting that keeps the program's own traffic on this machine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Set (to anything but "" or "0") by the tests, benchmarks and scripts of this
// project: routers are then never looked for (no SSDP, no default gateway),
// and only routers and trackers on the loopback network are asked.
inline constexpr char kLoopbackOnlyVariable[] = "MIRELO_LOOPBACK_ONLY";
bool LoopbackOnlyEnvironment();

// True for 10/8, 172.16/12, 192.168/16 and 100.64/10 (the provider's shared
// space), and for text that is not an IPv4 address.
bool IsPrivateIPv4(std::string_view address);
// True for 127/8, "::1" (with or without brackets) and "localhost".
bool IsLoopbackHost(std::string_view host);
// True for a global unicast IPv6 address (2000::/3), the kind friends on
// the Internet can reach; false for link-local, unique-local, loopback,
// IPv4-mapped and documentation addresses and for anything that is not IPv6.
bool IsGlobalIPv6(std::string_view address);
// The host part of "host", "host:port", "[v6]:port" or "http://host:port/path".
std::string HostOfAddress(std::string_view address);
