// Connection worker: serves exactly one HTTP request on one accepted
// connection, on a thread of its own, then closes the connection.
//
// Design. A worker owns itself: the listener's threads make one for every
// connection they accept and run it (Serve); TTCPHttpThrd::Start hands it to
// a detached thread instead (a waiting one of TWorkerPool, or a new one). The
// thread runs the exchange, frees the worker (closing the connection and any
// open download) and then signs off in its TWorkerRegistry. The registry is
// how the program counts running workers and waits for them before it exits.
// Workers share only read-only data (the plug-in list), the thumbnail cache
// and the kept folder listings, which have their own locks; the status
// callback is called from the worker's thread, and the installer of the
// callback decides how to reach its own thread.
//
// Limits (ServerLimits.h): the request head must arrive within a time limit,
// in lines of bounded length and number; a plain body is bounded; an upload is
// written to a hidden temporary file as it arrives and renamed over the target
// only when complete, so memory stays bounded and a cut-off upload leaves no
// trace.
#pragma once

#include "base/UniqueFd.h"
#include "net/tcpsocket.h"
#include "server/ServerActions.h"

#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TPluginList;
class TCacheObj;

// Status report of a worker: peer address, operation ("Connecting...",
// "Uploading...", "Downloading...", "-1" when finished), file name. Called on
// the worker's thread; it may block until the receiver has handled it.
using TStatusCallback = std::function<void(const std::string& peer, const std::string& operation,
                                           const std::string& file)>;

// Counts running workers. Shared by a listener and its workers; thread-safe.
class TWorkerRegistry {
 public:
  void Enter();
  void Leave();
  int Running() const;
  // Waits until fewer than cap run; false when ms passed first.
  bool WaitBelow(int cap, int ms);
  // Waits until none runs; false when ms passed first.
  bool WaitIdle(int ms);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int running_ = 0;
};

// What the listener hands to every worker, in the order of the worker's
// creation arguments.
struct TWorkerSettings {
  std::string RootFolder;  // ends in "/" unless empty
  // The program's pictures (the not-found picture, the listing's icons),
  // ending in "/".
  std::string SystemFolder;
  TStatusCallback StatusCallback;
  std::shared_ptr<const TPluginList> Plugins;  // may be null: no plug-ins
  int TimeoutMs = 12000;
  bool AllowUploads = false;
  TCacheObj* Cache = nullptr;
  std::shared_ptr<TFolderCache> Listings;     // may be null: folders read every time
  std::shared_ptr<TWorkerRegistry> Registry;  // may be null: not counted
  int HeadTimeLimitMs = 60 * 1000;
};

class TTCPHttpThrd {
 public:
  // Starts a worker for one accepted connection. The registry (if any) counts
  // it from now until it has freed everything. Never throws: when no thread
  // can be made the connection is closed at once.
  static void Start(UniqueFd connection, TWorkerSettings settings);
  // The same on the calling thread: returns when the worker has freed
  // everything and signed off in the registry (if any), which must count it
  // already.
  // peer: the connection's peer as accept gave it.
  static void Serve(UniqueFd connection, const sockaddr_storage& peer, socklen_t peerSize,
                    TWorkerSettings settings);

  ~TTCPHttpThrd();

 private:
  TTCPHttpThrd(UniqueFd connection, TWorkerSettings&& settings,
               const sockaddr_storage* peer = nullptr, socklen_t peerSize = 0);
  void Run();
  void Exchange();
  bool ReadHead(std::string& method, std::string& uri, std::string& protocol, bool& multipart);
  bool ReceiveUpload();
  int Dispatch(const std::string& method, std::string uri);
  void SendResponse(const std::string& uri, bool withProtocol, int status);
  void Report(const std::string& operation);

  TTcpBlockingSocket Socket;
  TStatusCallback StatusCallback;
  std::string Peer;  // the peer's address, for the reports
  std::string StatusOperation;
  std::string StatusFile;
  std::shared_ptr<const TPluginList> Plugins;
  std::int64_t ContentLength = -1;
  std::string RootFolder;
  int TimeoutMs;
  std::vector<std::string> Headers;
  TServerActions Actions;
  std::string RequestBody;
  std::string ResponseBody;
  int HeadTimeLimitMs;
};

// Splits text into lines as the response and form bodies are read: CR, LF and
// CR LF each end a line, a zero byte ends the text, and a final line end adds
// no empty line.
std::vector<std::string> SplitTextLines(std::string_view text);
// True when text is already lines each ended by CR LF, with no zero byte: its
// split lines joined again with CR LF are the text itself.
bool IsCrLfText(std::string_view text);
// The number of lines SplitTextLines makes of text.
std::size_t CountTextLines(std::string_view text);

// "Tue, 5 Mar 2024 14:07:09 +0100": local date and time and the offset from
// UTC in minutes (positive east of Greenwich).
std::string FormatRfc822Date(const std::tm& local, int offsetMinutes);
// The same for a moment, in the process's local time zone.
std::string FormatRfc822Date(std::time_t when);
// "+0100", "-0330": sign, then hours and minutes of the offset.
std::string TimeZoneText(int offsetMinutes);
// TimeZoneText of the current local offset.
std::string TimeZoneText();
