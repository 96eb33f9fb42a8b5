// Redirecting fetch over the HTTP client: follows 301, 302 and 307 answers
// (at most ClientLimits::kMaxRedirectHops of them) and returns the final body.
#pragma once

#include <string>
#include <string_view>

struct TFetchInfo {
  // 0 done, 1 request failed (or too many redirects), 2 redirect without a
  // location line, 3 in progress.
  int State = 0;
  std::string Text;        // the response body
  int Code = 0;            // the response status code (500 when no response arrived)
  std::string Url;         // the address fetched; after a redirect, where it led
  std::string HeaderText;  // the client's header lines, each followed by CR LF
};

// Fetches url, following redirects. A relative location is resolved against
// the address that gave it. When the answer to the last allowed hop is still a
// redirect, the fetch ends with State 1, that answer's code and no text.
void FetchFollowing(std::string_view url, TFetchInfo& info);

// The body FetchFollowing ends with, whatever its state (empty after a failure).
std::string FetchText(std::string_view url);

// The address a location value leads to from base: complete addresses as they
// are, "//host/..." with the base's protocol, "/path" on the base's host, and
// anything else relative to the base's folder.
std::string ResolveLocation(std::string_view base, std::string_view location);
