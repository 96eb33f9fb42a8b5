// Connection worker: request head, plain bodies, streamed uploads, dispatch to
// plug-ins and router, the sending of their response, and the status reports.
#include "server/HttpThread.h"

#include "server/HttpText.h"
#include "server/PluginList.h"
#include "server/RequestText.h"
#include "server/ServerLimits.h"
#include "server/ShareFolder.h"
#include "server/UploadReceiver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

// The date line's text for now. A thread formats it once a second at most.
const std::string& CurrentDate() {
  thread_local std::time_t shown = -1;
  thread_local std::string text;
  const std::time_t now = std::time(nullptr);
  if (now != shown) {
    text = FormatRfc822Date(now);
    shown = now;
  }
  return text;
}

constexpr std::string_view kUploadPrefix = "/.mirelo/upload/";

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string ToUpperAscii(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void TrimSpaces(std::string& s) {
  const std::size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) {
    s.clear();
    return;
  }
  s.erase(0, first);
  s.erase(s.find_last_not_of(' ') + 1);
}

// Takes the text before the first space of rest as a token; both trimmed.
std::string TakeToken(std::string& rest) {
  const std::size_t space = rest.find(' ');
  std::string token = rest.substr(0, space);
  rest = space == std::string::npos ? std::string() : rest.substr(space + 1);
  TrimSpaces(token);
  TrimSpaces(rest);
  return token;
}

// The value of a Content-Length line: the text after its first space as a
// signed 32-bit decimal number (leading spaces allowed), else -1.
std::int64_t ParseContentLength(const std::string& line) {
  const std::size_t space = line.find(' ');
  if (space == std::string::npos) return -1;
  std::size_t i = line.find_first_not_of(' ', space);
  if (i == std::string::npos) return -1;
  bool negative = false;
  if (line[i] == '+' || line[i] == '-') negative = line[i++] == '-';
  if (i == line.size()) return -1;
  std::int64_t value = 0;
  for (; i < line.size(); ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    value = value * 10 + (line[i] - '0');
    if (value > static_cast<std::int64_t>(INT_MAX) + 1) return -1;
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return -1;
  return value;
}

// Whether a request allows its connection to be kept: HTTP/1.1 unless it
// says "Connection: close", HTTP/1.0 only when it says "keep-alive". A body
// in a transfer coding is never read, so its connection is never kept.
bool WantsKeepAlive(const std::string& protocol, const std::vector<std::string>& headers) {
  bool close = false;
  bool keep = false;
  for (const auto& line : headers) {
    if (line.empty()) break;
    const std::string upper = ToUpperAscii(line);
    if (upper.compare(0, 18, "TRANSFER-ENCODING:") == 0) return false;
    if (upper.compare(0, 11, "CONNECTION:") != 0) continue;
    std::string rest = upper.substr(11);
    for (std::size_t at = 0; at <= rest.size();) {
      std::size_t comma = rest.find(',', at);
      if (comma == std::string::npos) comma = rest.size();
      std::string token = rest.substr(at, comma - at);
      TrimSpaces(token);
      while (!token.empty() && token.back() == '\t') token.pop_back();
      while (!token.empty() && token.front() == '\t') token.erase(0, 1);
      if (token == "CLOSE") close = true;
      if (token == "KEEP-ALIVE") keep = true;
      at = comma + 1;
    }
  }
  if (close) return false;
  return protocol == "HTTP/1.1" || (protocol == "HTTP/1.0" && keep);
}

bool HasHeader(const std::vector<std::string>& lines, std::string_view upperName) {
  for (const auto& line : lines)
    if (ToUpperAscii(line.substr(0, upperName.size())) == upperName) return true;
  return false;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

// The answer to an upload into a folder: what became of every file.
THttpResponse UploadAnswer(int status, const std::vector<TUploadOutcome>& outcomes,
                           const std::string& refusal) {
  int stored = 0;
  std::string json = "{\"files\":[";
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const TUploadOutcome& o = outcomes[i];
    if (i > 0) json += ",";
    json += "{\"name\":" + JsonQuoted(o.ClientName);
    if (!o.StoredName.empty()) {
      ++stored;
      json += ",\"stored\":" + JsonQuoted(o.StoredName);
    } else {
      json += ",\"refused\":" + JsonQuoted(o.Refusal);
    }
    json += "}";
  }
  json += "],\"stored\":" + std::to_string(stored);
  if (!refusal.empty()) json += ",\"refused\":" + JsonQuoted(refusal);
  json += "}\n";
  THttpResponse r = THttpResponse::Raw(std::move(json));
  r.Status = status;
  r.Headers.emplace_back("Content-Type: application/json; charset=utf-8");
  r.Headers.emplace_back("X-Content-Type-Options: nosniff");
  r.Headers.emplace_back("Cache-Control: no-store");
  r.Headers.push_back("Content-Length: " + std::to_string(r.Body.size()));
  r.KeepAlive = true;
  return r;
}

}  // namespace

void TWorkerRegistry::Enter() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++running_;
}

void TWorkerRegistry::Leave() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
  }
  changed_.notify_all();
}

int TWorkerRegistry::Running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

bool TWorkerRegistry::WaitBelow(int cap, int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return running_ < cap; });
}

bool TWorkerRegistry::WaitIdle(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return running_ == 0; });
}

void TTCPHttpThrd::Serve(UniqueFd connection, const sockaddr_storage& peer, socklen_t peerSize,
                         TWorkerSettings settings) {
  std::shared_ptr<TWorkerRegistry> registry = settings.Registry;
  try {
    std::unique_ptr<TTCPHttpThrd> worker(
        new TTCPHttpThrd(std::move(connection), std::move(settings), &peer, peerSize));
    worker->Run();
  } catch (...) {
  }
  if (registry) registry->Leave();
}

TTCPHttpThrd::TTCPHttpThrd(UniqueFd connection, TWorkerSettings&& settings,
                           const sockaddr_storage* peer, socklen_t peerSize)
    : StatusCallback(std::move(settings.StatusCallback)),
      Plugins(std::move(settings.Plugins)),
      RootFolder(std::move(settings.RootFolder)),
      TimeoutMs(settings.TimeoutMs),
      HeadTimeLimitMs(settings.HeadTimeLimitMs),
      Private(std::move(settings.Private)),
      Registry(settings.Registry),
      MaxWorkers(settings.MaxWorkers),
      KeepAliveIdleMs(settings.KeepAliveIdleMs) {
  Socket.AdoptHandle(std::move(connection), peer, peerSize);
  // A peer that stops reading is dropped after the same time-out as one that
  // stops sending, so it cannot hold a worker.
  Socket.SendTimeoutMs = TimeoutMs;
  Actions.RootFolder = RootFolder;
  Actions.SystemFolder = std::move(settings.SystemFolder);
  Actions.AllowUploads = settings.AllowUploads;
  Actions.PageStyle = settings.PageStyle;
  Actions.Cache = settings.Cache;
  Actions.ThumbWaitMs = TimeoutMs;
  Actions.Listings = std::move(settings.Listings);
}

TTCPHttpThrd::~TTCPHttpThrd() = default;

void TTCPHttpThrd::Run() {
  try {
    Exchange();
  } catch (...) {
    // An uncaught failure abandons the request: the connection is closed
    // without a response when the worker is freed.
  }
}

void TTCPHttpThrd::Report(const std::string& operation) {
  StatusOperation = operation;
  if (!StatusCallback) return;
  if (Peer.empty()) Peer = Socket.RemoteAddress();
  StatusCallback(Peer, StatusOperation, StatusFile);
}

bool TTCPHttpThrd::ReadHead(std::string& method, std::string& uri, std::string& protocol,
                            bool& multipart, bool quiet) {
  Socket.MaxLineLength = ServerLimits::kMaxHeadLineLength;
  Socket.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(HeadTimeLimitMs));
  std::string rest = Socket.ReceiveLine(TimeoutMs);
  if (Socket.LastErrorCode() != 0) {
    // A kept connection that ends between requests is no failure.
    if (quiet) return false;
    std::printf("%d\n", Socket.LastErrorCode());
    std::fflush(stdout);
    return false;
  }
  if (rest.empty()) return false;
  method = TakeToken(rest);
  if (method.empty() || rest.empty()) return false;
  uri = TakeToken(rest);
  if (uri.empty()) return false;
  protocol = TakeToken(rest);

  Headers.clear();
  ContentLength = -1;
  multipart = false;
  if (!protocol.empty()) {
    if (protocol.compare(0, 5, "HTTP/") != 0) return false;
    for (;;) {
      std::string line = Socket.ReceiveLine(TimeoutMs);
      if (Socket.LastErrorCode() != 0) return false;
      if (line.empty()) break;
      if (static_cast<int>(Headers.size()) >= ServerLimits::kMaxHeaderLines) return false;
      const std::string upper = ToUpperAscii(line);
      if (upper.compare(0, 15, "CONTENT-LENGTH:") == 0) ContentLength = ParseContentLength(line);
      if (upper.find("MULTIPART") != std::string::npos) multipart = true;
      Headers.push_back(std::move(line));
    }
  }
  Socket.ClearDeadline();
  return true;
}

void TTCPHttpThrd::Exchange() {
  Report("Connecting...");
  for (int served = 1; ServeRequest(served > 1); ++served) {
    if (served >= ServerLimits::kMaxRequestsPerConnection || !AwaitNextRequest()) return;
    StatusFile.clear();
    Report("Connecting...");
  }
}

bool TTCPHttpThrd::AwaitNextRequest() {
  if (Socket.HasBufferedInput()) return true;
  // Idle kept connections give their workers back from this many on.
  const int yieldAt = std::max(1, MaxWorkers * ServerLimits::kKeepAliveYieldPercent / 100);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(KeepAliveIdleMs);
  Socket.ClearError();
  for (;;) {
    if (Registry && Registry->Running() >= yieldAt) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    const int wait = static_cast<int>(std::min<long long>(left, ServerLimits::kKeepAlivePollMs));
    if (Socket.WaitReadable(wait)) return true;
    if (Socket.LastErrorCode() != 0) return false;
  }
}

bool TTCPHttpThrd::ServeRequest(bool kept) {
  std::string method, uri, protocol;
  bool multipart = false;
  if (!ReadHead(method, uri, protocol, multipart, kept)) return false;
  // A private share lets a request without its key go no further: no body is
  // read or stored, no plug-in or route sees it.
  if (Private) {
    if (auto answer = Private->Check(uri, Headers, Socket.RemoteAddress())) {
      SendResponse(GateResponse(std::move(*answer)), !protocol.empty());
      return false;
    }
  }

  RequestBody.clear();
  // Whether the whole request has been read, so the next one may follow.
  bool bodyRead = false;
  if (method == "POST" && StartsWith(uri, kUploadPrefix)) {
    std::optional<THttpResponse> answer =
        ReceiveIntoFolder(uri.substr(kUploadPrefix.size()), multipart, bodyRead);
    if (!answer) return false;
    return SendResponse(std::move(*answer), !protocol.empty(),
                        bodyRead && WantsKeepAlive(protocol, Headers));
  }
  if (ContentLength >= 0) {
    if (multipart) {
      if (!ReceiveUpload()) return false;
    } else {
      if (ContentLength > ServerLimits::kMaxPlainBody) return false;
      RequestBody.resize(static_cast<std::size_t>(ContentLength));
      const int got =
          Socket.ReceiveExact(RequestBody.data(), static_cast<int>(ContentLength), TimeoutMs);
      RequestBody.resize(static_cast<std::size_t>(got));
      if (Socket.LastErrorCode() != 0) return false;
      // Form fields of a plain POST reach plug-ins and router as lines.
      if (CountTextLines(RequestBody) > ServerLimits::kMaxPlainBodyLines) return false;
      Headers.emplace_back();
      for (auto& line : SplitTextLines(RequestBody)) Headers.push_back(std::move(line));
      Socket.InputComplete();
      bodyRead = true;
    }
  } else if (method == "GET") {
    // A GET without a length has no body: the peer has sent all it will.
    Socket.InputComplete();
    bodyRead = true;
  }

  return SendResponse(Dispatch(method, uri), !protocol.empty(),
                      bodyRead && WantsKeepAlive(protocol, Headers));
}

bool TTCPHttpThrd::ReceiveUpload() {
  TUploadReceiver receiver(Socket, TimeoutMs, RootFolder, Actions.AllowUploads,
                           [this](const std::string& clientName) {
                             StatusFile = clientName;
                             Report("Uploading...");
                           });
  if (!receiver.Receive()) return false;
  // Once more with the file as it was stored (its name may differ from the
  // client's), so the connection row and the log name it.
  if (!receiver.StoredName().empty()) {
    StatusFile = RootFolder + receiver.StoredName();
    Report("Uploading...");
  }
  return true;
}

bool TTCPHttpThrd::DrainBody(std::int64_t rest) {
  if (rest < 0 || rest > ServerLimits::kMaxDrainedBody) return false;
  char block[16384];
  while (rest > 0) {
    const int want = static_cast<int>(std::min<std::int64_t>(rest, sizeof block));
    if (Socket.ReceiveExact(block, want, TimeoutMs) != want || Socket.LastErrorCode() != 0)
      return false;
    rest -= want;
  }
  Socket.InputComplete();
  return true;
}

std::optional<THttpResponse> TTCPHttpThrd::ReceiveIntoFolder(const std::string& encodedPath,
                                                             bool multipart, bool& bodyRead) {
  bodyRead = false;
  std::vector<std::string> names;
  TShareFolder folder;
  if (DecodeSharePath(encodedPath, names)) folder = OpenShareFolder(RootFolder, names);
  // A client that waits for "100 Continue" before it sends the body (as
  // curl does) gets it once the upload is accepted, and a refusal at once.
  bool expectsContinue = false;
  for (const auto& line : Headers) {
    if (line.empty()) break;
    if (ToUpperAscii(line).rfind("EXPECT:", 0) == 0 &&
        ToUpperAscii(line).find("100-CONTINUE") != std::string::npos)
      expectsContinue = true;
  }
  // A refused request's body is read past when it is small, so the answer
  // is not lost to a connection reset by unread input; a body not yet sent
  // is not waited for.
  auto refuse = [&](int status, const char* why) {
    bodyRead = !expectsContinue && DrainBody(ContentLength);
    return UploadAnswer(status, {}, why);
  };
  if (!Actions.AllowUploads) return refuse(403, "uploads are not accepted");
  if (!folder.Handle) return refuse(404, "no such folder");
  if (!multipart || ContentLength < 0) return refuse(400, "not a multipart upload");

  if (expectsContinue) {
    Socket.SendText("HTTP/1.1 100 Continue\r\n\r\n");
    if (Socket.LastErrorCode() != 0) return std::nullopt;
  }
  TUploadReceiver receiver(Socket, TimeoutMs, folder.Path + "/", true,
                           [this](const std::string& clientName) {
                             StatusFile = clientName;
                             Report("Uploading...");
                           });
  std::vector<TUploadOutcome> outcomes;
  const bool whole = receiver.ReceiveAll(outcomes);
  // Cut off or stalled: the visitor is gone, nobody reads an answer.
  if (!whole && Socket.LastErrorCode() != 0) return std::nullopt;
  if (whole) bodyRead = DrainBody(ContentLength - receiver.BytesRead());

  int stored = 0;
  int unstorable = 0;
  for (const auto& o : outcomes) {
    if (!o.StoredName.empty()) {
      ++stored;
      StatusFile = folder.Path + "/" + o.StoredName;
    } else if (o.Refusal == "could not be stored") {
      ++unstorable;
    }
  }
  if (stored > 0) Report("Uploading...");
  if (!whole) return UploadAnswer(stored > 0 ? 200 : 400, outcomes, "malformed upload");
  if (outcomes.empty()) return UploadAnswer(400, outcomes, "no file in the upload");
  if (stored > 0) return UploadAnswer(200, outcomes, {});
  return UploadAnswer(unstorable == static_cast<int>(outcomes.size()) ? 500 : 400, outcomes, {});
}

THttpResponse TTCPHttpThrd::Dispatch(const std::string& method, std::string uri) {
  if (method != "GET" && method != "POST") {
    THttpResponse refused;
    refused.Status = 504;
    return refused;
  }
  if (Plugins) {
    std::optional<THttpResponse> taken =
        Plugins->RunBeforeDispatch(RootFolder, uri, Headers, Socket);
    if (taken) return std::move(*taken);
  }
  return Actions.HandleRequest(uri, Headers);
}

bool TTCPHttpThrd::SendResponse(THttpResponse&& response, bool withProtocol, bool keepWanted) {
  using TBody = THttpResponse::TBody;
  const bool keep =
      keepWanted && withProtocol && response.KeepAlive && response.Kind != TBody::Stream;
  std::string head;
  if (keep) {
    // HTTP/1.1: the body's length tells where the next response starts.
    std::vector<std::string>& lines = response.Headers;
    const bool bodiless = response.Status == 304 || response.Status == 204;
    if (bodiless) {
      response.Kind = TBody::Bytes;
      response.Body.clear();
    } else if (!HasHeader(lines, "CONTENT-LENGTH:")) {
      const std::int64_t length = response.Kind == TBody::File
                                      ? response.File.Length
                                      : static_cast<std::int64_t>(response.Body.size());
      lines.push_back("Content-Length: " + std::to_string(length));
    }
    head = "HTTP/1.1 " + std::to_string(response.Status) + " " + ReasonPhrase(response.Status) +
           "\r\n";
    lines.push_back("Connection: keep-alive");
    lines.push_back("Keep-Alive: timeout=" + std::to_string(std::max(1, KeepAliveIdleMs / 1000)));
    lines.push_back("Date: " + FormatHttpDate(std::time(nullptr)));
    lines.push_back("Server: Mirelo File Share");
    lines.emplace_back();
    for (const auto& line : lines) {
      head += line;
      head += "\r\n";
    }
  } else {
    // The status line and the header lines go out in one send.
    head = "HTTP/1.0 " + std::to_string(response.Status) + "\r\n";
    if (withProtocol) {
      std::vector<std::string>& lines = response.Headers;
      lines.push_back("Connection: close");
      lines.push_back("Date: " + CurrentDate());
      lines.push_back("Server: Mirelo File Share");
      lines.emplace_back();
      for (const auto& line : lines) {
        head += line;
        head += "\r\n";
      }
    }
  }
  bool sent = true;
  if (response.Kind == TBody::File || response.Kind == TBody::Stream) {
    // The head waits for the start of the body, so both leave together.
    Socket.SendText(head, response.HasBody());
    if (Socket.LastErrorCode() != 0) return false;
    StatusFile = response.ReportName;
    Report("Downloading...");
    if (response.Kind == TBody::File) {
      sent = response.File.Send(Socket);
    } else {
      if (response.Stream) {
        response.Stream([this](const char* data, std::size_t size) {
          return Socket.SendBytes(data, static_cast<int>(size)) == static_cast<int>(size) &&
                 Socket.LastErrorCode() == 0;
        });
      }
      sent = false;
    }
  } else {
    // A page or bytes in memory: the head and the body in one call. The
    // last response of a connection waits for the close below (MSG_MORE),
    // so that its end leaves in the same segment as its last bytes.
    Socket.SendTexts(head, response.Body, !keep);
    if (Socket.LastErrorCode() != 0) return false;
  }
  // A connection that ends is closed before the last report, which may wait
  // for the window: the visitor has the whole response at once.
  if (!keep) Socket.Close();
  response.HeldWhileSending.reset();
  Report("-1");
  return keep && sent;
}

THttpResponse TTCPHttpThrd::GateResponse(TGateAnswer&& answer) {
  THttpResponse response = THttpResponse::Raw(std::move(answer.Body));
  response.Status = answer.Status;
  response.Headers = std::move(answer.Headers);
  response.Headers.push_back("Content-Length: " + std::to_string(response.Body.size()));
  return response;
}
