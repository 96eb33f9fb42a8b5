// Tests of the file utilities, the message boxes and the text routines.
#include "base/Messages.h"
#include "base/OrvelTPU.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

// Collects the messages shown while it lives.
class MessageCapture {
 public:
  MessageCapture() {
    SetMessageDisplay(
        [this](MessageKind kind, const std::string& text) { shown.emplace_back(kind, text); });
  }
  ~MessageCapture() { SetMessageDisplay(nullptr); }
  std::vector<std::pair<MessageKind, std::string>> shown;
};

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// A folder holding one of each kind of entry a folder can hold.
struct MixedFolder {
  TempFolder dir;
  MixedFolder() {
    dir.Write("photo.JPG", "x");
    dir.Write("notes.txt", "x");
    dir.Write("README", "x");
    dir.Write(".hidden.jpg", "x");
    dir.Write("sub/inner.jpg", "x");
    dir.Write("sub/deeper/deep.jpg", "x");
    dir.Write(".dot/secret.jpg", "x");
    ::mkfifo((dir / "pipe.jpg").c_str(), 0644);
    ::symlink("/dev/zero", (dir / "zero.jpg").c_str());
    ::symlink((dir / "photo.JPG").c_str(), (dir / "linked.jpg").c_str());
    ::symlink((dir / "sub").c_str(), (dir / "loop").c_str());
  }
};

TEST(ExpandCrLf, ReplacesTokensAndTheirBlanks) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"no token here", "no token here"},
      {"CRLF", "\r\n"},
      {"", ""},
      {"Your user name must contain at least 7 characters! CRLF All characters are allowed",
       "Your user name must contain at least 7 characters! \r\nAll characters are allowed"},
      {"a CRLF  b", "a\r\nb"},  // two blanks after: the blank before goes too
      {"acrlfb", "a\r\nb"},     // any letter case, even inside a word
      {"x Crlf y CRLFCRLF", "x \r\ny \r\n\r\n"},
      {"CRL F", "CRL F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(c.out, ExpandCrLf(c.in));
  }
}

TEST(LeadingZeros, PadsToTheLength) {
  EXPECT_EQ("00042", LeadingZeros("42", 5));
  EXPECT_EQ("123456", LeadingZeros("123456", 5));
  EXPECT_EQ("000", LeadingZeros("", 3));
  EXPECT_EQ("7", LeadingZeros("7", 0));
}

TEST(MatchesFileMask, FollowsTheDesktopRules) {
  struct Case {
    const char* name;
    const char* mask;
    bool match;
  };
  const Case cases[] = {
      {"photo.jpg", "*.*", true},
      {"README", "*.*", true},
      {"README", "READ*.*", true},
      {"photo.JPG", "*.jpg", true},
      {"photo.jpeg", "*.jpg", false},
      {"a.jpg.txt", "*.jpg", false},
      {"a1.gif", "a?.gif", true},
      {"a12.gif", "a?.gif", false},
      {"abc", "abc.*", true},
      {"abc.d", "abc.*", true},
      {"abcd", "abc.*", false},
      {"", "*", true},
      {"x", "", false},
      {"ab", "*b*", true},
      {"Thumb00012.jpg", "Thumb*.jpg", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " ~ " + c.mask);
    EXPECT_EQ(c.match, MatchesFileMask(c.name, c.mask));
  }
}

TEST(IsFolder, ExistingFoldersOnly) {
  MixedFolder m;
  struct Case {
    std::string path;
    bool folder;
    bool folderNotFile;
  };
  const Case cases[] = {
      {m.dir / "sub", true, true},
      {m.dir / "sub/", true, true},
      {m.dir / "sub ", false, false},  // trailing blank
      {m.dir / "loop", true, true},    // a link to a folder is a folder
      {m.dir / "photo.JPG", false, false},
      {m.dir / "pipe.jpg", false, false},
      {m.dir / "missing", false, false},
      {"/", true, true},
      {"", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.folder, IsFolder(c.path));
    EXPECT_EQ(c.folderNotFile, IsFolderNotFile(c.path));
  }
}

TEST(IsFolder, TrailingBlankIsNotTheFolderEvenWhenOneExists) {
  TempFolder dir;
  dir.Mkdir("name ");
  EXPECT_FALSE(IsFolder(dir / "name "));
  EXPECT_TRUE(IsFolder(dir / "name /"));
}

TEST(CheckFileExists, OnlyRegularFilesExist) {
  MixedFolder m;
  // A listening socket file.
  const std::string sock = m.dir / "sock.jpg";
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof(addr.sun_path));
  sock.copy(addr.sun_path, sock.size());
  ASSERT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  struct Case {
    std::string path;
    bool exists;
  };
  const Case cases[] = {
      {m.dir / "photo.JPG", true}, {m.dir / "linked.jpg", true}, {m.dir / "photo.jpg", false},
      {m.dir / "pipe.jpg", false}, {m.dir / "zero.jpg", false},  {sock, false},
      {"/dev/null", false},        {m.dir / "sub", false},       {m.dir / "missing.jpg", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    MessageCapture capture;
    EXPECT_EQ(c.exists, CheckFileExists(c.path));
    if (c.exists) {
      EXPECT_TRUE(capture.shown.empty());
    } else {
      ASSERT_EQ(1u, capture.shown.size());
      EXPECT_EQ(MessageKind::Info, capture.shown[0].first);
      EXPECT_EQ("File \"" + c.path + "\" does not exist", capture.shown[0].second);
    }
  }
  ::close(fd);
}

TEST(CheckFileExists, EmptyPathSaysNoFile) {
  MessageCapture capture;
  EXPECT_FALSE(CheckFileExists(""));
  ASSERT_EQ(1u, capture.shown.size());
  EXPECT_EQ(MessageKind::Info, capture.shown[0].first);
  EXPECT_EQ("No file specified!", capture.shown[0].second);
}

TEST(CanWriteToFolder, ProbesAndCleansUp) {
  TempFolder dir;
  dir.Mkdir("cache");
  dir.Write("keep.$$$", "old");
  ::mkfifo((dir / "fifo").c_str(), 0644);
  struct Case {
    std::string path;
    bool writable;
  };
  const Case cases[] = {
      {dir / "cache", true},
      {dir / "cache/", true},
      {dir / "WriteAccessTestFile.$$$", true},  // a probe file that does not exist yet
      {dir / "keep.$$$", true},                 // an existing file is opened, not replaced
      {dir / "missing/probe", false},           // its folder is missing
      {dir / "fifo", false},                    // not a file, and cannot be created
      {"relative", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.writable, CanWriteToFolder(c.path));
  }
  EXPECT_FALSE(dir.Exists("cache/WritePermTest.DeleteMe"));
  EXPECT_FALSE(dir.Exists("WriteAccessTestFile.$$$"));
  EXPECT_EQ("old", dir.Read("keep.$$$"));
}

TEST(CanWriteToFolder, FalseWhereTheUserMayNotWrite) {
  TempFolder dir;
  dir.Mkdir("locked");
  dir.Mkdir("open");
  ::chmod(dir.Slash().c_str(), 0755);
  ::chmod((dir / "locked").c_str(), 0555);
  ::chmod((dir / "open").c_str(), 0777);
  // Root may write anywhere: the test then runs as an ordinary user in a child.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    const bool locked = CanWriteToFolder(dir / "locked");
    const bool open = CanWriteToFolder(dir / "open");
    ::_exit(locked ? 1 : (open ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status))
      << "1: wrote into a read-only folder, 2: not into a writable one";
}

TEST(CreateFolderIfMissing, ResultsAndMessage) {
  TempFolder dir;
  dir.Write("file", "x");
  MessageCapture capture;
  EXPECT_EQ(1, CreateFolderIfMissing(dir / "a/b/c/"));
  EXPECT_TRUE(IsFolder(dir / "a/b/c"));
  EXPECT_EQ(0, CreateFolderIfMissing(dir / "a/b/c"));
  EXPECT_EQ(1, CreateFolderIfMissing(dir / "blank "));  // made, though IsFolder says no
  EXPECT_TRUE(capture.shown.empty());
  EXPECT_EQ(-1, CreateFolderIfMissing(dir / "file/sub"));
  ASSERT_EQ(1u, capture.shown.size());
  EXPECT_EQ(MessageKind::Error, capture.shown[0].first);
  EXPECT_EQ("Cannot create directory!\r\n" + (dir / "file/sub"), capture.shown[0].second);
}

TEST(ListFiles, RegularMatchingFilesOnly) {
  MixedFolder m;
  std::vector<std::string> bare, full, all;
  ListFiles(m.dir.Slash(), "*.jpg", bare, false);
  EXPECT_EQ(Sorted({".hidden.jpg", "linked.jpg", "photo.JPG"}), Sorted(bare));
  ListFiles(m.dir / "sub", "*.jpg", full, true);
  EXPECT_EQ(std::vector<std::string>{m.dir / "sub/inner.jpg"}, full);
  all.push_back("kept");  // appends, never clears
  ListFiles(m.dir.Slash(), "*.*", all, false);
  EXPECT_EQ(Sorted({"kept", ".hidden.jpg", "linked.jpg", "photo.JPG", "notes.txt", "README"}),
            Sorted(all));
}

TEST(ListFilesRecursive, SkipsHiddenFoldersAndFolderLinks) {
  MixedFolder m;
  std::vector<std::string> found;
  ListFilesRecursive(m.dir.Slash(), "*.jpg", found);
  EXPECT_EQ(Sorted({m.dir / ".hidden.jpg", m.dir / "linked.jpg", m.dir / "photo.JPG",
                    m.dir / "sub/inner.jpg", m.dir / "sub/deeper/deep.jpg"}),
            Sorted(found));
  // Files of a folder come before those of its sub-folders.
  EXPECT_EQ(m.dir / "sub/deeper/deep.jpg", found.back());
}

TEST(ListSubfolders, DirectVisibleFolders) {
  MixedFolder m;
  std::vector<std::string> subs;
  ListSubfolders(m.dir.Slash(), subs);
  EXPECT_EQ(std::vector<std::string>{m.dir / "sub"}, subs);
}

TEST(EmptyFolder, DeletesEverythingInsideAndKeepsTheFolder) {
  MixedFolder m;
  TempFolder outside;
  outside.Write("precious.jpg", "keep");
  ::symlink(outside.Slash().c_str(), (m.dir / "sub/out").c_str());
  ::chmod((m.dir / "sub/deeper").c_str(), 0555);
  EXPECT_TRUE(EmptyFolder(m.dir.Slash(), false));
  EXPECT_TRUE(IsFolder(m.dir.Slash()));
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(m.dir.Slash())) {
    left.push_back(e.path().string());
  }
  EXPECT_TRUE(left.empty()) << left.size() << " entries left";
  // A link is removed, never followed.
  EXPECT_EQ("keep", outside.Read("precious.jpg"));
}

TEST(EmptyFolder, EmptyPathIsRefused) {
  EXPECT_THROW(
      {
        try {
          EmptyFolder("", false);
        } catch (const std::invalid_argument& e) {
          EXPECT_STREQ("Path is empty!", e.what());
          throw;
        }
      },
      std::invalid_argument);
}

TEST(DeleteFolder, RemovesTheFolderToo) {
  TempFolder dir;
  dir.Write("gone/a.jpg", "x");
  dir.Write("gone/b/c.jpg", "x");
  EXPECT_TRUE(DeleteFolder(dir / "gone/", true));
  EXPECT_FALSE(dir.Exists("gone"));
  EXPECT_FALSE(DeleteFolder(dir / "never", false));
}

TEST(Messages, EmptyTextShowsNothingAndTokensExpand) {
  MessageCapture capture;
  ShowError("");
  ShowInfo("");
  ShowText("");
  EXPECT_TRUE(capture.shown.empty());
  ShowError("Bad CRLF thing");
  ShowInfo("i");
  ShowText("t");
  ASSERT_EQ(3u, capture.shown.size());
  EXPECT_EQ(std::make_pair(MessageKind::Error, std::string("Bad \r\nthing")), capture.shown[0]);
  EXPECT_EQ(MessageKind::Info, capture.shown[1].first);
  EXPECT_EQ(MessageKind::Text, capture.shown[2].first);
}

TEST(Messages, HeadlessDisplayWritesLinesToStandardError) {
  testing::internal::CaptureStderr();
  ShowError("Cannot create directory!\r\n/x");
  ShowInfo("Saved CRLF here");
  ShowText("plain");
  EXPECT_EQ("Error: Cannot create directory!\n/x\nInformation: Saved \nhere\nplain\n",
            testing::internal::GetCapturedStderr());
}

}  // namespace
