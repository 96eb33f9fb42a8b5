// The program without a window: the window-independent steps of start-up,
// then serving the shared folder until SIGINT or SIGTERM, then the closing
// steps (settings, sharing, log, cache), each of which saves what it holds.
#include "shell/Headless.h"

#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "base/StartUp.h"
#include "imaging/CacheKeeper.h"
#include "network/HeadlessCommands.h"
#include "server/PrivateShare.h"
#include "server/ServerLimits.h"
#include "shell/AppSettings.h"
#include "shell/EntrySequence.h"
#include "shell/HeadlessOptions.h"
#include "shell/InternetReach.h"
#include "shell/LogFile.h"
#include "shell/QrCode.h"
#include "shell/SharingSession.h"
#include "shell/StatusBoard.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Exit codes besides 0 (stopped by a signal after saving everything).
constexpr int kExitNotShared = 1;    // the stored folder is missing or the port cannot be bound
constexpr int kExitBadUsage = 2;     // an argument the program does not understand, or a
                                     // --folder that cannot be shared
constexpr int kExitFolderInUse = 3;  // another process uses the working folder

// Text for standard output, written by a thread of its own: a worker that
// reports never waits for a write (nor for another worker's), and text that
// arrives meanwhile leaves in one write, in the order it was handed in. Text
// comes in runs when many connections are served: after a write the writer
// looks again after a moment instead of being woken for every line.
class TPrintQueue {
 public:
  ~TPrintQueue() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (writer_.joinable()) writer_.join();
  }

  void Add(const std::string& text) {
    AddWith([&](std::string& pending) { pending += text; });
  }

  // The lines, each ended by a line feed, appended where they wait: no text
  // of their own is built.
  void AddLines(const std::vector<std::string>& lines) {
    AddWith([&](std::string& pending) {
      for (const auto& line : lines) {
        pending += line;
        pending += '\n';
      }
    });
  }

  // Returns once everything added so far is written.
  void Flush() {
    std::unique_lock<std::mutex> hold(lock_);
    const std::uint64_t target = added_;
    ++flushing_;
    changed_.notify_all();
    changed_.wait(hold, [&] { return written_ >= target || !writer_.joinable(); });
    --flushing_;
  }

 private:
  static constexpr auto kLookAgain = std::chrono::milliseconds(10);
  static constexpr std::size_t kKeptCapacity = 64 * 1024;

  template <typename Append>
  void AddWith(Append&& append) {
    bool wake = false;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!writer_.joinable()) writer_ = std::thread([this] { Write(); });
      append(pending_);
      ++added_;
      wake = asleep_;
    }
    if (wake) changed_.notify_all();
  }

  void Write() {
    // Stop signals are for the main thread's wait.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock<std::mutex> hold(lock_);
    const auto ready = [&] { return !pending_.empty() || stopping_; };
    for (;;) {
      if (pending_.empty()) {
        if (stopping_) return;
        if (!changed_.wait_for(hold, kLookAgain, ready)) {
          asleep_ = true;
          changed_.wait(hold, ready);
          asleep_ = false;
        }
        continue;
      }
      // The written text's storage comes back as the next pending text's.
      spare_.clear();
      spare_.swap(pending_);
      const std::uint64_t upTo = added_;
      hold.unlock();
      std::fwrite(spare_.data(), 1, spare_.size(), stdout);
      std::fflush(stdout);
      // A large run's storage is given back.
      if (spare_.capacity() > kKeptCapacity) std::string().swap(spare_);
      hold.lock();
      written_ = upTo;
      if (flushing_ > 0) changed_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::string pending_;
  std::string spare_;  // the text being written, only touched by the writer
  std::uint64_t added_ = 0;
  std::uint64_t written_ = 0;
  int flushing_ = 0;     // callers waiting in Flush
  bool asleep_ = false;  // the writer waits to be woken
  bool stopping_ = false;
  std::thread writer_;
};

TPrintQueue& Printer() {
  static TPrintQueue printer;
  return printer;
}

// One line, written before this returns.
void PrintLine(const std::string& line) {
  Printer().Add(line + "\n");
  Printer().Flush();
}

// The lines of one log addition, together.
void PrintLines(const std::vector<std::string>& lines) { Printer().AddLines(lines); }

// The headless counterpart of the main window: the settings record in place of
// the controls, and the sharing session, whose reports go to the log.
class HeadlessShell {
 public:
  HeadlessShell(AppSettings settings, TCacheObj& cache, LogFile& log)
      : settings_(std::move(settings)), log_(log), session_(PluginFolder(), SystemFolder()) {
    session_.SetCache(&cache);
    // Workers report on their own threads; one report runs at a time.
    session_.SetReportListener([&log](const TSharingReport& report) { log.Add(report.LogLines); },
                               false);
  }
  ~HeadlessShell() { CloseReports(); }
  HeadlessShell(const HeadlessShell&) = delete;
  HeadlessShell& operator=(const HeadlessShell&) = delete;

  const AppSettings& Settings() const { return settings_; }
  AppSettings& Settings() { return settings_; }

  // The Share action: with an existing folder, save the settings and share.
  bool Share() {
    if (!IsFolder(settings_.SharedFolder)) {
      ShowInfo("Please choose the folder you want to share");
      return false;
    }
    SaveSettings(SettingsFile(), settings_);
    if (!session_.Start(settings_)) return false;
    if (!session_.IPv6Problem().empty()) PrintLine(session_.IPv6Problem());
    return true;
  }

  // Stops sharing (the port mapping first), waiting briefly for the
  // connections still served (their reports still reach the log); after
  // this no report reaches it.
  void CloseReports() { session_.Stop(ServerLimits::kExitWorkerWaitMs); }

  int BoundPort() const { return session_.BoundPort(); }
  const std::string& ListenAddress() const { return session_.ListenAddress(); }
  // The global IPv6 address friends may use too; "" when none is listened on.
  std::string IPv6Address() const { return session_.IPv6Address(); }

  // The port mapping and the reachability check, once the web address is shown.
  void StartInternet(const std::string& serverAddress, bool showQr) {
    TInternetSetup setup;
    setup.Internal = settings_.InternalAddress;
    setup.PortMapping = settings_.PortMapping;
    setup.UpnpGateway = settings_.UpnpGateway;
    setup.NatPmpGateway = settings_.NatPmpGateway;
    setup.TrackerHost = settings_.TrackerHost;
    setup.ServerAddress = serverAddress;
    const std::string key = settings_.PrivateSharing ? settings_.PrivateKey : "";
    session_.StartInternet(setup, [&log = log_, key, showQr](const TReachUpdate& update) {
      if (update.Kind == TReachKind::WebAddress) {
        // The router's address or port: the address to give friends now.
        const std::string address = AddressWithKey(update.Text, key);
        PrintLine("Web address: " + address);
        if (showQr) {
          Printer().Add(QrHalfBlockText(MakeQrMatrix(address)));
          Printer().Flush();
        }
        return;
      }
      log.Add(update.Text);
    });
  }

 private:
  AppSettings settings_;
  LogFile& log_;
  TSharingSession session_;
};

// The user name: the stored one, else --user, else the suggestion; padded
// with "0" to 7 characters and stored.
std::string SettleHeadlessUserName(const HeadlessOptions& options) {
  std::string name = ReadStoredUserName();
  if (name.empty()) {
    name = PadRight(options.user.value_or(SuggestedUserName()), '0', kUserNameMinLength);
    if (!IsAcceptableUserName(name)) name = SuggestedUserName();
    StoreUserName(name);
  }
  SetUserName(name);
  return name;
}

}  // namespace

int RunHeadless(int argc, char** argv) {
  HeadlessOptions options;
  const std::string error = ParseHeadlessOptions(argc, argv, options);
  if (!error.empty()) {
    std::fprintf(stderr, "mirelo-share: %s\n%s", error.c_str(), HeadlessUsage().c_str());
    return kExitBadUsage;
  }
  if (options.help) {
    std::fputs(HeadlessUsage().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("mirelo-share %s\n", GetFileVersion().c_str());
    return 0;
  }

  // SIGINT and SIGTERM are taken by sigwait below; every thread made from
  // here on inherits the mask, so none of them is interrupted.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  if (options.workdir) {
    InitPathsIn(*options.workdir);
  } else {
    InitPaths();
  }
  // Two processes must never share one cache database.
  const std::unique_ptr<FileLock> folderLock = LockWorkingFolder(WorkingFolder());
  if (!folderLock) {
    std::fprintf(stderr,
                 "mirelo-share: another Mirelo File Share is running on the working folder %s\n"
                 "Stop it first, or choose another working folder with --workdir DIR.\n",
                 WorkingFolder().c_str());
    return kExitFolderInUse;
  }

  // What the window's creation does: the cache, the settings, the log.
  auto cache = std::make_unique<TCacheObj>(WorkingFolder() + "MireloCache/");
  cache->LoadDB();
  AppSettings settings = LoadSettings(SettingsFile(), WorkingFolder());
  const bool chooseDefaultFolder = FirstRun() && !options.folder;
  ApplyOptions(options, settings);
  // A private share always has a key; --new-key makes old links useless.
  if (options.newKey || (settings.PrivateSharing && !IsShareKey(settings.PrivateKey))) {
    settings.PrivateKey = NewShareKey();
  }
  cache->SetFilterIndex(static_cast<std::uint8_t>(settings.ResamplerQuality));
  // Without a cache folder a new size cannot clear the cache: said, not fatal.
  try {
    cache->SetThumbWidth(settings.ThumbWidth);
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
  try {
    cache->SetThumbHeight(settings.ThumbHeight);
  } catch (const std::exception& e) {
    ShowError(e.what());
  }

  LogFile log;
  log.SetBatchListener(PrintLines);
  const std::string logPath = WorkingFolder() + "Log.txt";
  std::string logError;
  if (!log.Load(logPath, &logError)) ShowError(logError);
  log.AppendRunSeparator(std::time(nullptr));

  HeadlessShell shell(std::move(settings), *cache, log);
  AppSettings& live = shell.Settings();

  // What start-up completes: the address, the user name, the folder, sharing.
  live.ServerAddress = DetectServerAddress(live.InternalAddress, live.IpEchoHost);
  const std::string userName = SettleHeadlessUserName(options);
  PrintLine(ProductLabelText());
  PrintLine(WorkingFolderLabelText());
  PrintLine(UserNameLabelText(userName));
  if (chooseDefaultFolder) {
    CreateFolderIfMissing(live.SharedFolder);
    ShowInfo("Your shared folder is \"" + live.SharedFolder +
             "\": put the pictures and files you want to share there, or choose another "
             "folder with --folder DIR.");
  }

  TNetworkCommandSetup network;
  network.InternalAddress = live.InternalAddress;
  network.SharedFolder = live.SharedFolder;
  network.SettingsFolder = SettingsFolder();
  network.UserName = userName;
  network.TrackerHost = live.TrackerHost;
  network.WebAddress = ComposeWebAddress(live.ServerAddress, live.Port);

  int exitCode = 0;
  if (options.listUsers) {
    // A question to the tracker: answer it and end.
    exitCode = RunListUsers(network, PrintLine, [&log](const std::string& line) { log.Add(line); });
  } else if (options.sendIp) {
    // The "Send IP" button: announce the web address once and end.
    exitCode = RunSendIp(network, [&log](const std::string& line) { log.Add(line); });
  } else if (!options.shareOff && options.folder &&
             !SharedFolderProblem(live.SharedFolder).empty()) {
    // A folder named on the command line that cannot be shared is a usage
    // error: said exactly, and the program ends.
    ShowError(SharedFolderProblem(live.SharedFolder));
    exitCode = kExitBadUsage;
  } else if (!options.shareOff) {
    if (shell.Share()) {
      const int port = shell.BoundPort();
      PrintLine(FolderBannerText(live.SharedFolder));
      // The key goes into the address given to friends, never into the
      // presence record (network.WebAddress above).
      const std::string key = live.PrivateSharing ? live.PrivateKey : "";
      const bool showQr = options.qr || ::isatty(STDOUT_FILENO);
      const std::string address = AddressWithKey(ComposeWebAddress(live.ServerAddress, port), key);
      PrintLine("Web address: " + address);
      if (showQr) {
        Printer().Add(QrHalfBlockText(MakeQrMatrix(address)));
        Printer().Flush();
      }
      const std::string ipv6 = shell.IPv6Address();
      if (!ipv6.empty()) {
        PrintLine("Web address (IPv6): " +
                  AddressWithKey(ComposeWebAddress("[" + ipv6 + "]", port), key));
      }
      PrintLine("On this computer: " + LocalWebAddress(shell.ListenAddress(), port));
      shell.StartInternet(live.ServerAddress, showQr);
    } else {
      if (!IsFolder(live.SharedFolder)) {
        ShowInfo("Choose the folder to share with --folder DIR.");
      }
      exitCode = kExitNotShared;
    }
  }

  if (exitCode == 0 && !options.listUsers && !options.sendIp) {
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
  }

  // The closing steps: settings, sharing, log, cache (which saves its database).
  SaveSettings(SettingsFile(), live);
  shell.CloseReports();
  if (!log.Save(logPath, &logError)) ShowError(logError);
  cache.reset();
  Printer().Flush();
  return exitCode;
}
