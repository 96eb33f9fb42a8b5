// Fuzzes the connection worker's request reader: every input is sent as one
// connection's bytes (then end of stream) to a real worker with uploads on.
#include "base/StartUp.h"
#include "base/UniqueFd.h"
#include "server/HttpThread.h"
#include "support/TempFolder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct TFuzzSetup {
  TempFolder folder;
  std::string root = folder.Slash();
  std::shared_ptr<TWorkerRegistry> registry = std::make_shared<TWorkerRegistry>();
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TFuzzSetup setup;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  UniqueFd client(pair[0]);
  TWorkerSettings settings;
  settings.RootFolder = setup.root;
  settings.SystemFolder = SystemFolder();
  settings.TimeoutMs = 50;
  settings.AllowUploads = true;
  settings.Registry = setup.registry;
  settings.HeadTimeLimitMs = 2000;
  setup.registry->Enter();
  std::thread worker([connection = UniqueFd(pair[1]), settings = std::move(settings)]() mutable {
    TTCPHttpThrd::Serve(std::move(connection), sockaddr_storage{}, 0, std::move(settings));
  });

  // Send everything while draining the reply, then end the stream and read
  // the rest until the worker closes.
  ::fcntl(client.get(), F_SETFL, O_NONBLOCK);
  std::size_t sent = 0;
  bool open = true;
  while (open) {
    pollfd p{client.get(), static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    if (p.revents & POLLOUT) {
      const ssize_t n = ::send(client.get(), data + sent, size - sent, MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN) sent = size;
      if (sent == size) ::shutdown(client.get(), SHUT_WR);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[65536];
      const ssize_t n = ::recv(client.get(), buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN)) open = false;
    }
    if (size == 0 && sent == 0) {
      ::shutdown(client.get(), SHUT_WR);
      sent = 1;  // nothing to send
    }
  }
  client.reset();
  if (!setup.registry->WaitIdle(10000)) std::abort();  // a worker that never ends
  worker.join();
  // Uploads land in the shared folder; start every input from an empty one.
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(setup.root, ec)) fs::remove_all(e.path(), ec);
  return 0;
}
