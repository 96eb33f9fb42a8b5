// "Send IP", "Search for users" and address detection from the window, against
// the tracker on loopback; the window keeps painting while a step runs.
#include "WindowFixture.h"

#include "base/UniqueFd.h"
#include "network/Presence.h"
#include "network/TrackerServer.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class NetworkStepsTest : public WindowFixture {
 protected:
  void StartTracker() {
    TTrackerOptions options;
    options.BindAddress = "127.0.0.1";
    options.Port = "0";
    tracker = std::make_unique<TTrackerServer>(options);
    std::string error;
    ASSERT_TRUE(tracker->Start(error)) << error;
    host = "127.0.0.1:" + std::to_string(tracker->Port());
  }
  void TearDown() override {
    WindowFixture::TearDown();
    if (tracker) tracker->Stop();
  }
  std::unique_ptr<TTrackerServer> tracker;
  std::string host;
};

TEST_F(NetworkStepsTest, RegisterThenFindOurselves) {
  StartTracker();
  keepNetworkHosts = true;
  WriteSettings("[Network]\r\nTrackerHost=" + host + "\r\nIpEchoHost=" + host + "\r\n");
  StoreName("Window Tester");
  TFrmMain& f = Create();
  f.show();
  f.CompleteStartUp(true);
  // Internal: both buttons only log the refusal.
  const std::string refusal = kLocalIpRefusal + f.edtWebAdr->text().toStdString();
  f.btnSendIP->click();
  f.btnSearch->click();
  QStringList log = f.Log->toPlainText().split('\n');
  EXPECT_EQ(QString::fromStdString(refusal), log[log.size() - 2]);
  EXPECT_EQ(QString::fromStdString(refusal), log.last());
  EXPECT_EQ(0, f.lstUsers->rowCount());

  // External: the address comes from the echo page, then the record goes up.
  f.radExtern->click();
  EXPECT_EQ("127.0.0.1", f.edtAdr->text());
  f.btnSendIP->click();
  log = f.Log->toPlainText().split('\n');
  EXPECT_TRUE(log.contains(kConnectingCaption));
  EXPECT_TRUE(f.windowTitle().startsWith("Mirelo File Share v"));

  f.btnSearch->click();
  ASSERT_EQ(1, f.lstUsers->rowCount());
  EXPECT_EQ("Window Tester", f.lstUsers->item(0, 0)->text());
  EXPECT_EQ("http://127.0.0.1:3724", f.lstUsers->item(0, 1)->text());
  EXPECT_TRUE(f.lstUsers->item(0, 2)->text().endsWith("GMT +1"));
  EXPECT_EQ("-", f.lstUsers->item(0, 4)->text());
  EXPECT_EQ("1", f.lstUsers->item(0, 5)->text());
  f.btnSearch->click();  // listed again from scratch
  EXPECT_EQ(1, f.lstUsers->rowCount());
  emit f.lstUsers->cellDoubleClicked(0, 0);
  ASSERT_FALSE(opened.empty());
  EXPECT_EQ("http://127.0.0.1:3724", opened.back());
  const size_t count = opened.size();
  f.lstUsersDblClick(5);  // below the last row
  EXPECT_EQ(count, opened.size());
}

TEST_F(NetworkStepsTest, EmptyAddressIsRefusedWithAMessage) {
  WriteSettings("[Internet]\r\nradIntern=0\r\n");
  TFrmMain& f = Create();
  f.radExtern->setChecked(true);
  f.edtWebAdr->setText("");
  f.btnSendIP->click();
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("Cannot determine external IP", messages[0].text);
}

// A tracker that accepts and answers nothing for a while.
class SlowPeer {
 public:
  SlowPeer() {
    fd_ = UniqueFd(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_.get(), 8);
    socklen_t len = sizeof a;
    getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      UniqueFd peer(accept(fd_.get(), nullptr, nullptr));
      ++accepted_;
      std::this_thread::sleep_for(std::chrono::milliseconds(600));
    });
  }
  ~SlowPeer() {
    shutdown(fd_.get(), SHUT_RDWR);
    thread_.join();
  }
  int Port() const { return port_; }
  int Accepted() const { return accepted_; }

 private:
  UniqueFd fd_;
  int port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

TEST_F(NetworkStepsTest, WindowKeepsPaintingAndIgnoresASecondClick) {
  SlowPeer peer;
  keepNetworkHosts = true;
  WriteSettings("[Internet]\r\nradIntern=0\r\n[Network]\r\nTrackerHost=127.0.0.1:" +
                std::to_string(peer.Port()) + "\r\n");
  TFrmMain& f = Create();
  f.radExtern->setChecked(true);
  f.edtAdr->setText("192.0.2.1");
  f.lstUsers->setRowCount(3);
  int ticks = 0;
  bool busySeen = false;
  QTimer timer;
  timer.setInterval(20);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    ++ticks;
    if (f.NetworkBusy()) {
      busySeen = true;
      f.btnSearch->click();  // a second click while the search runs does nothing
    }
  });
  timer.start();
  f.btnSearch->click();
  timer.stop();
  EXPECT_GE(ticks, 5);  // the event loop ran while the search waited
  EXPECT_TRUE(busySeen);
  EXPECT_FALSE(f.NetworkBusy());
  EXPECT_EQ(1, peer.Accepted());
  EXPECT_EQ(0, f.lstUsers->rowCount());  // a failed download empties the table
}

}  // namespace
