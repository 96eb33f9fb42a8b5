// Listener: owns the server's TCP port, serves every accepted connection with
// a connection worker, and loads the plug-in libraries that may take requests
// before the router.
#pragma once

#include "net/tcpsocket.h"
#include "server/HttpThread.h"
#include "server/PluginList.h"
#include "server/ServerLimits.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class TCacheObj;

// The listener. Configure the public fields, then Start; Stop (or destruction)
// ends the accept loop and frees the port at once. Running workers are not
// stopped: they finish their exchange; WaitForWorkers waits for them.
class TTCPHttpDaemon {
 public:
  // Loads the plug-ins of pluginFolder (the program's folder in the program).
  explicit TTCPHttpDaemon(const std::string& pluginFolder);
  ~TTCPHttpDaemon();
  TTCPHttpDaemon(const TTCPHttpDaemon&) = delete;
  TTCPHttpDaemon& operator=(const TTCPHttpDaemon&) = delete;

  // Configuration, written before Start and only read afterwards.
  std::string RootFolder;  // the shared folder; "/" is appended at Start
  // The program's pictures served in place of missing ones, ending in "/".
  std::string SystemFolder;
  TStatusCallback StatusCallback;
  bool AllowUploads = false;
  TPageStyle PageStyle = TPageStyle::Classic;
  int TimeoutMs = ServerLimits::kDefaultTimeoutMs;
  TCacheObj* Cache = nullptr;
  // Every IPv4 interface by default; tests use "127.0.0.1". An IPv6 address
  // listens on IPv6 alone ("::": every IPv6 interface).
  std::string BindAddress = "0.0.0.0";
  int MaxWorkers = ServerLimits::kMaxWorkers;
  int HeadTimeLimitMs = ServerLimits::kRequestHeadTimeMs;
  // How long a kept connection waits for its next request.
  int KeepAliveIdleMs = ServerLimits::kKeepAliveIdleMs;
  // Private sharing: every request must carry its key. Null: everyone may
  // visit. The key may be changed while sharing (SetKey).
  std::shared_ptr<TPrivateShare> Private;

  void SetPort(const std::string& port) { Port = port; }
  const TPluginList& Plugins() const { return *plugins_; }

  // Binds and listens (port "0" takes a free port), then starts accepting. A
  // bind or listen failure is not fatal: nothing is accepted (ListenError
  // tells why).
  //
  // Accepting: the threads that serve connections accept them too, so a
  // connection is served by the thread that took it, without a hand-over.
  // Blocked in accept, they wait for the next connection (the kernel wakes
  // one per connection). At most one thread per processor waits in accept;
  // other idle threads wait their turn apart, and a thread back from its
  // connection takes a queued one before it waits. A thread that takes a
  // connection while no other waits in accept, and none is on its way there,
  // first calls one of those idle threads, or starts another, up to
  // MaxWorkers threads. A thread serves one connection at a time, so at the
  // cap nobody accepts and new connections wait in the kernel's queue.
  // Threads beyond kMaxIdleWorkerThreads idle, or idle longer than
  // kWorkerThreadIdleMs while another waits in accept, end.
  void Start();
  void Stop();

  bool Listening() const { return listening_; }
  int ListenError() const { return listenError_; }
  // The port actually bound (0 when not listening).
  int BoundPort() const { return boundPort_; }

  int RunningWorkers() const { return registry_->Running(); }
  // Waits up to ms for every worker started by this listener to end.
  bool WaitForWorkers(int ms) { return registry_->WaitIdle(ms); }

 private:
  struct TAcceptors;
  static void RunAcceptor(std::shared_ptr<TAcceptors> acceptors);
  static bool StartAcceptor(const std::shared_ptr<TAcceptors>& acceptors);

  TTcpBlockingSocket ListenSocket;
  std::string Port = std::to_string(ServerLimits::kDefaultPort);
  std::shared_ptr<const TPluginList> plugins_;
  std::shared_ptr<TWorkerRegistry> registry_;
  std::shared_ptr<TFolderCache> listings_;
  std::shared_ptr<TAcceptors> acceptors_;  // none: not started
  bool listening_ = false;
  int listenError_ = 0;
  int boundPort_ = 0;
};
