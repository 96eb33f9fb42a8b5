// The public network end to end: the tracker program, and headless programs
// that register with it and list its users, all as processes on loopback.
#include "net/httpclient.h"
#include "network/Presence.h"
#include "network/UserSearch.h"
#include "network/e2e/ChildProcess.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

const std::string kTracker = std::string(MIRELO_BINARY_DIR) + "/mirelo-tracker";
const std::string kProgram = std::string(MIRELO_BINARY_DIR) + "/mirelo-share";
constexpr int kWaitMs = 60000;  // a guard against hanging, not a speed goal

namespace fs = std::filesystem;

// One user's machine: its own home, XDG folders, working folder and pictures.
class TUserMachine {
 public:
  TUserMachine(const fs::path& root, const std::string& name, const std::string& trackerHost)
      : root_(root / name) {
    fs::create_directories(root_ / "work" / "system");
    fs::create_directories(root_ / "pics" / "sub");
    for (const char* f : {"a.jpg", "b.png", "sub/c.txt"}) std::ofstream(root_ / "pics" / f) << "x";
    // The tracker serves as the IP-echo host as well.
    std::ofstream(root_ / "work" / "system" / "Mirelo.INI", std::ios::binary)
        << "[Network]\r\nIpEchoHost=" << trackerHost << "\r\nTrackerHost=" << trackerHost << "\r\n";
  }

  // Runs the headless program with the machine's folders until it ends.
  int Run(const std::vector<std::string>& extra, std::string& output) const {
    std::vector<std::string> args = {"--headless", "--workdir", (root_ / "work").string(),
                                     "--folder", (root_ / "pics").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    TChildProcess program(
        kProgram, args,
        {"HOME=" + (root_ / "home").string(), "XDG_CONFIG_HOME=" + (root_ / "config").string(),
         "XDG_DATA_HOME=" + (root_ / "data").string(), "XDG_RUNTIME_DIR=" + root_.string(),
         "LC_ALL=C"});
    const int code = program.WaitExit(kWaitMs);
    output = program.Output();
    return code;
  }

 private:
  fs::path root_;
};

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

TEST(TrackerProgram, PortZeroOnEveryInterfacePicksAFreePort) {
  TChildProcess tracker(kTracker, {"--port", "0"});
  ASSERT_TRUE(tracker.Started());
  const std::string first = tracker.ReadLine(10000);
  const int port = PortOf(first);
  ASSERT_NE(0, port) << first << tracker.Output();
  // It serves on loopback too.
  const auto rows = SearchUsers("127.0.0.1:" + std::to_string(port));
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(0, tracker.Terminate(10000)) << tracker.Output();

  // A port in use is refused in words, with its number.
  TChildProcess holder(kTracker, {"--bind", "127.0.0.1", "--port", "0"});
  const int held = PortOf(holder.ReadLine(10000));
  ASSERT_NE(0, held);
  TChildProcess refused(kTracker, {"--bind", "127.0.0.1", "--port", std::to_string(held)});
  EXPECT_EQ(1, refused.WaitExit(10000));
  EXPECT_NE(std::string::npos,
            refused.Output().find("Cannot listen on 127.0.0.1 port " + std::to_string(held) +
                                  ": the port is already in use (socket error 10048)"))
      << refused.Output();
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

TEST(PublicNetwork, TwoHeadlessProgramsRegisterAndListEachOther) {
  const TempFolder temp;
  const fs::path& root = temp.Path();

  TChildProcess tracker(kTracker, {"--bind", "127.0.0.1", "--port", "0"});
  const int trackerPort = PortOf(tracker.ReadLine(10000));
  ASSERT_NE(0, trackerPort) << tracker.Output();
  const std::string host = "127.0.0.1:" + std::to_string(trackerPort);

  const TUserMachine first(root, "first", host);
  const TUserMachine second(root, "second", host);
  std::string out;
  ASSERT_EQ(0, first.Run({"--external", "--no-port-mapping", "--port", "41001", "--user",
                          "first-user", "--send-ip"},
                         out))
      << out;
  EXPECT_NE(std::string::npos, out.find("Mirelo File Share - Connecting to the network...")) << out;
  EXPECT_NE(std::string::npos, out.find("Registered: first-user")) << out;
  ASSERT_EQ(0, second.Run({"--external", "--no-port-mapping", "--port", "41002", "--user",
                           "second-user", "--send-ip"},
                          out))
      << out;
  EXPECT_NE(std::string::npos, out.find("Registered: second-user")) << out;

  // Either machine lists both, the newest first, with the addresses the echo
  // page gave them and the count of their shared files.
  for (const TUserMachine* machine : {&first, &second}) {
    ASSERT_EQ(0, machine->Run({"--list-users"}, out)) << out;
    const auto newer = out.find("second-user\thttp://127.0.0.1:41002\t");
    const auto older = out.find("first-user\thttp://127.0.0.1:41001\t");
    EXPECT_NE(std::string::npos, newer) << out;
    EXPECT_NE(std::string::npos, older) << out;
    EXPECT_LT(newer, older) << out;
    EXPECT_NE(std::string::npos, out.find("GMT +1\t3\t-\t1")) << out;
  }

  // The internal server type is refused before anything is sent.
  ASSERT_EQ(1, first.Run({"--internal", "--no-port-mapping", "--send-ip"}, out)) << out;
  EXPECT_NE(std::string::npos,
            out.find("Can't connect to Mirelo Share network because the program is configured "
                     "to use a local IP: http://"))
      << out;

  EXPECT_EQ(0, tracker.Terminate(10000)) << tracker.Output();
}
