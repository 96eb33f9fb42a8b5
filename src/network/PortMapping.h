// Forwarding of the sharing port by the home router: UPnP IGD first, then
// NAT-PMP, on a thread of its own that also renews the lease and removes the
// mapping when asked to stop. Every exchange with the router is bounded
// (NetworkLimits::kRouterCallMs); nobody waits for the thread but Stop, and
// Stop only for a bounded time.
#pragma once

#include "network/AddressRules.h"
#include "network/NetworkLimits.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

inline constexpr char kPortMappingDescription[] = "Mirelo File Share";

struct TPortMappingSetup {
  int InternalPort = 0;  // the port the listener bound
  // The address the router forwards to; empty: the one this computer reaches
  // the router from.
  std::string InternalClient;
  // The UPnP root description ("http://192.168.1.1:5000/rootDesc.xml");
  // empty: SSDP discovery.
  std::string UpnpRootUrl;
  // The NAT-PMP gateway, "address" or "address:port" (port 5351 by default);
  // empty: the default gateway of the routing table.
  std::string NatPmpGateway;
  // Whether the IPv4 port is mapped (false: a listener on IPv6 alone).
  bool MapIPv4 = true;
  // The global IPv6 address sharing listens on; when set, the firewall of a
  // UPnP IGD 2 router is asked to let TCP to it and InternalPort through.
  std::string PinholeAddress;
  std::string Description = kPortMappingDescription;
  int LeaseSeconds = NetworkLimits::kMappingLeaseSeconds;
  int RetrySeconds = NetworkLimits::kMappingRetrySeconds;  // after a failed renewal
  int CallTimeoutMs = NetworkLimits::kRouterCallMs;
  int DiscoveryMs = NetworkLimits::kRouterDiscoveryMs;
};

enum class TMappingEvent {
  Mapped,       // the router forwards ExternalPort
  Failed,       // no router forwarded the port (Refusals and Silent say why)
  Renewed,      // the lease was renewed
  RenewFailed,  // the router refused or did not answer a renewal; tried again later
  Removed,      // the mapping was removed on Stop
  RemoveFailed  // the router did not remove it (it ends with its lease)
};

struct TPortMappingReport {
  TMappingEvent Event = TMappingEvent::Failed;
  // A pinhole in the router's IPv6 firewall (for LocalAddress and
  // InternalPort), not a forwarded IPv4 port.
  bool Pinhole = false;
  // Pinhole: the router's firewall lets every connection in; nothing to open.
  bool FirewallOff = false;
  std::string Method;  // "UPnP" or "NAT-PMP" once a router was found
  int InternalPort = 0;
  int ExternalPort = 0;
  std::string ExternalAddress;  // as the router tells it; "" when unknown
  std::string LocalAddress;     // this computer, as seen towards the router
  int LeaseSeconds = 0;         // granted; 0 = permanent
  // What went wrong, per method: "UPnP error 718: ConflictInMappingEntry".
  std::vector<std::string> Refusals;
  // The methods that were tried and got no answer, in order.
  std::vector<std::string> Silent;
};

// The user's line for a report ("Port mapping: ...", or "IPv6: ..." for a
// pinhole). localAddress stands in when the report knows no local address.
std::string DescribeMapping(const TPortMappingReport& report, const std::string& localAddress);

class TPortMapper {
 public:
  // Called on the mapper's thread, one report at a time, never after Stop
  // has returned.
  using TReportFn = std::function<void(const TPortMappingReport&)>;

  TPortMapper(TPortMappingSetup setup, TReportFn report);
  ~TPortMapper();  // Stop(NetworkLimits::kMappingRemoveWaitMs)
  TPortMapper(const TPortMapper&) = delete;
  TPortMapper& operator=(const TPortMapper&) = delete;

  // Starts the thread: map (and open the pinhole), then renew until Stop.
  void Start();
  // Asks the thread to remove the mapping (and close the pinhole) and end, and waits at most waitMs
  // for it. A router that takes longer is left to the thread, which then
  // reports nothing more.
  void Stop(int waitMs = NetworkLimits::kMappingRemoveWaitMs);

  // What the thread and the owner share (PortMapping.cpp).
  struct TShared;

 private:
  std::shared_ptr<TShared> shared_;
  std::thread thread_;
};
