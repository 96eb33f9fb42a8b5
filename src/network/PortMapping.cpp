// Port mapping through the router. The UPnP side finds the router with the
// UPnP library (SSDP discovery and the parsing of descriptions and answers)
// but makes every HTTP exchange itself, under one deadline per exchange and
// a cap on what it reads, so a router that trickles or floods cannot hold the
// thread. The NAT-PMP side uses the NAT-PMP library with our own deadline
// around its retries.
#include "network/PortMapping.h"

#include "net/httpclient.h"
#include "net/tcpsocket.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnpreplyparse.h>
#include <natpmp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

std::string XmlEscaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// ---- One bounded HTTP exchange with the router ----

struct TRouterAnswer {
  bool Answered = false;  // a whole response arrived in time
  int Status = 0;
  std::string Body;
  std::string LocalAddress;  // this side of the connection
};

TRouterAnswer RouterExchange(std::string_view method, const std::string& url,
                             std::vector<std::string> headers, const std::string& body,
                             int timeoutMs) {
  TRouterAnswer answer;
  if (LoopbackOnlyEnvironment() && !IsLoopbackHost(HostOfAddress(url))) return answer;
  THttpClient client;
  client.ProtocolVersion = "1.1";
  client.KeepConnection = false;
  client.AgentName = "Linux UPnP/1.1 MireloShare/1.0";
  client.SetReceiveTimeout(timeoutMs);
  client.Socket().SetDeadline(Clock::now() + std::chrono::milliseconds(timeoutMs));
  client.Socket().SendTimeoutMs = timeoutMs;
  client.HeaderLines = std::move(headers);
  if (!body.empty()) {
    client.ContentType = "text/xml; charset=\"utf-8\"";
    client.Body.Write(body);
  }
  const bool ok = client.Request(method, url);
  answer.LocalAddress = client.Socket().LocalAddress();
  if (!ok || client.Body.Size() > NetworkLimits::kRouterAnswerBytes) return answer;
  answer.Answered = true;
  answer.Status = client.StatusCode;
  answer.Body = client.Body.Bytes();
  return answer;
}

// ---- UPnP IGD ----

struct TUpnpService {
  std::string ControlUrl;
  std::string ServiceType;  // "urn:schemas-upnp-org:service:WANIPConnection:1", ...
  std::string LocalAddress;
  // The WANIPv6FirewallControl service of an IGD 2 router; "" when it has none.
  std::string FirewallControlUrl;
  std::string FirewallServiceType;
};

// Reads a root description; true when it names a WAN connection service.
bool ReadRootDescription(const std::string& rootUrl, int timeoutMs, TUpnpService& service) {
  const TRouterAnswer answer = RouterExchange("GET", rootUrl, {}, "", timeoutMs);
  if (!answer.Answered || answer.Status != 200 || answer.Body.empty()) return false;
  IGDdatas data{};
  parserootdesc(answer.Body.data(), static_cast<int>(answer.Body.size()), &data);
  if (data.first.servicetype[0] == '\0' || data.first.controlurl[0] == '\0') return false;
  UPNPUrls urls{};
  GetUPNPUrls(&urls, &data, rootUrl.c_str(), 0);
  service.ControlUrl = Text(urls.controlURL);
  const std::string firewallUrl = data.IPv6FC.controlurl[0] ? Text(urls.controlURL_6FC) : "";
  FreeUPNPUrls(&urls);
  service.ServiceType = data.first.servicetype;
  service.LocalAddress = answer.LocalAddress;
  // The requests go to the router that described itself, never to another
  // host its description names.
  if (!firewallUrl.empty() && HostOfAddress(firewallUrl) == HostOfAddress(rootUrl)) {
    service.FirewallControlUrl = firewallUrl;
    service.FirewallServiceType = data.IPv6FC.servicetype;
  }
  return !service.ControlUrl.empty() && HostOfAddress(service.ControlUrl) == HostOfAddress(rootUrl);
}

struct TSoapResult {
  bool Answered = false;
  int ErrorCode = 0;  // 0: done; a UPnP error code, or the HTTP status
  std::string ErrorText;
  std::vector<std::pair<std::string, std::string>> Values;

  std::string Value(const std::string& name) const {
    for (const auto& [n, v] : Values) {
      if (n == name) return v;
    }
    return {};
  }
};

using TSoapArgs = std::vector<std::pair<std::string, std::string>>;

std::string SoapEnvelope(const std::string& serviceType, const std::string& action,
                         const TSoapArgs& args) {
  std::string body =
      "<?xml version=\"1.0\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
      "<s:Body><u:" +
      action + " xmlns:u=\"" + XmlEscaped(serviceType) + "\">";
  for (const auto& [name, value] : args) {
    body += "<" + name + ">" + XmlEscaped(value) + "</" + name + ">";
  }
  body += "</u:" + action + "></s:Body></s:Envelope>\r\n";
  return body;
}

TSoapResult Soap(const TUpnpService& service, const std::string& action, const TSoapArgs& args,
                 int timeoutMs) {
  TSoapResult result;
  const TRouterAnswer answer = RouterExchange(
      "POST", service.ControlUrl, {"SOAPAction: \"" + service.ServiceType + "#" + action + "\""},
      SoapEnvelope(service.ServiceType, action, args), timeoutMs);
  if (!answer.Answered) return result;
  result.Answered = true;
  NameValueParserData parsed{};
  ParseNameValue(answer.Body.data(), static_cast<int>(answer.Body.size()), &parsed);
  for (const NameValue* nv = parsed.l_head; nv; nv = nv->l_next) {
    result.Values.emplace_back(nv->name, nv->value);
  }
  ClearNameValueList(&parsed);
  if (answer.Status == 200) return result;
  result.ErrorCode = std::atoi(result.Value("errorCode").c_str());
  result.ErrorText = result.Value("errorDescription");
  if (result.ErrorCode <= 0) {
    result.ErrorCode = answer.Status;
    result.ErrorText = "HTTP status " + std::to_string(answer.Status);
  }
  return result;
}

std::string UpnpRefusal(const TSoapResult& r) {
  std::string text = "UPnP error " + std::to_string(r.ErrorCode);
  if (!r.ErrorText.empty()) text += ": " + r.ErrorText;
  return text;
}

constexpr int kUpnpConflict = 718;
constexpr int kUpnpOnlyPermanentLeases = 725;

TSoapArgs AddArgs(int externalPort, const TPortMappingSetup& setup, const std::string& client,
                  int lease) {
  return {{"NewRemoteHost", ""},
          {"NewExternalPort", std::to_string(externalPort)},
          {"NewProtocol", "TCP"},
          {"NewInternalPort", std::to_string(setup.InternalPort)},
          {"NewInternalClient", client},
          {"NewEnabled", "1"},
          {"NewPortMappingDescription", setup.Description},
          {"NewLeaseDuration", std::to_string(lease)}};
}

// Finds the router: the given root description, or SSDP discovery.
bool FindUpnpRouter(const TPortMappingSetup& setup, TUpnpService& service) {
  if (!setup.UpnpRootUrl.empty()) {
    return ReadRootDescription(setup.UpnpRootUrl, setup.CallTimeoutMs, service);
  }
  if (LoopbackOnlyEnvironment()) return false;
  const char* const types[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                               "urn:schemas-upnp-org:device:InternetGatewayDevice:2", nullptr};
  int error = 0;
  UPNPDev* devices = upnpDiscoverDevices(types, setup.DiscoveryMs, nullptr, nullptr,
                                         UPNP_LOCAL_PORT_ANY, 0, 2, &error, 1);
  bool found = false;
  for (const UPNPDev* d = devices; d && !found; d = d->pNext) {
    if (d->descURL) found = ReadRootDescription(d->descURL, setup.CallTimeoutMs, service);
  }
  freeUPNPDevlist(devices);
  return found;
}

// ---- NAT-PMP ----

class TNatPmpSession {
 public:
  ~TNatPmpSession() {
    if (open_) closenatpmp(&n_);
  }

  // False when there is no gateway to ask (none given and none in the
  // routing table, or a gateway that may not be asked here).
  bool Open(const std::string& gateway) {
    in_addr address{};
    int port = NATPMP_PORT;
    if (!gateway.empty()) {
      std::string host = gateway;
      const auto colon = host.rfind(':');
      if (colon != std::string::npos) {
        port = std::atoi(host.c_str() + colon + 1);
        host.resize(colon);
      }
      if (port < 1 || port > 65535 || inet_pton(AF_INET, host.c_str(), &address) != 1) {
        return false;
      }
      if (LoopbackOnlyEnvironment() && !IsLoopbackHost(host)) return false;
      if (initnatpmp(&n_, 1, address.s_addr) < 0) return false;
    } else {
      if (LoopbackOnlyEnvironment()) return false;
      if (initnatpmp(&n_, 0, 0) < 0) return false;
    }
    open_ = true;
    if (port != NATPMP_PORT) {
      // The library always aims at the standard port; a gateway on another
      // one (a test's) is reached by aiming the same socket there.
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(static_cast<std::uint16_t>(port));
      to.sin_addr = address;
      if (::connect(n_.s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return false;
    }
    return true;
  }

  // The gateway's answer of the given type, or a NAT-PMP error code
  // (NATPMP_TRYAGAIN when none came before the deadline).
  int Await(int type, natpmpresp_t& response, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return NATPMP_TRYAGAIN;
      timeval retry{};
      getnatpmprequesttimeout(&n_, &retry);
      long long wait = retry.tv_sec * 1000LL + retry.tv_usec / 1000;
      wait = std::clamp<long long>(wait, 1, left);
      pollfd p{n_.s, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(wait));
      const int r = readnatpmpresponseorretry(&n_, &response);
      if (r == NATPMP_TRYAGAIN) continue;
      if (r < 0) return r;
      if (response.type == type) return 0;
      // A late answer to an earlier request: keep waiting.
    }
  }

  int PublicAddress(std::string& address, int timeoutMs) {
    if (sendpublicaddressrequest(&n_) < 0) return NATPMP_ERR_SENDERR;
    natpmpresp_t response{};
    const int r = Await(NATPMP_RESPTYPE_PUBLICADDRESS, response, timeoutMs);
    if (r == 0) {
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof text);
      address = text;
    }
    return r;
  }

  // Asks for (or renews, or with lifetime 0 deletes) the TCP mapping.
  int Map(int privatePort, int publicPort, int lifetime, int& mappedPort, int& granted,
          int timeoutMs) {
    if (sendnewportmappingrequest(&n_, NATPMP_PROTOCOL_TCP, static_cast<std::uint16_t>(privatePort),
                                  static_cast<std::uint16_t>(publicPort),
                                  static_cast<std::uint32_t>(lifetime)) < 0) {
      return NATPMP_ERR_SENDERR;
    }
    natpmpresp_t response{};
    const int r = Await(NATPMP_RESPTYPE_TCPPORTMAPPING, response, timeoutMs);
    if (r == 0) {
      mappedPort = response.pnu.newportmapping.mappedpublicport;
      granted = static_cast<int>(response.pnu.newportmapping.lifetime);
    }
    return r;
  }

 private:
  natpmp_t n_{};
  bool open_ = false;
};

// The gateway answered with an error (as opposed to not answering at all).
bool NatPmpRefused(int code) {
  return code == NATPMP_ERR_UNSUPPORTEDVERSION || code == NATPMP_ERR_NOTAUTHORIZED ||
         code == NATPMP_ERR_NETWORKFAILURE || code == NATPMP_ERR_OUTOFRESOURCES ||
         code == NATPMP_ERR_UNSUPPORTEDOPCODE || code == NATPMP_ERR_UNDEFINEDERROR;
}

std::string NatPmpRefusal(int code) {
  switch (code) {
    case NATPMP_ERR_UNSUPPORTEDVERSION:
      return "NAT-PMP result 1: unsupported version";
    case NATPMP_ERR_NOTAUTHORIZED:
      return "NAT-PMP result 2: not authorized";
    case NATPMP_ERR_NETWORKFAILURE:
      return "NAT-PMP result 3: network failure";
    case NATPMP_ERR_OUTOFRESOURCES:
      return "NAT-PMP result 4: out of resources";
    case NATPMP_ERR_UNSUPPORTEDOPCODE:
      return "NAT-PMP result 5: unsupported opcode";
    default:
      return "NAT-PMP error";
  }
}

}  // namespace

namespace {

std::string DescribePinhole(const TPortMappingReport& r) {
  const std::string port = std::to_string(r.InternalPort);
  const std::string where = "[" + r.LocalAddress + "]:" + port;
  switch (r.Event) {
    case TMappingEvent::Mapped:
      if (r.FirewallOff) {
        return "IPv6: the router's firewall is off, so friends can reach " + where + " (" +
               r.Method + ").";
      }
      return "IPv6: the router's firewall lets friends reach " + where + " (" + r.Method + ").";
    case TMappingEvent::Failed: {
      std::string line = "IPv6: the router's firewall could not be opened for " + where + " (";
      if (!r.Refusals.empty()) {
        for (std::size_t i = 0; i < r.Refusals.size(); ++i) {
          line += (i ? "; " : "") + r.Refusals[i];
        }
      } else if (!r.Silent.empty()) {
        line += "no router answered: ";
        for (std::size_t i = 0; i < r.Silent.size(); ++i) line += (i ? ", " : "") + r.Silent[i];
      } else {
        line += "no router was asked";
      }
      return line + "). If friends cannot connect over IPv6, allow incoming TCP port " + port +
             " to this computer in your router's firewall by hand.";
    }
    case TMappingEvent::Renewed:
      return "IPv6: the router renewed the opening of its firewall for " + where + " (" + r.Method +
             ").";
    case TMappingEvent::RenewFailed:
      return "IPv6: the router did not renew the opening of its firewall for " + where + " (" +
             r.Method + "); trying again later.";
    case TMappingEvent::Removed:
      return "IPv6: the router's firewall no longer lets friends reach " + where + " (" + r.Method +
             ").";
    case TMappingEvent::RemoveFailed:
      return "IPv6: the router did not confirm closing its firewall for " + where + " (" +
             r.Method + "); the opening ends with its lease.";
  }
  return {};
}

}  // namespace

std::string DescribeMapping(const TPortMappingReport& r, const std::string& localAddress) {
  if (r.Pinhole) return DescribePinhole(r);
  const std::string local = r.LocalAddress.empty() ? localAddress : r.LocalAddress;
  const std::string internal = std::to_string(r.InternalPort);
  const std::string external = std::to_string(r.ExternalPort);
  switch (r.Event) {
    case TMappingEvent::Mapped: {
      std::string line = "Port mapping: the router forwards port " + external;
      line += r.ExternalPort == r.InternalPort ? " to this computer"
                                               : " to port " + internal + " of this computer";
      line += " (" + r.Method + ").";
      if (!r.ExternalAddress.empty() && IsPrivateIPv4(r.ExternalAddress)) {
        line += " But the router's Internet address " + r.ExternalAddress +
                " is private: your Internet provider shares one address among its customers, "
                "and friends outside cannot connect directly.";
      }
      return line;
    }
    case TMappingEvent::Failed: {
      std::string line = "Port mapping: ";
      if (!r.Refusals.empty()) {
        line += "the router refused (";
        for (std::size_t i = 0; i < r.Refusals.size(); ++i) {
          line += (i ? "; " : "") + r.Refusals[i];
        }
        for (const std::string& m : r.Silent) line += "; " + m + ": no answer";
        line += ").";
      } else if (!r.Silent.empty()) {
        line += "no router answered (";
        for (std::size_t i = 0; i < r.Silent.size(); ++i) line += (i ? ", " : "") + r.Silent[i];
        line += ").";
      } else {
        line += "no router was asked.";
      }
      line += " Forward port " + internal + " to " + (local.empty() ? "this computer" : local) +
              " in your router by hand.";
      return line;
    }
    case TMappingEvent::Renewed:
      return "Port mapping: the router renewed the forwarding of port " + external + " (" +
             r.Method + ").";
    case TMappingEvent::RenewFailed:
      return "Port mapping: the router did not renew the forwarding of port " + external + " (" +
             r.Method + "); trying again later.";
    case TMappingEvent::Removed:
      return "Port mapping: the router no longer forwards port " + external + " (" + r.Method +
             ").";
    case TMappingEvent::RemoveFailed:
      return "Port mapping: the router did not confirm the removal of port " + external + " (" +
             r.Method + "); it ends with its lease.";
  }
  return {};
}

// ---- The mapper's thread ----

struct TPortMapper::TShared {
  TPortMappingSetup setup;
  std::mutex lock;
  std::condition_variable changed;
  bool stop = false;
  bool finished = false;
  std::mutex reportLock;
  TReportFn report;

  void Report(const TPortMappingReport& r) {
    const std::lock_guard<std::mutex> hold(reportLock);
    if (report) report(r);
  }
  bool Stopping() {
    const std::lock_guard<std::mutex> hold(lock);
    return stop;
  }
  // Waits until the time or Stop; true when stopped.
  bool WaitUntil(Clock::time_point when) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_until(hold, when, [this] { return stop; });
  }
};

namespace {

// One established mapping and how to renew and remove it.
class TMapping {
 public:
  virtual ~TMapping() = default;
  virtual bool Renew() = 0;
  virtual bool Remove() = 0;
  TPortMappingReport report;
};

class TUpnpMapping : public TMapping {
 public:
  TUpnpMapping(TUpnpService service, const TPortMappingSetup& setup, std::string client)
      : service_(std::move(service)), setup_(setup), client_(std::move(client)) {}

  // Maps the sharing port, or the next free one; fills report either way.
  bool Map() {
    report.Method = "UPnP";
    report.InternalPort = setup_.InternalPort;
    report.LocalAddress = client_;
    const TSoapResult address = Soap(service_, "GetExternalIPAddress", {}, setup_.CallTimeoutMs);
    if (address.Answered && address.ErrorCode == 0) {
      report.ExternalAddress = address.Value("NewExternalIPAddress");
    }
    lease_ = setup_.LeaseSeconds;
    for (int i = 0; i < NetworkLimits::kMappingPortTries; ++i) {
      const int port = setup_.InternalPort + i;
      if (port > 65535) break;
      TSoapResult r = Add(port);
      if (r.Answered && r.ErrorCode == kUpnpOnlyPermanentLeases && lease_ != 0) {
        lease_ = 0;
        r = Add(port);
      }
      if (!r.Answered) {
        report.Silent.push_back("UPnP");
        return false;
      }
      if (r.ErrorCode == 0) {
        external_ = port;
        break;
      }
      if (r.ErrorCode != kUpnpConflict) {
        report.Refusals.push_back(UpnpRefusal(r));
        return false;
      }
      if (i == 0 && service_.ServiceType.ends_with(":2")) {
        // An IGD 2 router offers a free port of its own choice.
        TSoapArgs args = AddArgs(port, setup_, client_, lease_);
        const TSoapResult any = Soap(service_, "AddAnyPortMapping", args, setup_.CallTimeoutMs);
        const int offered = std::atoi(any.Value("NewReservedPort").c_str());
        if (any.Answered && any.ErrorCode == 0 && offered > 0 && offered <= 65535) {
          external_ = offered;
          break;
        }
      }
      if (i + 1 == NetworkLimits::kMappingPortTries) report.Refusals.push_back(UpnpRefusal(r));
    }
    if (external_ == 0) return false;
    report.ExternalPort = external_;
    report.LeaseSeconds = lease_;
    return true;
  }

  bool Renew() override {
    const TSoapResult r = Add(external_);
    return r.Answered && r.ErrorCode == 0;
  }

  bool Remove() override {
    const TSoapResult r = Soap(service_, "DeletePortMapping",
                               {{"NewRemoteHost", ""},
                                {"NewExternalPort", std::to_string(external_)},
                                {"NewProtocol", "TCP"}},
                               setup_.CallTimeoutMs);
    return r.Answered && r.ErrorCode == 0;
  }

 private:
  TSoapResult Add(int port) {
    return Soap(service_, "AddPortMapping", AddArgs(port, setup_, client_, lease_),
                setup_.CallTimeoutMs);
  }

  TUpnpService service_;
  TPortMappingSetup setup_;
  std::string client_;
  int lease_ = 0;
  int external_ = 0;
};

class TNatPmpMapping : public TMapping {
 public:
  explicit TNatPmpMapping(const TPortMappingSetup& setup) : setup_(setup) {}

  // False with nothing in report when there is no gateway to ask.
  bool Open() { return session_.Open(setup_.NatPmpGateway); }

  bool Map() {
    report.Method = "NAT-PMP";
    report.InternalPort = setup_.InternalPort;
    int r = session_.PublicAddress(report.ExternalAddress, setup_.CallTimeoutMs);
    if (r == 0) {
      int mapped = 0, granted = 0;
      r = session_.Map(setup_.InternalPort, setup_.InternalPort, setup_.LeaseSeconds, mapped,
                       granted, setup_.CallTimeoutMs);
      if (r == 0 && mapped > 0) {
        external_ = mapped;
        report.ExternalPort = mapped;
        report.LeaseSeconds = granted;
        return true;
      }
    }
    if (NatPmpRefused(r)) {
      report.Refusals.push_back(NatPmpRefusal(r));
    } else {
      report.Silent.push_back("NAT-PMP");
    }
    return false;
  }

  bool Renew() override {
    int mapped = 0, granted = 0;
    const int r = session_.Map(setup_.InternalPort, external_, setup_.LeaseSeconds, mapped, granted,
                               setup_.CallTimeoutMs);
    if (r != 0) return false;
    report.LeaseSeconds = granted;
    return true;
  }

  bool Remove() override {
    int mapped = 0, granted = 0;
    return session_.Map(setup_.InternalPort, 0, 0, mapped, granted, setup_.CallTimeoutMs) == 0;
  }

 private:
  TPortMappingSetup setup_;
  TNatPmpSession session_;
  int external_ = 0;
};

// A pinhole in the IPv6 firewall of a UPnP IGD 2 router, for TCP to the
// sharing port of this computer's global address, from anywhere.
class TUpnpPinhole : public TMapping {
 public:
  TUpnpPinhole(const TUpnpService& router, const TPortMappingSetup& setup) : setup_(setup) {
    firewall_.ControlUrl = router.FirewallControlUrl;
    firewall_.ServiceType = router.FirewallServiceType;
    firewall_.LocalAddress = router.LocalAddress;
    report.Pinhole = true;
    report.Method = "UPnP";
    report.InternalPort = setup.InternalPort;
    report.ExternalPort = setup.InternalPort;
    report.LocalAddress = setup.PinholeAddress;
  }

  // Opens the pinhole, or finds the firewall off (report.FirewallOff: there
  // is nothing to renew or remove); fills report either way.
  bool Open() {
    if (firewall_.ControlUrl.empty()) {
      report.Refusals.push_back("the router offers no IPv6 firewall control");
      return false;
    }
    const TSoapResult status = Soap(firewall_, "GetFirewallStatus", {}, setup_.CallTimeoutMs);
    if (!Done(status)) return false;
    if (status.Value("FirewallEnabled") == "0") {
      report.FirewallOff = true;
      return true;
    }
    if (status.Value("InboundPinholeAllowed") == "0") {
      report.Refusals.push_back("the router allows no pinholes in its firewall");
      return false;
    }
    lease_ = std::clamp(setup_.LeaseSeconds, 1, kMaxPinholeLease);
    if (!Add()) return false;
    report.LeaseSeconds = lease_;
    return true;
  }

  bool Renew() override {
    const TSoapResult r = Soap(firewall_, "UpdatePinhole",
                               {{"UniqueID", uniqueId_}, {"NewLeaseTime", std::to_string(lease_)}},
                               setup_.CallTimeoutMs);
    // A router that lost the pinhole (restarted, say) gets it anew.
    if (r.Answered && r.ErrorCode == kUpnpNoSuchEntry) {
      report.Refusals.clear();
      report.Silent.clear();
      return Add();
    }
    return r.Answered && r.ErrorCode == 0;
  }

  bool Remove() override {
    const TSoapResult r =
        Soap(firewall_, "DeletePinhole", {{"UniqueID", uniqueId_}}, setup_.CallTimeoutMs);
    return r.Answered && r.ErrorCode == 0;
  }

 private:
  // The longest lease the firewall control service accepts.
  static constexpr int kMaxPinholeLease = 86400;
  static constexpr char kTcpProtocolNumber[] = "6";
  static constexpr int kUpnpNoSuchEntry = 705;

  // Asks for the pinhole and keeps its identifier; else the report says why
  // not.
  bool Add() {
    const TSoapResult added = Soap(firewall_, "AddPinhole",
                                   {{"RemoteHost", ""},
                                    {"RemotePort", "0"},
                                    {"InternalClient", setup_.PinholeAddress},
                                    {"InternalPort", std::to_string(setup_.InternalPort)},
                                    {"Protocol", kTcpProtocolNumber},
                                    {"LeaseTime", std::to_string(lease_)}},
                                   setup_.CallTimeoutMs);
    if (!Done(added)) return false;
    // The identifier is what renews and removes the pinhole: a 16-bit number.
    const std::string id = added.Value("UniqueID");
    const bool digits =
        !id.empty() && id.size() <= 5 &&
        std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::atoi(id.c_str()) > 65535) {
      report.Refusals.push_back("the router's answer named no pinhole");
      return false;
    }
    uniqueId_ = id;
    return true;
  }

  // True when the router did it; else the report says why not.
  bool Done(const TSoapResult& r) {
    if (!r.Answered) {
      report.Silent.push_back("UPnP");
      return false;
    }
    if (r.ErrorCode != 0) {
      report.Refusals.push_back(UpnpRefusal(r));
      return false;
    }
    return true;
  }

  TUpnpService firewall_;
  TPortMappingSetup setup_;
  int lease_ = 0;
  std::string uniqueId_;
};

// UPnP first (router: the one found, or null), then NAT-PMP; the mapping
// made, or null with failed filled in.
std::unique_ptr<TMapping> MapPort(const TPortMappingSetup& setup, const TUpnpService* router,
                                  TPortMappingReport& failed) {
  failed.Event = TMappingEvent::Failed;
  failed.InternalPort = setup.InternalPort;
  const bool mayDiscover = !LoopbackOnlyEnvironment();
  if (router) {
    const std::string client =
        setup.InternalClient.empty() ? router->LocalAddress : setup.InternalClient;
    auto upnp = std::make_unique<TUpnpMapping>(*router, setup, client);
    if (upnp->Map()) return upnp;
    failed.LocalAddress = client;
    failed.Refusals = upnp->report.Refusals;
    failed.Silent = upnp->report.Silent;
  } else if (!setup.UpnpRootUrl.empty() || mayDiscover) {
    failed.Silent.push_back("UPnP");
  }
  auto natpmp = std::make_unique<TNatPmpMapping>(setup);
  if (natpmp->Open()) {
    if (natpmp->Map()) return natpmp;
    for (const auto& r : natpmp->report.Refusals) failed.Refusals.push_back(r);
    for (const auto& s : natpmp->report.Silent) failed.Silent.push_back(s);
  } else if (!setup.NatPmpGateway.empty() || mayDiscover) {
    failed.Silent.push_back("NAT-PMP");
  }
  return nullptr;
}

// An established mapping or pinhole and when it is renewed next.
struct THeldMapping {
  std::unique_ptr<TMapping> mapping;
  bool lastFailed = false;
  Clock::time_point due;

  // Renewed when half the lease is gone, and soon again after a failed
  // renewal; a permanent lease never.
  void Schedule(int retrySeconds) {
    const long long lease = mapping->report.LeaseSeconds;
    long long waitMs = lease * 500;
    if (lastFailed) waitMs = std::min(waitMs, retrySeconds * 1000LL);
    due = lease > 0 ? Clock::now() + std::chrono::milliseconds(waitMs) : Clock::time_point::max();
  }
};

void RunMapper(const std::shared_ptr<TPortMapper::TShared>& shared) {
  // Stop signals are for the main thread.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);

  const TPortMappingSetup& setup = shared->setup;
  TUpnpService router;
  const bool found = FindUpnpRouter(setup, router);
  std::vector<THeldMapping> held;
  const auto keep = [&](std::unique_ptr<TMapping> mapping) {
    mapping->report.Event = TMappingEvent::Mapped;
    shared->Report(mapping->report);
    held.push_back({std::move(mapping), false, {}});
    held.back().Schedule(setup.RetrySeconds);
  };
  if (setup.MapIPv4) {
    TPortMappingReport failed;
    std::unique_ptr<TMapping> mapping = MapPort(setup, found ? &router : nullptr, failed);
    if (mapping) {
      keep(std::move(mapping));
    } else {
      shared->Report(failed);
    }
  }
  if (!setup.PinholeAddress.empty() && !shared->Stopping()) {
    auto pinhole = std::make_unique<TUpnpPinhole>(router, setup);
    if (!found) {
      pinhole->report.Event = TMappingEvent::Failed;
      if (!setup.UpnpRootUrl.empty() || !LoopbackOnlyEnvironment()) {
        pinhole->report.Silent.push_back("UPnP");
      }
      shared->Report(pinhole->report);
    } else if (!pinhole->Open()) {
      pinhole->report.Event = TMappingEvent::Failed;
      shared->Report(pinhole->report);
    } else if (pinhole->report.FirewallOff) {
      pinhole->report.Event = TMappingEvent::Mapped;  // nothing to keep open
      shared->Report(pinhole->report);
    } else {
      keep(std::move(pinhole));
    }
  }
  for (;;) {
    Clock::time_point next = Clock::time_point::max();
    for (const THeldMapping& h : held) next = std::min(next, h.due);
    if (shared->WaitUntil(next)) break;
    const Clock::time_point now = Clock::now();
    for (THeldMapping& h : held) {
      if (h.due > now) continue;
      TPortMappingReport renewed = h.mapping->report;
      h.lastFailed = !h.mapping->Renew();
      renewed.Event = h.lastFailed ? TMappingEvent::RenewFailed : TMappingEvent::Renewed;
      shared->Report(renewed);
      h.Schedule(setup.RetrySeconds);
    }
  }
  for (THeldMapping& h : held) {
    TPortMappingReport removed = h.mapping->report;
    removed.Event = h.mapping->Remove() ? TMappingEvent::Removed : TMappingEvent::RemoveFailed;
    shared->Report(removed);
  }
  const std::lock_guard<std::mutex> hold(shared->lock);
  shared->finished = true;
  shared->changed.notify_all();
}

}  // namespace

TPortMapper::TPortMapper(TPortMappingSetup setup, TReportFn report)
    : shared_(std::make_shared<TShared>()) {
  shared_->setup = std::move(setup);
  shared_->report = std::move(report);
}

TPortMapper::~TPortMapper() { Stop(); }

void TPortMapper::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([shared = shared_] { RunMapper(shared); });
}

void TPortMapper::Stop(int waitMs) {
  if (!thread_.joinable()) return;
  bool finished = false;
  {
    std::unique_lock<std::mutex> hold(shared_->lock);
    shared_->stop = true;
    shared_->changed.notify_all();
    finished = shared_->changed.wait_for(hold, std::chrono::milliseconds(waitMs),
                                         [this] { return shared_->finished; });
  }
  if (finished) {
    thread_.join();
    return;
  }
  // The router is slower than the wait: the thread finishes alone and
  // reports nothing more (a report under way completes first).
  {
    const std::lock_guard<std::mutex> hold(shared_->reportLock);
    shared_->report = nullptr;
  }
  thread_.detach();
}
