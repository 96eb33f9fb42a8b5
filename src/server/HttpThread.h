// Connection worker: serves the HTTP requests of one accepted connection:
// one, then closes it, unless the response allows keeping the connection.
//
// Threads. The listener's accepting threads serve what they accept: Serve runs
// the whole exchange on the calling thread (read the head and any body, offer
// the request to the plug-ins, else the router, send the response value they
// return, report) and returns once the worker has freed everything (the
// connection, any open file) and signed off in its TWorkerRegistry, which is
// how the program counts running workers and waits for them before it exits.
//
// Keep-alive. A response value may allow the connection to carry another
// request (THttpResponse::KeepAlive). When the request is HTTP/1.1 (or asks
// for keep-alive), its body was read to the end and the response allows it,
// the answer is HTTP/1.1 with a Content-Length and the worker waits a short
// idle time for the next request on the same connection. While it waits it
// looks at the registry: once the running workers reach a share of the cap
// it closes, so idle browsers cannot hold the cap. Every other response is
// sent as before: HTTP/1.0, "Connection: close", the connection closed.
//
// Locks. A worker holds none of its own. It shares only the plug-in list
// (read-only), the thumbnail cache and the kept folder listings (each with its
// own lock) and the registry. The status callback is called on the worker's
// thread; whoever installs it decides how to reach its own thread.
//
// Limits (ServerLimits.h). The request head must arrive within a time limit,
// in lines of bounded length and number; each wait for the peer, receiving or
// sending, ends after the time-out; a plain body is bounded in bytes and
// lines; an upload is received by TUploadReceiver (UploadReceiver.h), which
// streams it to a hidden temporary file and never replaces a file, so memory
// stays bounded.
//
// Failure. A malformed or cut-off request, a time-out or a failed send closes
// the connection without (the rest of) a response; a cut-off upload leaves no
// file. Any exception abandons the request the same way. Nothing is retried,
// and other connections are not affected.
#pragma once

#include "base/UniqueFd.h"
#include "net/tcpsocket.h"
#include "server/HttpResponse.h"
#include "server/PrivateShare.h"
#include "server/ServerActions.h"
#include "server/ServerLimits.h"

#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
  int TimeoutMs = ServerLimits::kDefaultTimeoutMs;
  bool AllowUploads = false;
  TPageStyle PageStyle = TPageStyle::Classic;
  TCacheObj* Cache = nullptr;
  std::shared_ptr<TFolderCache> Listings;     // may be null: folders read every time
  std::shared_ptr<TWorkerRegistry> Registry;  // may be null: not counted
  int HeadTimeLimitMs = ServerLimits::kRequestHeadTimeMs;
  std::shared_ptr<TPrivateShare> Private;  // may be null: the share is open to all
  // The listener's cap on workers, and the idle time of a kept connection.
  int MaxWorkers = ServerLimits::kMaxWorkers;
  int KeepAliveIdleMs = ServerLimits::kKeepAliveIdleMs;
};

class TTCPHttpThrd {
 public:
  // Serves one accepted connection on the calling thread: returns when the
  // worker has freed everything and signed off in the registry (if any),
  // which must count it already. Never throws.
  // peer: the connection's peer as accept gave it (peerSize 0: unknown).
  static void Serve(UniqueFd connection, const sockaddr_storage& peer, socklen_t peerSize,
                    TWorkerSettings settings);

  ~TTCPHttpThrd();

 private:
  TTCPHttpThrd(UniqueFd connection, TWorkerSettings&& settings, const sockaddr_storage* peer,
               socklen_t peerSize);
  void Run();
  void Exchange();
  // Serves one request; true when the connection is kept for the next one.
  bool ServeRequest(bool kept);
  // Waits for the next request on a kept connection; false: close it.
  bool AwaitNextRequest();
  bool ReadHead(std::string& method, std::string& uri, std::string& protocol, bool& multipart,
                bool quiet);
  bool ReceiveUpload();
  // The upload of several files into a folder of the share; none when the
  // request was cut off (no answer). bodyRead: the body was read to its end.
  std::optional<THttpResponse> ReceiveIntoFolder(const std::string& encodedPath, bool multipart,
                                                 bool& bodyRead);
  // Reads and drops what is left of a declared body when it is small; true
  // when nothing of it is left unread.
  bool DrainBody(std::int64_t rest);
  THttpResponse Dispatch(const std::string& method, std::string uri);
  // Sends the response; true when the connection stays open for another
  // request (keepWanted: the request allows it and its body was read).
  bool SendResponse(THttpResponse&& response, bool withProtocol, bool keepWanted = false);
  static THttpResponse GateResponse(TGateAnswer&& answer);
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
  // The request's header lines, then (plain bodies) an empty line and the
  // body's lines.
  std::vector<std::string> Headers;
  TServerActions Actions;
  std::string RequestBody;
  int HeadTimeLimitMs;
  std::shared_ptr<TPrivateShare> Private;
  std::shared_ptr<TWorkerRegistry> Registry;
  int MaxWorkers;
  int KeepAliveIdleMs;
};
