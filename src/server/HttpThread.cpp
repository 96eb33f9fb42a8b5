// Connection worker: request head, plain bodies, streamed uploads, dispatch to
// plug-ins and router, the response, and the status reports.
#include "server/HttpThread.h"

#include "server/HttpDaemon.h"
#include "server/RequestText.h"
#include "server/ServerLimits.h"
#include "server/WorkerPool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

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

// The file name of an upload part, from its header block, exactly as the
// client sent it: after "filename=" and the opening quote, up to the character
// before the next CR (the closing quote).
std::string UploadFileName(const std::string& block) {
  const std::size_t at = block.find("filename=");
  const std::size_t start = (at == std::string::npos ? 0 : at) + 9 + 1;
  if (start > block.size()) return {};
  const std::string rest = block.substr(start);
  const std::size_t cr = rest.find('\r');
  if (cr == std::string::npos || cr == 0) return {};
  return rest.substr(0, cr - 1);
}

std::string LastComponent(const std::string& name) {
  const std::size_t slash = name.find_last_of("\\/");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsAcceptableUploadName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// The file an upload is written to while it arrives: a hidden file in the
// shared folder, renamed over the target only when complete, removed
// otherwise. The last two bytes are held back, so that the CR LF before the
// delimiter can be dropped.
class TUploadFile {
 public:
  ~TUploadFile() {
    fd_.reset();
    if (!path_.empty() && !committed_) ::unlink(path_.c_str());
  }

  bool Create(const std::string& folder) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, ".mirelo-upload-%016llx",
                    static_cast<unsigned long long>(random()));
      const std::string path = folder + name;
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fd_.reset(fd);
        path_ = path;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  bool Write(const char* data, std::size_t size) {
    if (size >= 2) {
      if (!WriteAll(tail_.data(), tail_.size()) || !WriteAll(data, size - 2)) return false;
      tail_.assign(data + size - 2, 2);
      return true;
    }
    tail_.append(data, size);
    if (tail_.size() > 2) {
      if (!WriteAll(tail_.data(), tail_.size() - 2)) return false;
      tail_.erase(0, tail_.size() - 2);
    }
    return true;
  }

  bool Commit(const std::string& target) {
    if (tail_ != "\r\n" && !WriteAll(tail_.data(), tail_.size())) return false;
    if (fd_.Close() != 0) return false;
    if (::rename(path_.c_str(), target.c_str()) != 0) return false;
    committed_ = true;
    return true;
  }

 private:
  bool WriteAll(const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd_.get(), data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  UniqueFd fd_;
  std::string path_;
  std::string tail_;
  bool committed_ = false;
};

const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

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

namespace {

// Threads are made once and serve one connection after another; each asks
// for the highest priority the system allows when it is made.
TWorkerPool& ConnectionThreads() {
  static TWorkerPool pool(
      ServerLimits::kMaxIdleWorkerThreads, ServerLimits::kWorkerThreadIdleMs,
      [] { ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), -2); });
  return pool;
}

}  // namespace

void TTCPHttpThrd::Start(UniqueFd connection, TWorkerSettings settings) {
  std::shared_ptr<TWorkerRegistry> registry = settings.Registry;
  bool started = false;
  try {
    std::shared_ptr<TTCPHttpThrd> worker(
        new TTCPHttpThrd(std::move(connection), std::move(settings)));
    started = ConnectionThreads().Run([w = std::move(worker), registry]() mutable {
      w->Run();
      w.reset();  // closes the connection, frees everything
      if (registry) registry->Leave();
    });
  } catch (...) {
  }
  // No thread: the worker (if made) is gone and its connection closed.
  if (!started && registry) registry->Leave();
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
      HeadTimeLimitMs(settings.HeadTimeLimitMs) {
  Socket.AdoptHandle(std::move(connection), peer, peerSize);
  // A peer that stops reading is dropped after the same time-out as one that
  // stops sending, so it cannot hold a worker.
  Socket.SendTimeoutMs = TimeoutMs;
  Actions.Headers = &Headers;
  Actions.RootFolder = RootFolder;
  Actions.SystemFolder = std::move(settings.SystemFolder);
  Actions.AllowUploads = settings.AllowUploads;
  Actions.Cache = settings.Cache;
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

  ResponseBody.clear();
  const int status = Dispatch(method, uri);
  SendResponse(uri, !protocol.empty(), status);
}

bool TTCPHttpThrd::ReceiveUpload() {
  const std::string block = Socket.ReceiveUntil(TimeoutMs, "\r\n\r\n");
  if (Socket.LastErrorCode() != 0) return false;
  const std::string delimiter = block.substr(0, block.find("\r\n"));
  const std::string clientName = UploadFileName(block);
  StatusFile = clientName;
  Report("Uploading...");
  const std::string name = LastComponent(clientName);
  if (delimiter.empty()) return false;

  const bool store = Actions.AllowUploads;
  TUploadFile file;
  if (store && (!IsAcceptableUploadName(name) || !file.Create(RootFolder))) return false;
  // The content is never held in memory: it goes to the file (or nowhere when
  // uploads are refused) as it arrives.
  const bool found = Socket.ReceiveUntilToSink(
      TimeoutMs, delimiter,
      [&](const char* data, std::size_t size) { return !store || file.Write(data, size); });
  if (!found) return false;
  // The end of the delimiter line, the next part's header line and the blank
  // line after it; the rest is discarded when the connection is closed.
  bool linesRead = true;
  for (int i = 0; i < 3 && linesRead; ++i) {
    Socket.ReceiveLine(TimeoutMs);
    linesRead = Socket.LastErrorCode() == 0;
  }
  if (store && !file.Commit(RootFolder + name)) return false;
  return linesRead;
}

int TTCPHttpThrd::Dispatch(const std::string& method, std::string uri) {
  if (method != "GET" && method != "POST") {
    Headers.clear();
    return 504;
  }
  // The URI comes from the peer: escaped, so it cannot bring its own markup.
  ResponseBody = "<html>\r\n<head></head>\r\n<body>\r\nRequest Uri: " + HtmlEscape(uri) +
                 "\r\n<br>\r\nError!!!\r\n</body>\r\n</html>\r\n";
  ResponseMode mode = ResponseMode::NotHandled;
  std::string response;
  if (Plugins) Plugins->RunBeforeDispatch(RootFolder, uri, response, Headers, mode, Socket);
  if (mode == ResponseMode::NotHandled) {
    response.clear();
    Actions.HandleRequest(uri, response, Headers, mode);
  }
  if (mode == ResponseMode::Text) {
    if (IsCrLfText(response)) {
      // Already lines ended by CR LF (the router's pages): splitting and
      // joining again would give the same bytes.
      ResponseBody = std::move(response);
    } else {
      ResponseBody.clear();
      for (const auto& line : SplitTextLines(response)) {
        ResponseBody += line;
        ResponseBody += "\r\n";
      }
    }
  } else if (mode == ResponseMode::Bytes) {
    ResponseBody = std::move(response);
  }
  return 200;
}

void TTCPHttpThrd::SendResponse(const std::string& uri, bool withProtocol, int status) {
  // The status line and the header lines go out in one send.
  std::string head = "HTTP/1.0 " + std::to_string(status) + "\r\n";
  if (withProtocol) {
    Headers.push_back("Connection: close");
    Headers.push_back("Date: " + FormatRfc822Date(std::time(nullptr)));
    Headers.push_back("Server: Mirelo File Share");
    Headers.emplace_back();
    for (const auto& line : Headers) {
      head += line;
      head += "\r\n";
    }
  }
  const bool download =
      ToUpperAscii(uri).find("DOWNLOAD?") != std::string::npos && Actions.Download.valid();
  // The head waits for the start of the body, so both leave together.
  Socket.SendText(head, download || !ResponseBody.empty());
  if (Socket.LastErrorCode() != 0) return;

  if (download) {
    StatusFile = RootFolder + uri.substr(uri.find('?') + 1);
    Report("Downloading...");
    if (::lseek(Actions.Download.get(), 0, SEEK_SET) != 0) {
      throw std::runtime_error("download: cannot seek");
    }
    Actions.SendDownload(Socket);
  } else if (!ResponseBody.empty()) {
    Socket.SendBytes(ResponseBody.data(), static_cast<int>(ResponseBody.size()));
  }
  Report("-1");
}

bool IsCrLfText(std::string_view text) {
  const char* const p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
#ifdef __SSE2__
    // Sixteen bytes at a time past those that are not CR, LF or zero.
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
      const int special = _mm_movemask_epi8(_mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, zero)));
      if (special != 0) {
        i += static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(special)));
        break;
      }
      i += 16;
    }
    if (i >= n) break;
#endif
    const char c = p[i];
    if (c == '\0' || c == '\n') return false;
    if (c == '\r') {
      if (i + 1 >= n || p[i + 1] != '\n') return false;
      ++i;
    }
    ++i;
  }
  return text.empty() || text.back() == '\n';
}

std::size_t CountTextLines(std::string_view text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::size_t count = 0;
  std::size_t p = 0;
  while (p < text.size()) {
    ++count;
    const std::size_t q = text.find_first_of("\r\n", p);
    if (q == std::string_view::npos) break;
    p = (text[q] == '\r' && q + 1 < text.size() && text[q + 1] == '\n') ? q + 2 : q + 1;
  }
  return count;
}

std::vector<std::string> SplitTextLines(std::string_view text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  std::vector<std::string> lines;
  std::size_t p = 0;
  while (p < text.size()) {
    const std::size_t q = text.find_first_of("\r\n", p);
    if (q == std::string_view::npos) {
      lines.emplace_back(text.substr(p));
      break;
    }
    lines.emplace_back(text.substr(p, q - p));
    p = (text[q] == '\r' && q + 1 < text.size() && text[q + 1] == '\n') ? q + 2 : q + 1;
  }
  return lines;
}

std::string TimeZoneText(int offsetMinutes) {
  const int a = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d%02d", offsetMinutes >= 0 ? '+' : '-', a / 60, a % 60);
  return text;
}

std::string TimeZoneText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return TimeZoneText(static_cast<int>(local.tm_gmtoff / 60));
}

std::string FormatRfc822Date(const std::tm& local, int offsetMinutes) {
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %s", kDays[local.tm_wday % 7],
                local.tm_mday, kMonths[local.tm_mon % 12], local.tm_year + 1900, local.tm_hour,
                local.tm_min, local.tm_sec, TimeZoneText(offsetMinutes).c_str());
  return text;
}

std::string FormatRfc822Date(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return FormatRfc822Date(local, static_cast<int>(local.tm_gmtoff / 60));
}
