#include "network/PortMapping.h"

#include "support/FakeRouters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace {

using TArgs = std::vector<std::pair<std::string, std::string>>;
using TBytes = std::vector<std::uint8_t>;

// The mapper's reports as they arrive.
class TReports {
 public:
  TPortMapper::TReportFn Sink() {
    return [this](const TPortMappingReport& r) {
      const std::lock_guard<std::mutex> hold(lock_);
      reports_.push_back(r);
      changed_.notify_all();
    };
  }
  // The first report of this kind; fails the test when none comes in time.
  TPortMappingReport WaitFor(TMappingEvent event, int ms = 20000) {
    return WaitFor(event, false, ms);
  }
  // The same for the pinhole in the IPv6 firewall.
  TPortMappingReport WaitForPinhole(TMappingEvent event, int ms = 20000) {
    return WaitFor(event, true, ms);
  }
  std::vector<TPortMappingReport> All() {
    const std::lock_guard<std::mutex> hold(lock_);
    return reports_;
  }

 private:
  TPortMappingReport WaitFor(TMappingEvent event, bool pinhole, int ms) {
    std::unique_lock<std::mutex> hold(lock_);
    const TPortMappingReport* found = nullptr;
    changed_.wait_for(hold, std::chrono::milliseconds(ms), [&] {
      for (const auto& r : reports_) {
        if (r.Event == event && r.Pinhole == pinhole && !found) found = &r;
      }
      return found != nullptr;
    });
    if (!found) {
      ADD_FAILURE() << "no report of kind " << static_cast<int>(event);
      return {};
    }
    return *found;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<TPortMappingReport> reports_;
};

class PortMapping : public ::testing::Test {
 protected:
  void SetUp() override { setenv(kLoopbackOnlyVariable, "1", 1); }

  TPortMappingSetup Setup() const {
    TPortMappingSetup s;
    s.InternalPort = 3724;
    s.CallTimeoutMs = 1000;
    return s;
  }
};

const char kService1[] = "urn:schemas-upnp-org:service:WANIPConnection:1";

TArgs AddArgs(int external, int lease) {
  return {{"NewRemoteHost", ""},
          {"NewExternalPort", std::to_string(external)},
          {"NewProtocol", "TCP"},
          {"NewInternalPort", "3724"},
          {"NewInternalClient", "127.0.0.1"},
          {"NewEnabled", "1"},
          {"NewPortMappingDescription", "Mirelo File Share"},
          {"NewLeaseDuration", std::to_string(lease)}};
}

TEST_F(PortMapping, UpnpAddsRenewsAndDeletesWithExactSoapCalls) {
  TFakeUpnpRouter router;
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = router.RootUrl();
  setup.LeaseSeconds = 2;  // renewed after one second
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  const TPortMappingReport mapped = reports.WaitFor(TMappingEvent::Mapped);
  EXPECT_EQ("UPnP", mapped.Method);
  EXPECT_EQ(3724, mapped.ExternalPort);
  EXPECT_EQ("203.0.113.7", mapped.ExternalAddress);
  EXPECT_EQ("127.0.0.1", mapped.LocalAddress);
  EXPECT_EQ("Port mapping: the router forwards port 3724 to this computer (UPnP).",
            DescribeMapping(mapped, "192.168.1.20"));
  reports.WaitFor(TMappingEvent::Renewed);
  mapper.Stop();
  reports.WaitFor(TMappingEvent::Removed, 0);

  const std::vector<TSoapCall> calls = router.Calls();
  ASSERT_EQ(4u, calls.size());
  for (const TSoapCall& c : calls) {
    EXPECT_EQ("POST /ctl/IPConn HTTP/1.1", c.RequestLine);
    EXPECT_EQ("\"" + std::string(kService1) + "#" + c.Action + "\"", c.SoapAction);
  }
  EXPECT_EQ("GetExternalIPAddress", calls[0].Action);
  EXPECT_EQ(TArgs{}, calls[0].Args);
  EXPECT_EQ("AddPortMapping", calls[1].Action);
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
      "<u:AddPortMapping xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
      "<NewRemoteHost></NewRemoteHost><NewExternalPort>3724</NewExternalPort>"
      "<NewProtocol>TCP</NewProtocol><NewInternalPort>3724</NewInternalPort>"
      "<NewInternalClient>127.0.0.1</NewInternalClient><NewEnabled>1</NewEnabled>"
      "<NewPortMappingDescription>Mirelo File Share</NewPortMappingDescription>"
      "<NewLeaseDuration>2</NewLeaseDuration></u:AddPortMapping></s:Body></s:Envelope>\r\n",
      calls[1].Body);
  EXPECT_EQ("AddPortMapping", calls[2].Action);  // the renewal repeats the request
  EXPECT_EQ(AddArgs(3724, 2), calls[2].Args);
  EXPECT_EQ("DeletePortMapping", calls[3].Action);
  EXPECT_EQ((TArgs{{"NewRemoteHost", ""}, {"NewExternalPort", "3724"}, {"NewProtocol", "TCP"}}),
            calls[3].Args);
}

TEST_F(PortMapping, UpnpTakesTheNextFreePortWhenTheSharingPortIsTaken) {
  TFakeUpnpRouter router;
  router.SetScript([](const TSoapCall& c) {
    TSoapReply r;
    if (c.Action == "AddPortMapping" && c.Args[1].second == "3724") {
      r.ErrorCode = 718;
      r.ErrorText = "ConflictInMappingEntry";
    }
    return r;
  });
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = router.RootUrl();
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  const TPortMappingReport mapped = reports.WaitFor(TMappingEvent::Mapped);
  EXPECT_EQ(3725, mapped.ExternalPort);
  EXPECT_EQ("", mapped.ExternalAddress);  // the script gave none
  EXPECT_EQ("Port mapping: the router forwards port 3725 to port 3724 of this computer (UPnP).",
            DescribeMapping(mapped, ""));
  mapper.Stop();
  const std::vector<TSoapCall> calls = router.Calls();
  ASSERT_EQ(4u, calls.size());
  EXPECT_EQ(AddArgs(3724, 3600), calls[1].Args);
  EXPECT_EQ(AddArgs(3725, 3600), calls[2].Args);
  EXPECT_EQ("3725", calls[3].Args[1].second);  // the port deleted is the one mapped
}

TEST_F(PortMapping, UpnpTwoRouterOffersAPortAndPermanentOnlyRouterGetsLeaseZero) {
  {
    TFakeUpnpRouter router("urn:schemas-upnp-org:service:WANIPConnection:2");
    router.SetScript([](const TSoapCall& c) {
      TSoapReply r;
      if (c.Action == "AddPortMapping") r.ErrorCode = 718;
      if (c.Action == "AddAnyPortMapping") r.Values = {{"NewReservedPort", "41000"}};
      return r;
    });
    TReports reports;
    TPortMappingSetup setup = Setup();
    setup.UpnpRootUrl = router.RootUrl();
    TPortMapper mapper(setup, reports.Sink());
    mapper.Start();
    EXPECT_EQ(41000, reports.WaitFor(TMappingEvent::Mapped).ExternalPort);
    mapper.Stop();
    const std::vector<TSoapCall> calls = router.Calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("AddAnyPortMapping", calls[2].Action);
    EXPECT_EQ(AddArgs(3724, 3600), calls[2].Args);
    EXPECT_EQ("41000", calls[3].Args[1].second);
  }
  {
    TFakeUpnpRouter router;
    router.SetScript([](const TSoapCall& c) {
      TSoapReply r;
      if (c.Action == "AddPortMapping" && c.Args[7].second != "0") r.ErrorCode = 725;
      return r;
    });
    TReports reports;
    TPortMappingSetup setup = Setup();
    setup.UpnpRootUrl = router.RootUrl();
    TPortMapper mapper(setup, reports.Sink());
    mapper.Start();
    EXPECT_EQ(0, reports.WaitFor(TMappingEvent::Mapped).LeaseSeconds);
    mapper.Stop();
    const std::vector<TSoapCall> calls = router.Calls();
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(AddArgs(3724, 3600), calls[1].Args);
    EXPECT_EQ(AddArgs(3724, 0), calls[2].Args);
    EXPECT_EQ("DeletePortMapping", calls[3].Action);
  }
}

TEST_F(PortMapping, RefusalsAreNamedInTheLine) {
  TFakeUpnpRouter router;
  router.SetScript([](const TSoapCall& c) {
    TSoapReply r;
    if (c.Action == "AddPortMapping") {
      r.ErrorCode = 606;
      r.ErrorText = "Action not authorized";
    }
    return r;
  });
  TFakeNatPmpGateway gateway;
  gateway.SetScript([](const TBytes& request) {
    TFakeNatPmpGateway::TAnswer a;
    if (request[1] == 2) a.ResultCode = 2;
    return a;
  });
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = router.RootUrl();
  setup.NatPmpGateway = gateway.Address();
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  const TPortMappingReport failed = reports.WaitFor(TMappingEvent::Failed);
  EXPECT_EQ(
      "Port mapping: the router refused (UPnP error 606: Action not authorized; NAT-PMP result "
      "2: not authorized). Forward port 3724 to 127.0.0.1 in your router by hand.",
      DescribeMapping(failed, "192.168.1.20"));
  mapper.Stop();
  ASSERT_EQ(2u, router.Calls().size());  // nothing to delete
  EXPECT_EQ(2u, gateway.Requests().size());
}

TEST_F(PortMapping, NatPmpMapsRenewsAndDeletesWithExactBytes) {
  TFakeNatPmpGateway gateway;
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.NatPmpGateway = gateway.Address();
  setup.LeaseSeconds = 2;
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  const TPortMappingReport mapped = reports.WaitFor(TMappingEvent::Mapped);
  EXPECT_EQ("NAT-PMP", mapped.Method);
  EXPECT_EQ(3724, mapped.ExternalPort);
  EXPECT_EQ("203.0.113.9", mapped.ExternalAddress);
  EXPECT_EQ(2, mapped.LeaseSeconds);
  reports.WaitFor(TMappingEvent::Renewed);
  mapper.Stop();
  reports.WaitFor(TMappingEvent::Removed, 0);
  // Port 3724 is 0x0E8C.
  const std::vector<TBytes> expected = {
      {0, 0},                                            // external address
      {0, 2, 0, 0, 0x0E, 0x8C, 0x0E, 0x8C, 0, 0, 0, 2},  // map TCP 3724, two seconds
      {0, 2, 0, 0, 0x0E, 0x8C, 0x0E, 0x8C, 0, 0, 0, 2},  // renew
      {0, 2, 0, 0, 0x0E, 0x8C, 0, 0, 0, 0, 0, 0},        // delete: lifetime 0
  };
  EXPECT_EQ(expected, gateway.Requests());
}

TEST_F(PortMapping, NatPmpGatewayMayGiveAnotherPort) {
  TFakeNatPmpGateway gateway;
  gateway.SetScript([](const TBytes&) {
    TFakeNatPmpGateway::TAnswer a;
    a.MappedPort = 50123;
    return a;
  });
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.NatPmpGateway = gateway.Address();
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  EXPECT_EQ(50123, reports.WaitFor(TMappingEvent::Mapped).ExternalPort);
  mapper.Stop();
  const std::vector<TBytes> requests = gateway.Requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ((TBytes{0, 2, 0, 0, 0x0E, 0x8C, 0x0E, 0x8C, 0, 0, 0x0E, 0x10}), requests[1]);
}

// A renewal the router refuses is reported, and the mapping goes on being
// renewed (and is removed at the end).
TEST_F(PortMapping, ARefusedRenewalIsReportedAndTriedAgain) {
  TFakeUpnpRouter router;
  int adds = 0;
  router.SetScript([&adds](const TSoapCall& c) {
    TSoapReply r;
    if (c.Action == "AddPortMapping" && ++adds == 2) {
      r.ErrorCode = 501;
      r.ErrorText = "Action Failed";
    }
    return r;
  });
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = router.RootUrl();
  setup.LeaseSeconds = 2;
  setup.RetrySeconds = 1;
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  reports.WaitFor(TMappingEvent::RenewFailed);
  reports.WaitFor(TMappingEvent::Renewed);
  mapper.Stop();
  std::vector<TMappingEvent> events;
  for (const auto& r : reports.All()) events.push_back(r.Event);
  EXPECT_EQ((std::vector<TMappingEvent>{TMappingEvent::Mapped, TMappingEvent::RenewFailed,
                                        TMappingEvent::Renewed, TMappingEvent::Removed}),
            events);
  EXPECT_EQ(3, adds);
}

// A description that sends the requests elsewhere is not followed.
TEST_F(PortMapping, UpnpRequestsGoOnlyToTheRouterThatDescribedItself) {
  TTcpBlockingSocket elsewhere;
  elsewhere.Bind("127.0.0.2", "0");
  elsewhere.Listen();
  TFakeUpnpRouter router;
  router.SetControlUrl("http://127.0.0.2:" + std::to_string(elsewhere.LocalPort()) + "/ctl");
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = router.RootUrl();
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  EXPECT_EQ((std::vector<std::string>{"UPnP"}), reports.WaitFor(TMappingEvent::Failed).Silent);
  EXPECT_FALSE(elsewhere.WaitReadable(100));  // nobody connected there
  EXPECT_EQ(1u, router.Requests().size());    // the description only
}

// Routers that never answer, or trickle an answer forever, cost one bounded
// wait each, and the line says that nobody answered.
TEST_F(PortMapping, SilentAndTricklingRoutersAreBounded) {
  // Accepts connections (the kernel does) but never reads or answers.
  TTcpBlockingSocket silent;
  silent.Bind("127.0.0.1", "0");
  silent.Listen();
  // Answers one byte every 100 ms, for as long as the client listens.
  std::atomic<bool> done{false};
  TLoopbackServer trickle([&](const TServedRequest&, TTcpBlockingSocket& conn) {
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n<root>";
    for (std::size_t i = 0; !done && conn.LastErrorCode() == 0; ++i) {
      conn.SendText(std::string(1, answer[i % answer.size()]));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  TFakeNatPmpGateway gateway;
  gateway.SetScript([](const TBytes&) {
    TFakeNatPmpGateway::TAnswer a;
    a.Silent = true;
    return a;
  });
  for (const std::string& root :
       {"http://127.0.0.1:" + std::to_string(silent.LocalPort()) + "/rootDesc.xml",
        trickle.Url("/rootDesc.xml")}) {
    SCOPED_TRACE(root);
    TReports reports;
    TPortMappingSetup setup = Setup();
    setup.CallTimeoutMs = 500;
    setup.UpnpRootUrl = root;
    setup.NatPmpGateway = gateway.Address();
    TPortMapper mapper(setup, reports.Sink());
    mapper.Start();
    const TPortMappingReport failed = reports.WaitFor(TMappingEvent::Failed);
    EXPECT_EQ(
        "Port mapping: no router answered (UPnP, NAT-PMP). Forward port 3724 to 192.168.1.20 "
        "in your router by hand.",
        DescribeMapping(failed, "192.168.1.20"));
  }
  done = true;
  // Only the external-address question was asked (and asked again).
  const std::vector<TBytes> requests = gateway.Requests();
  ASSERT_FALSE(requests.empty());
  for (const TBytes& r : requests) EXPECT_EQ((TBytes{0, 0}), r);
}

// Under the tests' environment nothing is looked for: no discovery, no
// default gateway, no gateway off the loopback network.
TEST_F(PortMapping, LoopbackOnlyEnvironmentAsksNoOtherRouter) {
  struct Case {
    const char* root;
    const char* natpmp;
    const char* line;
  };
  const Case cases[] = {
      {"", "",
       "Port mapping: no router was asked. Forward port 3724 to 192.168.1.20 in your router by "
       "hand."},
      {"http://192.168.1.1:5000/rootDesc.xml", "192.168.1.1",
       "Port mapping: no router answered (UPnP, NAT-PMP). Forward port 3724 to 192.168.1.20 in "
       "your router by hand."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    TReports reports;
    TPortMappingSetup setup = Setup();
    setup.UpnpRootUrl = c.root;
    setup.NatPmpGateway = c.natpmp;
    TPortMapper mapper(setup, reports.Sink());
    mapper.Start();
    EXPECT_EQ(c.line, DescribeMapping(reports.WaitFor(TMappingEvent::Failed), "192.168.1.20"));
  }
}

// ---- The pinhole in the router's IPv6 firewall ----

// A made-up global address: it only ever appears in lines and in the SOAP
// bodies sent to the fake router.
const char kGlobalIPv6[] = "2001:db8::5";

std::vector<std::string> Actions(const std::vector<TSoapCall>& calls) {
  std::vector<std::string> actions;
  for (const TSoapCall& c : calls) actions.push_back(c.Action);
  return actions;
}

TEST_F(PortMapping, PinholeIsAddedRenewedAndDeletedWithExactSoapCalls) {
  TFakeUpnpRouter router;
  router.SetFirewallControlUrl("/ctl/IP6FCtl");
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = router.RootUrl();
  setup.MapIPv4 = false;  // listening on IPv6 alone
  setup.PinholeAddress = kGlobalIPv6;
  setup.LeaseSeconds = 2;  // renewed after one second
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  const TPortMappingReport opened = reports.WaitForPinhole(TMappingEvent::Mapped);
  EXPECT_EQ("IPv6: the router's firewall lets friends reach [2001:db8::5]:3724 (UPnP).",
            DescribeMapping(opened, "192.168.1.20"));
  EXPECT_EQ(2, opened.LeaseSeconds);
  reports.WaitForPinhole(TMappingEvent::Renewed);
  mapper.Stop();
  EXPECT_EQ("IPv6: the router's firewall no longer lets friends reach [2001:db8::5]:3724 (UPnP).",
            DescribeMapping(reports.WaitForPinhole(TMappingEvent::Removed, 0), ""));
  for (const auto& r : reports.All()) EXPECT_TRUE(r.Pinhole);  // no IPv4 mapping was asked for

  const std::vector<TSoapCall> calls = router.Calls();
  ASSERT_EQ((std::vector<std::string>{"GetFirewallStatus", "AddPinhole", "UpdatePinhole",
                                      "DeletePinhole"}),
            Actions(calls));
  for (const TSoapCall& c : calls) {
    EXPECT_EQ("POST /ctl/IP6FCtl HTTP/1.1", c.RequestLine);
    EXPECT_EQ("\"" + std::string(kFirewallControlService) + "#" + c.Action + "\"", c.SoapAction);
  }
  EXPECT_EQ(TArgs{}, calls[0].Args);
  EXPECT_EQ(
      "<?xml version=\"1.0\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
      "<u:AddPinhole xmlns:u=\"urn:schemas-upnp-org:service:WANIPv6FirewallControl:1\">"
      "<RemoteHost></RemoteHost><RemotePort>0</RemotePort>"
      "<InternalClient>2001:db8::5</InternalClient><InternalPort>3724</InternalPort>"
      "<Protocol>6</Protocol><LeaseTime>2</LeaseTime></u:AddPinhole></s:Body></s:Envelope>\r\n",
      calls[1].Body);
  EXPECT_EQ((TArgs{{"UniqueID", "17"}, {"NewLeaseTime", "2"}}), calls[2].Args);
  EXPECT_EQ((TArgs{{"UniqueID", "17"}}), calls[3].Args);
}

// The IPv4 mapping and the pinhole live side by side on one router, each
// renewed and removed on its own; a router without the firewall service
// still maps the IPv4 port, and the IPv6 line says what to do by hand.
TEST_F(PortMapping, PinholeBesideTheIPv4MappingOrPlainlyNotThere) {
  for (const bool firewall : {true, false}) {
    SCOPED_TRACE(firewall ? "IGD 2 router" : "router without firewall control");
    TFakeUpnpRouter router;
    if (firewall) router.SetFirewallControlUrl("/ctl/IP6FCtl");
    TReports reports;
    TPortMappingSetup setup = Setup();
    setup.UpnpRootUrl = router.RootUrl();
    setup.PinholeAddress = kGlobalIPv6;
    setup.LeaseSeconds = 2;
    TPortMapper mapper(setup, reports.Sink());
    mapper.Start();
    EXPECT_EQ(3724, reports.WaitFor(TMappingEvent::Mapped).ExternalPort);
    if (firewall) {
      reports.WaitForPinhole(TMappingEvent::Mapped);
      reports.WaitForPinhole(TMappingEvent::Renewed);
      reports.WaitFor(TMappingEvent::Renewed);
    } else {
      EXPECT_EQ(
          "IPv6: the router's firewall could not be opened for [2001:db8::5]:3724 (the router "
          "offers no IPv6 firewall control). If friends cannot connect over IPv6, allow incoming "
          "TCP port 3724 to this computer in your router's firewall by hand.",
          DescribeMapping(reports.WaitForPinhole(TMappingEvent::Failed), ""));
    }
    mapper.Stop();
    reports.WaitFor(TMappingEvent::Removed, 0);
    if (firewall) reports.WaitForPinhole(TMappingEvent::Removed, 0);
    std::vector<std::string> pinholeCalls;
    for (const TSoapCall& c : router.Calls()) {
      if (c.RequestLine == "POST /ctl/IP6FCtl HTTP/1.1") pinholeCalls.push_back(c.Action);
    }
    const auto actions = Actions(router.Calls());
    EXPECT_EQ(1, std::count(actions.begin(), actions.end(), "DeletePortMapping"));
    if (firewall) {
      // Renewals come every second until Stop.
      ASSERT_LE(4u, pinholeCalls.size());
      EXPECT_EQ("GetFirewallStatus", pinholeCalls[0]);
      EXPECT_EQ("AddPinhole", pinholeCalls[1]);
      EXPECT_EQ("UpdatePinhole", pinholeCalls[2]);
      EXPECT_EQ("DeletePinhole", pinholeCalls.back());
    } else {
      EXPECT_EQ(std::vector<std::string>{}, pinholeCalls);
    }
  }
}

// Routers that refuse, or whose firewall is off: the line says so, and only
// a pinhole that was made is ever renewed or deleted.
TEST_F(PortMapping, PinholeRefusalsAndAFirewallThatIsOff) {
  struct TCase {
    const char* name;
    TFakeUpnpRouter::TScript script;
    TMappingEvent event;
    std::string line;
    std::vector<std::string> actions;  // to the firewall service, Stop included
  };
  const auto status = [](const char* enabled, const char* allowed) {
    return [=](const TSoapCall& c) {
      TSoapReply r;
      if (c.Action == "GetFirewallStatus") {
        r.Values = {{"FirewallEnabled", enabled}, {"InboundPinholeAllowed", allowed}};
      }
      return r;
    };
  };
  const std::string byHand =
      "). If friends cannot connect over IPv6, allow incoming TCP port 3724 to this computer in "
      "your router's firewall by hand.";
  const std::string failed =
      "IPv6: the router's firewall could not be opened for [2001:db8::5]:3724 (";
  const std::vector<TCase> cases = {
      {"pinholes not allowed",
       status("1", "0"),
       TMappingEvent::Failed,
       failed + "the router allows no pinholes in its firewall" + byHand,
       {"GetFirewallStatus"}},
      {"firewall off",
       status("0", "0"),
       TMappingEvent::Mapped,
       "IPv6: the router's firewall is off, so friends can reach [2001:db8::5]:3724 (UPnP).",
       {"GetFirewallStatus"}},
      {"AddPinhole refused",
       [](const TSoapCall& c) {
         TSoapReply r;
         if (c.Action == "GetFirewallStatus") {
           r.Values = {{"FirewallEnabled", "1"}, {"InboundPinholeAllowed", "1"}};
         } else if (c.Action == "AddPinhole") {
           r.ErrorCode = 606;
           r.ErrorText = "Action not authorized";
         }
         return r;
       },
       TMappingEvent::Failed,
       failed + "UPnP error 606: Action not authorized" + byHand,
       {"GetFirewallStatus", "AddPinhole"}},
      {"no identifier",
       [](const TSoapCall& c) {
         TSoapReply r;
         if (c.Action == "GetFirewallStatus") {
           r.Values = {{"FirewallEnabled", "1"}, {"InboundPinholeAllowed", "1"}};
         } else if (c.Action == "AddPinhole") {
           r.Values = {{"UniqueID", "99999999"}};
         }
         return r;
       },
       TMappingEvent::Failed,
       failed + "the router's answer named no pinhole" + byHand,
       {"GetFirewallStatus", "AddPinhole"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFakeUpnpRouter router;
    router.SetFirewallControlUrl("/ctl/IP6FCtl");
    router.SetScript(c.script);
    TReports reports;
    TPortMappingSetup setup = Setup();
    setup.UpnpRootUrl = router.RootUrl();
    setup.MapIPv4 = false;
    setup.PinholeAddress = kGlobalIPv6;
    TPortMapper mapper(setup, reports.Sink());
    mapper.Start();
    EXPECT_EQ(c.line, DescribeMapping(reports.WaitForPinhole(c.event), ""));
    mapper.Stop();
    EXPECT_EQ(1u, reports.All().size());
    EXPECT_EQ(c.actions, Actions(router.Calls()));
  }
}

// A router that forgot the pinhole (it restarted) answers the renewal with
// NoSuchEntry: the pinhole is added anew, and its new identifier renews and
// deletes it from then on.
TEST_F(PortMapping, APinholeTheRouterLostIsAddedAnew) {
  TFakeUpnpRouter router;
  router.SetFirewallControlUrl("/ctl/IP6FCtl");
  int adds = 0, updates = 0;
  router.SetScript([&](const TSoapCall& c) {
    TSoapReply r;
    if (c.Action == "GetFirewallStatus") {
      r.Values = {{"FirewallEnabled", "1"}, {"InboundPinholeAllowed", "1"}};
    } else if (c.Action == "AddPinhole") {
      r.Values = {{"UniqueID", ++adds == 1 ? "17" : "18"}};
    } else if (c.Action == "UpdatePinhole" && ++updates == 1) {
      r.ErrorCode = 705;
      r.ErrorText = "NoSuchEntry";
    }
    return r;
  });
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = router.RootUrl();
  setup.MapIPv4 = false;
  setup.PinholeAddress = kGlobalIPv6;
  setup.LeaseSeconds = 2;
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  reports.WaitForPinhole(TMappingEvent::Renewed);
  mapper.Stop();
  reports.WaitForPinhole(TMappingEvent::Removed, 0);
  const std::vector<TSoapCall> calls = router.Calls();
  ASSERT_LE(5u, calls.size());
  const std::vector<std::string> actions = Actions(calls);
  EXPECT_EQ(
      (std::vector<std::string>{"GetFirewallStatus", "AddPinhole", "UpdatePinhole", "AddPinhole"}),
      std::vector<std::string>(actions.begin(), actions.begin() + 4));
  EXPECT_EQ((TArgs{{"UniqueID", "17"}, {"NewLeaseTime", "2"}}), calls[2].Args);
  EXPECT_EQ("DeletePinhole", calls.back().Action);
  EXPECT_EQ((TArgs{{"UniqueID", "18"}}), calls.back().Args);
}

// No router answers the description: the IPv6 line says nobody answered.
TEST_F(PortMapping, PinholeWithNoRouterAnswering) {
  TTcpBlockingSocket silent;
  silent.Bind("127.0.0.1", "0");
  silent.Listen();
  TReports reports;
  TPortMappingSetup setup = Setup();
  setup.UpnpRootUrl = "http://127.0.0.1:" + std::to_string(silent.LocalPort()) + "/rootDesc.xml";
  setup.CallTimeoutMs = 300;
  setup.MapIPv4 = false;
  setup.PinholeAddress = kGlobalIPv6;
  TPortMapper mapper(setup, reports.Sink());
  mapper.Start();
  EXPECT_EQ(
      "IPv6: the router's firewall could not be opened for [2001:db8::5]:3724 (no router "
      "answered: UPnP). If friends cannot connect over IPv6, allow incoming TCP port 3724 to "
      "this computer in your router's firewall by hand.",
      DescribeMapping(reports.WaitForPinhole(TMappingEvent::Failed), ""));
}

TEST(PortMappingText, APrivateExternalAddressIsExplained) {
  TPortMappingReport r;
  r.Event = TMappingEvent::Mapped;
  r.Method = "NAT-PMP";
  r.InternalPort = r.ExternalPort = 3724;
  r.ExternalAddress = "100.64.12.34";
  EXPECT_EQ(
      "Port mapping: the router forwards port 3724 to this computer (NAT-PMP). But the router's "
      "Internet address 100.64.12.34 is private: your Internet provider shares one address "
      "among its customers, and friends outside cannot connect directly.",
      DescribeMapping(r, ""));
}

}  // namespace
