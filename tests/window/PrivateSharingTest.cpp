// "Private sharing" and "New key" in the window against its real listener on
// loopback, and what reaches the tracker while sharing privately.
#include "WindowFixture.h"

#include "net/tcpsocket.h"
#include "server/PrivateShare.h"
#include "shell/AppSettings.h"
#include "shell/StatusBoard.h"
#include "support/LoopbackServer.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>

#include <atomic>
#include <thread>

namespace {

// The whole answer to one request to the window's listener. The request
// runs beside the window thread, which carries out the worker's reports.
std::string Ask(int port, const std::string& request) {
  std::atomic<bool> done{false};
  std::string answer;
  std::thread browser([&] {
    TTcpBlockingSocket client;
    client.Connect("127.0.0.1", std::to_string(port));
    if (client.LastErrorCode() == 0) {
      client.SendText(request);
      for (std::string line = client.ReceiveLine(5000); client.LastErrorCode() == 0;
           line = client.ReceiveLine(5000)) {
        answer += line + "\n";
      }
    }
    done = true;
  });
  while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  browser.join();
  return answer;
}

std::string Status(int port, const std::string& request) {
  const std::string answer = Ask(port, request);
  return answer.substr(0, answer.find('\n'));
}

std::string WithCookie(const std::string& key) {
  return "GET / HTTP/1.0\r\nCookie: " + std::string(kShareKeyCookie) + "=" + key + "\r\n\r\n";
}

std::string WithPassword(const std::string& key, const std::string& target) {
  const QByteArray pair = QByteArray("anyone:") + QByteArray::fromStdString(key);
  return "GET " + target + " HTTP/1.0\r\nAuthorization: Basic " + pair.toBase64().toStdString() +
         "\r\n\r\n";
}

const char kOpen[] = "GET / HTTP/1.0\r\n\r\n";

class PrivateSharingTest : public WindowFixture {
 protected:
  AppSettings Saved() const { return LoadSettings(SettingsFile(), work); }
  std::string Composed(TFrmMain& f) const {
    return ComposeWebAddress(f.edtAdr->text().toStdString(), f.spnPort->value());
  }
};

TEST_F(PrivateSharingTest, TheBoxGatesTheShareAndNewKeyStopsOldLinksAtOnce) {
  WriteSettings("[Internet]\r\nPort=0\r\n");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.SetBindAddress("127.0.0.1");
  f.CompleteStartUp(true);
  ASSERT_FALSE(f.Sharing());

  // Ticked: a key is made and kept, and every address handed out carries it.
  f.chkPrivate->click();
  EXPECT_TRUE(f.btnNewKey->isEnabled());
  ASSERT_TRUE(Saved().PrivateSharing);
  const std::string key = Saved().PrivateKey;
  ASSERT_TRUE(IsShareKey(key)) << key;
  EXPECT_EQ(Composed(f) + "/?key=" + key, f.edtWebAdr->text().toStdString());
  EXPECT_TRUE(f.mmoBody->toPlainText().contains(f.edtWebAdr->text()));

  f.actShare->trigger();
  ASSERT_TRUE(f.Sharing());
  const int port = f.ListeningPort();
  const std::string refused = Ask(port, kOpen);
  EXPECT_EQ("HTTP/1.0 403", refused.substr(0, refused.find('\n')));
  EXPECT_NE(std::string::npos, refused.find("This share is private"));
  const std::string visit = Ask(port, "GET /?key=" + key + " HTTP/1.0\r\n\r\n");
  EXPECT_EQ(0u, visit.find("HTTP/1.0 303")) << visit;
  EXPECT_NE(std::string::npos, visit.find("Set-Cookie: mirelo_key=" + key)) << visit;
  EXPECT_EQ("HTTP/1.0 200", Status(port, WithCookie(key)));
  EXPECT_EQ("HTTP/1.0 200", Status(port, WithPassword(key, "/")));

  // "New key" while sharing: the same listener refuses the old key at once.
  f.btnNewKey->click();
  ASSERT_TRUE(f.Sharing());
  EXPECT_EQ(port, f.ListeningPort());
  const std::string newKey = Saved().PrivateKey;
  ASSERT_TRUE(IsShareKey(newKey));
  EXPECT_NE(key, newKey);
  EXPECT_EQ(Composed(f) + "/?key=" + newKey, f.edtWebAdr->text().toStdString());
  EXPECT_EQ("HTTP/1.0 403", Status(port, WithCookie(key)));
  EXPECT_EQ("HTTP/1.0 403", Status(port, WithPassword(key, "/")));
  EXPECT_EQ("HTTP/1.0 403", Status(port, "GET /?key=" + key + " HTTP/1.0\r\n\r\n"));
  EXPECT_EQ("HTTP/1.0 200", Status(port, WithCookie(newKey)));

  // Unticked while sharing: the share opens again, the address loses its key
  // and the key is kept for next time.
  f.chkPrivate->click();
  ASSERT_TRUE(f.Sharing());
  EXPECT_FALSE(f.btnNewKey->isEnabled());
  EXPECT_EQ(Composed(f), f.edtWebAdr->text().toStdString());
  EXPECT_EQ("HTTP/1.0 200", Status(f.ListeningPort(), kOpen));
  EXPECT_FALSE(Saved().PrivateSharing);
  EXPECT_EQ(newKey, Saved().PrivateKey);

  // Ticked again while sharing: private at once, with the kept key.
  f.chkPrivate->click();
  ASSERT_TRUE(f.Sharing());
  EXPECT_EQ("HTTP/1.0 403", Status(f.ListeningPort(), kOpen));
  EXPECT_EQ("HTTP/1.0 200", Status(f.ListeningPort(), WithCookie(newKey)));
}

TEST_F(PrivateSharingTest, ASettingsFileThatSharesPrivatelyIsFollowedFromTheStart) {
  const std::string key = NewShareKey();
  struct Case {
    std::string stored;  // the key in the file
    bool keptAsIs;
  };
  const Case cases[] = {{key, true}, {"", false}, {"short", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    WriteSettings("[Internet]\r\nPort=0\r\n[Private]\r\nPrivateSharing=1\r\nKey=" + c.stored +
                  "\r\n");
    TFrmMain& f = Create();
    f.SetBindAddress("127.0.0.1");
    EXPECT_TRUE(f.chkPrivate->isChecked());
    EXPECT_TRUE(f.btnNewKey->isEnabled());
    f.CompleteStartUp(false);
    ASSERT_TRUE(f.Sharing());
    // The key actually used is the one saved when sharing started.
    const std::string used = Saved().PrivateKey;
    ASSERT_TRUE(IsShareKey(used)) << used;
    EXPECT_EQ(c.keptAsIs, used == c.stored);
    EXPECT_TRUE(f.edtWebAdr->text().endsWith(QString::fromStdString("/?key=" + used)));
    EXPECT_EQ("HTTP/1.0 403", Status(f.ListeningPort(), kOpen));
    EXPECT_EQ("HTTP/1.0 200", Status(f.ListeningPort(), WithCookie(used)));
    form.reset();
  }
}

// With a global IPv6 address the second web address under the first carries
// the key too, and follows "New key".
TEST_F(PrivateSharingTest, TheIPv6AddressCarriesTheKey) {
  WriteSettings("[Internet]\r\nPort=0\r\n");
  TFrmMain& f = Create();
  f.SetInterfaceLister([] {
    TInterfaceAddress global;
    global.Up = true;
    global.Address = "2a00::5";  // a global address: shown, never contacted
    return std::vector<TInterfaceAddress>{global};
  });
  f.chkPrivate->click();
  f.actShare->trigger();
  ASSERT_TRUE(f.Sharing());
  const std::string port = std::to_string(f.ListeningPort());
  EXPECT_EQ("Over IPv6: http://[2a00::5]:" + port + "/?key=" + Saved().PrivateKey,
            f.lblWebAdr6->text().toStdString());
  f.btnNewKey->click();
  EXPECT_EQ("Over IPv6: http://[2a00::5]:" + port + "/?key=" + Saved().PrivateKey,
            f.lblWebAdr6->text().toStdString());
}

// The tracker is asked twice while sharing privately Internet-wide: the
// reachability check when sharing starts, and the presence record on "Send
// IP". Neither carries the key.
TEST_F(PrivateSharingTest, NeitherThePresenceRecordNorTheReachCheckCarriesTheKey) {
  TLoopbackServer tracker([](const TServedRequest&, TTcpBlockingSocket& conn) {
    SendRaw(conn, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\r\n");
  });
  const std::string key = NewShareKey();
  keepNetworkHosts = true;
  WriteSettings(
      "[Internet]\r\nPort=0\r\nradIntern=0\r\n[Private]\r\nPrivateSharing=1\r\nKey=" + key +
      "\r\n[Network]\r\nIpEchoHost=127.0.0.1:1\r\nTrackerHost=" + tracker.HostPort() + "\r\n");
  StoreName("Private Tester");
  TFrmMain& f = Create();
  f.SetBindAddress("127.0.0.1");
  f.radExtern->setChecked(true);
  f.edtAdr->setText("127.0.0.1");
  f.actShare->trigger();
  ASSERT_TRUE(f.Sharing());
  for (int i = 0; i < 1500 && f.lblReach->text().isEmpty(); ++i) QTest::qWait(20);
  EXPECT_FALSE(f.lblReach->text().isEmpty());
  ASSERT_TRUE(f.edtWebAdr->text().endsWith(QString::fromStdString("/?key=" + key)));
  f.btnSendIP->click();

  const std::vector<TServedRequest> requests = tracker.Requests();
  bool reach = false, presence = false;
  for (const TServedRequest& r : requests) {
    SCOPED_TRACE(r.RequestLine);
    reach = reach || r.RequestLine.find("/.mirelo/reach?port=") != std::string::npos;
    if (r.RequestLine.find("receiver.php") != std::string::npos) {
      presence = true;
      // The record names the share by its address without the key.
      EXPECT_NE(std::string::npos, r.Body.find(f.PresenceAddress().toStdString() + "*")) << r.Body;
    }
    EXPECT_EQ(std::string::npos, r.Head.find(key));
    EXPECT_EQ(std::string::npos, r.Body.find(key));
    EXPECT_EQ(std::string::npos, r.Head.find("key=")) << r.Head;
    EXPECT_EQ(std::string::npos, r.Body.find("key=")) << r.Body;
  }
  EXPECT_TRUE(reach);
  EXPECT_TRUE(presence);
}

}  // namespace
