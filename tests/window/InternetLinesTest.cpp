// Sharing over the Internet from the window: the "Map the port on my router
// automatically" box, and the port mapping's and the reachability check's
// lines under the web address, against a fake router and a tracker on loopback.
#include "WindowFixture.h"

#include "base/IniFile.h"
#include "network/TrackerServer.h"
#include "support/FakeRouters.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <chrono>

namespace {

class InternetLines : public WindowFixture {
 protected:
  void SetUp() override {
    WindowFixture::SetUp();
    TTrackerOptions options;
    options.BindAddress = "127.0.0.1";
    options.Port = "0";
    tracker = std::make_unique<TTrackerServer>(options);
    std::string error;
    ASSERT_TRUE(tracker->Start(error)) << error;
    trackerHost = "127.0.0.1:" + std::to_string(tracker->Port());
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
    StoreName("Window Tester");
    keepNetworkHosts = true;
  }
  void TearDown() override {
    WindowFixture::TearDown();
    tracker->Stop();
  }
  // Lets queued updates in until the label has text (or a guard time passed).
  static bool WaitForText(QLabel* label) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (label->text().isEmpty() && std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return !label->text().isEmpty();
  }

  std::unique_ptr<TTrackerServer> tracker;
  std::string trackerHost;
};

TEST_F(InternetLines, TheRouterForwardsAnotherPortAndTheLinesSayWhatWasFound) {
  TFakeUpnpRouter router;
  // The sharing port is taken on the router: it forwards the next one.
  int adds = 0;
  router.SetScript([&adds](const TSoapCall& c) {
    TSoapReply r;
    if (c.Action == "GetExternalIPAddress") r.Values = {{"NewExternalIPAddress", "203.0.113.7"}};
    if (c.Action == "AddPortMapping" && adds++ == 0) {
      r.ErrorCode = 718;
      r.ErrorText = "ConflictInMappingEntry";
    }
    return r;
  });
  keepPortMapping = true;
  // The IP-echo host does not answer: the address stays "<unknown>" until
  // the router tells its own.
  WriteSettings(
      "[Internet]\r\nradIntern=0\r\nPort=0\r\n[Network]\r\nIpEchoHost=127.0.0.1:1\r\n"
      "TrackerHost=" +
      trackerHost + "\r\nGateway=" + router.RootUrl() + "\r\n");
  TFrmMain& f = Create();
  EXPECT_TRUE(f.chkPortMapping->isChecked());  // the default
  f.radExtern->setChecked(true);
  f.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  f.CompleteStartUp(false);
  ASSERT_TRUE(f.Sharing());
  const int port = f.ListeningPort();
  ASSERT_GT(port, 0);
  ASSERT_TRUE(WaitForText(f.lblReach)) << f.Log->toPlainText().toStdString();
  ASSERT_TRUE(WaitForText(f.lblPortMapping));
  const QString mapped = QString(
                             "Port mapping: the router forwards port %1 to port %2 of this "
                             "computer (UPnP).")
                             .arg(port + 1)
                             .arg(port);
  EXPECT_EQ(mapped, f.lblPortMapping->text());
  // The fake router forwards nothing, so the tracker finds nobody on the
  // port friends are given.
  const QString reach = QString::fromStdString(
      "Friends cannot reach this address from the Internet yet: the tracker at " + trackerHost +
      " tried port " + std::to_string(port + 1) +
      " of 127.0.0.1 (connection refused); the router forwards port " + std::to_string(port + 1) +
      " (UPnP).");
  EXPECT_EQ(reach, f.lblReach->text());
  EXPECT_FALSE(f.lblPortMapping->isHidden());
  EXPECT_FALSE(f.lblReach->isHidden());
  // The web address carries the router's address and port.
  EXPECT_EQ(QString("http://203.0.113.7:%1").arg(port + 1), f.edtWebAdr->text());
  const QStringList log = f.Log->toPlainText().split('\n');
  EXPECT_TRUE(log.contains(mapped));
  EXPECT_TRUE(log.contains(reach));

  // Stopping removes the forwarding and the lines; the address carries the
  // port of the settings again.
  f.actShare->trigger();
  EXPECT_FALSE(f.Sharing());
  EXPECT_TRUE(f.lblPortMapping->isHidden());
  EXPECT_TRUE(f.lblReach->isHidden());
  EXPECT_EQ(QString("http://203.0.113.7:%1").arg(f.spnPort->value()), f.edtWebAdr->text());
  const std::vector<TSoapCall> calls = router.Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ("DeletePortMapping", calls.back().Action);
  EXPECT_EQ(std::to_string(port + 1), calls.back().Args[1].second);

  // The box is a setting of its own.
  f.chkPortMapping->setChecked(false);
  f.SaveSettings();
  EXPECT_EQ("0", IniFile(SettingsFile()).ReadString("Network", "PortMapping", "?"));
}

// With a global IPv6 address an IGD 2 router is asked for a pinhole; its
// line stands under the IPv6 address until sharing stops.
TEST_F(InternetLines, TheIPv6FirewallLineStandsUnderTheIPv6Address) {
  TFakeUpnpRouter router;
  router.SetFirewallControlUrl("/ctl/IP6FCtl");
  keepPortMapping = true;
  WriteSettings(
      "[Internet]\r\nradIntern=0\r\nPort=0\r\n[Network]\r\nIpEchoHost=127.0.0.1:1\r\n"
      "TrackerHost=" +
      trackerHost + "\r\nGateway=" + router.RootUrl() + "\r\n");
  TFrmMain& f = Create();
  f.SetInterfaceLister([] {
    TInterfaceAddress global;
    global.Up = true;
    global.Address = "2a00::5";  // shown and sent to the fake router, never contacted
    return std::vector<TInterfaceAddress>{global};
  });
  f.radExtern->setChecked(true);
  f.show();
  f.CompleteStartUp(false);
  ASSERT_TRUE(f.Sharing());
  ASSERT_TRUE(WaitForText(f.lblFirewall6)) << f.Log->toPlainText().toStdString();
  const QString pinholeLine =
      QString("IPv6: the router's firewall lets friends reach [2a00::5]:%1 (UPnP).")
          .arg(f.ListeningPort());
  EXPECT_EQ(pinholeLine, f.lblFirewall6->text());
  EXPECT_FALSE(f.lblFirewall6->isHidden());
  EXPECT_TRUE(f.Log->toPlainText().split('\n').contains(pinholeLine));

  f.actShare->trigger();
  EXPECT_FALSE(f.Sharing());
  EXPECT_TRUE(f.lblFirewall6->isHidden());
  EXPECT_EQ("DeletePinhole", router.Calls().back().Action);
}

TEST_F(InternetLines, WithoutTheBoxTheRouterIsNotAskedAndTheLineSaysSo) {
  TFakeUpnpRouter router;
  keepPortMapping = true;
  WriteSettings(
      "[Internet]\r\nradIntern=0\r\nPort=0\r\n[Network]\r\nIpEchoHost=127.0.0.1:1\r\n"
      "PortMapping=0\r\nTrackerHost=" +
      trackerHost + "\r\nGateway=" + router.RootUrl() + "\r\n");
  TFrmMain& f = Create();
  EXPECT_FALSE(f.chkPortMapping->isChecked());
  f.radExtern->setChecked(true);
  // Listening on 127.0.0.2 only: the tracker finds nothing on 127.0.0.1.
  f.SetBindAddress("127.0.0.2");
  f.show();
  f.CompleteStartUp(false);
  ASSERT_TRUE(f.Sharing());
  ASSERT_TRUE(WaitForText(f.lblReach));
  EXPECT_EQ(
      QString::fromStdString("Friends cannot reach this address from the Internet yet: the "
                             "tracker at " +
                             trackerHost + " tried port " + std::to_string(f.ListeningPort()) +
                             " of 127.0.0.1 (connection refused); port mapping is off."),
      f.lblReach->text());
  EXPECT_TRUE(f.lblPortMapping->text().isEmpty());
  EXPECT_TRUE(router.Requests().empty());
}

}  // namespace
