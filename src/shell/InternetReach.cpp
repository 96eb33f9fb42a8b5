// The port mapping and the reachability check of one sharing session.
#include "shell/InternetReach.h"

#include "network/AddressRules.h"
#include "network/OrvelInternet.h"
#include "network/ReachCheck.h"
#include "shell/StatusBoard.h"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

struct TInternetReach::TShared {
  TInternetSetup setup;
  std::mutex lock;
  std::condition_variable changed;
  bool stop = false;
  bool ipv6Only = false;                        // listening on IPv6 alone: nothing to map
  bool finished = false;                        // the checker's thread ended
  std::optional<TPortMappingReport> concluded;  // the mapping's first outcome
  bool pinholeWanted = false;                   // the router is asked for a pinhole
  std::optional<TPortMappingReport> pinhole;    // the pinhole's first outcome
  std::mutex updateLock;
  TUpdateFn updates;

  void Emit(const TReachUpdate& u) {
    const std::lock_guard<std::mutex> hold(updateLock);
    if (updates) updates(u);
  }
};

namespace {

constexpr int kCheckerStopWaitMs = 200;

bool UsableAddress(const std::string& address) {
  return !address.empty() && address != "<unknown>";
}

bool SpecificAddress(const std::string& bind) {
  return !bind.empty() && bind != "0.0.0.0" && bind != "::";
}

// The line's stand-in for this computer when the router did not say.
std::string LocalAddress(const TInternetSetup& setup) {
  return SpecificAddress(setup.BindAddress) ? setup.BindAddress : GetLocalIp();
}

void RunChecker(const std::shared_ptr<TInternetReach::TShared>& shared) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  const TInternetSetup& setup = shared->setup;
  std::optional<TPortMappingReport> mapping;
  {
    // The check waits for the mapping's outcome (on IPv6 alone: the
    // pinhole's), which is bounded by the router calls it takes.
    std::unique_lock<std::mutex> hold(shared->lock);
    shared->changed.wait(hold, [&] {
      if (shared->stop || !setup.PortMapping) return true;
      if (shared->ipv6Only) return !shared->pinholeWanted || shared->pinhole.has_value();
      return shared->concluded.has_value();
    });
    mapping = shared->ipv6Only ? shared->pinhole : shared->concluded;
  }
  int port = setup.Port;
  if (mapping && !mapping->Pinhole && mapping->Event == TMappingEvent::Mapped) {
    port = mapping->ExternalPort;
    const std::string host = UsableAddress(setup.ServerAddress) || mapping->ExternalAddress.empty()
                                 ? setup.ServerAddress
                                 : mapping->ExternalAddress;
    if (host != setup.ServerAddress || port != setup.Port) {
      shared->Emit({TReachKind::WebAddress, ComposeWebAddress(host, port), host, port});
    }
  }
  bool stopping = false;
  {
    const std::lock_guard<std::mutex> hold(shared->lock);
    stopping = shared->stop;
  }
  if (!stopping) {
    const TReachVerdict verdict = AskReachability(setup.TrackerHost, port, setup.ReachQueryMs);
    const std::string tried = MappingSummary(setup.PortMapping, mapping ? &*mapping : nullptr);
    shared->Emit(
        {TReachKind::Reachability, DescribeReach(verdict, setup.TrackerHost, tried), "", 0});
  }
  const std::lock_guard<std::mutex> hold(shared->lock);
  shared->finished = true;
  shared->changed.notify_all();
}

}  // namespace

std::string MappingSummary(bool mappingOn, const TPortMappingReport* report) {
  if (!mappingOn) return "port mapping is off";
  if (!report) return "port mapping is for IPv4 only";
  if (report->Pinhole) {
    return report->Event == TMappingEvent::Mapped
               ? "the router's firewall lets friends reach port " +
                     std::to_string(report->InternalPort) + " (" + report->Method + ")"
               : "the router's firewall was not opened";
  }
  if (report->Event == TMappingEvent::Mapped) {
    return "the router forwards port " + std::to_string(report->ExternalPort) + " (" +
           report->Method + ")";
  }
  return "no router forwards the port";
}

TInternetReach::TInternetReach(TInternetSetup setup, TUpdateFn updates)
    : shared_(std::make_shared<TShared>()) {
  shared_->setup = std::move(setup);
  shared_->updates = std::move(updates);
}

TInternetReach::~TInternetReach() { Stop(); }

void TInternetReach::Start() {
  const TInternetSetup& setup = shared_->setup;
  if (setup.Internal || checker_.joinable()) return;
  // A router maps IPv4 ports: a listener on an IPv6 address alone has none,
  // only a pinhole in the router's firewall.
  shared_->ipv6Only = setup.BindAddress.find(':') != std::string::npos;
  if (setup.PortMapping && (!shared_->ipv6Only || !setup.IPv6Address.empty())) {
    TPortMappingSetup mapping;
    mapping.InternalPort = setup.Port;
    mapping.MapIPv4 = !shared_->ipv6Only;
    mapping.PinholeAddress = setup.IPv6Address;
    shared_->pinholeWanted = !setup.IPv6Address.empty();
    if (SpecificAddress(setup.BindAddress) && !shared_->ipv6Only) {
      mapping.InternalClient = setup.BindAddress;
    }
    mapping.UpnpRootUrl = setup.UpnpGateway;
    mapping.NatPmpGateway = setup.NatPmpGateway;
    mapping.CallTimeoutMs = setup.RouterCallMs;
    std::weak_ptr<TShared> weak = shared_;
    mapper_ = std::make_unique<TPortMapper>(mapping, [weak](const TPortMappingReport& r) {
      const std::shared_ptr<TShared> shared = weak.lock();
      if (!shared) return;
      if (r.Pinhole) {
        if (r.Event == TMappingEvent::Mapped || r.Event == TMappingEvent::Failed) {
          const std::lock_guard<std::mutex> hold(shared->lock);
          if (!shared->pinhole) shared->pinhole = r;
          shared->changed.notify_all();
        }
        if (r.Event != TMappingEvent::Renewed) {
          shared->Emit({TReachKind::Firewall, DescribeMapping(r, ""), "", 0});
        }
        return;
      }
      if (r.Event == TMappingEvent::Mapped || r.Event == TMappingEvent::Failed) {
        const std::lock_guard<std::mutex> hold(shared->lock);
        if (!shared->concluded) shared->concluded = r;
        shared->changed.notify_all();
      }
      if (r.Event == TMappingEvent::Renewed) return;  // nothing new to say
      shared->Emit({TReachKind::Mapping, DescribeMapping(r, LocalAddress(shared->setup)), "", 0});
    });
    mapper_->Start();
  }
  checker_ = std::thread([shared = shared_] { RunChecker(shared); });
}

void TInternetReach::Stop() {
  if (!checker_.joinable()) return;
  {
    const std::lock_guard<std::mutex> hold(shared_->lock);
    shared_->stop = true;
    shared_->changed.notify_all();
  }
  if (mapper_) {
    // Its last lines (the removals) come before this returns; a pinhole is
    // one more exchange with the router.
    const bool pinhole = shared_->setup.PortMapping && !shared_->setup.IPv6Address.empty();
    mapper_->Stop(NetworkLimits::kMappingRemoveWaitMs +
                  (pinhole ? shared_->setup.RouterCallMs : 0));
  }
  bool finished = false;
  {
    std::unique_lock<std::mutex> hold(shared_->lock);
    finished = shared_->changed.wait_for(hold, std::chrono::milliseconds(kCheckerStopWaitMs),
                                         [this] { return shared_->finished; });
  }
  if (finished) {
    checker_.join();
    return;
  }
  // A check under way finishes alone and says nothing.
  {
    const std::lock_guard<std::mutex> hold(shared_->updateLock);
    shared_->updates = nullptr;
  }
  checker_.detach();
}

TListenPlan PlanListeners(const std::string& bindSetting,
                          const std::vector<TInterfaceAddress>& interfaces) {
  TListenPlan plan;
  const std::string global = FirstGlobalIPv6(interfaces);
  if (bindSetting.empty() || bindSetting == "0.0.0.0") {
    if (!global.empty()) {
      plan.SecondBind = "::";
      plan.IPv6Address = global;
    }
    return plan;
  }
  plan.BindAddress = bindSetting;
  if (bindSetting == "::") {
    plan.IPv6Address = global;
  } else if (IsGlobalIPv6(bindSetting)) {
    plan.IPv6Address = bindSetting;
  }
  return plan;
}

std::string WebAddressOf(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

std::string LocalWebAddress(const std::string& bindAddress, int port) {
  if (bindAddress == "::") return WebAddressOf("::1", port);
  return WebAddressOf(SpecificAddress(bindAddress) ? bindAddress : "127.0.0.1", port);
}
