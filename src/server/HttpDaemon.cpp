// Accepting threads on POSIX sockets.
#include "server/HttpDaemon.h"

#include "server/FolderCache.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

TTCPHttpDaemon::TTCPHttpDaemon(const std::string& pluginFolder)
    : plugins_(std::make_shared<const TPluginList>(pluginFolder)),
      registry_(std::make_shared<TWorkerRegistry>()),
      listings_(std::make_shared<TFolderCache>()) {}

TTCPHttpDaemon::~TTCPHttpDaemon() { Stop(); }

// What the accepting threads share; they may outlive the listener object.
struct TTCPHttpDaemon::TAcceptors {
  std::mutex mutex;
  std::condition_variable changed;
  // The listening handle, borrowed: used only inside accept, which a thread
  // enters only while not stopping and counted in waiting, and under the
  // mutex while not stopping.
  int listenFd = -1;
  bool stopping = false;
  int waiting = 0;  // threads inside accept
  int threads = 0;  // threads alive, waiting or serving
  int maxThreads = 0;
  // Threads inside accept at most; idle threads beyond it wait for turn.
  int maxWaiting = 1;
  int parked = 0;  // idle threads waiting for turn
  int called = 0;  // of those, called to accept but not yet awake
  std::condition_variable turn;
  TWorkerSettings settings;  // read-only once threads run
};

void TTCPHttpDaemon::Start() {
  if (acceptors_) return;
  if (!RootFolder.empty() && RootFolder.back() != '/') RootFolder += '/';
  // The handle is made now so that port "0" binds a free port. Address
  // reuse lets a new listener bind the port while connections of the
  // previous one still wait out their close (on Linux it does not let two
  // listeners share a port). An IPv6 listener takes IPv6 alone, so that an
  // IPv4 listener may have the same port.
  const bool ipv6 = BindAddress.find(':') != std::string::npos;
  ListenSocket.Family = ipv6 ? TSocketFamily::IPv6 : TSocketFamily::IPv4;
  ListenSocket.OpenHandle();
  const int one = 1;
  if (ipv6) ListenSocket.SetOption(IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  ListenSocket.SetOption(SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // Accepted connections inherit this: a response leaves in large pieces
  // (the head held back with MSG_MORE until its body follows), and the short
  // end of a piece goes out at once instead of waiting for the peer's
  // acknowledgement, which stalled downloads between pieces.
  ListenSocket.SetOption(IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Connections are taken once their first bytes have arrived (or a peer
  // that sends nothing has waited this long), so a thread that takes one
  // can read the request at once instead of waiting for it.
  const int deferSeconds = ServerLimits::kDeferAcceptSeconds;
  ListenSocket.SetOption(IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);
  // A thread waiting in accept wakes this often to see whether it should end.
  const timeval wake{0, ServerLimits::kListenerPollMs * 1000};
  ListenSocket.SetOption(SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  ListenSocket.Bind(BindAddress, Port);
  if (ListenSocket.LastErrorCode() == 0) ListenSocket.Listen();
  listenError_ = ListenSocket.LastErrorCode();
  listening_ = listenError_ == 0;
  boundPort_ = listening_ ? ListenSocket.LocalPort() : 0;

  acceptors_ = std::make_shared<TAcceptors>();
  TWorkerSettings& settings = acceptors_->settings;
  settings.RootFolder = RootFolder;
  settings.SystemFolder = SystemFolder;
  settings.StatusCallback = StatusCallback;
  settings.Plugins = plugins_;
  settings.TimeoutMs = TimeoutMs;
  settings.AllowUploads = AllowUploads;
  settings.PageStyle = PageStyle;
  settings.Cache = Cache;
  settings.Listings = listings_;
  settings.Registry = registry_;
  settings.HeadTimeLimitMs = HeadTimeLimitMs;
  settings.Private = Private;
  settings.MaxWorkers = std::max(MaxWorkers, 1);
  settings.KeepAliveIdleMs = KeepAliveIdleMs;
  acceptors_->listenFd = ListenSocket.Handle();
  acceptors_->maxThreads = std::max(MaxWorkers, 1);
  acceptors_->maxWaiting = static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
  if (!listening_) return;
  acceptors_->threads = 1;
  if (!StartAcceptor(acceptors_)) {
    acceptors_->threads = 0;
    listening_ = false;
  }
}

void TTCPHttpDaemon::Stop() {
  if (!acceptors_) return;
  {
    std::unique_lock<std::mutex> lock(acceptors_->mutex);
    acceptors_->stopping = true;
    acceptors_->turn.notify_all();
    // Wakes the threads inside accept (it fails once the socket stops
    // listening); the handle is closed only when none is left there.
    ::shutdown(acceptors_->listenFd, SHUT_RD);
    acceptors_->changed.wait(lock, [&] { return acceptors_->waiting == 0; });
  }
  acceptors_.reset();
  ListenSocket.Close();
  listening_ = false;
}

bool TTCPHttpDaemon::StartAcceptor(const std::shared_ptr<TAcceptors>& acceptors) {
  try {
    std::thread(RunAcceptor, acceptors).detach();
    return true;
  } catch (...) {
    return false;
  }
}

namespace {

// Whether a connection waits to be accepted (looked at without waiting).
bool Queued(int listenFd) {
  pollfd ready{listenFd, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN);
}

}  // namespace

void TTCPHttpDaemon::RunAcceptor(std::shared_ptr<TAcceptors> a) {
  using Clock = std::chrono::steady_clock;
  // Connection threads ask for the highest priority the system allows.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -2);
  auto idleSince = Clock::now();
  std::unique_lock<std::mutex> lock(a->mutex);
  while (!a->stopping) {
    ++a->waiting;
    lock.unlock();
    sockaddr_storage peer{};
    socklen_t peerSize = sizeof peer;
    UniqueFd connection(
        ::accept4(a->listenFd, reinterpret_cast<sockaddr*>(&peer), &peerSize, SOCK_CLOEXEC));
    const int error = connection ? 0 : errno;
    lock.lock();
    --a->waiting;
    if (a->stopping) a->changed.notify_all();
    if (!connection) {
      if (a->stopping) break;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        // Nothing came: a thread that waited long enough ends, unless it is
        // the last one waiting.
        if (Clock::now() - idleSince >=
                std::chrono::milliseconds(ServerLimits::kWorkerThreadIdleMs) &&
            a->waiting > 0) {
          break;
        }
      } else if (error != EINTR && error != ECONNABORTED) {
        // Out of handles or memory: the queue is left alone for a moment.
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ServerLimits::kAcceptRetryMs));
        lock.lock();
      }
      continue;
    }
    // Somebody keeps accepting while this thread serves: a thread called
    // before is on its way there; else an idle thread is called, or else
    // another one started.
    bool another = false;
    if (a->waiting == 0 && a->called == 0 && !a->stopping) {
      if (a->parked > 0) {
        ++a->called;
        a->turn.notify_one();
      } else if (a->threads < a->maxThreads) {
        another = true;
        ++a->threads;
      }
    }
    // Counted as a worker before the lock goes: once Stop has seen no thread
    // in accept, WaitForWorkers waits for this connection too.
    if (a->settings.Registry) a->settings.Registry->Enter();
    lock.unlock();
    if (another && !StartAcceptor(a)) {
      std::lock_guard<std::mutex> undo(a->mutex);
      --a->threads;
    }
    TTCPHttpThrd::Serve(std::move(connection), peer, peerSize, a->settings);
    idleSince = Clock::now();
    lock.lock();
    if (a->waiting + a->parked >= ServerLimits::kMaxIdleWorkerThreads) break;
    // More threads in accept than processors would not serve more at once:
    // each would be woken by a connection of its own, a task switch per
    // connection, where a thread back from a short request takes the
    // connections queued meanwhile without sleeping. The others wait here
    // until a thread leaves nobody in accept and calls one. A thread that
    // finds connections queued takes one itself: under load, threads go
    // from one connection to the next without waiting at all.
    if (a->waiting >= a->maxWaiting && !a->stopping && !Queued(a->listenFd)) {
      ++a->parked;
      const bool woken =
          a->turn.wait_for(lock, std::chrono::milliseconds(ServerLimits::kWorkerThreadIdleMs),
                           [&] { return a->called > 0 || a->stopping; });
      --a->parked;
      if (a->called > 0) {
        --a->called;
      } else if (!woken && a->waiting > 0) {
        break;  // idle long enough, and another thread waits in accept
      }
      idleSince = Clock::now();
    }
  }
  --a->threads;
}
