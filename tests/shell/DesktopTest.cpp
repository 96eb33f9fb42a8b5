// Tests of the desktop utilities: autostart entries, shortcuts, the registry
// file, special folders, names, opening documents and the text routines.
#include "base/OrvelTPU.h"

#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

// HOME, XDG_CONFIG_HOME and XDG_DATA_HOME pointed into a temporary folder.
class DesktopEnv : public testing::Test {
 protected:
  TempFolder root;
  ScopedEnv home{"HOME", root / "home"};
  ScopedEnv config{"XDG_CONFIG_HOME", root / "config"};
  ScopedEnv data{"XDG_DATA_HOME", root / "data"};
};

TEST_F(DesktopEnv, AutoStartOnQuotesThePathAndOffRemovesIt) {
  struct Case {
    const char* program;
    const char* entry;
    const char* exec;
  };
  const Case cases[] = {
      {"/opt/My Programs/mirelo-share", "autostart/mirelo-share.desktop",
       "Exec=\"/opt/My Programs/mirelo-share\""},
      {"/opt/a.b.exe", "autostart/a.desktop", "Exec=\"/opt/a.b.exe\""},
      {"/opt/100%/x$y", "autostart/x$y.desktop", "Exec=\"/opt/100%%/x\\\\$y\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    EXPECT_EQ(root / "config/" + c.entry, AutoStartEntryPath(c.program));
    SetAutoStartFor(c.program, true);
    const std::string text = root.Read(std::string("config/") + c.entry);
    EXPECT_NE(std::string::npos, text.find("[Desktop Entry]\n")) << text;
    EXPECT_NE(std::string::npos, text.find(std::string("\n") + c.exec + "\n")) << text;
    SetAutoStartFor(c.program, false);
    EXPECT_FALSE(root.Exists(std::string("config/") + c.entry));
  }
  // Off when it was never on: nothing happens, nothing is created.
  SetAutoStartFor("/opt/never", false);
  EXPECT_FALSE(root.Exists("config/autostart/never.desktop"));
}

TEST_F(DesktopEnv, AutoStartOfThisProgramNamesItsExecutable) {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  const std::string path(exe, static_cast<size_t>(n));
  SetAutoStart(true);
  EXPECT_NE(std::string::npos, root.Read(AutoStartEntryPath(path).substr(root.Slash().size()))
                                   .find("Exec=\"" + path + "\""));
  SetAutoStart(false);
  EXPECT_FALSE(IsFolder(AutoStartEntryPath(path)) ||
               ::access(AutoStartEntryPath(path).c_str(), F_OK) == 0);
}

TEST_F(DesktopEnv, ShortcutsAreDeletedWhenPresent) {
  root.Write("home/Desktop/Mirelo File Share.desktop", "x");
  root.Write("data/applications/Mirelo File Share.desktop", "x");
  EXPECT_TRUE(DeleteDesktopShortcut("Mirelo File Share"));
  EXPECT_TRUE(DeleteStartMenuShortcut("Mirelo File Share"));
  EXPECT_FALSE(root.Exists("home/Desktop/Mirelo File Share.desktop"));
  EXPECT_FALSE(root.Exists("data/applications/Mirelo File Share.desktop"));
  EXPECT_FALSE(DeleteDesktopShortcut("Mirelo File Share"));
  EXPECT_FALSE(DeleteStartMenuShortcut("Mirelo File Share"));
}

TEST_F(DesktopEnv, DesktopShortcutFollowsTheUserDirectories) {
  root.Write("config/user-dirs.dirs",
             "# comment\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"/docs\"\n");
  root.Write("home/Schreibtisch/s.desktop", "x");
  EXPECT_EQ(root / "home/Schreibtisch/", GetSpecialFolder(SpecialFolder::Desktop));
  EXPECT_EQ("/docs/", GetSpecialFolder(SpecialFolder::Documents));
  EXPECT_TRUE(DeleteDesktopShortcut("s"));
}

TEST_F(DesktopEnv, SpecialFoldersFallBack) {
  EXPECT_EQ(root / "data/", GetSpecialFolder(SpecialFolder::AppData));
  EXPECT_EQ(root / "home/Desktop/", GetSpecialFolder(SpecialFolder::Desktop));
  EXPECT_EQ(root / "home/Documents/", GetSpecialFolder(SpecialFolder::Documents));
  ScopedEnv noData("XDG_DATA_HOME", std::nullopt);
  EXPECT_EQ(root / "home/.local/share/", GetSpecialFolder(SpecialFolder::AppData));
}

TEST_F(DesktopEnv, RegistryFileRoundTrip) {
  const char* key = "Software\\Orvel\\Mirelo";
  EXPECT_EQ(root / "config/Orvel/Mirelo.conf", RegistryFilePath());
  EXPECT_EQ("", RegReadText(RegistryRoot::CurrentUser, key, "UserName", false));
  EXPECT_FALSE(root.Exists("config/Orvel/Mirelo.conf"));  // reading creates nothing
  // Without create a missing key cannot be written.
  EXPECT_FALSE(RegWriteText(RegistryRoot::CurrentUser, key, "UserName", false, true, "x"));
  EXPECT_TRUE(RegWriteText(RegistryRoot::CurrentUser, key, "UserName", true, true, "ALICE - PC"));
  EXPECT_EQ("[Software\\Orvel\\Mirelo]\r\nUserName=ALICE - PC\r\n",
            root.Read("config/Orvel/Mirelo.conf"));
  // Value names and key paths without regard to case; a leading "\" is the same key.
  EXPECT_EQ("ALICE - PC",
            RegReadText(RegistryRoot::CurrentUser, "\\software\\orvel\\MIRELO", "username", false));
  EXPECT_TRUE(RegWriteText(RegistryRoot::CurrentUser, key, "UserName", false, false, "BOB 1234"));
  EXPECT_EQ("BOB 1234", RegReadText(RegistryRoot::CurrentUser, key, "UserName", false));
  EXPECT_TRUE(RegDeleteValue(RegistryRoot::CurrentUser, key, "UserName"));
  EXPECT_FALSE(RegDeleteValue(RegistryRoot::CurrentUser, key, "UserName"));
  EXPECT_EQ("", RegReadText(RegistryRoot::CurrentUser, key, "UserName", false));
  // Reading with create makes the key, so a later write without create works.
  RegReadText(RegistryRoot::CurrentUser, "Software\\Other", "v", true);
  EXPECT_TRUE(RegWriteText(RegistryRoot::CurrentUser, "Software\\Other", "v", false, true, "1"));
}

TEST_F(DesktopEnv, OpenDocumentStartsXdgOpenOrTheInstalledOpener) {
  // A stand-in xdg-open on PATH records what it was asked to open.
  root.Write("bin/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > \"" + (root / "opened") +
                                 ".tmp\"\n/bin/mv \"" + (root / "opened") + ".tmp\" \"" +
                                 (root / "opened") + "\"\n");
  ::chmod((root / "bin/xdg-open").c_str(), 0755);
  ScopedEnv path("PATH", root / "bin");
  EXPECT_EQ(0, OpenDocument("http://127.0.0.1:3724"));
  for (int i = 0; i < 500 && !root.Exists("opened"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ("http://127.0.0.1:3724", root.Read("opened"));

  std::string seen;
  SetDocumentOpener([&](const std::string& target) {
    seen = target;
    return 7;
  });
  EXPECT_EQ(7, OpenDocument("mailto:a@b"));
  EXPECT_EQ("mailto:a@b", seen);
  SetDocumentOpener(nullptr);
  ScopedEnv nowhere("PATH", root / "empty");
  EXPECT_NE(0, OpenDocument("x"));
}

TEST(MachineNames, ComputerAndLogonNamesAreUpperCase) {
  const std::string computer = GetComputerNameText();
  EXPECT_LE(computer.size(), 15u);
  EXPECT_EQ(std::string::npos, computer.find('.'));
  for (char c : computer) EXPECT_FALSE(c >= 'a' && c <= 'z') << computer;
  const std::string logon = GetLogonName();
  EXPECT_FALSE(logon.empty());
  for (char c : logon) EXPECT_FALSE(c >= 'a' && c <= 'z') << logon;
  EXPECT_NE(' ', logon.front());
  EXPECT_NE(' ', logon.back());
}

TEST(TextRoutines, FileNameStem) {
  struct Case {
    const char* path;
    const char* stem;
  };
  const Case cases[] = {
      {"/opt/a.b.exe", "a"},
      {"/opt/x.y/mirelo", ""},
      {"Mirelo.exe", "Mirelo"},
      {"/opt/.hidden", ""},
      {"", ""},
      {"/dir/name.", "name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.stem, FileNameStem(c.path));
  }
}

TEST(TextRoutines, LastPosCopyRangeReverseAndPad) {
  struct PosCase {
    const char* find;
    const char* text;
    size_t pos;
  };
  const PosCase positions[] = {
      {".", "0.8.0.36", 6}, {".", "1000", 0},   {"ab", "abxab", 4},
      {"", "abc", 0},       {"abcd", "abc", 0}, {"a", "a", 1},
  };
  for (const auto& c : positions) {
    SCOPED_TRACE(std::string(c.find) + " in " + c.text);
    EXPECT_EQ(c.pos, LastPos(c.find, c.text));
  }
  EXPECT_EQ("0.8.0", CopyRange("0.8.0.36", 1, 5));
  EXPECT_EQ("", CopyRange("abc", 3, 2));
  EXPECT_EQ("bc", CopyRange("abc", 2, 10));
  EXPECT_EQ("a", CopyRange("abc", -4, 1));
  EXPECT_EQ("cba", ReverseText("abc"));
  EXPECT_EQ("", ReverseText(""));
  EXPECT_EQ(
      "b\xC3\xA9"
      "a",
      ReverseText("a\xC3\xA9"
                  "b"));  // é kept whole
  EXPECT_EQ("abc0000", PadRight("abc", '0', 7));
  EXPECT_EQ("abcdefgh", PadRight("abcdefgh", '0', 7));
  // Characters, not bytes.
  EXPECT_EQ(
      "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
      "000",
      PadRight("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", '0', 7));
  EXPECT_EQ(
      "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
      PadRight(
          "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
          '0', 7));
}

}  // namespace
