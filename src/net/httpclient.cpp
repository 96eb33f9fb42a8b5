// Blocking HTTP/1.0 client over the socket layer, with the address splitter.
#include "net/httpclient.h"

#include "net/ClientLimits.h"
#include "net/tcpsocket.h"

#include <cctype>
#include <charconv>
#include <cstdint>

namespace {

constexpr int kPeerClosed = 10054;

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// The text of a header line after its first space, trimmed; a line without
// a space ("Name:value") has no value.
std::string_view HeaderValue(std::string_view line) {
  const std::size_t at = line.find(' ');
  if (at == std::string_view::npos) return {};
  return Trim(line.substr(at + 1));
}

enum class TNumber { Ok, NotANumber, TooLarge };

// A whole text as a number of the given base; a value beyond the body limit is
// reported as too large rather than parsed into something smaller.
TNumber ParseNumber(std::string_view text, int base, long long& value) {
  bool negative = false;
  if (base == 10 && !text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return TNumber::NotANumber;
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, base);
  if (end != text.data() + text.size()) {
    return ec == std::errc::result_out_of_range ? TNumber::TooLarge : TNumber::NotANumber;
  }
  if (ec == std::errc::result_out_of_range) return TNumber::TooLarge;
  if (ec != std::errc()) return TNumber::NotANumber;
  if (v > static_cast<std::uint64_t>(ClientLimits::kMaxBodyBytes)) {
    if (negative) return TNumber::NotANumber;
    return TNumber::TooLarge;
  }
  value = negative ? -static_cast<long long>(v) : static_cast<long long>(v);
  return TNumber::Ok;
}

std::string Base64(std::string_view in) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                       (static_cast<unsigned char>(in[i + 1]) << 8) |
                       static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += kDigits[(v >> 6) & 63];
    out += kDigits[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

TUrlParts SplitUrl(std::string_view url) {
  TUrlParts parts;
  std::string_view rest = url;
  if (const auto at = url.find("://"); at != std::string_view::npos) {
    parts.Protocol = std::string(url.substr(0, at));
    rest = url.substr(at + 3);
  }
  const std::string proto = UpperAscii(parts.Protocol);
  if (proto == "HTTPS") parts.Port = "443";
  if (proto == "FTP") parts.Port = "21";

  const auto slash = rest.find('/');
  const auto atSign = rest.find('@');
  if (atSign != std::string_view::npos && (slash == std::string_view::npos || atSign < slash)) {
    const std::string_view credentials = rest.substr(0, atSign);
    if (const auto colon = credentials.find(':'); colon != std::string_view::npos) {
      parts.User = std::string(credentials.substr(0, colon));
      parts.Password = std::string(credentials.substr(colon + 1));
    } else {
      parts.User = std::string(credentials);
    }
    rest = rest.substr(atSign + 1);
  }

  std::string_view hostPart = rest;
  std::string_view pathPart;
  if (const auto s = rest.find('/'); s != std::string_view::npos) {
    hostPart = rest.substr(0, s);
    pathPart = rest.substr(s + 1);
  }

  if (!hostPart.empty() && hostPart.front() == '[') {
    const auto close = hostPart.find(']');
    if (close == std::string_view::npos) {
      parts.Host = std::string(hostPart.substr(1));
    } else {
      parts.Host = std::string(hostPart.substr(1, close - 1));
      if (close + 1 < hostPart.size() && hostPart[close + 1] == ':') {
        parts.Port = std::string(hostPart.substr(close + 2));
      }
    }
  } else if (const auto colon = hostPart.find(':'); colon != std::string_view::npos) {
    parts.Host = std::string(hostPart.substr(0, colon));
    parts.Port = std::string(hostPart.substr(colon + 1));
  } else {
    parts.Host = std::string(hostPart);
  }

  parts.Target.assign(1, '/').append(pathPart);
  const auto q = pathPart.find('?');
  parts.Path.assign(1, '/').append(pathPart.substr(0, q));
  if (q != std::string_view::npos) parts.Query = std::string(pathPart.substr(q + 1));
  if (parts.Host.empty()) parts.Host = "localhost";
  return parts;
}

int PosWild(std::string_view pattern, std::string_view text) {
  if (pattern.empty() || pattern.size() > text.size()) return 0;
  for (std::size_t start = 0; start + pattern.size() <= text.size(); ++start) {
    std::size_t i = 0;
    while (i < pattern.size() && (pattern[i] == '?' || pattern[i] == text[start + i])) ++i;
    if (i == pattern.size()) return static_cast<int>(start) + 1;
  }
  return 0;
}

THttpClient::THttpClient() : socket_(std::make_unique<TTcpBlockingSocket>()) {
  Timeout = 90000;
  TargetPort = "80";
  socket_->ConvertLineEnd = true;
  socket_->SetReceiveBufferSize(65536);
  socket_->SetSendBufferSize(65536);
}

THttpClient::~THttpClient() = default;

std::string THttpClient::BuildRequestHeader(std::string_view method, const TUrlParts& url) {
  std::string user = url.User;
  std::string password = url.Password;
  if (user.empty()) {
    user = UserName;
    password = Password;
  }

  // Lines above the caller's own, in wire order.
  std::vector<std::string> top;
  std::string target = url.Target == "/*" ? "*" : url.Target;
  if (ProtocolVersion == "0.9") {
    top.push_back(UpperAscii(method) + " " + target);
  } else {
    top.push_back(UpperAscii(method) + " " + target + " HTTP/" + ProtocolVersion);
  }
  std::string host = url.Host.find(':') != std::string::npos ? "[" + url.Host + "]" : url.Host;
  if (AddPortToHost && url.Port != "80") host += ":" + url.Port;
  top.push_back("Host: " + host);
  if (!user.empty()) top.push_back("Authorization: Basic " + Base64(user + ":" + password));
  if (!KeepConnection) top.push_back("Connection: close");
  if (!CookieValues.empty()) {
    std::string cookies;
    for (const auto& c : CookieValues) cookies += (cookies.empty() ? "" : "; ") + c;
    top.push_back("Cookie: " + cookies);
  }
  if (!AgentName.empty()) top.push_back("User-Agent: " + AgentName);
  if (!Body.Empty()) {
    if (!ContentType.empty()) top.push_back("Content-Type: " + ContentType);
    top.push_back("Content-Length: " + std::to_string(Body.Size()));
  }
  HeaderLines.insert(HeaderLines.begin(), top.begin(), top.end());
  if (!HeaderLines.back().empty()) HeaderLines.emplace_back();

  if (ProtocolVersion == "0.9") return HeaderLines.front() + "\r\n";
  std::string block;
  for (const auto& line : HeaderLines) block += line + "\r\n";
  return block;
}

void THttpClient::DecodeStatusLine(const std::string& line) {
  const auto space = line.find(' ');
  const std::string_view s =
      space == std::string::npos ? std::string_view() : Trim(std::string_view(line).substr(space));
  const auto gap = s.find(' ');
  const std::string_view code = gap == std::string_view::npos ? s : s.substr(0, gap);
  int value = 0;
  const auto [end, ec] = std::from_chars(code.data(), code.data() + code.size(), value);
  StatusCode = (ec == std::errc() && end == code.data() + code.size() && !code.empty()) ? value : 0;
  StatusText = gap == std::string_view::npos ? std::string() : std::string(Trim(s.substr(gap)));
}

bool THttpClient::Request(std::string_view method, std::string_view url) {
  StatusCode = 500;
  StatusText.clear();
  tooLarge_ = false;
  const TUrlParts parts = SplitUrl(url);
  TargetHost = parts.Host;
  TargetPort = parts.Port;
  const bool secure = UpperAscii(parts.Protocol) == "HTTPS";

  const std::string header = BuildRequestHeader(method, parts);
  TTcpBlockingSocket& sock = *socket_;

  const auto forget = [&] {
    sock.Close();
    TargetHost.clear();
    TargetPort.clear();
  };

  sock.Close();
  sock.Bind(IPInterface, "0");
  if (sock.LastErrorCode() == 0) sock.Connect(TargetHost, TargetPort);
  if (sock.LastErrorCode() == 0 && secure) sock.ConnectSecure();
  if (sock.LastErrorCode() != 0) {
    forget();
    return false;
  }

  if (!Body.Empty() && Body.Size() < ClientLimits::kSingleSendBytes) {
    sock.SendText(header + Body.Bytes());
  } else {
    sock.SendText(header);
    if (sock.LastErrorCode() == 0 && !Body.Empty()) {
      sock.SendBytes(Body.Bytes().data(), static_cast<int>(Body.Size()));
    }
  }
  if (sock.LastErrorCode() != 0) {
    forget();
    return false;
  }

  Body.Clear();
  HeaderLines.clear();
  ContentType = "text/html";
  transferMode_ = TTransferMode::UntilClose;
  contentLength_ = -1;

  // Lines of the answer are bounded; a longer one fails the read.
  sock.MaxLineLength = ClientLimits::kMaxHeaderLineBytes;
  int linesRead = 0;
  std::string line;
  const auto readNonEmptyLine = [&] {
    do {
      line = sock.ReceiveLine(Timeout);
    } while (line.empty() && sock.LastErrorCode() == 0 &&
             ++linesRead < ClientLimits::kMaxHeaderLines);
  };
  const auto takeStatus = [&] {
    if (sock.LastErrorCode() != 0 || line.empty()) return;
    if (StartsWithNoCase(line, "HTTP/")) {
      HeaderLines.push_back(line);
      DecodeStatusLine(line);
    } else {
      Body.Write(line);
      Body.Write("\r\n");
      StatusCode = 0;
    }
  };
  readNonEmptyLine();
  takeStatus();
  while (StatusCode == 100 && sock.LastErrorCode() == 0) {
    readNonEmptyLine();
    takeStatus();
  }
  bool ok = sock.LastErrorCode() == 0 && !line.empty();

  bool closeAfter = ProtocolVersion != "1.1";
  if (ok && !HeaderLines.empty()) {
    int count = 0;
    for (;;) {
      line = sock.ReceiveLine(Timeout);
      if (sock.LastErrorCode() != 0) break;
      HeaderLines.push_back(line);
      if (line.empty()) break;
      if (++count > ClientLimits::kMaxHeaderLines) {
        ok = false;
        break;
      }
      const std::string upper = UpperAscii(line);
      if (upper.starts_with("CONTENT-LENGTH:")) {
        long long length = -1;
        const TNumber n = ParseNumber(HeaderValue(line), 10, length);
        if (n == TNumber::TooLarge) {
          tooLarge_ = true;
        } else if (n == TNumber::Ok) {
          contentLength_ = length;
          if (length != -1 && transferMode_ != TTransferMode::Chunked) {
            transferMode_ = TTransferMode::ByLength;
          }
        }
      } else if (upper.starts_with("CONTENT-TYPE:")) {
        ContentType = std::string(HeaderValue(line));
      } else if (upper.starts_with("TRANSFER-ENCODING:")) {
        if (UpperAscii(HeaderValue(line)).find("CHUNKED") != std::string::npos) {
          transferMode_ = TTransferMode::Chunked;
        }
      } else if (upper.starts_with("CONNECTION: CLOSE")) {
        closeAfter = true;
      }
    }
    if (sock.LastErrorCode() != 0) ok = false;
  }

  if (ok) {
    const bool noBody = method == "HEAD" || StatusCode == 204 || StatusCode == 304;
    if (!noBody) ok = ReadBody();
  }
  sock.MaxLineLength = 0;

  Body.Seek(0);
  if (closeAfter || !ok) forget();
  TakeCookies();
  return ok;
}

bool THttpClient::ReadBody() {
  TTcpBlockingSocket& sock = *socket_;
  const auto limit = static_cast<std::size_t>(ClientLimits::kMaxBodyBytes);
  // An announced length beyond the limit fails before anything is allocated
  // (a chunked body ignores the length, as it does any other).
  if (tooLarge_ && transferMode_ != TTransferMode::Chunked) return false;

  switch (transferMode_) {
    case TTransferMode::UntilClose:
      for (;;) {
        std::string packet = sock.ReceivePacket(Timeout);
        if (sock.LastErrorCode() != 0) {
          if (sock.LastErrorCode() != kPeerClosed) return false;
          sock.ClearError();
          return true;
        }
        if (Body.Size() + packet.size() > limit) {
          Body.Write(packet.data(), limit - Body.Size());
          return false;
        }
        Body.Write(packet);
      }

    case TTransferMode::ByLength:
      if (contentLength_ < 1) return true;
      sock.ReceiveToStream(Body.Buffer(), Timeout, contentLength_);
      Body.Seek(Body.Size());
      return sock.LastErrorCode() == 0;

    case TTransferMode::Chunked: {
      // Bytes taken from the connection, chunk lines included, so that an
      // endless run of empty lines also ends at the limit.
      long long consumed = 0;
      for (;;) {
        const std::string line = sock.ReceiveLine(Timeout);
        if (sock.LastErrorCode() != 0) return false;
        consumed += static_cast<long long>(line.size()) + 2;
        if (consumed > ClientLimits::kMaxBodyBytes) return false;
        if (line.empty()) continue;
        std::string_view size = line;
        size = size.substr(0, size.find(' '));
        size = Trim(size.substr(0, size.find(';')));
        long long count = 0;
        if (size.empty() || ParseNumber(size, 16, count) != TNumber::Ok) return false;
        if (count == 0) return true;
        consumed += count;
        if (consumed > ClientLimits::kMaxBodyBytes) return false;
        sock.ReceiveToStream(Body.Buffer(), Timeout, count);
        Body.Seek(Body.Size());
        if (sock.LastErrorCode() != 0) return false;
      }
    }
  }
  return false;
}

void THttpClient::TakeCookies() {
  for (const auto& line : HeaderLines) {
    if (!StartsWithNoCase(line, "set-cookie:")) continue;
    std::string_view cookie = std::string_view(line).substr(line.find(':') + 1);
    cookie = Trim(cookie.substr(0, cookie.find(';')));
    const auto eq = cookie.find('=');
    const std::string name(Trim(cookie.substr(0, eq)));
    const std::string value(eq == std::string_view::npos ? std::string_view()
                                                         : Trim(cookie.substr(eq + 1)));
    const std::string pair = name + "=" + value;
    bool replaced = false;
    for (auto& existing : CookieValues) {
      if (existing.compare(0, name.size() + 1, name + "=") == 0) {
        existing = pair;
        replaced = true;
        break;
      }
    }
    if (!replaced) CookieValues.push_back(pair);
  }
}

bool FetchLines(std::string_view url, std::vector<std::string>& lines) {
  THttpClient client;
  if (!client.Request("GET", url)) return false;
  lines = TextToLines(StreamToText(client.Body));
  return true;
}
