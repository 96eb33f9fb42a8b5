// One sharing session: the listener configured from the settings, started,
// its workers' status reports kept on the connection board and handed to the
// program, and stopped. The window and the headless program each hold one,
// so what sharing gains is added here once, for both:
//  - a setting for how the listener serves (a key, a page style): a row in
//    the settings table, read in Start where the listener is configured;
//  - work that follows a successful start (port mapping, a reachability
//    check): started once the listener listens (StartInternet), undone in
//    Stop, its outcome given to the program as it comes.
//
// Threads: Start, Stop and WaitForWorkers run on the program's thread.
// Workers report on their own threads through the report carrier; the board
// and the report listener are then used under the session's lock.
#pragma once

#include "shell/AppSettings.h"
#include "shell/InternetReach.h"
#include "shell/StatusBoard.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TCacheObj;
class TPrivateShare;
class TTCPHttpDaemon;

// Why a folder cannot be shared, in a sentence naming it: it does not exist,
// is not a folder (as IsFolder has it), or this process cannot list it.
// Empty when it can be shared.
std::string SharedFolderProblem(const std::string& folder);

// What one report changed: the log lines it yields (one per remaining entry)
// and the connection rows after it.
struct TSharingReport {
  std::vector<std::string> LogLines;
  std::vector<TConn> Rows;
};

class TSharingSession {
 public:
  // A worker's report as the listener gives it: peer address, operation, file.
  using TStatusCallback =
      std::function<void(const std::string&, const std::string&, const std::string&)>;
  // Carries a worker's report to where the program takes reports (the window
  // thread) and returns once it was carried out or dropped. Without one the
  // report is carried out on the worker's thread.
  using TReportCarrier = std::function<void(std::function<void()> report)>;
  // What the program does with a report it took (board rows, log lines).
  using TReportListener = std::function<void(const TSharingReport&)>;
  // Runs on each new listener after it was configured, before it starts.
  using TListenerSetup = std::function<void(TTCPHttpDaemon&)>;
  // The computer's interface addresses, from which Start plans its listeners.
  using TInterfaceLister = std::function<std::vector<TInterfaceAddress>()>;

  // Each listener loads the plug-ins of pluginFolder and serves the fixed
  // pictures of systemFolder.
  TSharingSession(std::string pluginFolder, std::string systemFolder);
  // Stops sharing; reports that arrive later are dropped.
  ~TSharingSession();
  TSharingSession(const TSharingSession&) = delete;
  TSharingSession& operator=(const TSharingSession&) = delete;

  // The thumbnail cache the listeners use (may be null); it must outlive
  // their workers (WaitForWorkers).
  void SetCache(TCacheObj* cache) { cache_ = cache; }
  void SetReportCarrier(TReportCarrier carrier);
  // withRows false: the listener reads only the log lines, and the reports
  // it is given carry no rows.
  void SetReportListener(TReportListener listener, bool withRows = true);
  void SetListenerSetup(TListenerSetup setup);
  // The interface address the listener binds, in place of the settings'
  // "BindAddress" (empty: the setting's).
  void SetBindAddress(std::string address);
  // Where Start learns the interface addresses (tests give their own); by
  // default ListInterfaceAddresses.
  void SetInterfaceLister(TInterfaceLister lister);

  // Stops what runs, then creates a listener configured from the settings
  // (uploads, time-out, cache, status reports, port, shared folder, the key
  // of private sharing), starts it and opens the board. Where it listens
  // follows PlanListeners: by default every IPv4 interface and, when this
  // computer has a global IPv6 address, a second listener for every IPv6
  // interface on the same port (sharing goes on over IPv4 when that one
  // cannot listen: IPv6Problem says why). The shared folder must exist (the
  // programs ask for one first). False when the port could not be bound: the
  // error "Cannot listen on port N: <what the error means>" was shown, and
  // the session still counts as sharing (nothing is accepted) until Stop.
  bool Start(const AppSettings& settings);
  // Once the listener listens and the program knows the address it shows
  // (setup.ServerAddress): the port mapping and the reachability check for
  // it, their findings given to `updates` on their own threads. The session
  // fills in the listener's addresses (its IPv6 one too) and port. Nothing happens while no
  // listener listens. Stop removes the mapping before the port closes.
  void StartInternet(TInternetSetup setup, TInternetReach::TUpdateFn updates);
  // Stops the port mapping and the reachability check (the router is asked
  // to remove the mapping), then stops accepting and closes the board; later
  // reports are ignored. The
  // workers of the stopped listener finish their exchange: with waitMs the
  // board stays open while they are waited for that long (their reports
  // still count), else WaitForWorkers waits for them. Nothing happens when
  // the session is stopped.
  void Stop(int waitMs = 0);
  // Gives the key gate of the running listeners (IPv4 and IPv6 alike) a new
  // key: a request with the old one, in its address, cookie or password, is
  // refused from now on. False, and nothing changed, when no listener runs
  // with a key (not sharing, or not privately).
  bool SetPrivateKey(const std::string& key);
  // Waits up to ms for the workers of every listener this session started;
  // the stopped listeners whose workers all ended are released. True when none runs.
  bool WaitForWorkers(int ms);

  bool Sharing() const;
  // The port the listener bound (0 while stopped or when binding failed).
  int BoundPort() const;
  // The address the (first) listener binds: "0.0.0.0" for every IPv4
  // interface, else the chosen one.
  const std::string& ListenAddress() const { return plan_.BindAddress; }
  // The global IPv6 address friends may use too; empty when no listener
  // listens on it.
  std::string IPv6Address() const;
  // Why the second listener, on IPv6, could not listen ("Cannot listen on
  // IPv6 port N: ..."); empty when it listens or none was planned.
  const std::string& IPv6Problem() const { return ipv6Problem_; }
  // The connection rows (empty while stopped).
  std::vector<TConn> Rows() const;

  // Takes one report as a worker gives it (on the calling thread): ignored
  // while stopped, else the board is updated and the listener told.
  void Report(const std::string& peer, const std::string& operation, const std::string& file);
  // The callback the listener's workers report through. It holds the session
  // weakly: once the session is gone a report returns at once.
  TStatusCallback StatusCallback() const;

 private:
  struct TShared;

  std::shared_ptr<TShared> shared_;
  TCacheObj* cache_ = nullptr;
  std::string pluginFolder_;
  std::string systemFolder_;
  std::string bindAddress_;
  TInterfaceLister interfaceLister_;
  TListenerSetup listenerSetup_;
  TListenPlan plan_;
  std::unique_ptr<TTCPHttpDaemon> listener_;
  std::unique_ptr<TTCPHttpDaemon> listener6_;  // the IPv6 listener beside it, if any
  std::string ipv6Problem_;
  // The key gate every running listener shares; null when the share is open.
  std::shared_ptr<TPrivateShare> privateShare_;
  // The port mapping and the reachability check while sharing.
  std::unique_ptr<TInternetReach> internet_;
  // Stopped listeners whose workers may still be in an exchange.
  std::vector<std::unique_ptr<TTCPHttpDaemon>> stopped_;
};
