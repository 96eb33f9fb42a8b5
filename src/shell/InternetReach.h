// Sharing over the Internet, around a listener that runs: the router is asked
// to forward the port and to open its IPv6 firewall for the global IPv6
// address (unless the setting is off), then the tracker is asked
// whether friends can reach the address. Both run on threads of their own;
// what they find reaches the window or the headless program as lines.
// Sharing in the local network only does neither.
#pragma once

#include "network/OrvelInternet.h"
#include "network/PortMapping.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct TInternetSetup {
  bool Internal = false;      // sharing in the local network only
  bool PortMapping = true;    // "Network" / "PortMapping"
  std::string UpnpGateway;    // root description address; "" discovers the router
  std::string NatPmpGateway;  // "address[:port]"; "" asks the default gateway
  std::string TrackerHost;
  // The address the web address shows ("<unknown>" when the IP-echo host
  // could not be asked).
  std::string ServerAddress;
  std::string BindAddress;  // the listener's; "" or "0.0.0.0": every interface
  // The global IPv6 address sharing listens on too; "" none. With port
  // mapping on, the router's IPv6 firewall is asked to let friends reach it.
  std::string IPv6Address;
  int Port = 0;  // the port the listener bound
  // Bounds, for the tests.
  int RouterCallMs = NetworkLimits::kRouterCallMs;
  int ReachQueryMs = NetworkLimits::kReachQueryMs;
};

enum class TReachKind {
  Mapping,       // "Port mapping: ..."
  Firewall,      // "IPv6: the router's firewall ...": the pinhole for the IPv6 address
  Reachability,  // "Friends can reach this address." and the like
  WebAddress     // the web address changed (the router's port or address)
};

struct TReachUpdate {
  TReachKind Kind = TReachKind::Mapping;
  std::string Text;  // the line; for WebAddress the address itself
  // WebAddress: the host and port it is made of.
  std::string Host;
  int Port = 0;
};

class TInternetReach {
 public:
  // Called on the helper threads, one update at a time, never after Stop
  // has returned.
  using TUpdateFn = std::function<void(const TReachUpdate&)>;

  TInternetReach(TInternetSetup setup, TUpdateFn updates);
  ~TInternetReach();  // Stop
  TInternetReach(const TInternetReach&) = delete;
  TInternetReach& operator=(const TInternetReach&) = delete;

  void Start();
  // Removes the mapping (waiting a bounded time for the router) and ends.
  void Stop();

  struct TShared;

 private:
  std::shared_ptr<TShared> shared_;
  std::unique_ptr<TPortMapper> mapper_;
  std::thread checker_;
};

// "port mapping is off", "no router forwarded the port", ...: what the
// reachability line adds after the tracker's finding.
std::string MappingSummary(bool mappingOn, const TPortMappingReport* report);

// Where sharing listens, from the "BindAddress" setting: by default every
// IPv4 interface and, when an interface has a global IPv6 address, a second
// listener for every IPv6 interface on the same port, that address being
// shown as a second web address. A chosen address is listened on alone.
struct TListenPlan {
  std::string BindAddress = "0.0.0.0";
  std::string SecondBind;   // "::" or ""
  std::string IPv6Address;  // the global IPv6 address to show; "" none
};
TListenPlan PlanListeners(const std::string& bindSetting,
                          const std::vector<TInterfaceAddress>& interfaces);

// "http://host:port/" with an IPv6 host in brackets.
std::string WebAddressOf(const std::string& host, int port);
// The address that reaches the listener from this computer: 127.0.0.1
// unless the listener has an address of its own.
std::string LocalWebAddress(const std::string& bindAddress, int port);
