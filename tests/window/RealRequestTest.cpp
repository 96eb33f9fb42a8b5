// Real requests on a socket while the window shares: connection rows appear
// and go, and the log gets one line per remaining entry at every report.
#include "WindowFixture.h"

#include "base/UniqueFd.h"

#include <QAbstractItemModel>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

UniqueFd Connect(int port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  return fd;
}

// Sends a request and reads the answer until the server closes.
std::string Exchange(const UniqueFd& fd, const std::string& request) {
  send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd.get(), buffer, sizeof buffer, 0)) > 0) answer.append(buffer, size_t(n));
  return answer;
}

class RealRequestTest : public WindowFixture {
 protected:
  TFrmMain& StartShared() {
    WriteSettings("[Internet]\r\nPort=0\r\n");
    EXPECT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
    TFrmMain& f = Create();
    f.SetBindAddress("127.0.0.1");
    f.actShare->trigger();
    EXPECT_TRUE(f.Sharing());
    EXPECT_GT(f.ListeningPort(), 0);
    QObject::connect(f.lstConnect->model(), &QAbstractItemModel::rowsInserted,
                     [this, &f] { maxRows = std::max(maxRows, f.lstConnect->rowCount()); });
    logStart = f.Log->blockCount();
    return f;
  }
  void SpinUntil(const std::atomic<bool>& flag) {
    while (!flag) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  QStringList NewLogLines(TFrmMain& f) { return f.Log->toPlainText().split('\n').mid(logStart); }
  int maxRows = 0;
  int logStart = 0;
};

TEST_F(RealRequestTest, OneRequestAddsAndRemovesItsRow) {
  TFrmMain& f = StartShared();
  std::atomic<bool> done{false};
  std::string answer;
  std::thread browser([&] {
    UniqueFd fd = Connect(f.ListeningPort());
    answer = Exchange(fd, "GET / HTTP/1.0\r\n\r\n");
    done = true;
  });
  SpinUntil(done);
  browser.join();
  // The worker's last report arrives after the connection closed.
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.lstConnect->rowCount() == 0; }, 10000));
  EXPECT_EQ(0, answer.rfind("HTTP/1.0 200", 0)) << answer.substr(0, 80);
  EXPECT_EQ(1, maxRows);
  EXPECT_EQ(0, f.lstConnect->rowCount());
  const QStringList lines = NewLogLines(f);
  ASSERT_FALSE(lines.isEmpty());
  EXPECT_EQ("IP: 127.0.0.1\t Op: Connecting...", lines[0]);
  for (const QString& line : lines) EXPECT_TRUE(line.startsWith("IP: 127.0.0.1\t Op: "));
}

TEST_F(RealRequestTest, TwoConnectionsFromOneAddressShareARow) {
  TFrmMain& f = StartShared();
  std::atomic<bool> bothOpen{false}, go{false}, firstDone{false}, release{false}, secondDone{false};
  std::thread browser([&] {
    UniqueFd one = Connect(f.ListeningPort());
    UniqueFd two = Connect(f.ListeningPort());
    bothOpen = true;
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Exchange(one, "GET / HTTP/1.0\r\n\r\n");
    firstDone = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Exchange(two, "GET / HTTP/1.0\r\n\r\n");
    secondDone = true;
  });
  SpinUntil(bothOpen);
  // Both workers have reported "Connecting...": one entry, so one line each.
  EXPECT_TRUE(QTest::qWaitFor([&] { return NewLogLines(f).size() >= 2; }, 10000));
  EXPECT_EQ(QStringList({"IP: 127.0.0.1\t Op: Connecting...", "IP: 127.0.0.1\t Op: Connecting..."}),
            NewLogLines(f));
  EXPECT_EQ(1, f.lstConnect->rowCount());
  go = true;
  SpinUntil(firstDone);
  // The first "-1" from the address removes the shared row while the second
  // connection is still open.
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.lstConnect->rowCount() == 0; }, 10000));
  EXPECT_EQ(0, f.lstConnect->rowCount());
  EXPECT_EQ(1, maxRows);
  release = true;
  SpinUntil(secondDone);
  browser.join();
  QTest::qWait(200);
  EXPECT_EQ(1, maxRows);
  EXPECT_EQ(0, f.lstConnect->rowCount());
  // Stopping while nothing runs, then closing, leaves no worker behind.
  f.FormDestroy();
  EXPECT_FALSE(f.Sharing());
}

}  // namespace
