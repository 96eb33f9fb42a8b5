// The reachability check: the tracker connects back to the program that asks
// and tells whether an HTTP server answered there. The tracker's side (the
// probe, the per-address limit, its answer) and the program's side (the
// question and the line shown to the user).
#pragma once

#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// GET kReachCheckPath + "?port=N" on the tracker. Only the port is read from
// the request; the address checked is always the one the request came from.
inline constexpr char kReachCheckPath[] = "/.mirelo/reach";

// ---- The tracker's side ----

struct TReachProbe {
  bool Reachable = false;
  // The status line when reachable; what went wrong otherwise
  // ("connection refused", "no answer within 5 seconds", ...).
  std::string Detail;
};

// True for "HTTP/<version> <three digits>" followed by the end or a space.
bool IsHttpStatusLine(std::string_view line);

// Connects to address:port, sends one GET for "/", and reads at most
// NetworkLimits::kReachAnswerBytes of the answer, up to its first line end;
// reachable when that first line is an HTTP status line. The whole probe
// takes at most timeoutMs.
TReachProbe ProbeHttp(const std::string& address, int port, int timeoutMs);

// At most `perMinute` checks for one address in any minute; remembers at most
// NetworkLimits::kReachRememberedAddresses addresses. Shared by the tracker's
// connections (thread-safe).
class TReachLimiter {
 public:
  explicit TReachLimiter(int perMinute) : perMinute_(perMinute) {}
  // True (and counted) when the address may have one more check now.
  bool Allow(const std::string& address, std::time_t now);

 private:
  std::mutex lock_;
  int perMinute_;
  std::map<std::string, std::vector<std::time_t>> recent_;
};

// The tracker's whole answer (status line, header lines, body) to a check
// asked for by `peer` with the request target `target`. `probe` does the
// connecting (ProbeHttp in the tracker).
using TProbeFn = TReachProbe (*)(const std::string& address, int port, int timeoutMs);
std::string TrackerReachAnswer(std::string_view target, const std::string& peer,
                               TReachLimiter& limiter, std::time_t now, int timeoutMs,
                               TProbeFn probe = ProbeHttp);

// ---- The program's side ----

enum class TReachState { Reachable, Unreachable, NotChecked };

struct TReachVerdict {
  TReachState State = TReachState::NotChecked;
  std::string Address;  // the address the tracker tried
  int Port = 0;
  std::string Detail;  // the tracker's detail, or why no check was made
};

// Asks the tracker (host or host:port) to check `port` of this computer's
// address; waits at most timeoutMs for its verdict.
TReachVerdict AskReachability(const std::string& trackerHost, int port, int timeoutMs);

// The user's line: "Friends can reach this address.", "Friends cannot reach
// this address from the Internet yet: ..." (with `tried`, what else was
// done, appended), or "The reachability check could not be made: ...".
std::string DescribeReach(const TReachVerdict& verdict, const std::string& trackerHost,
                          const std::string& tried);
