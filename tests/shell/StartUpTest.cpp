// Tests of the start-up paths, version texts, locks and the entry steps.
#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "base/StartUp.h"
#include "shell/EntrySequence.h"

#include "support/ScopedEnv.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

class StartUpEnv : public testing::Test {
 protected:
  TempFolder root;
  ScopedEnv home{"HOME", root / "home"};
  ScopedEnv config{"XDG_CONFIG_HOME", root / "config"};
  ScopedEnv data{"XDG_DATA_HOME", root / "data"};
  ScopedEnv runtime{"XDG_RUNTIME_DIR", root.Slash()};
};

TEST_F(StartUpEnv, WorkingFolderChoice) {
  root.Mkdir("program");
  struct Case {
    const char* programFolder;
    bool admin;
    std::string expected;
  };
  const Case cases[] = {
      {"program/", true, root / "program/"},
      {"program/", false, root / "data/Mirelo File Share/"},  // never the program folder
      {"gone/", true, root / "data/Mirelo File Share/"},      // the program folder is unusable
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.programFolder);
    EXPECT_EQ(c.expected,
              ChooseWorkingFolderFrom("Mirelo File Share", root / c.programFolder, c.admin));
    EXPECT_TRUE(IsFolder(c.expected));
    EXPECT_TRUE(IsFolder(c.expected + "system/"));
  }
  EXPECT_FALSE(root.Exists("program/WriteAccessTestFile.$$$"));
}

TEST_F(StartUpEnv, InstalledDataFolderIsFoundFromTheBinFolder) {
  root.Mkdir("usr");
  root.Mkdir("usr/bin");
  root.Mkdir("usr/share");
  root.Mkdir("usr/share/mirelo-share");
  root.Mkdir("build");
  root.Mkdir("build/system");
  root.Mkdir("opt");
  root.Mkdir("opt/bin");
  root.Mkdir("opt/bin/system");
  root.Mkdir("opt/share");
  root.Mkdir("opt/share/mirelo-share");
  root.Mkdir("bare");
  root.Mkdir("bare/bin");
  struct Case {
    const char* programFolder;
    std::string expected;
  };
  const Case cases[] = {
      {"usr/bin/", root / "usr/share/mirelo-share/"},
      {"build/", ""},     // the build folder keeps everything beside the executable
      {"opt/bin/", ""},   // system/ beside the executable wins over the installed folder
      {"bare/bin/", ""},  // no share/mirelo-share: not installed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.programFolder);
    EXPECT_EQ(c.expected, InstalledDataFolderFor(root / c.programFolder));
  }
  // The tests run from the build folder.
  EXPECT_FALSE(IsInstalled());
  EXPECT_EQ(ProgramFolder() + "system/", SystemFolder());
  EXPECT_EQ(ProgramFolder(), PluginFolder());
}

TEST_F(StartUpEnv, PathsAndFirstRun) {
  InitPathsIn(root / "work");
  EXPECT_EQ(root / "work/", WorkingFolder());
  EXPECT_EQ(root / "work/system/", SettingsFolder());
  EXPECT_EQ(root / "work/system/Mirelo.INI", SettingsFile());
  EXPECT_TRUE(FirstRun());
  EXPECT_TRUE(IsFolder(SettingsFolder()));
  root.Write("work/system/Mirelo.INI", "[Form]\r\n");
  InitPathsIn(root / "work/");
  EXPECT_FALSE(FirstRun());
  EXPECT_EQ(root / "work/", WorkingFolder());
}

TEST(Version, ShortVersionDropsTheLastPart) {
  struct Case {
    const char* full;
    const char* shortened;
  };
  const Case cases[] = {{"0.8.0.36", "0.8.0"}, {"1.0", "1"}, {"1000", ""}, {"", ""}, {"1.", "1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.full);
    EXPECT_EQ(c.shortened, ShortVersionOf(c.full));
  }
  EXPECT_FALSE(GetFileVersion().empty());
  EXPECT_EQ("Novrix Mirelo Share v" + ShortVersionOf(GetFileVersion()), WindowCaption());
  EXPECT_EQ("Mirelo File Share v" + GetFileVersion() + " - FREEWARE", ProductLabelText());
}

TEST_F(StartUpEnv, BetaMarkerIsLookedForInTheProgramFolderOnly) {
  InitPathsIn(root / "work");
  root.Write("work/BetaTester", "");
  EXPECT_FALSE(IsBetaTester());
}

TEST_F(StartUpEnv, LocksAreExclusiveUntilReleased) {
  auto first = LockWorkingFolder(root.Slash());
  ASSERT_TRUE(first);
  EXPECT_EQ(root / "Mirelo.lock", first->Path());
  EXPECT_FALSE(LockWorkingFolder(root.Slash()));
  EXPECT_TRUE(LockWorkingFolder(root / "other") == nullptr);  // no such folder: no lock
  first.reset();
  EXPECT_TRUE(LockWorkingFolder(root.Slash()));
}

TEST_F(StartUpEnv, SingleInstanceLockIsNamedAfterTheExecutable) {
  EXPECT_EQ("shell_tests", SingleInstanceName(false));
  const std::string full = SingleInstanceName(true);
  EXPECT_EQ(std::string::npos, full.find('/'));
  EXPECT_EQ(std::string::npos, full.find(' '));
  EXPECT_EQ(root / "shell_tests.lock", SingleInstanceLockPath(false));
  // Another holder of the lock: this process is the second instance.
  auto other = FileLock::Acquire(SingleInstanceLockPath(false));
  ASSERT_TRUE(other);
  EXPECT_TRUE(CheckSingleInstance(false));
  other.reset();
  EXPECT_FALSE(CheckSingleInstance(false));
  EXPECT_FALSE(FileLock::Acquire(SingleInstanceLockPath(false)));  // held for the process
}

TEST(EntrySteps, ShareOffArgument) {
  struct Case {
    std::vector<const char*> args;
    bool off;
  };
  const Case cases[] = {
      {{"prog", "ShareOff"}, true},   {{"prog", "shareoff"}, true},
      {{"prog", "SHAREOFF"}, true},   {{"prog"}, false},
      {{"prog", "ShareOffX"}, false}, {{"prog", "--folder", "ShareOff"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "(none)");
    EXPECT_EQ(c.off, IsShareOffArgument(static_cast<int>(c.args.size()), c.args.data()));
  }
}

// A prompt that answers from a script (an empty optional: the user cancels)
// and records what it offered.
struct ScriptedPrompt {
  std::deque<std::optional<std::string>> answers;
  std::vector<std::string> offered;
  std::string operator()(const std::string& offer) {
    offered.push_back(offer);
    std::optional<std::string> a = answers.front();
    answers.pop_front();
    return a ? *a : offer;
  }
};

TEST(EntrySteps, UserNamePromptRepeatsUntilAcceptable) {
  std::vector<std::string> errors;
  SetMessageDisplay([&](MessageKind, const std::string& text) { errors.push_back(text); });
  ScriptedPrompt script;
  script.answers = {"abc", "ab*cdefg", std::nullopt, "exactly"};
  const std::string name =
      AskUserName("x", [&](const std::string& offer) { return script(offer); });
  SetMessageDisplay(nullptr);
  EXPECT_EQ((std::vector<std::string>{"x000000", "abc0000", "ab*cdefg", "ab*cdefg"}),
            script.offered);
  EXPECT_EQ("exactly", name);
  ASSERT_EQ(3u, errors.size());  // "abc", "ab*cdefg" typed, "ab*cdefg" kept by cancelling
  EXPECT_EQ(
      "Your user name must contain at least 7 characters! \r\nAll characters are allowed, except "
      "the star (*) character.",
      errors[0]);
  // Cancelling offers the refused text padded, which then passes.
  ScriptedPrompt cancel;
  cancel.answers = {"abc", std::nullopt};
  EXPECT_EQ("abc0000", AskUserName("", [&](const std::string& o) { return cancel(o); }));
  // Lengths count characters: "éééé" has 4 and is padded to 7 characters;
  // seven of them pass although "ééé0" has seven bytes.
  ScriptedPrompt accents;
  accents.answers = {
      "\xC3\xA9\xC3\xA9\xC3\xA9"
      "0",
      "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"};
  EXPECT_EQ("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
            AskUserName("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
                        [&](const std::string& o) { return accents(o); }));
  EXPECT_EQ((std::vector<std::string>{"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                      "000",
                                      "\xC3\xA9\xC3\xA9\xC3\xA9"
                                      "0000"}),
            accents.offered);
}

TEST_F(StartUpEnv, UserNameIsSuggestedOnceThenStored) {
  ScriptedPrompt script;
  script.answers = {std::nullopt};
  const std::string name = SettleUserName([&](const std::string& o) { return script(o); });
  ASSERT_EQ(1u, script.offered.size());
  EXPECT_EQ(SuggestedUserName(), script.offered[0]);
  EXPECT_EQ(SuggestedUserName(), name);  // the cancelled prompt keeps the suggestion
  EXPECT_EQ(name, UserName());
  EXPECT_EQ(name, ReadStoredUserName());
  // A later start finds the stored name and asks nothing.
  ScriptedPrompt none;
  EXPECT_EQ(name, SettleUserName([&](const std::string& o) { return none(o); }));
  EXPECT_TRUE(none.offered.empty());
}

TEST(EntrySteps, SuggestionIsPadded) {
  const std::string s = SuggestedUserName();
  EXPECT_GE(s.size(), 7u);
  EXPECT_EQ(0u, s.find(GetLogonName() + " - " + GetComputerNameText()));
}

TEST(EntrySteps, TabPicturesAndBanner) {
  const char* expected[] = {"64connections.png",
                            "64shared.png",
                            "64net_set.png",
                            "64settings.png",
                            "64log.png",
                            "64info.png",
                            "",
                            ""};
  for (int tab = 0; tab < 8; ++tab) EXPECT_EQ(expected[tab], TabPictureFile(tab)) << tab;
  EXPECT_EQ("", TabPictureFile(-1));
  EXPECT_EQ("Please, select the folder you want to share.", FolderBannerText(""));
  EXPECT_EQ("Your shared folder is: /srv/p/", FolderBannerText("/srv/p/"));
}

}  // namespace
