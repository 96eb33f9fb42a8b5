// Tests of the log file and the connection board with its address texts.
#include "base/OrvelTPU.h"
#include "shell/LogFile.h"
#include "shell/StatusBoard.h"

#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

namespace {

// Noon-ish local times are built from a broken-down time, so the test does
// not depend on the machine's time zone.
std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TEST(RunDateTime, ClassicLocaleUsesTheUsForms) {
  ScopedEnv all("LC_ALL", "C");
  EXPECT_EQ("12/31/2026 1:05:09 PM", FormatRunDateTime(LocalTime(2026, 12, 31, 13, 5, 9)));
  EXPECT_EQ("1/2/2027 12:00:00 AM", FormatRunDateTime(LocalTime(2027, 1, 2, 0, 0, 0)));
  EXPECT_EQ("7/4/2026 12:30:00 PM", FormatRunDateTime(LocalTime(2026, 7, 4, 12, 30, 0)));
}

TEST(LogFile, KeepsEarlierRunsAndAddsASeparator) {
  TempFolder dir;
  ScopedEnv all("LC_ALL", "C");
  dir.Write("Log.txt", "first\r\n\r\nIP: 1.2.3.4\t Op: Connecting...\r\nlast without end");
  LogFile log;
  std::string error;
  ASSERT_TRUE(log.Load(dir / "Log.txt", &error));
  log.AppendRunSeparator(LocalTime(2026, 12, 10, 9, 7, 3));
  log.Add("IP: 5.6.7.8\t Op: Connecting...");
  ASSERT_TRUE(log.Save(dir / "Log.txt", &error));
  EXPECT_EQ(
      "first\r\n\r\nIP: 1.2.3.4\t Op: Connecting...\r\nlast without end\r\n\r\n\r\n"
      "12/10/2026 9:07:03 AM\r\nIP: 5.6.7.8\t Op: Connecting...\r\n",
      dir.Read("Log.txt"));
}

TEST(LogFile, MissingFileLoadsNothingUnreadableOrUnwritableFails) {
  TempFolder dir;
  LogFile log;
  std::string error;
  EXPECT_TRUE(log.Load(dir / "none.txt", &error));
  EXPECT_EQ(0u, log.Count());
  dir.Mkdir("Log.txt");  // a folder where the file should be
  EXPECT_FALSE(log.Load(dir / "Log.txt", &error));
  EXPECT_NE(std::string::npos, error.find("Log.txt"));
  EXPECT_FALSE(log.Save(dir / "missing/Log.txt", &error));
  EXPECT_NE(std::string::npos, error.find("missing/Log.txt"));
}

TEST(LogFile, KeepsOnlyTheMostRecentLines) {
  TempFolder dir;
  std::string text;
  for (size_t i = 0; i < LogFile::kMaxLines + 5; ++i) text += "old " + std::to_string(i) + "\r\n";
  dir.Write("Log.txt", text);
  LogFile log;
  ASSERT_TRUE(log.Load(dir / "Log.txt", nullptr));
  EXPECT_EQ(LogFile::kMaxLines, log.Count());
  EXPECT_EQ("old 5", log.Lines().front());
  log.Add("new");
  EXPECT_EQ(LogFile::kMaxLines, log.Count());
  EXPECT_EQ("old 6", log.Lines().front());
  EXPECT_EQ("new", log.Lines().back());
  // Once every kept line was replaced, the order still runs oldest first,
  // in memory and on disk.
  for (size_t i = 0; i < LogFile::kMaxLines + 2; ++i) log.Add("again " + std::to_string(i));
  const std::vector<std::string> lines = log.Lines();
  ASSERT_EQ(LogFile::kMaxLines, lines.size());
  EXPECT_EQ("again 2", lines.front());
  EXPECT_EQ("again " + std::to_string(LogFile::kMaxLines + 1), lines.back());
  EXPECT_EQ("again 3", lines[1]);
  ASSERT_TRUE(log.Save(dir / "Log.txt", nullptr));
  const std::string saved = dir.Read("Log.txt");
  EXPECT_EQ(0u, saved.find("again 2\r\nagain 3\r\n"));
  EXPECT_EQ(saved.size() - 14, saved.rfind("again " + std::to_string(LogFile::kMaxLines + 1)));
}

TEST(LogFile, ListenerSeesEveryAddedLine) {
  LogFile log;
  std::vector<std::string> seen;
  log.SetListener([&](const std::string& l) { seen.push_back(l); });
  log.Add(std::vector<std::string>{"a", "b"});
  log.AppendRunSeparator(0);
  EXPECT_EQ(5u, seen.size());
  EXPECT_EQ("a", seen[0]);
  EXPECT_EQ("", seen[2]);
}

TEST(LogFile, BatchListenerSeesEachAdditionWhole) {
  LogFile log;
  std::vector<std::vector<std::string>> seen;
  log.SetBatchListener([&](const std::vector<std::string>& lines) { seen.push_back(lines); });
  log.Add(std::vector<std::string>{"a", "b"});
  log.Add(std::vector<std::string>{});
  log.Add("c");
  const std::vector<std::vector<std::string>> expected = {{"a", "b"}, {"c"}};
  EXPECT_EQ(expected, seen);
  // Setting a line listener replaces the batch listener.
  std::vector<std::string> lines;
  log.SetListener([&](const std::string& l) { lines.push_back(l); });
  log.Add("d");
  EXPECT_EQ(2u, seen.size());
  EXPECT_EQ(std::vector<std::string>{"d"}, lines);
}

TEST(StatusBoard, ReportsUpdateEntriesAndYieldLogLines) {
  struct Step {
    const char* ip;
    const char* op;
    const char* file;
    std::vector<std::string> lines;
  };
  const Step steps[] = {
      {"10.0.0.1", "Connecting...", "", {"IP: 10.0.0.1\t Op: Connecting..."}},
      // A second connection from the same address shares the entry.
      {"10.0.0.1",
       "Downloading...",
       "a b.jpg",
       {"IP: 10.0.0.1\t Op: Downloading...\t File: a b.jpg"}},
      {"10.0.0.2",
       "Uploading...",
       "up.zip",
       {"IP: 10.0.0.1\t Op: Downloading...\t File: a b.jpg",
        "IP: 10.0.0.2\t Op: Uploading...\t File: up.zip"}},
      {"10.0.0.3",
       "Connecting...",
       "",
       {"IP: 10.0.0.1\t Op: Downloading...\t File: a b.jpg",
        "IP: 10.0.0.2\t Op: Uploading...\t File: up.zip", "IP: 10.0.0.3\t Op: Connecting..."}},
      // The first "-1" from an address removes its entry.
      {"10.0.0.1",
       "-1",
       "",
       {"IP: 10.0.0.2\t Op: Uploading...\t File: up.zip", "IP: 10.0.0.3\t Op: Connecting..."}},
      // A "-1" without entry changes nothing.
      {"10.0.0.1",
       "-1",
       "",
       {"IP: 10.0.0.2\t Op: Uploading...\t File: up.zip", "IP: 10.0.0.3\t Op: Connecting..."}},
      {"10.0.0.2", "-1", "", {"IP: 10.0.0.3\t Op: Connecting..."}},
      // The address is matched exactly.
      {"10.0.0.30", "-1", "", {"IP: 10.0.0.3\t Op: Connecting..."}},
      {"10.0.0.3", "-1", "", {}},
  };
  StatusBoard board;
  EXPECT_TRUE(board.ReportStatus("10.0.0.1", "Connecting...", "").empty());  // stopped: ignored
  board.StartSharing();
  for (const auto& s : steps) {
    SCOPED_TRACE(std::string(s.ip) + " " + s.op);
    EXPECT_EQ(s.lines, board.ReportStatus(s.ip, s.op, s.file));
    EXPECT_EQ(s.lines.size(), board.Rows().size());
  }
  board.ReportStatus("10.0.0.9", "Connecting...", "");
  EXPECT_EQ((std::vector<TConn>{{"Connecting...", "10.0.0.9", ""}}), board.Rows());
  board.StopSharing();
  EXPECT_TRUE(board.Rows().empty());
  EXPECT_TRUE(board.ReportStatus("10.0.0.9", "-1", "").empty());
}

TEST(AddressTexts, WebAddressInvitationAndMail) {
  EXPECT_EQ("http://192.168.1.5:3724", ComposeWebAddress("192.168.1.5", 3724));
  EXPECT_EQ("http://<unknown>:80", ComposeWebAddress("<unknown>", 80));
  const std::string body = ComposeInvitationBody("http://1.2.3.4:3724");
  EXPECT_EQ(
      "Hi.  \r\nI'm sharing my pictures/wallpapers. Enter this addrees in your web browser to see "
      "them:  \r\nhttp://1.2.3.4:3724\r\nSee you soon \r\nYour name ",
      body);
  EXPECT_EQ(body + "\r\n\r\n-------\r\nhttp://www.novrix.example/", InvitationMailBody(body));
  EXPECT_EQ("mailto:a@b.c?subject=See my pictures.&body=x y\r\nz&w",
            ComposeMailAddress("a@b.c", "See my pictures.", "x y\r\nz&w"));
  std::string opened;
  SetDocumentOpener([&](const std::string& t) {
    opened = t;
    return 0;
  });
  ComposeMail("f@g.h", "s", "b\r\n");
  SetDocumentOpener(nullptr);
  EXPECT_EQ("mailto:f@g.h?subject=s&body=b\r\n", opened);
  EXPECT_EQ("http://www.novrix.example/mirelo-share/help/index.html", HelpPageAddress());
}

}  // namespace
