// The multipart reader of uploads, fed through a socket pair: which part is
// stored, malformed bodies, and storing without replacing.
#include "server/UploadReceiver.h"

#include "ServerHarness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace testing_server;
using ::testing::ElementsAre;

std::string ReadWhole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TOutcome {
  bool reply = false;
  std::string stored;
  std::vector<std::string> clientNames;
};

// Runs the receiver over body, sent by a peer that then closes its side
// unless keepOpen (a peer that sends the body and waits for the reply).
TOutcome Receive(const TempFolder& folder, const std::string& body, bool store = true,
                 bool keepOpen = false) {
  int pair[2];
  EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
  UniqueFd peer(pair[1]);
  std::thread writer([&] {
    std::size_t sent = 0;
    while (sent < body.size()) {
      const ssize_t n = ::send(peer.get(), body.data() + sent, body.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (!keepOpen) ::shutdown(peer.get(), SHUT_WR);
  });
  TTcpBlockingSocket socket;
  socket.AdoptHandle(UniqueFd(pair[0]));
  socket.MaxLineLength = 16 * 1024;
  TOutcome out;
  TUploadReceiver receiver(socket, 2000, folder.Slash(), store,
                           [&](const std::string& name) { out.clientNames.push_back(name); });
  out.reply = receiver.Receive();
  out.stored = receiver.StoredName();
  writer.join();
  return out;
}

std::string FilePart(const std::string& name, const std::string& content) {
  return "Content-Disposition: form-data; name=\"file\"; filename=\"" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}

const std::string kPathPart = "Content-Disposition: form-data; name=\"path\"\r\n\r\n/sub/\r\n";

TEST(UploadReceiver, StoresTheFilePartWhereverItStands) {
  struct Case {
    const char* what;
    std::string body;
  };
  const std::string content = "line\r\n--bo\r\n\r\nundary-like\r\n";
  const Case cases[] = {
      {"file, then path",
       "--bd\r\n" + FilePart("a.txt", content) + "--bd\r\n" + kPathPart + "--bd--\r\n"},
      {"path, then file",
       "--bd\r\n" + kPathPart + "--bd\r\n" + FilePart("a.txt", content) + "--bd--\r\n"},
      {"file only", "--bd\r\n" + FilePart("a.txt", content) + "--bd--\r\n"},
      {"nothing after the file's delimiter", "--bd\r\n" + FilePart("a.txt", content) + "--bd"},
      {"junk after the file's delimiter", "--bd\r\n" + FilePart("a.txt", content) + "--bdXYZ"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    // The peer keeps its side open: the receiver must not wait for more.
    const TOutcome out = Receive(folder, c.body, true, true);
    EXPECT_TRUE(out.reply);
    EXPECT_EQ("a.txt", out.stored);
    EXPECT_THAT(out.clientNames, ElementsAre("a.txt"));
    EXPECT_THAT(folder.Entries(), ElementsAre("a.txt"));
    EXPECT_EQ(content, ReadWhole(folder.Path() / "a.txt"));
  }
}

TEST(UploadReceiver, MalformedBodiesStoreNothing) {
  struct Case {
    const char* what;
    std::string body;
  };
  std::string manyHeaders = "--bd\r\n";
  for (int i = 0; i < 40; ++i) manyHeaders += "X-Filler: " + std::to_string(i) + "\r\n";
  manyHeaders += FilePart("a.txt", "x") + "--bd--\r\n";
  std::string manyParts;
  for (int i = 0; i < 70; ++i) manyParts += "--bd\r\n" + kPathPart;
  manyParts += "--bd\r\n" + FilePart("a.txt", "x") + "--bd--\r\n";
  const Case cases[] = {
      {"empty body", ""},
      {"no line end", "--bd"},
      {"first line is no delimiter", "hello\r\n" + FilePart("a.txt", "x") + "--bd--\r\n"},
      {"bare dashes", "--\r\n" + FilePart("a.txt", "x") + "----\r\n"},
      {"headers never end", "--bd\r\nContent-Disposition: form-data; filename=\"a.txt\"\r\n"},
      {"content never ends", "--bd\r\n" + FilePart("a.txt", "no end")},
      {"content cut before the line end", "--bd\r\n" + FilePart("a.txt", "x") + "--b"},
      {"no part has a file name", "--bd\r\n" + kPathPart + "--bd--\r\n"},
      {"field value never ends", "--bd\r\nContent-Disposition: form-data; name=\"path\"\r\n\r\n/"},
      {"junk after a field's delimiter",
       "--bd\r\n" + kPathPart + "--bdjunk" + FilePart("a.txt", "x") + "--bd--\r\n"},
      {"too many header lines", manyHeaders},
      {"too many parts before the file", manyParts},
      {"header line too long", "--bd\r\nContent-Disposition: form-data; name=\"" +
                                   std::string(20000, 'n') +
                                   "\"; filename=\"a.txt\"\r\n\r\nx\r\n--bd--\r\n"},
      {"empty file name", "--bd\r\n" + FilePart("", "x") + "--bd--\r\n"},
      {"file name is a folder step", "--bd\r\n" + FilePart("a/..", "x") + "--bd--\r\n"},
      {"control character in the name", "--bd\r\n" + FilePart("a\tb", "x") + "--bd--\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder folder;
    const TOutcome out = Receive(folder, c.body);
    EXPECT_FALSE(out.reply);
    EXPECT_EQ("", out.stored);
    EXPECT_TRUE(folder.Entries().empty());
  }
}

TEST(UploadReceiver, RefusedUploadsReadTheFileAndStoreNothing) {
  TempFolder folder;
  const TOutcome out =
      Receive(folder, "--bd\r\n" + FilePart("a.txt", "x") + "--bd--\r\n", false, true);
  EXPECT_TRUE(out.reply);
  EXPECT_EQ("", out.stored);
  EXPECT_TRUE(folder.Entries().empty());
}

TEST(UploadReceiver, NeverReplacesAFile) {
  TempFolder folder;
  for (const char* name : {"a.txt", "a (2).txt", ".hidden", ".hidden (2)"})
    std::ofstream(folder.Path() / name) << "old";
  for (const char* name : {"a.txt", ".hidden", "noext", "a.txt", "x.tar.gz"})
    Receive(folder, "--bd\r\n" + FilePart(name, std::string("new ") + name) + "--bd--\r\n");
  EXPECT_THAT(folder.Entries(),
              ElementsAre(".hidden", ".hidden (2)", ".hidden (3)", "a (2).txt", "a (3).txt",
                          "a (4).txt", "a.txt", "noext", "x.tar.gz"));
  for (const char* name : {"a.txt", "a (2).txt", ".hidden", ".hidden (2)"})
    EXPECT_EQ("old", ReadWhole(folder.Path() / name)) << name;
  EXPECT_EQ("new a.txt", ReadWhole(folder.Path() / "a (3).txt"));
  EXPECT_EQ("new .hidden", ReadWhole(folder.Path() / ".hidden (3)"));
}

TEST(UploadReceiver, ConcurrentStoresOfOneNameKeepEveryFile) {
  TempFolder folder;
  constexpr int kCount = 8;
  std::vector<std::thread> threads;
  std::vector<std::string> stored(kCount);
  for (int i = 0; i < kCount; ++i) {
    threads.emplace_back([&, i] {
      const std::string temp = folder.Slash() + ".temp" + std::to_string(i);
      std::ofstream(temp) << "content " << i;
      stored[i] = TUploadReceiver::StoreWithoutReplacing(temp, folder.Slash(), "same.bin");
    });
  }
  for (auto& t : threads) t.join();
  std::vector<std::string> expected = {"same.bin"};
  for (int n = 2; n <= kCount; ++n) expected.push_back("same (" + std::to_string(n) + ").bin");
  std::vector<std::string> got = stored;
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, got);
  EXPECT_EQ(expected, folder.Entries());
  for (int i = 0; i < kCount; ++i)
    EXPECT_EQ("content " + std::to_string(i), ReadWhole(folder.Path() / stored[i]));
}

TEST(UploadReceiver, DispositionFileName) {
  struct Case {
    std::string line;
    bool found;
    std::string name;
  };
  const Case cases[] = {
      {"Content-Disposition: form-data; name=\"file\"; filename=\"a b.jpg\"", true, "a b.jpg"},
      {"content-disposition: form-data; FILENAME=\"C:\\x\\y.jpg\"", true, "C:\\x\\y.jpg"},
      {"Content-Disposition: form-data; filename=\"q\"uote.txt\"", true, "q\"uote.txt"},
      {"Content-Disposition: form-data; filename=\"a.txt\"; size=3", true, "a.txt"},
      {"Content-Disposition: form-data; filename=plain.txt ; x=1", true, "plain.txt"},
      {"Content-Disposition: form-data; filename=\"\"", true, ""},
      {"Content-Disposition: form-data; name=\"path\"", false, ""},
      {"Content-Disposition: form-data; name=\"xfilename=a\"", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    bool found = !c.found;
    EXPECT_EQ(c.name, TUploadReceiver::DispositionFileName(c.line, found));
    EXPECT_EQ(c.found, found);
  }
}

}  // namespace
