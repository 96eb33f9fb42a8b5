// Tests of the file primitives: the regular-file test, the atomic write and
// the folder guard.
#include "base/FileUtil.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace {

TEST(IsRegularFile, FollowsLinksAndGivesTheStatus) {
  TempFolder dir;
  const std::string file = dir.Write("f.txt", "12345");
  dir.Mkdir("sub");
  ASSERT_EQ(0, ::symlink(file.c_str(), (dir / "link").c_str()));
  ASSERT_EQ(0, ::symlink((dir / "gone").c_str(), (dir / "broken").c_str()));
  ASSERT_EQ(0, ::symlink((dir / "sub").c_str(), (dir / "folder-link").c_str()));
  struct Case {
    std::string path;
    bool regular;
  };
  const Case cases[] = {{file, true},
                        {dir / "link", true},
                        {dir / "sub", false},
                        {dir / "broken", false},
                        {dir / "folder-link", false},
                        {dir / "gone", false},
                        {"/dev/null", false},
                        {"", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.regular, IsRegularFile(c.path));
    struct stat st {};
    st.st_size = -1;
    EXPECT_EQ(c.regular, IsRegularFile(c.path, &st));
    EXPECT_EQ(c.regular ? 5 : -1, st.st_size);  // untouched when it is no file
  }
}

TEST(WriteFileAtomically, ReplacesWholeOrNotAtAll) {
  TempFolder dir;
  dir.Write("f.txt", "old");
  ::chmod((dir / "f.txt").c_str(), 0640);
  EXPECT_TRUE(WriteFileAtomically(dir / "f.txt", "new content", true));
  EXPECT_EQ("new content", dir.Read("f.txt"));
  struct stat st {};
  ASSERT_EQ(0, ::stat((dir / "f.txt").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 0777);  // the file keeps its permissions
  EXPECT_TRUE(WriteFileAtomically(dir / "new.txt", "", false));
  ASSERT_EQ(0, ::stat((dir / "new.txt").c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777);
  EXPECT_EQ(0, st.st_size);

  // A missing folder, and a target that a file cannot replace: false, the
  // reason in errno, the target as it was, and no temporary file left behind.
  errno = 0;
  EXPECT_FALSE(WriteFileAtomically(dir / "missing/f.txt", "x", false));
  EXPECT_EQ(ENOENT, errno);
  dir.Write("sub/keep", "kept");
  errno = 0;
  EXPECT_FALSE(WriteFileAtomically(dir / "sub", "x", false));
  EXPECT_EQ(EISDIR, errno);
  EXPECT_EQ("kept", dir.Read("sub/keep"));
  EXPECT_EQ((std::vector<std::string>{"f.txt", "new.txt", "sub"}), dir.Entries());
}

// What descriptor fd of this process refers to ("" when it is closed).
std::string DescriptorTarget(int fd) {
  char target[4096];
  const ssize_t n =
      ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

TEST(OpenFolder, ListsAndClosesTheFolder) {
  TempFolder dir;
  dir.Write("a");
  const std::string path = std::filesystem::canonical(dir.Path()).string();
  size_t names = 0;
  int fd = -1;
  {
    const UniqueDir folder = OpenFolder(dir.Slash());
    ASSERT_TRUE(folder);
    fd = ::dirfd(folder.get());
    EXPECT_EQ(path, DescriptorTarget(fd));
    while (const dirent* e = ::readdir(folder.get())) names += e->d_name[0] != '.';
  }
  // Closed (the number may since serve another file, never this folder).
  EXPECT_NE(path, DescriptorTarget(fd));
  EXPECT_EQ(1u, names);
  errno = 0;
  EXPECT_FALSE(OpenFolder(dir / "a"));  // a file
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_FALSE(OpenFolder(dir / "none"));
}

}  // namespace
