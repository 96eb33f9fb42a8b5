// Private sharing: the key, its three carriers, and the count of wrong keys.
#include "server/PrivateShare.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace {

constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool IsKeyChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i];
    char b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}

// Standard base64 (padding optional); nothing on a bad character.
std::optional<std::string> DecodeBase64(std::string_view in) {
  while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
    const int v = Base64Value(c);
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return out;
}

}  // namespace

TPrivateShare::TPrivateShare(std::string key) : key_(std::move(key)) {}

void TPrivateShare::SetKey(std::string key) {
  std::lock_guard<std::mutex> lock(mutex_);
  key_ = std::move(key);
}

std::string TPrivateShare::Key() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return key_;
}

std::optional<TGateAnswer> TPrivateShare::Check(std::string& uri,
                                                const std::vector<std::string>& headers,
                                                const std::string& peer) {
  return Check(uri, headers, peer, std::chrono::steady_clock::now());
}

std::optional<TGateAnswer> TPrivateShare::Check(std::string& uri,
                                                const std::vector<std::string>& headers,
                                                const std::string& peer,
                                                std::chrono::steady_clock::time_point now) {
  const std::optional<std::string> fromUri = TakeKeyParameter(uri);
  const std::string given = fromUri ? *fromUri : KeyFromHeaders(headers);
  if (given.empty()) return PrivatePage();

  std::lock_guard<std::mutex> lock(mutex_);
  if (Blocked(peer, now)) return PrivatePage();
  if (key_.empty() || !SameKey(given, key_)) {
    CountWrongKey(peer, now);
    return PrivatePage();
  }
  if (fromUri && uri == "/") {
    TGateAnswer answer;
    answer.Status = 303;
    answer.Headers.push_back("Location: /");
    answer.Headers.push_back(std::string("Set-Cookie: ") + kShareKeyCookie + "=" + key_ +
                             "; Path=/; HttpOnly; SameSite=Lax");
    answer.Headers.push_back("Cache-Control: no-store");
    return answer;
  }
  return std::nullopt;
}

bool TPrivateShare::Blocked(const std::string& peer, std::chrono::steady_clock::time_point now) {
  const auto found = wrongKeys_.find(peer);
  if (found == wrongKeys_.end()) return false;
  if (now - found->second.since >= std::chrono::minutes(1)) {
    wrongKeys_.erase(found);
    return false;
  }
  return found->second.count >= kWrongKeysPerMinute;
}

void TPrivateShare::CountWrongKey(const std::string& peer,
                                  std::chrono::steady_clock::time_point now) {
  auto found = wrongKeys_.find(peer);
  if (found == wrongKeys_.end()) {
    if (wrongKeys_.size() >= kMaxTrackedAddresses) {
      // Forget the minutes that are over; when every entry is still running,
      // forget the oldest, so the table never grows past its bound.
      auto oldest = wrongKeys_.end();
      for (auto it = wrongKeys_.begin(); it != wrongKeys_.end();) {
        if (now - it->second.since >= std::chrono::minutes(1)) {
          it = wrongKeys_.erase(it);
          continue;
        }
        if (oldest == wrongKeys_.end() || it->second.since < oldest->second.since) oldest = it;
        ++it;
      }
      if (wrongKeys_.size() >= kMaxTrackedAddresses && oldest != wrongKeys_.end()) {
        wrongKeys_.erase(oldest);
      }
    }
    found = wrongKeys_.emplace(peer, TWrongKeys{now, 0}).first;
  }
  ++found->second.count;
}

std::string NewShareKey() {
  unsigned char bytes[24];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("no random bytes for a share key");
    got += static_cast<std::size_t>(n);
  }
  std::string key;
  for (std::size_t i = 0; i < sizeof bytes; i += 3) {
    const unsigned v = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) key.push_back(kUrlSafe[(v >> shift) & 63]);
  }
  return key;
}

bool IsShareKey(std::string_view key) {
  if (key.size() < 22 || key.size() > 128) return false;
  for (char c : key)
    if (!IsKeyChar(c)) return false;
  return true;
}

std::string AddressWithKey(const std::string& webAddress, const std::string& key) {
  if (key.empty()) return webAddress;
  const bool slash = !webAddress.empty() && webAddress.back() == '/';
  return webAddress + (slash ? "?key=" : "/?key=") + key;
}

bool SameKey(std::string_view given, std::string_view expected) {
  unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char g = i < given.size() ? given[i] : '\0';
    diff |= static_cast<unsigned char>(g ^ expected[i]);
  }
  return diff == 0 && !expected.empty();
}

std::optional<std::string> TakeKeyParameter(std::string& uri) {
  std::size_t at = std::string::npos;
  for (std::size_t p = uri.find("key="); p != std::string::npos; p = uri.find("key=", p + 1)) {
    if (p > 0 && (uri[p - 1] == '?' || uri[p - 1] == '&')) at = p;
  }
  if (at == std::string::npos) return std::nullopt;
  std::string value = uri.substr(at + 4);
  for (char c : value)
    if (!IsKeyChar(c)) return std::nullopt;  // not the last parameter, or not a key
  uri.erase(at - 1);
  return value;
}

std::string KeyFromHeaders(const std::vector<std::string>& headers) {
  std::string basic;
  for (const std::string& line : headers) {
    if (line.empty()) break;  // the form lines of a plain body follow
    const std::string_view view(line);
    if (StartsWithNoCase(view, "cookie:")) {
      std::string_view rest = view.substr(7);
      while (!rest.empty()) {
        const std::size_t semi = rest.find(';');
        const std::string_view pair = Trimmed(rest.substr(0, semi));
        const std::string name = std::string(kShareKeyCookie) + "=";
        if (pair.substr(0, name.size()) == name) return std::string(pair.substr(name.size()));
        rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
      }
    } else if (StartsWithNoCase(view, "authorization:")) {
      const std::string_view value = Trimmed(view.substr(14));
      if (!StartsWithNoCase(value, "basic ")) continue;
      const std::optional<std::string> decoded = DecodeBase64(Trimmed(value.substr(6)));
      if (!decoded) continue;
      const std::size_t colon = decoded->find(':');
      if (colon != std::string::npos) basic = decoded->substr(colon + 1);
    }
  }
  return basic;
}

TGateAnswer PrivatePage() {
  TGateAnswer answer;
  answer.Status = 403;
  answer.Headers.push_back("Content-Type: text/html; charset=utf-8");
  answer.Headers.push_back("Cache-Control: no-store");
  answer.Body =
      "<html>\r\n<head><title>This share is private</title></head>\r\n<body>\r\n"
      "<h1>This share is private</h1>\r\n<p>Open the address with the key you were given.</p>\r\n"
      "</body>\r\n</html>\r\n";
  return answer;
}
