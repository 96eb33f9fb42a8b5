// The sharing session with a real listener on loopback: what it configures,
// how reports reach the program, and what starting and stopping leave.
#include "shell/SharingSession.h"

#include "base/Messages.h"
#include "base/StartUp.h"
#include "base/UniqueFd.h"
#include "net/tcpsocket.h"
#include "network/TrackerServer.h"
#include "server/HttpDaemon.h"
#include "server/PrivateShare.h"
#include "support/FakeRouters.h"
#include "support/TempFolder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace {

constexpr auto kGuard = std::chrono::seconds(30);  // against hanging, not a speed goal

UniqueFd Connect(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
  return fd;
}

void SendText(const UniqueFd& fd, const std::string& text) {
  ::send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL);
}

std::string ReadToEnd(const UniqueFd& fd) {
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0) answer.append(buffer, size_t(n));
  return answer;
}

// A session over a temporary shared folder, bound to loopback on a free
// port, with no plug-ins; it records the reports its listener is given.
class SharingSessionTest : public ::testing::Test {
 protected:
  SharingSessionTest() : session(plugins.Slash(), SystemFolder()) {
    shared.Write("hello.txt", "hello there");
    settings = DefaultSettings(shared.Slash());
    settings.SharedFolder = shared.Path().string();  // without its "/"
    settings.Port = 0;
    session.SetBindAddress("127.0.0.1");
    session.SetReportListener([this](const TSharingReport& r) {
      std::lock_guard<std::mutex> hold(lock);
      reports.push_back(r);
    });
    SetMessageDisplay([this](MessageKind, const std::string& text) {
      std::lock_guard<std::mutex> hold(lock);
      messages.push_back(text);
    });
  }
  ~SharingSessionTest() override { SetMessageDisplay(nullptr); }

  std::vector<TSharingReport> Reports() {
    std::lock_guard<std::mutex> hold(lock);
    return reports;
  }
  // Waits (within the guard time) until the condition holds.
  template <typename Condition>
  bool WaitFor(Condition condition) {
    const auto end = std::chrono::steady_clock::now() + kGuard;
    while (!condition()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // What the session's workers write to is declared first, so that it
  // outlives the session (whose workers may still be reporting as it goes).
  std::mutex lock;
  std::vector<TSharingReport> reports;
  std::vector<std::string> messages;
  TempFolder plugins, shared;
  AppSettings settings;
  TSharingSession session;
};

TEST(SharedFolderProblem, NamesTheFolderAndSaysWhy) {
  TempFolder dir;
  dir.Mkdir("pics");
  dir.Mkdir("blank ");
  dir.Write("file.txt");
  struct Case {
    std::string folder;
    std::string problem;
  };
  const std::string missing = "The folder to share does not exist: ";
  const std::string notFolder = "The folder to share is not a folder: ";
  const Case cases[] = {
      {dir / "pics", ""},
      {dir / "pics/", ""},
      {dir / "gone", missing + (dir / "gone")},
      {dir / "file.txt/sub", missing + (dir / "file.txt/sub")},
      {dir / "file.txt", notFolder + (dir / "file.txt")},
      {dir / "blank ", notFolder + (dir / "blank ")},  // as IsFolder has it
      {"", missing},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    EXPECT_EQ(c.problem, SharedFolderProblem(c.folder));
  }
}

TEST_F(SharingSessionTest, ServesTheSettingsFolderAndHandsOverEveryReport) {
  // Without a carrier, reports are taken on the workers' threads.
  ASSERT_TRUE(session.Start(settings));
  EXPECT_TRUE(session.Sharing());
  const int port = session.BoundPort();
  ASSERT_GT(port, 0);
  {
    UniqueFd client = Connect(port);
    SendText(client, "GET /download?hello.txt HTTP/1.0\r\n\r\n");
    const std::string answer = ReadToEnd(client);
    EXPECT_EQ(0u, answer.find("HTTP/1.0 200")) << answer;
    EXPECT_EQ(answer.size() - 11, answer.rfind("hello there"));
  }
  // The last report ("-1") removes the entry and adds no line.
  ASSERT_TRUE(WaitFor([&] {
    const auto r = Reports();
    return !r.empty() && r.back().Rows.empty();
  }));
  const auto r = Reports();
  ASSERT_GE(r.size(), 3u);
  EXPECT_EQ(std::vector<std::string>{"IP: 127.0.0.1\t Op: Connecting..."}, r[0].LogLines);
  ASSERT_EQ(1u, r[0].Rows.size());
  EXPECT_EQ((TConn{"Connecting...", "127.0.0.1", ""}), r[0].Rows[0]);
  EXPECT_EQ("Downloading...", r[1].Rows.at(0).Operation);
  EXPECT_TRUE(r.back().LogLines.empty());
  EXPECT_TRUE(session.Rows().empty());
  EXPECT_TRUE(messages.empty());

  session.Stop();
  EXPECT_FALSE(session.Sharing());
  EXPECT_EQ(0, session.BoundPort());
  EXPECT_FALSE(Connect(port));  // the port is free again
  // Reports after the stop are ignored.
  session.Report("10.0.0.1", "Connecting...", "");
  EXPECT_EQ(r.size(), Reports().size());
  EXPECT_TRUE(session.WaitForWorkers(10000));
}

TEST_F(SharingSessionTest, TheCarrierTakesEachReportWhereTheProgramWantsIt) {
  std::atomic<int> carried{0};
  std::atomic<bool> onWorkerThread{true};
  const std::thread::id self = std::this_thread::get_id();
  session.SetReportCarrier([&](std::function<void()> report) {
    ++carried;
    if (std::this_thread::get_id() == self) onWorkerThread = false;
    report();
  });
  ASSERT_TRUE(session.Start(settings));
  {
    UniqueFd client = Connect(session.BoundPort());
    SendText(client, "GET / HTTP/1.0\r\n\r\n");
    ReadToEnd(client);
  }
  ASSERT_TRUE(WaitFor([&] {
    const auto r = Reports();
    return !r.empty() && r.back().Rows.empty();
  }));
  EXPECT_EQ(static_cast<int>(Reports().size()), carried.load());
  EXPECT_TRUE(onWorkerThread);
  // A direct report is the program's own: no carrier.
  session.Report("10.0.0.1", "Connecting...", "");
  EXPECT_EQ(static_cast<int>(Reports().size()) - 1, carried.load());
}

TEST_F(SharingSessionTest, StoppingWithAWaitCountsTheLastReports) {
  ASSERT_TRUE(session.Start(settings));
  UniqueFd client = Connect(session.BoundPort());
  SendText(client, "GET / HTTP/1.0\r\n");  // the request is not complete yet
  ASSERT_TRUE(WaitFor([&] { return session.Rows().size() == 1; }));
  std::thread finish([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SendText(client, "\r\n");
    ReadToEnd(client);
  });
  session.Stop(30000);
  finish.join();
  // The worker's last reports came while the session waited for it.
  const auto r = Reports();
  ASSERT_FALSE(r.empty());
  EXPECT_TRUE(r.back().Rows.empty());
  EXPECT_FALSE(session.Sharing());
  EXPECT_TRUE(session.WaitForWorkers(0));
}

TEST_F(SharingSessionTest, StoppingWithoutAWaitDropsLaterReports) {
  ASSERT_TRUE(session.Start(settings));
  UniqueFd client = Connect(session.BoundPort());
  SendText(client, "GET / HTTP/1.0\r\n");
  ASSERT_TRUE(WaitFor([&] { return session.Rows().size() == 1; }));
  session.Stop();
  const size_t before = Reports().size();
  EXPECT_FALSE(session.WaitForWorkers(0));  // the worker still serves
  SendText(client, "\r\n");
  EXPECT_EQ(0u, ReadToEnd(client).find("HTTP/1.0 200"));
  EXPECT_TRUE(session.WaitForWorkers(30000));
  EXPECT_EQ(before, Reports().size());
}

TEST_F(SharingSessionTest, APortInUseIsShownAndTheSessionStillShares) {
  UniqueFd holder(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(holder.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(holder.get(), 1));
  socklen_t size = sizeof addr;
  ASSERT_EQ(0, ::getsockname(holder.get(), reinterpret_cast<sockaddr*>(&addr), &size));
  settings.Port = ntohs(addr.sin_port);
  EXPECT_FALSE(session.Start(settings));
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("Cannot listen on port " + std::to_string(settings.Port) +
                ": the port is already in use (socket error 10048)",
            messages[0]);
  EXPECT_TRUE(session.Sharing());
  EXPECT_EQ(0, session.BoundPort());
  session.Stop();
  EXPECT_FALSE(session.Sharing());
}

TEST_F(SharingSessionTest, StartingAgainReplacesTheListener) {
  int configured = 0;
  session.SetListenerSetup([&](TTCPHttpDaemon& listener) {
    ++configured;
    EXPECT_FALSE(listener.Listening());  // before it starts
    EXPECT_EQ(shared.Slash(), listener.RootFolder);
    EXPECT_EQ(settings.TimeoutMs, listener.TimeoutMs);
  });
  settings.TimeoutMs = 4000;
  ASSERT_TRUE(session.Start(settings));
  const int first = session.BoundPort();
  ASSERT_TRUE(session.Start(settings));
  EXPECT_EQ(2, configured);
  EXPECT_TRUE(Connect(session.BoundPort()));
  if (first != session.BoundPort()) {
    EXPECT_FALSE(Connect(first));  // the first was stopped
  }
}

// The page style reaches every worker: the gallery answers with its policy
// headers, the classic pages without them.
TEST_F(SharingSessionTest, ThePageStyleReachesTheListener) {
  for (const TPageStyle style : {TPageStyle::Gallery, TPageStyle::Classic}) {
    SCOPED_TRACE(std::string(PageStyleName(style)));
    settings.PageStyle = style;
    ASSERT_TRUE(session.Start(settings));
    const UniqueFd fd = Connect(session.BoundPort());
    ASSERT_TRUE(fd);
    SendText(fd, "GET / HTTP/1.0\r\n\r\n");
    const std::string answer = ReadToEnd(fd);
    EXPECT_NE(std::string::npos, answer.find("hello.txt")) << answer;
    EXPECT_EQ(style == TPageStyle::Gallery,
              answer.find("\r\nContent-Security-Policy: default-src 'none'") != std::string::npos);
    EXPECT_EQ(style == TPageStyle::Gallery, answer.find("<!DOCTYPE html>") != std::string::npos);
  }
}

// The port mapping follows the listener: asked for the port and address it
// bound, and removed by Stop while the port still listens.
TEST_F(SharingSessionTest, PortMappingFollowsTheListenerAndStopRemovesItFirst) {
  TFakeUpnpRouter router;
  TInternetSetup setup;
  setup.UpnpGateway = router.RootUrl();
  setup.TrackerHost = "127.0.0.1:1";  // nobody there: the check ends at once
  setup.ServerAddress = "<unknown>";
  std::mutex updateLock;
  std::vector<TReachUpdate> updates;
  const auto collect = [&](const TReachUpdate& u) {
    std::lock_guard<std::mutex> hold(updateLock);
    updates.push_back(u);
  };
  session.StartInternet(setup, collect);  // nothing listens yet: nothing asked
  ASSERT_TRUE(session.Start(settings));
  EXPECT_EQ("127.0.0.1", session.ListenAddress());
  EXPECT_EQ("", session.IPv6Address());
  const int port = session.BoundPort();
  std::atomic<bool> listeningAtRemoval{false};
  router.SetScript([&](const TSoapCall& call) {
    TSoapReply reply;
    if (call.Action == "GetExternalIPAddress") {
      reply.Values = {{"NewExternalIPAddress", "203.0.113.7"}};
    }
    if (call.Action == "DeletePortMapping") listeningAtRemoval = bool(Connect(port));
    return reply;
  });
  session.StartInternet(setup, collect);
  const std::string mapped = "Port mapping: the router forwards port " + std::to_string(port) +
                             " to this computer (UPnP).";
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> hold(updateLock);
    for (const auto& u : updates) {
      if (u.Kind == TReachKind::Mapping && u.Text == mapped) return true;
    }
    return false;
  }));
  std::vector<TSoapCall> calls = router.Calls();
  ASSERT_EQ(2u, calls.size());
  EXPECT_EQ("AddPortMapping", calls[1].Action);
  EXPECT_EQ(std::to_string(port), calls[1].Args[3].second);  // the internal port
  EXPECT_EQ("127.0.0.1", calls[1].Args[4].second);           // the internal client

  session.Stop();
  calls = router.Calls();
  ASSERT_EQ(3u, calls.size());
  EXPECT_EQ("DeletePortMapping", calls[2].Action);
  EXPECT_TRUE(listeningAtRemoval);
  EXPECT_FALSE(Connect(port));
  const size_t heard = [&] {
    std::lock_guard<std::mutex> hold(updateLock);
    return updates.size();
  }();
  session.Stop();  // stopped already: nothing more is asked or said
  EXPECT_EQ(3u, router.Calls().size());
  std::lock_guard<std::mutex> hold(updateLock);
  EXPECT_EQ(heard, updates.size());
}

// Without an address of the program's own, the settings say where to listen.
TEST(SharingSession, TheBindSettingChoosesTheAddress) {
  TempFolder plugins;
  TSharingSession session(plugins.Slash(), SystemFolder());
  AppSettings settings = DefaultSettings(plugins.Slash());
  settings.SharedFolder = plugins.Slash();
  settings.Port = 0;
  settings.BindAddress = "127.0.0.1";
  ASSERT_TRUE(session.Start(settings));
  EXPECT_EQ("127.0.0.1", session.ListenAddress());
  EXPECT_TRUE(Connect(session.BoundPort()));
  session.SetBindAddress("::1");  // the program's own address wins
  ASSERT_TRUE(session.Start(settings));
  EXPECT_EQ("::1", session.ListenAddress());
  EXPECT_EQ("", session.IPv6Address());  // not a global address
}

// The status line a request over host gets ("" when nothing answers).
std::string StatusLine(const std::string& host, int port, const std::string& request) {
  TTcpBlockingSocket client;
  client.Connect(host, std::to_string(port));
  if (client.LastErrorCode() != 0) return {};
  client.SendText(request);
  return client.ReceiveLine(5000);
}

// One key gate for the listener, on IPv4 and IPv6 loopback alike; a new key
// given to the running session refuses the old one at once.
TEST(SharingSession, APrivateShareTakesANewKeyWhileItRuns) {
  TempFolder plugins;
  AppSettings settings = DefaultSettings(plugins.Slash());
  settings.SharedFolder = plugins.Slash();
  settings.Port = 0;
  settings.PrivateSharing = true;
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    TSharingSession session(plugins.Slash(), SystemFolder());
    session.SetBindAddress(host);
    const std::string oldKey = NewShareKey();
    settings.PrivateKey = oldKey;
    ASSERT_TRUE(session.Start(settings));
    const int port = session.BoundPort();
    const auto withCookie = [](const std::string& key) {
      return "GET / HTTP/1.0\r\nCookie: " + std::string(kShareKeyCookie) + "=" + key + "\r\n\r\n";
    };
    EXPECT_EQ("HTTP/1.0 403", StatusLine(host, port, "GET / HTTP/1.0\r\n\r\n"));
    EXPECT_EQ("HTTP/1.0 200", StatusLine(host, port, withCookie(oldKey)));
    const std::string newKey = NewShareKey();
    EXPECT_TRUE(session.SetPrivateKey(newKey));
    EXPECT_EQ("HTTP/1.0 403", StatusLine(host, port, withCookie(oldKey)));
    EXPECT_EQ("HTTP/1.0 403", StatusLine(host, port, "GET /?key=" + oldKey + " HTTP/1.0\r\n\r\n"));
    EXPECT_EQ("HTTP/1.0 200", StatusLine(host, port, withCookie(newKey)));
    session.Stop();
    EXPECT_FALSE(session.SetPrivateKey(NewShareKey()));  // nothing runs
  }
  // An open share has no gate to give a key to.
  TSharingSession open(plugins.Slash(), SystemFolder());
  open.SetBindAddress("127.0.0.1");
  settings.PrivateSharing = false;
  ASSERT_TRUE(open.Start(settings));
  EXPECT_FALSE(open.SetPrivateKey(NewShareKey()));
  EXPECT_EQ("HTTP/1.0 200", StatusLine("127.0.0.1", open.BoundPort(), "GET / HTTP/1.0\r\n\r\n"));
}

// With a global IPv6 address the session listens on every IPv4 and every IPv6
// interface; both listeners stand behind the one key gate.
TEST(SharingSession, TheIPv6ListenerBesideTheIPv4OneWantsTheSameKey) {
  TempFolder plugins;
  TSharingSession session(plugins.Slash(), SystemFolder());
  session.SetInterfaceLister([] {
    TInterfaceAddress global;
    global.Up = true;
    global.Address = "2a00::5";  // a global address: shown, never contacted
    return std::vector<TInterfaceAddress>{global};
  });
  AppSettings settings = DefaultSettings(plugins.Slash());
  settings.SharedFolder = plugins.Slash();
  settings.Port = 0;
  settings.PrivateSharing = true;
  const std::string oldKey = NewShareKey();
  settings.PrivateKey = oldKey;
  ASSERT_TRUE(session.Start(settings));
  ASSERT_EQ("", session.IPv6Problem());
  ASSERT_EQ("2a00::5", session.IPv6Address());
  const int port = session.BoundPort();
  const std::string newKey = NewShareKey();
  const auto withCookie = [](const std::string& key) {
    return "GET / HTTP/1.0\r\nCookie: " + std::string(kShareKeyCookie) + "=" + key + "\r\n\r\n";
  };
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    EXPECT_EQ("HTTP/1.0 403", StatusLine(host, port, "GET / HTTP/1.0\r\n\r\n"));
    EXPECT_EQ("HTTP/1.0 200", StatusLine(host, port, withCookie(oldKey)));
  }
  EXPECT_TRUE(session.SetPrivateKey(newKey));
  for (const char* host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    EXPECT_EQ("HTTP/1.0 403", StatusLine(host, port, withCookie(oldKey)));
    EXPECT_EQ("HTTP/1.0 200", StatusLine(host, port, withCookie(newKey)));
  }
}

// With a global IPv6 address the router is asked, beside the IPv4 mapping,
// to let friends through its IPv6 firewall to that address and the bound
// port; Stop closes that opening again.
TEST(SharingSession, TheIPv6AddressGetsAPinholeInTheRoutersFirewall) {
  TempFolder plugins;
  TSharingSession session(plugins.Slash(), SystemFolder());
  session.SetInterfaceLister([] {
    TInterfaceAddress global;
    global.Up = true;
    global.Address = "2a00::5";  // shown and sent to the fake router, never contacted
    return std::vector<TInterfaceAddress>{global};
  });
  AppSettings settings = DefaultSettings(plugins.Slash());
  settings.SharedFolder = plugins.Slash();
  settings.Port = 0;
  ASSERT_TRUE(session.Start(settings));
  ASSERT_EQ("2a00::5", session.IPv6Address());
  const int port = session.BoundPort();
  TFakeUpnpRouter router;
  router.SetFirewallControlUrl("/ctl/IP6FCtl");
  TInternetSetup setup;
  setup.UpnpGateway = router.RootUrl();
  setup.TrackerHost = "127.0.0.1:1";  // nobody there: the check ends at once
  setup.ServerAddress = "<unknown>";
  std::mutex updateLock;
  std::vector<std::string> firewallLines;
  const auto heard = [&] {
    std::lock_guard<std::mutex> hold(updateLock);
    return firewallLines.size();
  };
  session.StartInternet(setup, [&](const TReachUpdate& u) {
    std::lock_guard<std::mutex> hold(updateLock);
    if (u.Kind == TReachKind::Firewall) firewallLines.push_back(u.Text);
  });
  const auto end = std::chrono::steady_clock::now() + kGuard;
  while (heard() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(1u, heard());
  TSoapCall added;
  for (const TSoapCall& c : router.Calls()) {
    if (c.Action == "AddPinhole") added = c;
  }
  ASSERT_EQ(6u, added.Args.size());
  EXPECT_EQ("2a00::5", added.Args[2].second);             // the internal client
  EXPECT_EQ(std::to_string(port), added.Args[3].second);  // the internal port

  session.Stop();
  EXPECT_EQ("DeletePinhole", router.Calls().back().Action);
  const std::string where = "[2a00::5]:" + std::to_string(port);
  std::lock_guard<std::mutex> hold(updateLock);
  EXPECT_EQ((std::vector<std::string>{
                "IPv6: the router's firewall lets friends reach " + where + " (UPnP).",
                "IPv6: the router's firewall no longer lets friends reach " + where + " (UPnP)."}),
            firewallLines);
}

// Listening on IPv6 alone, the reachability check waits for the pinhole's
// outcome and names it among what was tried.
TEST(SharingSession, OnIPv6AloneTheCheckFollowsThePinhole) {
  TTrackerOptions options;
  options.BindAddress = "127.0.0.1";
  options.Port = "0";
  TTrackerServer tracker(options);
  std::string error;
  ASSERT_TRUE(tracker.Start(error)) << error;
  TTcpBlockingSocket gone;  // a port nobody listens on: the tracker cannot connect
  gone.Bind("127.0.0.1", "0");
  const int port = gone.LocalPort();
  gone.Close();
  TFakeUpnpRouter router;
  router.SetFirewallControlUrl("/ctl/IP6FCtl");
  std::atomic<int> pinholesAdded{0};
  router.SetScript([&](const TSoapCall& c) {
    TSoapReply r;
    if (c.Action == "GetFirewallStatus") {
      r.Values = {{"FirewallEnabled", "1"}, {"InboundPinholeAllowed", "1"}};
    } else if (c.Action == "AddPinhole") {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a slow router
      r.Values = {{"UniqueID", "17"}};
      ++pinholesAdded;
    }
    return r;
  });
  TInternetSetup setup;
  setup.UpnpGateway = router.RootUrl();
  setup.TrackerHost = "127.0.0.1:" + std::to_string(tracker.Port());
  setup.ServerAddress = "<unknown>";
  setup.BindAddress = "2a00::5";  // shown and sent to the fake router, never contacted
  setup.IPv6Address = "2a00::5";
  setup.Port = port;
  std::mutex updateLock;
  std::condition_variable changed;
  std::vector<TReachUpdate> updates;
  int addedAtCheck = -1;
  TInternetReach reach(setup, [&](const TReachUpdate& u) {
    std::lock_guard<std::mutex> hold(updateLock);
    if (u.Kind == TReachKind::Reachability) addedAtCheck = pinholesAdded;
    updates.push_back(u);
    changed.notify_all();
  });
  reach.Start();
  {
    std::unique_lock<std::mutex> hold(updateLock);
    ASSERT_TRUE(changed.wait_for(hold, kGuard, [&] { return addedAtCheck >= 0; }));
    EXPECT_EQ(1, addedAtCheck);  // the pinhole was open before the tracker was asked
    const std::string line = updates.back().Text;
    EXPECT_NE(std::string::npos, line.find("; the router's firewall lets friends reach port " +
                                           std::to_string(port) + " (UPnP)."))
        << line;
  }
  reach.Stop();
  std::vector<std::string> actions;
  for (const TSoapCall& c : router.Calls()) actions.push_back(c.Action);
  // Nothing is asked of the IPv4 connection service.
  EXPECT_EQ((std::vector<std::string>{"GetFirewallStatus", "AddPinhole", "DeletePinhole"}),
            actions);
}

// What a reporting thread is about to report, for the listener to record
// beside the report it is given (without a carrier it runs on that thread).
thread_local TConn tCurrentInput;

TEST_F(SharingSessionTest, ReportsFromManyWorkersAreTakenWholeAndInTheirOrder) {
  struct TTaken {
    TConn input;
    TSharingReport report;
  };
  std::vector<TTaken> taken;
  session.SetReportListener([&](const TSharingReport& r) {
    taken.push_back({tCurrentInput, r});  // under the session's lock
  });
  ASSERT_TRUE(session.Start(settings));
  const TSharingSession::TStatusCallback report = session.StatusCallback();
  constexpr int kThreads = 6;
  constexpr int kRounds = 300;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      const std::string peer = "10.0.0." + std::to_string(t + 1);
      for (int i = 0; i < kRounds; ++i) {
        const std::string file = "file " + std::to_string(t) + "-" + std::to_string(i) + ".jpg";
        for (const char* op : {"Connecting...", "Downloading...", kReportFinished}) {
          const std::string fileName = std::string(op) == "Connecting..." ? "" : file;
          tCurrentInput = TConn{op, peer, fileName};
          report(peer, op, fileName);
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  ASSERT_EQ(size_t(kThreads * kRounds * 3), taken.size());
  // Replayed one at a time in the order taken, each report yields exactly the
  // lines and rows its listener was given; each peer's reports keep its order.
  ConnectionList replay;
  std::map<std::string, std::vector<std::string>> perPeer;
  for (size_t i = 0; i < taken.size(); ++i) {
    const TConn& in = taken[i].input;
    const std::vector<std::string> lines = replay.Report(in.PeerIp, in.Operation, in.FileName);
    ASSERT_EQ(lines, taken[i].report.LogLines) << "report " << i;
    ASSERT_EQ(replay.Entries(), taken[i].report.Rows) << "report " << i;
    perPeer[in.PeerIp].push_back(in.Operation + in.FileName);
  }
  for (int t = 0; t < kThreads; ++t) {
    const auto& ops = perPeer["10.0.0." + std::to_string(t + 1)];
    ASSERT_EQ(size_t(kRounds * 3), ops.size());
    for (int i = 0; i < kRounds; ++i) {
      const std::string file = "file " + std::to_string(t) + "-" + std::to_string(i) + ".jpg";
      ASSERT_EQ("Connecting...", ops[size_t(i) * 3]);
      ASSERT_EQ("Downloading..." + file, ops[size_t(i) * 3 + 1]);
      ASSERT_EQ(kReportFinished + file, ops[size_t(i) * 3 + 2]);
    }
  }
  EXPECT_TRUE(session.Rows().empty());
}

TEST_F(SharingSessionTest, AReportMetInsideTheListenerLeavesTheOuterReportIntact) {
  std::vector<TSharingReport> seen;
  bool nestedOnce = false;
  session.SetReportListener([&](const TSharingReport& r) {
    const TSharingReport before = r;
    if (!nestedOnce) {
      nestedOnce = true;
      session.Report("10.0.0.2", "Downloading...", "b.jpg");
    }
    EXPECT_EQ(before.LogLines, r.LogLines);
    EXPECT_EQ(before.Rows, r.Rows);
    seen.push_back(r);
  });
  ASSERT_TRUE(session.Start(settings));
  session.Report("10.0.0.1", "Connecting...", "");
  ASSERT_EQ(2u, seen.size());  // the nested one finished first
  EXPECT_EQ((std::vector<std::string>{"IP: 10.0.0.1\t Op: Connecting...",
                                      "IP: 10.0.0.2\t Op: Downloading...\t File: b.jpg"}),
            seen[0].LogLines);
  EXPECT_EQ(std::vector<std::string>{"IP: 10.0.0.1\t Op: Connecting..."}, seen[1].LogLines);
  ASSERT_EQ(1u, seen[1].Rows.size());

  // A listener of log lines only is given the same lines and no rows.
  seen.clear();
  session.SetReportListener([&](const TSharingReport& r) { seen.push_back(r); }, false);
  session.Report("10.0.0.3", "Connecting...", "");
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(3u, seen[0].LogLines.size());
  EXPECT_EQ("IP: 10.0.0.3\t Op: Connecting...", seen[0].LogLines.back());
  EXPECT_TRUE(seen[0].Rows.empty());
  EXPECT_EQ(3u, session.Rows().size());
}

TEST(SharingSession, ACallbackThatOutlivesItsSessionReturnsAtOnce) {
  TempFolder plugins;
  int heard = 0;
  TSharingSession::TStatusCallback report;
  {
    TSharingSession session(plugins.Slash(), SystemFolder());
    session.SetReportListener([&](const TSharingReport&) { ++heard; });
    AppSettings settings = DefaultSettings(plugins.Slash());
    settings.SharedFolder = plugins.Slash();
    settings.Port = 0;
    session.SetBindAddress("127.0.0.1");
    ASSERT_TRUE(session.Start(settings));
    report = session.StatusCallback();
    report("10.0.0.1", "Connecting...", "");
    EXPECT_EQ(1, heard);
  }
  report("10.0.0.1", "Connecting...", "");
  EXPECT_EQ(1, heard);
}

}  // namespace
