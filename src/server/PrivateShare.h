// Private sharing: a secret key that every request must carry before any of
// the share is touched.
//
// A request proves the key in one of three ways: "key=KEY" as the last
// parameter of its address (the address that is handed out, or any other for
// download tools), the cookie set on the first visit, or the password of HTTP
// Basic authentication (any user name). A visit of "/?key=KEY" is answered
// with the cookie and a redirect to "/", so the key leaves the address bar;
// any other address with the key is served as if the key were not in it.
// Without the key every address is answered with a short 403 page.
//
// The gate runs in the connection worker right after the request head, before
// any body is read, any plug-in or the router sees the request. Keys are
// compared in constant time; an address that sends more than a few wrong keys
// a minute is refused without a comparison until its minute is over. The
// table of those addresses is bounded.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// What the gate answers instead of the share: status, header lines, body.
struct TGateAnswer {
  int Status = 403;
  std::vector<std::string> Headers;
  std::string Body;
};

class TPrivateShare {
 public:
  // Wrong keys an address may send in one minute before it is refused.
  static constexpr int kWrongKeysPerMinute = 5;
  // Addresses remembered for the count at most.
  static constexpr std::size_t kMaxTrackedAddresses = 4096;

  explicit TPrivateShare(std::string key);

  // Replaces the key: requests with the old one are refused from now on.
  void SetKey(std::string key);
  std::string Key() const;

  // Looks at a request head. Nothing: the request may go on; uri then has
  // the key parameter (if any) removed. Else the answer to send instead.
  // peer: the address the connection comes from, for the count of wrong keys.
  std::optional<TGateAnswer> Check(std::string& uri, const std::vector<std::string>& headers,
                                   const std::string& peer);

  // The same with a clock, for tests.
  std::optional<TGateAnswer> Check(std::string& uri, const std::vector<std::string>& headers,
                                   const std::string& peer,
                                   std::chrono::steady_clock::time_point now);

 private:
  struct TWrongKeys {
    std::chrono::steady_clock::time_point since;
    int count = 0;
  };
  bool Blocked(const std::string& peer, std::chrono::steady_clock::time_point now);
  void CountWrongKey(const std::string& peer, std::chrono::steady_clock::time_point now);

  mutable std::mutex mutex_;
  std::string key_;
  std::unordered_map<std::string, TWrongKeys> wrongKeys_;
};

// The name of the cookie that carries the key.
inline constexpr char kShareKeyCookie[] = "mirelo_key";

// A new key: 192 random bits from the system (getrandom), in 32 characters of
// the URL-safe base64 alphabet. Throws std::runtime_error when the system
// gives no random bytes.
std::string NewShareKey();

// True for a key NewShareKey could have made: 22 to 128 characters of A-Z,
// a-z, 0-9, "-" and "_" (at least 128 bits).
bool IsShareKey(std::string_view key);

// The web address with the key: "http://host:port/?key=KEY" (the "/" added
// when the address has none at its end). An empty key gives the address
// unchanged.
std::string AddressWithKey(const std::string& webAddress, const std::string& key);

// Equal texts, in a time that depends only on the length of expected.
bool SameKey(std::string_view given, std::string_view expected);

// Removes a final "key=VALUE" parameter from uri (with its "?" or "&") and
// gives VALUE; nothing (uri unchanged) when there is none.
std::optional<std::string> TakeKeyParameter(std::string& uri);

// The key given by the request's Cookie lines, else by its Authorization:
// Basic line (the password); empty when neither.
std::string KeyFromHeaders(const std::vector<std::string>& headers);

// The short page every address answers without the key.
TGateAnswer PrivatePage();
