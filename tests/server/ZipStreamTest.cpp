// ZIP archives of share folders, unpacked by Info-ZIP's unzip and Python's
// zipfile and compared with the folder byte for byte; the ZIP64 records; and
// the "/.mirelo/zip/" address with hostile paths and a visitor who leaves.
#include "server/ZipStream.h"

#include "ServerHarness.h"
#include "server/ShareFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

using namespace testing_server;

// Every folder (name ending in "/", no bytes) and file below dir, with bytes.
std::map<std::string, std::string> TreeOf(const fs::path& dir) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string rel = fs::relative(it->path(), dir).string();
    if (it->is_directory()) {
      tree[rel + "/"] = "";
    } else {
      std::ifstream in(it->path(), std::ios::binary);
      tree[rel] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return tree;
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// The archive of folder rel of share, as the route makes it.
bool WriteZip(const TempFolder& share, const std::vector<std::string>& rel,
              const std::string& archive) {
  TShareFolder folder = OpenShareFolder(share.Slash(), rel);
  if (!folder.Handle) return false;
  std::ofstream out(archive, std::ios::binary);
  TZipStream zip(RealShareRoot(share.Slash()));
  return zip.Write(std::move(folder.Handle), [&out](const char* data, std::size_t size) {
    out.write(data, static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
  });
}

std::map<std::string, std::string> Unzipped(const std::string& archive, const TempFolder& into) {
  EXPECT_EQ(0, Shell("unzip -qq " + Quoted(archive) + " -d " + Quoted(into.Slash() + "out")));
  return TreeOf(into.Path() / "out");
}

// Python's reading of the archive: one line per entry, "name size flags".
std::string PythonListing(const std::string& archive) {
  const std::string listing = archive + ".txt";
  const std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "bad = z.testzip()\n"
      "out = open(sys.argv[2], 'w', encoding='utf-8', errors='surrogateescape')\n"
      "out.write('bad %s\\n' % bad)\n"
      "out.write('entries %d\\n' % len(z.infolist()))\n"
      "for i in z.infolist()[:20]:\n"
      "  out.write('%s %d %d\\n' % (i.filename, i.file_size, i.flag_bits))\n";
  const std::string scriptPath = archive + ".py";
  std::ofstream(scriptPath) << script;
  EXPECT_EQ(0,
            Shell("python3 " + Quoted(scriptPath) + " " + Quoted(archive) + " " + Quoted(listing)));
  std::ifstream in(listing);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ZipOfAShare : public ::testing::Test {
 protected:
  TempFolder share;
  TempFolder work;
  TempFolder outside;
  std::string Archive() const { return work.Slash() + "a.zip"; }
};

TEST_F(ZipOfAShare, UnpacksToTheVisibleTreeByteForByte) {
  std::string block(70000, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 300);
  share.Write("a.txt", "hello\n");
  share.Write("sub dir/b.bin", block);
  share.Write("sub dir/deep/na\xC3\xAFve \xC3\xBC.txt", "\xC3\xBC");
  share.Write("sub dir/empty.txt", "");
  share.Mkdir("empty folder");
  // Left out: hidden names, links that lead outside or into hidden places,
  // a link back up the tree, and what is neither file nor folder.
  share.Write(".hidden.txt", "h");
  share.Write(".secret/inner.txt", "s");
  share.Write("sub dir/.dot/x", "d");
  outside.Write("outside.txt", "outside");
  fs::create_symlink(outside / "outside.txt", share / "link-out.txt");
  fs::create_symlink(outside.Path(), share / "link-out-folder");
  fs::create_symlink(share / ".secret", share / "link-to-hidden");
  fs::create_symlink("..", share / "sub dir/up");
  fs::create_symlink("/nonexistent/x", share / "broken");
  ASSERT_EQ(0, ::mkfifo((share / "fifo").c_str(), 0600));
  // Kept: a link to a file inside the share, as a file of its own.
  fs::create_symlink("sub dir/b.bin", share / "link-in.bin");

  ASSERT_TRUE(WriteZip(share, {}, Archive()));
  const std::map<std::string, std::string> expected = {
      {"a.txt", "hello\n"},
      {"empty folder/", ""},
      {"link-in.bin", block},
      {"sub dir/", ""},
      {"sub dir/b.bin", block},
      {"sub dir/deep/", ""},
      {"sub dir/deep/na\xC3\xAFve \xC3\xBC.txt", "\xC3\xBC"},
      {"sub dir/empty.txt", ""},
  };
  EXPECT_EQ(expected, Unzipped(Archive(), work));
  EXPECT_EQ(0, Shell("unzip -tqq " + Quoted(Archive())));
  EXPECT_NE(std::string::npos, PythonListing(Archive()).find("bad None\nentries 8\n"));
}

TEST_F(ZipOfAShare, ASubFolderHoldsOnlyItsOwnEntries) {
  share.Write("top.txt", "t");
  share.Write("pics/one.jpg", "1");
  share.Write("pics/more/two.jpg", "22");
  ASSERT_TRUE(WriteZip(share, {"pics"}, Archive()));
  const std::map<std::string, std::string> expected = {
      {"one.jpg", "1"}, {"more/", ""}, {"more/two.jpg", "22"}};
  EXPECT_EQ(expected, Unzipped(Archive(), work));
}

TEST_F(ZipOfAShare, Utf8FlagOnlyOnUtf8Names) {
  share.Write("\xC3\xBC.txt", "u");
  share.Write("plain.txt", "p");
  share.Write("latin\xFF.txt", "l");
  ASSERT_TRUE(WriteZip(share, {}, Archive()));
  const std::string listing = PythonListing(Archive());
  // Bit 3 (data descriptor) always; bit 11 (UTF-8) on valid UTF-8 names.
  EXPECT_NE(std::string::npos, listing.find("\xC3\xBC.txt 1 2056\n")) << listing;
  EXPECT_NE(std::string::npos, listing.find("plain.txt 1 2056\n")) << listing;
  EXPECT_NE(std::string::npos, listing.find(".txt 1 8\n")) << listing;
}

TEST(ZipStreamText, Utf8Validity) {
  struct Case {
    const char* text;
    bool utf8;
  };
  const Case cases[] = {
      {"plain", true},
      {"\xC3\xBC", true},
      {"\xE2\x82\xAC", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xFF", false},
      {"\xC3", false},
      {"\xC0\xAF", false},          // overlong "/"
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xF4\x90\x80\x80", false},  // beyond U+10FFFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.utf8, TZipStream::IsUtf8(c.text));
  }
}

TEST(ZipStreamText, DosTimesAreClampedToTheirYears) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 2024-03-05 14:07:09: date (44 << 9 | 3 << 5 | 5), time (14 << 11 | 7 << 5 | 4).
  EXPECT_EQ(((44u << 9 | 3u << 5 | 5u) << 16) | (14u << 11 | 7u << 5 | 4u),
            TZipStream::DosDateTime(1709647629));
  EXPECT_EQ((0u << 9 | 1u << 5 | 1u) << 16, TZipStream::DosDateTime(0));
  unsetenv("TZ");
  tzset();
}

TEST_F(ZipOfAShare, Zip64WhenThereAreMoreThan65535Entries) {
  const int count = 65600;
  for (int i = 0; i < count; ++i) {
    UniqueFd fd(
        ::open((share.Slash() + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
  }
  ASSERT_TRUE(WriteZip(share, {}, Archive()));
  EXPECT_NE(std::string::npos, PythonListing(Archive()).find("bad None\nentries 65600\n"));
  EXPECT_EQ(0, Shell("unzip -tqq " + Quoted(Archive())));
}

TEST_F(ZipOfAShare, Zip64ForAFileOf4GiBAndMore) {
  // A sparse file: a few real bytes at both ends of 4 GiB + 5 bytes.
  const off_t size = (off_t{1} << 32) + 5;
  {
    UniqueFd fd(::open((share.Slash() + "big.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    ASSERT_EQ(0, ::ftruncate(fd.get(), size));
    ASSERT_EQ(5, ::pwrite(fd.get(), "start", 5, 0));
    ASSERT_EQ(3, ::pwrite(fd.get(), "end", 3, size - 3));
  }
  share.Write("after.txt", "after");
  // The archive is written sparse as well: blocks of zeros are skipped.
  TShareFolder folder = OpenShareFolder(share.Slash(), {});
  UniqueFd out(::open(Archive().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  ASSERT_TRUE(out);
  off_t at = 0;
  TZipStream zip(RealShareRoot(share.Slash()));
  auto sink = [&](const char* data, std::size_t n) {
    static const std::string kZeros(TZipStream::kBlockSize, '\0');
    const bool zeros = n <= kZeros.size() && std::memcmp(data, kZeros.data(), n) == 0;
    if (!zeros && ::pwrite(out.get(), data, n, at) != static_cast<ssize_t>(n)) return false;
    at += static_cast<off_t>(n);
    return true;
  };
  ASSERT_TRUE(zip.Write(std::move(folder.Handle), sink));
  ASSERT_EQ(0, ::ftruncate(out.get(), at));
  out.reset();
  EXPECT_EQ(static_cast<std::uint64_t>(at), zip.BytesWritten());

  // unzip checks every CRC (the bytes at both ends included); Python reads
  // the ZIP64 sizes.
  EXPECT_EQ(0, Shell("unzip -tqq " + Quoted(Archive())));
  EXPECT_EQ(0, Shell("unzip -p " + Quoted(Archive()) + " after.txt | grep -qx after"));
  const std::string script =
      "import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "i = z.getinfo('big.bin')\n"
      "head = z.open(i).read(5)\n"
      "sys.exit(0 if (i.file_size, head) == (4294967301, b'start') else 1)\n";
  std::ofstream(work.Slash() + "check.py") << script;
  EXPECT_EQ(0, Shell("python3 " + Quoted(work.Slash() + "check.py") + " " + Quoted(Archive())));
}

TEST(SharePath, DecodesOnlyVisibleNames) {
  struct Case {
    const char* encoded;
    bool accepted;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"", true, {}},
      {"a/b/", true, {"a", "b"}},
      {"sub%20dir/x+y", true, {"sub dir", "x y"}},
      {"a%2Fb", false, {}},  // a "/" inside a name
      {"..", false, {}},
      {"%2e%2e/etc", false, {}},  // ".." spelt in escapes
      {"a/../..", false, {}},
      {".hidden", false, {}},
      {"a/.", false, {}},
      {"a//b", false, {}},
      {"/etc", false, {}},
      {"a%00b", false, {}},
      {"a%zz", false, {}},  // a malformed escape
      {"a?b=c", true, {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.encoded);
    std::vector<std::string> names;
    EXPECT_EQ(c.accepted, DecodeSharePath(c.encoded, names));
    if (c.accepted) {
      EXPECT_EQ(c.names, names);
    }
  }
}

TEST(SharePath, VisibleInsideTheShare) {
  struct Case {
    const char* path;
    bool inside;
  };
  const Case cases[] = {
      {"/srv/share", true},       {"/srv/share/a/b", true}, {"/srv/share/a/.b", false},
      {"/srv/share/.a/b", false}, {"/srv/shared/a", false}, {"/srv", false},
      {"/srv/share/a..b", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(c.inside, IsVisibleInside("/srv/share", c.path));
  }
  EXPECT_TRUE(IsVisibleInside("/", "/etc"));
}

// --- The address ----------------------------------------------------------

TEST(ZipAddress, StreamsTheFolderWithItsName) {
  TServerHarness server;
  server.Root().Write("pics of 2024/a.jpg", "jpeg bytes");
  server.Root().Write("pics of 2024/b/c.txt", "c");
  const std::string reply =
      server.Exchange("GET /.mirelo/zip/pics%20of%202024/ HTTP/1.1\r\nHost: a\r\n\r\n");
  std::vector<std::string> head;
  std::string body;
  SplitReply(reply, head, body);
  ASSERT_FALSE(head.empty());
  EXPECT_EQ("HTTP/1.0 200", head[0]);
  EXPECT_NE(head.end(), std::find(head.begin(), head.end(), "Content-Type: application/zip"));
  EXPECT_NE(head.end(),
            std::find(head.begin(), head.end(),
                      "Content-Disposition: attachment; filename=\"pics of 2024.zip\""));
  EXPECT_NE(head.end(), std::find(head.begin(), head.end(), "Connection: close"));
  TempFolder work;
  std::ofstream(work.Slash() + "a.zip", std::ios::binary) << body;
  const std::map<std::string, std::string> expected = {
      {"a.jpg", "jpeg bytes"}, {"b/", ""}, {"b/c.txt", "c"}};
  EXPECT_EQ(expected, Unzipped(work.Slash() + "a.zip", work));
}

TEST(ZipAddress, HostilePathsFindNothing) {
  TServerHarness server;
  TempFolder outside;
  outside.Write("secret.txt", "secret");
  server.Root().Write("sub/a.txt", "a");
  server.Root().Write(".hidden/h.txt", "h");
  fs::create_symlink(outside.Path(), server.Root() / "out");
  fs::create_symlink(server.Root() / ".hidden", server.Root() / "in-hidden");
  for (const char* path :
       {"..%2F", "%2e%2e/", "sub/..%2f..%2f", "sub/%2e%2e/%2e%2e/", ".hidden/", "out/",
        "in-hidden/", "missing/", "sub/a.txt", "sub%zz/", "/etc/", "sub/../../"}) {
    SCOPED_TRACE(path);
    const std::string reply =
        server.Exchange(std::string("GET /.mirelo/zip/") + path + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(0u, reply.rfind("HTTP/1.0 404\r\n", 0)) << reply;
    EXPECT_EQ("Not found\n", reply.substr(reply.find("\r\n\r\n") + 4));
  }
}

TEST(ZipAddress, StopsWhenTheVisitorGoesAway) {
  TServerHarness server;
  {
    // A sparse file of 1 TiB: a worker that read on would not end for hours.
    UniqueFd fd(
        ::open((server.Root().Slash() + "big.bin").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    ASSERT_EQ(0, ::ftruncate(fd.get(), off_t{1} << 40));
  }
  UniqueFd fd = server.Connect();
  ASSERT_TRUE(TServerHarness::SendAll(fd.get(), "GET /.mirelo/zip/ HTTP/1.0\r\n\r\n"));
  char buf[65536];
  std::size_t got = 0;
  while (got < 200000) {
    const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  fd.reset();
  // The worker notices at its next send and ends; it does not read on.
  server.WaitIdle();
  const auto ops = server.Operations();
  ASSERT_GE(ops.size(), 3u);
  EXPECT_EQ("Downloading...", ops[1]);
  EXPECT_EQ("-1", ops.back());
}

}  // namespace
