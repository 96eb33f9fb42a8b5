// The public network end to end: the tracker program, and headless programs
// that register with it and list its users, all as processes on loopback.
#include "net/httpclient.h"
#include "network/Presence.h"
#include "network/UserSearch.h"
#include "network/e2e/ChildProcess.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

namespace {

const std::string kTracker = std::string(MIRELO_BINARY_DIR) + "/mirelo-tracker";

// The port in a printed address "http://host:port/", or 0.
int PortOf(const std::string& line) {
  std::smatch m;
  static const std::regex shape(R"(^http://[^:/]+:([0-9]+)/$)");
  return std::regex_match(line, m, shape) ? std::stoi(m[1]) : 0;
}

}  // namespace

TEST(TrackerProgram, ServesPostsAndTheListUntilTerminated) {
  TChildProcess tracker(kTracker, {"--bind", "127.0.0.1", "--port", "0", "--max-age", "5"});
  ASSERT_TRUE(tracker.Started());
  const std::string first = tracker.ReadLine(10000);
  const int port = PortOf(first);
  ASSERT_NE(0, port) << first;
  EXPECT_EQ(0u, first.find("http://127.0.0.1:"));
  const std::string host = "127.0.0.1:" + std::to_string(port);

  std::vector<std::string> answer;
  std::istringstream record("someone*http://198.51.100.4:3724*t*3*-*1*Tag1*Tag2*Tag3\r\n");
  ASSERT_TRUE(
      PostFile(host + kReceiverPath, kPresenceFieldName, kPresenceFileName, answer, record));
  EXPECT_EQ(std::vector<std::string>{"Registered: someone"}, answer);
  const auto rows = SearchUsers(host);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("http://198.51.100.4:3724", rows[0].UserIp);

  EXPECT_EQ(0, tracker.Terminate(10000)) << tracker.Output();
}

TEST(TrackerProgram, RefusesBadOptions) {
  struct Case {
    std::vector<std::string> args;
    int code;
  };
  const Case cases[] = {
      {{"--port", "70000"}, 2}, {{"--max-age", "0"}, 2}, {{"--max-age", "ten"}, 2},
      {{"--frobnicate"}, 2},    {{"--help"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    TChildProcess tracker(kTracker, c.args);
    EXPECT_EQ(c.code, tracker.WaitExit(10000));
    const char* expected = c.code == 0 ? "usage: mirelo-tracker" : "mirelo-tracker: ";
    EXPECT_NE(std::string::npos, tracker.Output().find(expected)) << tracker.Output();
  }
}
