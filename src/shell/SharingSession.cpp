// One sharing session: configure, start, report, stop.
#include "shell/SharingSession.h"

#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "net/tcpsocket.h"
#include "network/OrvelInternet.h"
#include "server/HttpDaemon.h"
#include "server/PrivateShare.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>

std::string SharedFolderProblem(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return "The folder to share does not exist: " + folder;
    return "The folder to share cannot be read: " + folder;
  }
  // IsFolder also refuses a name ending in a blank.
  if (!S_ISDIR(st.st_mode) || !IsFolder(folder)) {
    return "The folder to share is not a folder: " + folder;
  }
  // Listing it needs read permission, looking at its entries search permission.
  if (::access(folder.c_str(), R_OK | X_OK) != 0) {
    return "The folder to share cannot be read: " + folder;
  }
  return {};
}

// What the session shares with the workers' status callback, which may
// outlive it. The lock is recursive: a report listener that lets the window
// handle its events may meet the next report on the same thread.
struct TSharingSession::TShared {
  mutable std::recursive_mutex lock;
  bool closed = false;  // the session is gone
  StatusBoard board;
  TReportCarrier carrier;
  TReportListener listener;
  bool listenerWantsRows = true;
  // The report handed to the listener, kept so that its lines and rows reuse
  // their storage from one report to the next; a report met while the
  // listener still reads it (depth > 0) uses one of its own.
  TSharingReport scratch;
  int depth = 0;

  // Takes one report; the caller holds the lock.
  void Take(const std::string& peer, const std::string& operation, const std::string& file);
};

void TSharingSession::TShared::Take(const std::string& peer, const std::string& operation,
                                    const std::string& file) {
  if (closed) return;
  if (!listener) {
    // Nobody shows it: only the board changes.
    board.ReportStatusInto(peer, operation, file, nullptr);
    return;
  }
  TSharingReport nested;
  TSharingReport& report = depth == 0 ? scratch : nested;
  if (!board.ReportStatusInto(peer, operation, file, &report.LogLines)) return;
  if (listenerWantsRows) {
    report.Rows = board.RowsView();
  } else {
    report.Rows.clear();
  }
  struct TDepth {
    int& depth;
    explicit TDepth(int& d) : depth(d) { ++depth; }
    ~TDepth() { --depth; }
  } inside(depth);
  listener(report);
}

TSharingSession::TSharingSession(std::string pluginFolder, std::string systemFolder)
    : shared_(std::make_shared<TShared>()),
      pluginFolder_(std::move(pluginFolder)),
      systemFolder_(std::move(systemFolder)) {}

TSharingSession::~TSharingSession() {
  Stop();
  std::lock_guard<std::recursive_mutex> hold(shared_->lock);
  shared_->closed = true;
  shared_->carrier = nullptr;
  shared_->listener = nullptr;
}

void TSharingSession::SetReportCarrier(TReportCarrier carrier) {
  std::lock_guard<std::recursive_mutex> hold(shared_->lock);
  shared_->carrier = std::move(carrier);
}

void TSharingSession::SetReportListener(TReportListener listener, bool withRows) {
  std::lock_guard<std::recursive_mutex> hold(shared_->lock);
  shared_->listener = std::move(listener);
  shared_->listenerWantsRows = withRows;
}

void TSharingSession::SetListenerSetup(TListenerSetup setup) { listenerSetup_ = std::move(setup); }

void TSharingSession::SetBindAddress(std::string address) { bindAddress_ = std::move(address); }

void TSharingSession::SetInterfaceLister(TInterfaceLister lister) {
  interfaceLister_ = std::move(lister);
}

bool TSharingSession::Start(const AppSettings& settings) {
  Stop();
  plan_ = PlanListeners(bindAddress_.empty() ? settings.BindAddress : bindAddress_,
                        interfaceLister_ ? interfaceLister_() : ListInterfaceAddresses());
  ipv6Problem_.clear();
  // One key gate for every listener.
  privateShare_ =
      settings.PrivateSharing ? std::make_shared<TPrivateShare>(settings.PrivateKey) : nullptr;
  const auto makeListener = [&](const std::string& bindAddress, int port) {
    auto listener = std::make_unique<TTCPHttpDaemon>(pluginFolder_);
    listener->AllowUploads = settings.AcceptUploads;
    listener->PageStyle = settings.PageStyle;
    listener->TimeoutMs = settings.TimeoutMs;
    listener->Cache = cache_;
    listener->StatusCallback = StatusCallback();
    listener->SetPort(std::to_string(port));
    std::string root = settings.SharedFolder;
    if (!root.empty() && root.back() != '/') root += '/';
    listener->RootFolder = root;
    listener->SystemFolder = systemFolder_;
    listener->BindAddress = bindAddress;
    listener->Private = privateShare_;
    if (listenerSetup_) listenerSetup_(*listener);
    return listener;
  };
  auto listener = makeListener(plan_.BindAddress, settings.Port);
  {
    std::lock_guard<std::recursive_mutex> hold(shared_->lock);
    shared_->board.StartSharing();
  }
  listener->Start();
  const bool listening = listener->Listening();
  if (!listening) {
    ShowError("Cannot listen on port " + std::to_string(settings.Port) + ": " +
              DescribeSocketError(listener->ListenError()));
  } else if (!plan_.SecondBind.empty()) {
    // IPv6 on the same port; sharing goes on over IPv4 without it.
    const int port = listener->BoundPort();
    auto listener6 = makeListener(plan_.SecondBind, port);
    listener6->Start();
    if (listener6->Listening()) {
      listener6_ = std::move(listener6);
    } else {
      ipv6Problem_ = "Cannot listen on IPv6 port " + std::to_string(port) + ": " +
                     DescribeSocketError(listener6->ListenError());
    }
  }
  listener_ = std::move(listener);
  return listening;
}

void TSharingSession::StartInternet(TInternetSetup setup, TInternetReach::TUpdateFn updates) {
  if (!listener_ || !listener_->Listening()) return;
  internet_.reset();
  setup.BindAddress = plan_.BindAddress;
  setup.IPv6Address = IPv6Address();
  setup.Port = listener_->BoundPort();
  internet_ = std::make_unique<TInternetReach>(std::move(setup), std::move(updates));
  internet_->Start();
}

void TSharingSession::Stop(int waitMs) {
  // The router stops forwarding before the port closes.
  internet_.reset();
  bool stopped = false;
  for (auto* listener : {&listener_, &listener6_}) {
    if (!*listener) continue;
    (*listener)->Stop();
    stopped_.push_back(std::move(*listener));
    stopped = true;
  }
  privateShare_.reset();
  if (stopped && waitMs > 0) WaitForWorkers(waitMs);
  std::lock_guard<std::recursive_mutex> hold(shared_->lock);
  shared_->board.StopSharing();
}

bool TSharingSession::SetPrivateKey(const std::string& key) {
  if (!privateShare_) return false;
  privateShare_->SetKey(key);
  return true;
}

bool TSharingSession::WaitForWorkers(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  bool idle = true;
  for (auto it = stopped_.begin(); it != stopped_.end();) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if ((*it)->WaitForWorkers(static_cast<int>(std::max<long long>(0, left.count())))) {
      it = stopped_.erase(it);
    } else {
      idle = false;
      ++it;
    }
  }
  for (const auto* listener : {&listener_, &listener6_}) {
    if (*listener && !(*listener)->WaitForWorkers(0)) idle = false;
  }
  return idle;
}

bool TSharingSession::Sharing() const {
  std::lock_guard<std::recursive_mutex> hold(shared_->lock);
  return shared_->board.Sharing();
}

int TSharingSession::BoundPort() const { return listener_ ? listener_->BoundPort() : 0; }

std::string TSharingSession::IPv6Address() const {
  if (!listener_) return {};
  const bool listening = listener6_ || plan_.BindAddress.find(':') != std::string::npos;
  return listening ? plan_.IPv6Address : std::string();
}

std::vector<TConn> TSharingSession::Rows() const {
  std::lock_guard<std::recursive_mutex> hold(shared_->lock);
  return shared_->board.Rows();
}

void TSharingSession::Report(const std::string& peer, const std::string& operation,
                             const std::string& file) {
  std::lock_guard<std::recursive_mutex> hold(shared_->lock);
  shared_->Take(peer, operation, file);
}

TSharingSession::TStatusCallback TSharingSession::StatusCallback() const {
  const std::weak_ptr<TShared> weak = shared_;
  return [weak](const std::string& peer, const std::string& operation, const std::string& file) {
    TReportCarrier carrier;
    {
      const std::shared_ptr<TShared> shared = weak.lock();
      if (!shared) return;
      std::lock_guard<std::recursive_mutex> hold(shared->lock);
      if (shared->closed) return;
      if (!shared->carrier) {
        // Taken here, on the worker's thread, under the one lock.
        shared->Take(peer, operation, file);
        return;
      }
      carrier = shared->carrier;
    }
    carrier([weak, peer, operation, file] {
      const std::shared_ptr<TShared> taker = weak.lock();
      if (!taker) return;
      std::lock_guard<std::recursive_mutex> hold(taker->lock);
      taker->Take(peer, operation, file);
    });
  };
}
