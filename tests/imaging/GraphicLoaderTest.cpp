// Tests of the image loader: extension tests, file reading and loading every format.
#include "imaging/OrvelGraphicLoader.h"

#include "imaging/LoaderFixtures.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

TEST(ExtensionTests, NamesAndTheirFormats) {
  struct Case {
    const char* name;
    bool jpeg, bmp, gif, png, ico, emf, supported;
  };
  const Case cases[] = {
      {"Holiday.jpeg", true, false, false, false, false, false, true},
      {"HOLIDAY.JPG", true, false, false, false, false, false, true},
      {"a.jfif", true, false, false, false, false, false, true},
      {"b.Jpe", true, false, false, false, false, false, true},
      {"/srv/pics/x.Bmp", false, true, false, false, false, false, true},
      {"anim.GIF", false, false, true, false, false, false, true},
      {"shot.png", false, false, false, true, false, false, true},
      {"app.ico", false, false, false, false, true, false, false},
      {"chart.EMF", false, false, false, false, false, true, false},
      {"c.jpg.txt", false, false, false, false, false, false, false},
      {"d.jpg ", false, false, false, false, false, false, false},
      {"noextension", false, false, false, false, false, false, false},
      {"pics.jpg/readme", false, false, false, false, false, false, false},
      {"pics.jpg\\readme", false, false, false, false, false, false, false},
      {"c:.jpg:x", false, false, false, false, false, false, false},
      {".jpg", true, false, false, false, false, false, true},
      {"a.jpg.", false, false, false, false, false, false, false},
      {"a.jp", false, false, false, false, false, false, false},
      {"a.jpgg", false, false, false, false, false, false, false},
      {"", false, false, false, false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.jpeg, IsJpeg(c.name));
    EXPECT_EQ(c.bmp, IsBmp(c.name));
    EXPECT_EQ(c.gif, IsGif(c.name));
    EXPECT_EQ(c.png, IsPng(c.name));
    EXPECT_EQ(c.ico, IsIco(c.name));
    EXPECT_EQ(c.emf, IsEmf(c.name));
    EXPECT_EQ(c.supported, IsSupportedPicture(c.name));
  }
}

// Only regular files are pictures: a FIFO, socket, device, folder or a link to
// a device is a missing file, and reading one never blocks.
TEST(PictureFiles, OnlyRegularFilesExist) {
  TempFolder dir;
  const std::string regular = dir.Write("real.jpg", "abc");
  const std::string fifo = dir.Path() + "/fifo.jpg";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string zero = dir.Path() + "/zero.jpg";
  ASSERT_EQ(0, ::symlink("/dev/zero", zero.c_str()));
  const std::string dangling = dir.Path() + "/dangling.jpg";
  ASSERT_EQ(0, ::symlink((dir.Path() + "/nothing").c_str(), dangling.c_str()));
  const std::string link = dir.Path() + "/link.jpg";
  ASSERT_EQ(0, ::symlink(regular.c_str(), link.c_str()));
  const std::string sock = dir.Path() + "/sock.jpg";
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  const std::string folder = dir.Path() + "/folder.jpg";
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));

  struct Case {
    std::string path;
    bool exists;
  };
  const Case cases[] = {
      {regular, true}, {link, true},         {fifo, false},
      {zero, false},   {sock, false},        {dangling, false},
      {folder, false}, {"/dev/null", false}, {dir.Path() + "/missing.jpg", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.exists, PictureFileExists(c.path));
    std::string bytes = "untouched";
    const std::string error = ReadPictureFile(c.path, bytes);
    if (c.exists) {
      EXPECT_EQ("", error);
      EXPECT_EQ("abc", bytes);
    } else {
      EXPECT_EQ("File does not exist: " + c.path, error);
      EXPECT_EQ("untouched", bytes);
    }
  }
  ::close(s);
}

TEST(PictureFiles, ReadLimitsAndStarts) {
  TempFolder dir;
  const std::string path = dir.Write("f.png", "0123456789");
  std::string bytes;
  EXPECT_EQ("", ReadPictureFile(path, bytes, 10));
  EXPECT_EQ("0123456789", bytes);
  EXPECT_NE("", ReadPictureFile(path, bytes, 9));  // one byte over the limit
  EXPECT_EQ("", ReadPictureFileStart(path, bytes, 4));
  EXPECT_EQ("0123", bytes);
}

TEST(PictureFiles, AtomicWriteReplacesTheTarget) {
  TempFolder dir;
  const std::string path = dir.Write("t.jpg", "old contents");
  EXPECT_EQ("", WriteFileAtomically(path, "new"));
  std::string bytes;
  ASSERT_EQ("", ReadPictureFile(path, bytes));
  EXPECT_EQ("new", bytes);
  EXPECT_NE("", WriteFileAtomically(dir.Path() + "/no/such/folder/x.jpg", "x"));
}
