// How a download is best sent: 64 KiB read-and-send blocks (TFileRange::ReadBlock)
// or sendfile in pieces (TFileRange::Send), over a loopback TCP connection to a reader
// thread. The bytes on the wire are the same; only the speed differs.
#include "net/tcpsocket.h"
#include "server/HttpResponse.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kFileBytes = size_t{256} << 20;

const std::string& TestFile() {
  static const std::string path = [] {
    std::string p = "/tmp/mirelo-download-bench-XXXXXX";
    UniqueFd fd(mkstemp(p.data()));
    if (!fd) throw std::runtime_error("mkstemp");
    std::vector<char> block(1 << 20);
    unsigned x = 12345;
    for (auto& c : block) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    for (size_t done = 0; done < kFileBytes; done += block.size()) {
      if (write(fd.get(), block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
        throw std::runtime_error("write");
      }
    }
    std::atexit([] { unlink(path.c_str()); });
    return p;
  }();
  return path;
}

// A connected loopback pair: the sender's end and a thread that reads all.
struct Connection {
  UniqueFd sender;
  std::thread reader;
  size_t received = 0;

  Connection() {
    UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      throw std::runtime_error("listen");
    }
    sender.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(sender.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      throw std::runtime_error("connect");
    }
    UniqueFd peer(accept(listener.get(), nullptr, nullptr));
    reader = std::thread([this, p = std::move(peer)] {
      std::vector<char> buf(1 << 18);
      for (;;) {
        const ssize_t n = recv(p.get(), buf.data(), buf.size(), 0);
        if (n <= 0) break;
        received += static_cast<size_t>(n);
      }
    });
  }
  // Ends the sending side (sender, or the socket that took it over) and
  // waits for the reader.
  size_t Finish(int sending) {
    shutdown(sending, SHUT_WR);
    reader.join();
    return received;
  }
};

void OpenFile(TFileRange& range) {
  range.File.reset(open(TestFile().c_str(), O_RDONLY | O_CLOEXEC));
  range.Offset = 0;
  range.Length = static_cast<std::int64_t>(kFileBytes);
}

void BM_DownloadBlocks64K(benchmark::State& state) {
  for (auto _ : state) {
    TFileRange range;
    OpenFile(range);
    Connection c;
    std::vector<char> block(TFileRange::kBlockSize);
    while (const int n = range.ReadBlock(block.data())) {
      for (int sent = 0; sent < n;) {
        const ssize_t s = send(c.sender.get(), block.data() + sent, n - sent, MSG_NOSIGNAL);
        if (s <= 0) throw std::runtime_error("send");
        sent += static_cast<int>(s);
      }
    }
    if (c.Finish(c.sender.get()) != kFileBytes) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
BENCHMARK(BM_DownloadBlocks64K)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_DownloadSendfile(benchmark::State& state) {
  for (auto _ : state) {
    TFileRange range;
    OpenFile(range);
    Connection c;
    TTcpBlockingSocket socket;
    socket.AdoptHandle(std::move(c.sender));
    socket.SendTimeoutMs = 30000;  // as in the server: pieces on a non-blocking socket
    if (!range.Send(socket)) state.SkipWithError("sendfile failed");
    if (c.Finish(socket.Handle()) != kFileBytes) state.SkipWithError("short transfer");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
BENCHMARK(BM_DownloadSendfile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
