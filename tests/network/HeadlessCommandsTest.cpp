// The headless program's network commands: the refusals, what they log and
// the user table they print.
#include "base/Messages.h"
#include "network/HeadlessCommands.h"
#include "network/Presence.h"
#include "support/LoopbackServer.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>

namespace {

struct TCapture {
  std::vector<std::string> log;
  std::vector<std::string> table;
  std::vector<std::string> errors;
  TLogLine Log() {
    return [this](const std::string& l) { log.push_back(l); };
  }
  TLogLine Table() {
    return [this](const std::string& l) { table.push_back(l); };
  }
};

class HeadlessCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessageDisplay([this](MessageKind kind, const std::string& text) {
      if (kind == MessageKind::Error) capture_.errors.push_back(text);
    });
    setup_.SettingsFolder = folder_.Slash();
    setup_.SharedFolder = folder_.Path().string();
    setup_.UserName = "tester1";
    setup_.WebAddress = "http://198.51.100.1:3724";
  }
  void TearDown() override { SetMessageDisplay(nullptr); }

  TempFolder folder_;
  TNetworkCommandSetup setup_;
  TCapture capture_;
};

}  // namespace

TEST_F(HeadlessCommands, SendIpRefusesBeforeSending) {
  std::atomic<int> served{0};
  TLoopbackServer tracker([&served](const TServedRequest&, TTcpBlockingSocket& conn) {
    ++served;
    SendRaw(conn, "HTTP/1.0 200 OK\r\n\r\nfine");
  });
  setup_.TrackerHost = tracker.HostPort();

  setup_.InternalAddress = true;
  EXPECT_EQ(1, RunSendIp(setup_, capture_.Log()));
  EXPECT_EQ(std::vector<std::string>{std::string(kLocalIpRefusal) + "http://198.51.100.1:3724"},
            capture_.log);

  setup_.InternalAddress = false;
  setup_.WebAddress = "";
  capture_.log.clear();
  EXPECT_EQ(1, RunSendIp(setup_, capture_.Log()));
  EXPECT_TRUE(capture_.log.empty());
  EXPECT_EQ(std::vector<std::string>{"Cannot determine external IP"}, capture_.errors);
  EXPECT_EQ(0, served.load());

  setup_.WebAddress = "http://198.51.100.1:3724";
  EXPECT_EQ(0, RunSendIp(setup_, capture_.Log()));
  EXPECT_EQ((std::vector<std::string>{"Mirelo File Share - Connecting to the network...", "fine"}),
            capture_.log);
  EXPECT_EQ(1, served.load());
}

TEST_F(HeadlessCommands, SendIpReportsAnUnwritableRecordFile) {
  TLoopbackServer tracker([](const TServedRequest&, TTcpBlockingSocket& conn) {
    SendRaw(conn, "HTTP/1.0 200 OK\r\n\r\nfine");
  });
  setup_.TrackerHost = tracker.HostPort();
  setup_.SettingsFolder = folder_ / "no/such/folder/";
  EXPECT_EQ(1, RunSendIp(setup_, capture_.Log()));
  ASSERT_EQ(1u, capture_.errors.size());
  EXPECT_NE(std::string::npos, capture_.errors[0].find("usrpk070.$$$"));
  EXPECT_TRUE(tracker.Requests().empty());
}

TEST_F(HeadlessCommands, ListUsersPrintsTheTableNewestFirst) {
  TLoopbackServer tracker([](const TServedRequest&, TTcpBlockingSocket& conn) {
    SendRaw(conn,
            "HTTP/1.0 200 OK\r\n\r\n"
            "older-user*http://198.51.100.1:1*t1*4*-*1*Tag1*Tag2*Tag3\r\n"
            "broken*line\r\n"
            "newer-user*http://198.51.100.2:2*t2*5*-*1*Tag1*Tag2*Tag3\r\n");
  });
  setup_.TrackerHost = tracker.HostPort();
  EXPECT_EQ(0, RunListUsers(setup_, capture_.Table(), capture_.Log()));
  EXPECT_EQ((std::vector<std::string>{
                "UserName\tUser IP\tPresent online at\tShared files\tShare size (MB)\tShare ration",
                "newer-user\thttp://198.51.100.2:2\tt2\t5\t-\t1",
                "older-user\thttp://198.51.100.1:1\tt1\t4\t-\t1"}),
            capture_.table);
  EXPECT_EQ("GET /mirelo-share/public_network/usrpk070.$$$ HTTP/1.0",
            tracker.Requests().at(0).RequestLine);

  capture_.table.clear();
  setup_.InternalAddress = true;
  EXPECT_EQ(1, RunListUsers(setup_, capture_.Table(), capture_.Log()));
  EXPECT_TRUE(capture_.table.empty());
  EXPECT_EQ(std::vector<std::string>{std::string(kLocalIpRefusal) + "http://198.51.100.1:3724"},
            capture_.log);
  EXPECT_EQ(1u, tracker.Requests().size());
}
