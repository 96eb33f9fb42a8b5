// Connection worker: request head, plain bodies, streamed uploads, dispatch to
// plug-ins and router, the sending of their response, and the status reports.
#include "server/HttpThread.h"

#include "server/HttpText.h"
#include "server/PluginList.h"
#include "server/ServerLimits.h"
#include "server/UploadReceiver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>

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
      Private(std::move(settings.Private)) {
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
                            bool& multipart) {
  Socket.MaxLineLength = ServerLimits::kMaxHeadLineLength;
  Socket.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(HeadTimeLimitMs));
  std::string rest = Socket.ReceiveLine(TimeoutMs);
  if (Socket.LastErrorCode() != 0) {
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
  std::string method, uri, protocol;
  bool multipart = false;
  if (!ReadHead(method, uri, protocol, multipart)) return;
  // A private share lets a request without its key go no further: no body is
  // read or stored, no plug-in or route sees it.
  if (Private) {
    if (auto answer = Private->Check(uri, Headers, Socket.RemoteAddress())) {
      SendResponse(GateResponse(std::move(*answer)), !protocol.empty());
      return;
    }
  }

  RequestBody.clear();
  if (ContentLength >= 0) {
    if (multipart) {
      if (!ReceiveUpload()) return;
    } else {
      if (ContentLength > ServerLimits::kMaxPlainBody) return;
      RequestBody.resize(static_cast<std::size_t>(ContentLength));
      const int got =
          Socket.ReceiveExact(RequestBody.data(), static_cast<int>(ContentLength), TimeoutMs);
      RequestBody.resize(static_cast<std::size_t>(got));
      if (Socket.LastErrorCode() != 0) return;
      // Form fields of a plain POST reach plug-ins and router as lines.
      if (CountTextLines(RequestBody) > ServerLimits::kMaxPlainBodyLines) return;
      Headers.emplace_back();
      for (auto& line : SplitTextLines(RequestBody)) Headers.push_back(std::move(line));
      Socket.InputComplete();
    }
  } else if (method == "GET") {
    // A GET without a length has no body: the peer has sent all it will.
    Socket.InputComplete();
  }

  SendResponse(Dispatch(method, uri), !protocol.empty());
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

void TTCPHttpThrd::SendResponse(THttpResponse&& response, bool withProtocol) {
  // The status line and the header lines go out in one send.
  std::string head = "HTTP/1.0 " + std::to_string(response.Status) + "\r\n";
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
  if (response.Kind == THttpResponse::TBody::File) {
    // The head waits for the start of the body, so both leave together.
    Socket.SendText(head, response.HasBody());
    if (Socket.LastErrorCode() != 0) return;
    StatusFile = response.ReportName;
    Report("Downloading...");
    response.File.Send(Socket);
  } else {
    Socket.SendTexts(head, response.Body);
    if (Socket.LastErrorCode() != 0) return;
  }
  Report("-1");
}

THttpResponse TTCPHttpThrd::GateResponse(TGateAnswer&& answer) {
  THttpResponse response = THttpResponse::Raw(std::move(answer.Body));
  response.Status = answer.Status;
  response.Headers = std::move(answer.Headers);
  response.Headers.push_back("Content-Length: " + std::to_string(response.Body.size()));
  return response;
}
