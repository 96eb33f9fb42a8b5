// Routers on 127.0.0.1 for the port-mapping tests: a UPnP IGD (its root
// description and SOAP control over HTTP) and a NAT-PMP gateway (UDP). Both
// record every request exactly as it arrived and answer from a script the
// test may change at any time.
#pragma once

#include "support/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// One SOAP call as the router read it.
struct TSoapCall {
  std::string RequestLine;
  std::string SoapAction;  // the header's value, quotes included
  std::string Action;      // the element inside the body
  std::vector<std::pair<std::string, std::string>> Args;
  std::string Body;
};

struct TSoapReply {
  int ErrorCode = 0;  // 0: success; else a UPnP fault with this code
  std::string ErrorText;
  std::vector<std::pair<std::string, std::string>> Values;
};

// The arguments of <u:Action ...>...</u:Action>, in order (flat elements only).
inline std::vector<std::pair<std::string, std::string>> SoapArgs(const std::string& body,
                                                                 std::string& action) {
  std::vector<std::pair<std::string, std::string>> args;
  const auto open = body.find("<u:");
  if (open == std::string::npos) return args;
  const auto nameEnd = body.find_first_of(" >", open);
  action = body.substr(open + 3, nameEnd - open - 3);
  auto at = body.find('>', open) + 1;
  const auto end = body.find("</u:" + action + ">");
  while (at < end) {
    const auto tagEnd = body.find('>', at);
    const std::string name = body.substr(at + 1, tagEnd - at - 1);
    const auto close = body.find("</" + name + ">", tagEnd);
    args.emplace_back(name, body.substr(tagEnd + 1, close - tagEnd - 1));
    at = close + name.size() + 3;
  }
  return args;
}

inline constexpr char kFirewallControlService[] =
    "urn:schemas-upnp-org:service:WANIPv6FirewallControl:1";

class TFakeUpnpRouter {
 public:
  using TScript = std::function<TSoapReply(const TSoapCall&)>;

  explicit TFakeUpnpRouter(
      std::string serviceType = "urn:schemas-upnp-org:service:WANIPConnection:1")
      : serviceType_(std::move(serviceType)),
        server_([this](const TServedRequest& r, TTcpBlockingSocket& conn) { Answer(r, conn); }) {}

  std::string RootUrl() const { return server_.Url("/rootDesc.xml"); }
  // Every answer from now on comes from the script (default: success, with
  // the external address 203.0.113.7).
  void SetScript(TScript script) {
    const std::lock_guard<std::mutex> hold(lock_);
    script_ = std::move(script);
  }
  std::vector<TSoapCall> Calls() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return calls_;
  }
  std::vector<TServedRequest> Requests() const { return server_.Requests(); }
  // The control address the description gives (default "/ctl/IPConn").
  void SetControlUrl(std::string url) {
    const std::lock_guard<std::mutex> hold(lock_);
    controlUrl_ = std::move(url);
  }
  // Describes an IPv6 firewall control service too (an IGD 2 router's), with
  // this control address ("" removes it). Without a script it reports the
  // firewall on and pinholes allowed, and AddPinhole gives UniqueID 17.
  void SetFirewallControlUrl(std::string url) {
    const std::lock_guard<std::mutex> hold(lock_);
    firewallUrl_ = std::move(url);
  }

 private:
  void Answer(const TServedRequest& r, TTcpBlockingSocket& conn) {
    if (r.RequestLine == "GET /rootDesc.xml HTTP/1.1") {
      Send(conn, "200 OK", Description());
      return;
    }
    TSoapCall call;
    call.RequestLine = r.RequestLine;
    call.SoapAction = r.Header("SOAPAction");
    call.Body = r.Body;
    call.Args = SoapArgs(r.Body, call.Action);
    TSoapReply reply;
    {
      const std::lock_guard<std::mutex> hold(lock_);
      calls_.push_back(call);
      if (script_) {
        reply = script_(call);
      } else if (call.Action == "GetExternalIPAddress") {
        reply.Values = {{"NewExternalIPAddress", "203.0.113.7"}};
      } else if (call.Action == "GetFirewallStatus") {
        reply.Values = {{"FirewallEnabled", "1"}, {"InboundPinholeAllowed", "1"}};
      } else if (call.Action == "AddPinhole") {
        reply.Values = {{"UniqueID", "17"}};
      }
    }
    const std::string service = call.SoapAction.find(kFirewallControlService) != std::string::npos
                                    ? std::string(kFirewallControlService)
                                    : serviceType_;
    const std::string envelope =
        "<?xml version=\"1.0\"?>\r\n<s:Envelope "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>";
    if (reply.ErrorCode != 0) {
      Send(conn, "500 Internal Server Error",
           envelope +
               "<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
               "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
               std::to_string(reply.ErrorCode) + "</errorCode><errorDescription>" +
               reply.ErrorText + "</errorDescription></UPnPError></detail></s:Fault>" +
               "</s:Body></s:Envelope>\r\n");
      return;
    }
    std::string values;
    for (const auto& [n, v] : reply.Values) values += "<" + n + ">" + v + "</" + n + ">";
    Send(conn, "200 OK",
         envelope + "<u:" + call.Action + "Response xmlns:u=\"" + service + "\">" + values +
             "</u:" + call.Action + "Response></s:Body></s:Envelope>\r\n");
  }

  std::string Description() {
    const std::lock_guard<std::mutex> hold(lock_);
    return "<?xml version=\"1.0\"?>\r\n"
           "<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><specVersion><major>1</major>"
           "<minor>0</minor></specVersion><device>"
           "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
           "<friendlyName>Fake router</friendlyName><deviceList><device>"
           "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><deviceList><device>"
           "<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
           "<serviceList><service><serviceType>" +
           serviceType_ +
           "</serviceType><serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
           "<controlURL>" +
           controlUrl_ +
           "</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
           "<SCPDURL>/WANIPCn.xml</SCPDURL></service>" +
           (firewallUrl_.empty()
                ? std::string()
                : "<service><serviceType>" + std::string(kFirewallControlService) +
                      "</serviceType><serviceId>urn:upnp-org:serviceId:WANIPv6Firewall1"
                      "</serviceId><controlURL>" +
                      firewallUrl_ +
                      "</controlURL><eventSubURL>/evt/IP6FCtl</eventSubURL>"
                      "<SCPDURL>/WANIP6FC.xml</SCPDURL></service>") +
           "</serviceList>"
           "</device></deviceList></device></deviceList></device></root>\r\n";
  }

  static void Send(TTcpBlockingSocket& conn, const std::string& status, const std::string& body) {
    conn.SendText("HTTP/1.1 " + status +
                  "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\nConnection: close\r\n"
                  "Content-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
  }

  std::string serviceType_;
  mutable std::mutex lock_;
  TScript script_;
  std::string controlUrl_ = "/ctl/IPConn";
  std::string firewallUrl_;
  std::vector<TSoapCall> calls_;
  TLoopbackServer server_;  // last: its thread stops before the rest goes
};

// A NAT-PMP gateway: answers the public-address request and mapping
// requests (the mapped port as asked, the lifetime as asked) unless the
// script gives a result code or silence.
class TFakeNatPmpGateway {
 public:
  struct TAnswer {
    bool Silent = false;
    int ResultCode = 0;
    int MappedPort = -1;  // -1: the port asked for
  };
  using TScript = std::function<TAnswer(const std::vector<std::uint8_t>& request)>;

  TFakeNatPmpGateway() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TFakeNatPmpGateway() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  TFakeNatPmpGateway(const TFakeNatPmpGateway&) = delete;
  TFakeNatPmpGateway& operator=(const TFakeNatPmpGateway&) = delete;

  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  void SetScript(TScript script) {
    const std::lock_guard<std::mutex> hold(lock_);
    script_ = std::move(script);
  }
  std::vector<std::vector<std::uint8_t>> Requests() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      std::uint8_t buffer[64];
      sockaddr_in from{};
      socklen_t size = sizeof from;
      const ssize_t n =
          ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n <= 0) continue;
      const std::vector<std::uint8_t> request(buffer, buffer + n);
      TAnswer answer;
      {
        const std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(request);
        if (script_) answer = script_(request);
      }
      if (answer.Silent || n < 2) continue;
      std::vector<std::uint8_t> reply = {0,
                                         static_cast<std::uint8_t>(128 + request[1]),
                                         static_cast<std::uint8_t>(answer.ResultCode >> 8),
                                         static_cast<std::uint8_t>(answer.ResultCode & 0xff),
                                         0,
                                         0,
                                         0x10,
                                         0};  // seconds since start: 4096
      if (request[1] == 0) {
        for (std::uint8_t b : {203, 0, 113, 9}) reply.push_back(b);  // 203.0.113.9
      } else if (n == 12) {
        const int mapped =
            answer.MappedPort >= 0 ? answer.MappedPort : (request[6] << 8 | request[7]);
        reply.insert(reply.end(), {request[4], request[5], static_cast<std::uint8_t>(mapped >> 8),
                                   static_cast<std::uint8_t>(mapped & 0xff), request[8], request[9],
                                   request[10], request[11]});
      }
      ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  TScript script_;
  std::vector<std::vector<std::uint8_t>> requests_;
  std::thread thread_;
};
