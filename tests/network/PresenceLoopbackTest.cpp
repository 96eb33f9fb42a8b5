// Registration, user search and IP detection against loopback peers: a
// scripted server that shows the exact bytes, and the tracker itself.
#include "net/ClientLimits.h"
#include "net/httpclient.h"
#include "network/ExternalIP.h"
#include "network/NetworkLimits.h"
#include "network/Presence.h"
#include "network/TrackerServer.h"
#include "network/UserSearch.h"
#include "support/LoopbackServer.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::time_t LocalTime(int year, int month, int day, int hour, int minute) {
  std::tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_isdst = -1;
  return std::mktime(&when);
}

}  // namespace

TEST(RegisterPresence, PostsTheWorkedExampleByteForByte) {
  TempFolder settings;
  TempFolder shared;
  for (int i = 0; i < 10; ++i) shared.Write("top" + std::to_string(i) + ".jpg");
  shared.Write("sub/a.txt");
  shared.Write("sub/deeper/b");
  shared.Write(".hidden/not-counted.jpg");  // folders beginning with "." are not walked

  TLoopbackServer tracker([](const TServedRequest&, TTcpBlockingSocket& conn) {
    SendRaw(conn, "HTTP/1.0 200 OK\r\n\r\nThank you\r\nabcdefg");
  });
  TPresenceSetup setup;
  setup.SettingsFolder = settings.Slash();
  setup.SharedFolder = shared.Slash();
  setup.UserName = "abcdefg";
  setup.TrackerHost = tracker.HostPort();
  setup.Now = LocalTime(2008, 6, 5, 17, 5);
  setup.Separators = {"/", ":"};
  std::vector<std::string> log;
  EXPECT_TRUE(RegisterPresence(setup, "http://203.0.113.5:3724",
                               [&log](const std::string& line) { log.push_back(line); }));
  EXPECT_EQ(std::vector<std::string>{"Thank you\r\nabcdefg"}, log);

  const auto requests = tracker.Requests();
  ASSERT_EQ(1u, requests.size());
  const TServedRequest& post = requests[0];
  EXPECT_EQ("POST /mirelo-share/public_network/receiver.php HTTP/1.0", post.RequestLine);
  const std::string type = post.Header("Content-Type");
  ASSERT_EQ(0u, type.find("multipart/form-data, boundary="));
  const std::string boundary = type.substr(std::string("multipart/form-data, boundary=").size());
  ASSERT_EQ(24u, boundary.size());
  EXPECT_EQ("_Mirelo_boundary", boundary.substr(8));
  const std::string expected =
      "--" + boundary + "\r\n" +
      "content-disposition: form-data; name=\"nume_fis\"; filename=\"usrpk070.$$$\"\r\n"
      "Content-Type: Application/octet-string\r\n"
      "\r\n"
      "abcdefg*http://203.0.113.5:3724*2008/06/05 17:05GMT +1*12*-*1*Tag1*Tag2*Tag3\r\n"
      "\r\n--" +
      boundary + "--\r\n";
  EXPECT_EQ(expected, post.Body);
  EXPECT_EQ(std::to_string(expected.size()), post.Header("Content-Length"));
  // The wire order: agent, then type, then length.
  EXPECT_LT(post.Head.find("User-Agent: "), post.Head.find("Content-Type: "));
  EXPECT_LT(post.Head.find("Content-Type: "), post.Head.find("Content-Length: "));

  // The temporary record file is gone again.
  EXPECT_FALSE(fs::exists(settings.Slash() + "usrpk070.$$$"));
}

TEST(RegisterPresence, RefusalsAndFailures) {
  TempFolder settings;
  TempFolder shared;
  std::atomic<int> served{0};
  TLoopbackServer tracker([&served](const TServedRequest&, TTcpBlockingSocket& conn) {
    ++served;
    SendRaw(conn, "HTTP/1.0 500 Oops\r\n\r\nError page");
  });
  TPresenceSetup setup;
  setup.SettingsFolder = settings.Slash();
  setup.SharedFolder = shared.Slash();
  setup.UserName = "abcdefg";
  setup.TrackerHost = tracker.HostPort();
  std::vector<std::string> log;
  const auto logTo = [&log](const std::string& line) { log.push_back(line); };

  // An address beginning with "192." only logs the refusal.
  EXPECT_FALSE(RegisterPresence(setup, "192.168.1.2", logTo));
  EXPECT_EQ(std::vector<std::string>{std::string(kLocalIpRefusal) + "192.168.1.2"}, log);
  EXPECT_EQ(0, served.load());

  // An error answer is logged as it comes.
  log.clear();
  EXPECT_TRUE(RegisterPresence(setup, "http://198.51.100.1:3724", logTo));
  EXPECT_EQ(std::vector<std::string>{"Error page"}, log);
  EXPECT_EQ(1, served.load());

  // No tracker: an empty entry, and the temporary file is still removed.
  TTcpBlockingSocket placeholder;
  placeholder.Bind("127.0.0.1", "0");
  setup.TrackerHost = "127.0.0.1:" + std::to_string(placeholder.LocalPort());
  log.clear();
  EXPECT_FALSE(RegisterPresence(setup, "http://198.51.100.1:3724", logTo));
  EXPECT_EQ(std::vector<std::string>{""}, log);
  EXPECT_FALSE(fs::exists(settings.Slash() + "usrpk070.$$$"));

  // A settings folder that is not there: nothing is sent, the caller hears of it.
  setup.SettingsFolder = settings.Slash() + "missing/";
  setup.TrackerHost = tracker.HostPort();
  EXPECT_THROW(RegisterPresence(setup, "http://198.51.100.1:3724", logTo), std::runtime_error);
  EXPECT_EQ(1, served.load());
}

class TrackerServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TTrackerOptions options;
    options.BindAddress = "127.0.0.1";
    options.Port = "0";
    options.MaxAgeSeconds = 15 * 60;
    options.Clock = [this] { return now_.load(); };
    server_ = std::make_unique<TTrackerServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(error)) << error;
    host_ = "127.0.0.1:" + std::to_string(server_->Port());
  }

  TPresenceSetup Setup(const std::string& user) const {
    TPresenceSetup setup;
    setup.SettingsFolder = settings_.Slash();
    setup.SharedFolder = shared_.Slash();
    setup.UserName = user;
    setup.TrackerHost = host_;
    setup.Now = LocalTime(2008, 6, 5, 17, 5);
    setup.Separators = {"/", ":"};
    return setup;
  }

  std::atomic<std::time_t> now_{1000000};
  TempFolder settings_;
  TempFolder shared_;
  std::unique_ptr<TTrackerServer> server_;
  std::string host_;
};

TEST_F(TrackerServerTest, RegisteredUsersAreListedNewestFirstAndExpire) {
  std::vector<std::string> log;
  const auto logTo = [&log](const std::string& line) { log.push_back(line); };
  ASSERT_TRUE(RegisterPresence(Setup("first-user"), "http://198.51.100.1:3724", logTo));
  now_ += 60;
  ASSERT_TRUE(RegisterPresence(Setup("second-user"), "http://198.51.100.2:3724", logTo));
  EXPECT_EQ((std::vector<std::string>{"Registered: first-user", "Registered: second-user"}), log);

  auto rows = SearchUsers(host_);
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("second-user", rows[0].UserName);
  EXPECT_EQ("http://198.51.100.2:3724", rows[0].UserIp);
  EXPECT_EQ("2008/06/05 17:05GMT +1", rows[0].PresentAt);
  EXPECT_EQ("0", rows[0].SharedFiles);
  EXPECT_EQ("first-user", rows[1].UserName);

  // The first user posts again with a new address: still one line each.
  now_ += 60;
  ASSERT_TRUE(RegisterPresence(Setup("first-user"), "http://198.51.100.9:3724", logTo));
  rows = SearchUsers(host_);
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("first-user", rows[0].UserName);
  EXPECT_EQ("http://198.51.100.9:3724", rows[0].UserIp);

  // After the maximum age only the newer line is left.
  now_ += 15 * 60 - 60 + 1;
  rows = SearchUsers(host_);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("first-user", rows[0].UserName);
}

TEST_F(TrackerServerTest, RefusesBadRecordsWithAShortAnswer) {
  std::vector<std::string> answer;
  std::istringstream twoLines("aaaaaaa*b*c*d*e*f*g*h*i\r\nbbbbbbb*b*c*d*e*f*g*h*i\r\n");
  EXPECT_TRUE(
      PostFile(host_ + kReceiverPath, kPresenceFieldName, kPresenceFileName, answer, twoLines));
  ASSERT_EQ(1u, answer.size());
  EXPECT_EQ(0u, answer[0].find("Refused: "));

  std::istringstream tooLong(std::string(NetworkLimits::kMaxRecordBytes, 'a') + "*b*c*d*e*f*g*h*i");
  EXPECT_TRUE(
      PostFile(host_ + kReceiverPath, kPresenceFieldName, kPresenceFileName, answer, tooLong));
  EXPECT_EQ(0u, answer.at(0).find("Refused: "));

  // A time-zone text with a "*" makes a tenth field.
  std::vector<std::string> log;
  TPresenceSetup setup = Setup("star-user");
  setup.TimeZoneText = "GMT*1";
  ASSERT_TRUE(RegisterPresence(setup, "http://198.51.100.3:3724",
                               [&log](const std::string& line) { log.push_back(line); }));
  EXPECT_EQ(0u, log.at(0).find("Refused: "));
  EXPECT_TRUE(SearchUsers(host_).empty());

  // A post far beyond the tracker's size is refused before it is read.
  THttpClient client;
  client.Body.Write(std::string(NetworkLimits::kMaxTrackerPostBytes + 1, 'x'));
  EXPECT_TRUE(client.Request("POST", host_ + kReceiverPath));
  EXPECT_EQ(413, client.StatusCode);
}

TEST_F(TrackerServerTest, EchoPageGivesTheCallersAddress) {
  EXPECT_EQ("127.0.0.1", GetExternalIp(host_));
  THttpClient client;
  ASSERT_TRUE(client.Request("GET", host_ + "/nothing-here"));
  EXPECT_EQ(404, client.StatusCode);
}

TEST(GetExternalIp, ReadsTheAddressFromTheEchoPage) {
  struct Case {
    const char* name;
    std::string response;
    const char* address;
  };
  const Case cases[] = {
      {"html",
       "HTTP/1.0 200 OK\r\n\r\n<html><head><title>Current IP Check</title></head>"
       "<BODY>Current IP Address: 203.0.113.5</body></html>\r\n",
       "203.0.113.5"},
      {"plain text", "HTTP/1.0 200 OK\r\n\r\n198.51.100.7\n", "198.51.100.7"},
      {"with a date", "HTTP/1.0 200 OK\r\n\r\n<body>1.2.3.4 on 2008-06-05</body>",
       "1.2.3.420080605"},
      {"no digits", "HTTP/1.0 200 OK\r\n\r\n<body>busy</body>", "<unknown>"},
      {"cut off", "HTTP/1.0 200 OK\r\nContent-Length: 99\r\n\r\n<body>1.2.3.4", "<unknown>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TLoopbackServer server(
        [&c](const TServedRequest&, TTcpBlockingSocket& conn) { SendRaw(conn, c.response); });
    EXPECT_EQ(c.address, GetExternalIp(server.HostPort()));
    EXPECT_EQ("GET / HTTP/1.0", server.Requests().at(0).RequestLine);
  }
  TTcpBlockingSocket placeholder;
  placeholder.Bind("127.0.0.1", "0");
  EXPECT_EQ("<unknown>", GetExternalIp("127.0.0.1:" + std::to_string(placeholder.LocalPort())));
}
