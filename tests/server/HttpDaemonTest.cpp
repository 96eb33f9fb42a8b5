// Listener over real loopback: port handling, stop and restart, a stop during
// a running exchange, and the download block reader the worker streams with.
#include "base/StartUp.h"
#include "imaging/Bitmap.h"
#include "imaging/CacheKeeper.h"
#include "imaging/JpegImage.h"
#include "server/HttpDaemon.h"

#include "ServerHarness.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <thread>

namespace {

using namespace testing_server;
using namespace std::chrono_literals;

bool Replied(const std::string& reply) { return reply.rfind("HTTP/1.0 200\r\n", 0) == 0; }

TEST(HttpDaemon, FolderWithoutLibrariesSendsEveryRequestToTheRouter) {
  TServerHarness server;
  EXPECT_EQ(0u, server.Daemon().Plugins().Count());
  EXPECT_NE(std::string::npos,
            server.Exchange("GET /take-a HTTP/1.0\r\n\r\n").find(RouterPage(server, "/take-a")));
}

TEST(HttpDaemon, MissingPluginFolderLoadsNothing) {
  TPluginList list("/nonexistent/folder/for/plugins");
  EXPECT_EQ(0u, list.Count());
}

TEST(HttpDaemon, StopFreesThePortAndANewListenerBindsItAgain) {
  TempFolder root, plugins;
  int port = 0;
  {
    TServerHarness first;
    port = first.Port();
    ASSERT_GT(port, 0);
    // A served connection leaves the port's old connections closing.
    EXPECT_TRUE(Replied(first.Exchange("GET / HTTP/1.0\r\n\r\n")));
    first.Daemon().Stop();
    EXPECT_FALSE(first.Connect().valid());  // nobody listens any more
  }
  TTCPHttpDaemon second(plugins.Slash());
  second.BindAddress = "127.0.0.1";
  second.SetPort(std::to_string(port));
  second.RootFolder = root.Path().string();
  second.SystemFolder = SystemFolder();
  second.Start();
  EXPECT_TRUE(second.Listening());
  EXPECT_EQ(port, second.BoundPort());
  second.Stop();
}

// An IPv6 listener takes IPv6 alone, so one for every IPv4 interface and one
// for every IPv6 interface share a port, each serving its own family.
TEST(HttpDaemon, IPv4AndIPv6ListenersShareAPort) {
  TempFolder root, plugins;
  const auto start = [&](const char* address, int port) {
    auto daemon = std::make_unique<TTCPHttpDaemon>(plugins.Slash());
    daemon->BindAddress = address;
    daemon->SetPort(std::to_string(port));
    daemon->RootFolder = root.Path().string();
    daemon->SystemFolder = SystemFolder();
    daemon->Start();
    return daemon;
  };
  auto v4 = start("0.0.0.0", 0);
  ASSERT_TRUE(v4->Listening());
  auto v6 = start("::", v4->BoundPort());
  ASSERT_TRUE(v6->Listening()) << v6->ListenError();
  EXPECT_EQ(v4->BoundPort(), v6->BoundPort());
  for (const char* peer : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(peer);
    TTcpBlockingSocket client;
    client.Connect(peer, std::to_string(v4->BoundPort()));
    ASSERT_EQ(0, client.LastErrorCode());
    client.SendText("GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ("HTTP/1.0 200", client.ReceiveLine(5000));
  }
  v4->Stop();
  v6->Stop();
}

TEST(HttpDaemon, PortInUseAcceptsNothingAndStopsCleanly) {
  TServerHarness holder;
  TempFolder plugins;
  TTCPHttpDaemon daemon(plugins.Slash());
  daemon.BindAddress = "127.0.0.1";
  daemon.SetPort(std::to_string(holder.Port()));
  daemon.Start();
  EXPECT_FALSE(daemon.Listening());
  EXPECT_EQ(10048, daemon.ListenError());
  const auto start = std::chrono::steady_clock::now();
  daemon.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(Replied(holder.Exchange("GET / HTTP/1.0\r\n\r\n")));  // the holder still serves
}

TEST(HttpDaemon, StopDuringAnExchangeLetsItFinishAndReport) {
  TServerHarness server(MIRELO_TEST_PLUGIN_DIR);
  UniqueFd fd = server.Connect();
  TServerHarness::SendAll(fd.get(), "GET /big HTTP/1.0\r\n\r\n");
  // Read a little, so the worker is in the middle of sending.
  char buf[1024];
  ASSERT_GT(::recv(fd.get(), buf, sizeof buf, 0), 0);
  server.Daemon().Stop();
  EXPECT_FALSE(server.Connect().valid());
  const std::string rest = TServerHarness::ReadAll(fd.get());
  EXPECT_GT(rest.size(), (8u << 20) - sizeof buf - 200);
  server.WaitIdle();
  EXPECT_EQ("-1", server.Reports().back().operation);
}

// Threads that served go idle; those beyond one per processor wait apart
// from accept and must be called back when the threads in accept are taken.
// A connection that comes while every earlier one holds a thread is answered
// at once, not when an idle thread's wait runs out.
TEST(HttpDaemon, IdleThreadsTakeTurnsWhenEveryAcceptingOneIsBusy) {
  TServerHarness server;
  const int held = static_cast<int>(std::thread::hardware_concurrency()) + 6;
  const auto holdThreads = [&] {
    std::vector<UniqueFd> holders;
    for (int i = 0; i < held; ++i) {
      holders.push_back(server.Connect());
      // The head is not finished: the thread that takes it waits for more.
      EXPECT_TRUE(TServerHarness::SendAll(holders.back().get(), "GET / HTTP/1.0\r\n"));
    }
    return holders;
  };
  const auto release = [&](std::vector<UniqueFd>& holders) {
    for (auto& fd : holders) EXPECT_TRUE(TServerHarness::SendAll(fd.get(), "\r\n"));
    for (auto& fd : holders) EXPECT_TRUE(Replied(TServerHarness::ReadAll(fd.get())));
  };
  // First as many threads as connections start; then they go idle.
  std::vector<UniqueFd> first = holdThreads();
  release(first);
  server.WaitIdle();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::vector<UniqueFd> holders = holdThreads();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Replied(server.Exchange("GET / HTTP/1.0\r\n\r\n", 5000)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    release(holders);
    server.WaitIdle();
  }
}

namespace {

// A JPEG photo of width x height with a pattern in it.
std::string PatternPhoto(int width, int height) {
  Bitmap bitmap(width, height);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = bitmap.Row(y);
    for (int x = 0; x < width * 3; ++x) row[x] = static_cast<std::uint8_t>(x * 5 + y);
  }
  JpegImage jpeg;
  jpeg.Assign(std::move(bitmap));
  return jpeg.SaveToBytes();
}

}  // namespace

// The last report of a connection may wait for the window; the visitor has
// the whole response and its end before that, from memory and from a file,
// and the thumbnails a listing queued are being made.
TEST(HttpDaemon, ResponseEndsBeforeTheLastReport) {
  TempFolder cacheFolder;
  TCacheObj cache(cacheFolder.Slash());
  cache.LoadDB();
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  std::atomic<int> lastReports{0};
  TServerHarness server({}, [&](TTCPHttpDaemon& daemon) {
    daemon.Cache = &cache;
    daemon.StatusCallback = [&, released](const std::string&, const std::string& op,
                                          const std::string&) {
      if (op != "-1") return;
      released.wait_for(10s);
      ++lastReports;
    };
  });
  std::ofstream(server.Root().Path() / "f.bin", std::ios::binary) << std::string(100000, 'f');
  std::ofstream(server.Root().Path() / "p.jpg", std::ios::binary) << PatternPhoto(300, 200);
  for (const char* request : {"GET / HTTP/1.0\r\n\r\n", "GET /download?f.bin HTTP/1.0\r\n\r\n"}) {
    SCOPED_TRACE(request);
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = server.Exchange(request, 5000);  // to the end
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
    EXPECT_TRUE(Replied(reply));
    EXPECT_EQ(0, lastReports.load());
  }
  EXPECT_TRUE(cache.WaitForThumbs(5000));
  EXPECT_EQ(0, lastReports.load());
  release.set_value();
  server.WaitIdle();
  EXPECT_EQ(2, lastReports.load());
}

// Every descriptor of the process, by number, with what it names.
std::map<std::string, std::string> OpenDescriptors() {
  std::map<std::string, std::string> open;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    open[e.path().filename().string()] = std::filesystem::read_symlink(e.path(), ec).string();
  }
  return open;
}

// A listener with plug-ins serves a listing, a download, a download its
// visitor abandons and a connection that never sends; stopped and released,
// it leaves no descriptor open. The first round takes what the process opens
// once for good (plug-in loading, time zone), so the second is compared.
TEST(HttpDaemon, ServedStoppedAndReleasedLeavesNoDescriptorOpen) {
  // As in the program: a visitor who hangs up mid-download is a send error.
  ::signal(SIGPIPE, SIG_IGN);
  const auto round = [] {
    TServerHarness server(MIRELO_TEST_PLUGIN_DIR);
    std::ofstream(server.Root().Path() / "f.bin", std::ios::binary) << std::string(3 << 20, 'f');
    EXPECT_TRUE(Replied(server.Exchange("GET / HTTP/1.0\r\n\r\n")));
    EXPECT_EQ(0u, server.Exchange("GET /download?f.bin HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200", 0));
    {
      UniqueFd abandoned = server.Connect();
      TServerHarness::SendAll(abandoned.get(), "GET /download?f.bin HTTP/1.0\r\n\r\n");
      char buf[1024];
      EXPECT_GT(::recv(abandoned.get(), buf, sizeof buf, 0), 0);
      UniqueFd silent = server.Connect();
      EXPECT_TRUE(silent.valid());
    }
    server.WaitIdle();
    server.Daemon().Stop();
  };
  round();
  const auto before = OpenDescriptors();
  round();
  EXPECT_EQ(before, OpenDescriptors());
}

class DownloadBlocks : public ::testing::Test {
 protected:
  TempFolder folder;

  TFileRange Open(std::size_t size) {
    const auto path = folder.Path() / "file.bin";
    std::ofstream(path, std::ios::binary) << std::string(size, 'd');
    TFileRange range;
    range.File.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    range.Length = static_cast<std::int64_t>(size);
    return range;
  }
};

TEST_F(DownloadBlocks, WholeBlocksThenTheRest) {
  struct Case {
    std::size_t size;
    std::vector<int> blocks;
  };
  const Case cases[] = {{0, {0}}, {1, {1, 0}}, {65536, {65536, 0}}, {65537, {65536, 1, 0}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    TFileRange range = Open(c.size);
    std::vector<char> buffer(TFileRange::kBlockSize);
    for (int expected : c.blocks) EXPECT_EQ(expected, range.ReadBlock(buffer.data()));
  }
}

TEST_F(DownloadBlocks, ReadWithoutAFileFails) {
  TFileRange range;
  std::vector<char> buffer(TFileRange::kBlockSize);
  EXPECT_THROW(range.ReadBlock(buffer.data()), std::runtime_error);
}

}  // namespace

// Listings of a folder of new photos come back before their thumbnails are
// made; several at once name the same thumbnails, a thumbnail request is
// answered with its picture, and stopping the listener and then ending the
// cache with thumbnails still queued leaves a database that names exactly
// the thumbnails on disk.
TEST(HttpDaemon, ListingsWhileThumbnailsArePendingAndAStopEndCleanly) {
  TempFolder cacheFolder;
  auto cache = std::make_unique<TCacheObj>(cacheFolder.Slash());
  cache->LoadDB();
  cache->SetMakerThreads(1);
  {
    TServerHarness server({}, [&](TTCPHttpDaemon& d) { d.Cache = cache.get(); });
    const std::string photo = PatternPhoto(900, 600);
    for (int i = 0; i < 24; ++i) {
      std::ofstream(server.Root().Path() / (std::to_string(100 + i) + ".jpg"), std::ios::binary)
          << photo;
    }
    std::vector<std::string> pages(3);
    {
      std::vector<std::thread> visitors;
      for (auto& page : pages) {
        visitors.emplace_back([&] { page = server.Exchange("GET / HTTP/1.0\r\n\r\n"); });
      }
      for (auto& t : visitors) t.join();
    }
    // The same page each time; only the Date line may tick over.
    std::vector<std::string> firstHead, head;
    std::string firstBody, body;
    SplitReply(pages[0], firstHead, firstBody);
    for (const auto& page : pages) {
      ASSERT_TRUE(Replied(page));
      SplitReply(page, head, body);
      EXPECT_TRUE(firstBody == body);
      EXPECT_EQ(firstHead.size(), head.size());
    }
    EXPECT_NE(std::string::npos, pages[0].find("/TAMBNEIL/000000025.JPG"));
    EXPECT_EQ(25, cache->LastEntry());  // one number per picture
    EXPECT_GT(cache->PendingThumbs(), 0);
    SplitReply(server.Exchange("GET /TAMBNEIL/000000020.JPG HTTP/1.0\r\n\r\n"), head, body);
    ASSERT_EQ("HTTP/1.0 200", head[0]);
    EXPECT_EQ("\xFF\xD8", body.substr(0, 2));
    EXPECT_EQ(
        std::string(
            std::istreambuf_iterator<char>(
                std::ifstream(cacheFolder.Slash() + "000000020.JPG", std::ios::binary).rdbuf()),
            {}),
        body);
    server.Daemon().Stop();
    server.WaitIdle();
  }
  cache.reset();  // drops what is still queued, waits for what is being made
  TCacheObj again(cacheFolder.Slash());
  again.LoadDB();
  EXPECT_EQ(25, again.LastEntry());
  std::vector<std::string> names = again.Outputs();
  EXPECT_EQ(again.Inputs().size(), names.size());
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(cacheFolder.Path())) {
    const std::string name = e.path().filename().string();
    if (name.ends_with(".JPG")) files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(names, files);
}
