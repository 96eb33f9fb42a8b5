// Redirecting fetch and the fetch-to-text wrapper.
#include "net/fetchwrap.h"

#include "net/ClientLimits.h"
#include "net/httpclient.h"

namespace {

std::string JoinHeader(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\r\n";
  return text;
}

// Scheme, credentials and host of an address, without the path.
std::string Origin(std::string_view url) {
  std::size_t start = 0;
  if (const auto at = url.find("://"); at != std::string_view::npos) start = at + 3;
  const auto slash = url.find('/', start);
  return std::string(url.substr(0, slash));
}

}  // namespace

std::string ResolveLocation(std::string_view base, std::string_view location) {
  if (location.find("://") != std::string_view::npos) return std::string(location);
  const std::string origin = Origin(base);
  if (location.starts_with("//")) {
    const auto at = base.find("://");
    const std::string protocol =
        at == std::string_view::npos ? "http" : std::string(base.substr(0, at));
    return protocol + ":" + std::string(location);
  }
  if (location.starts_with("/")) return origin + std::string(location);
  // Relative to the folder of the base's path (its query left out).
  std::string path = std::string(base.substr(origin.size()));
  path = path.substr(0, path.find('?'));
  const auto lastSlash = path.rfind('/');
  const std::string folder = lastSlash == std::string::npos ? "/" : path.substr(0, lastSlash + 1);
  return origin + folder + std::string(location);
}

void FetchFollowing(std::string_view url, TFetchInfo& info) {
  info.Url = std::string(url);
  info.Text.clear();
  info.State = 3;
  for (int hop = 0;; ++hop) {
    THttpClient client;
    client.AgentName = "fetchwrap";
    if (!client.Request("GET", info.Url)) {
      info.Code = client.StatusCode;
      info.State = 1;
      info.Text.clear();
      info.HeaderText = JoinHeader(client.HeaderLines);
      return;
    }
    info.Code = client.StatusCode;
    info.Text = StreamToText(client.Body);
    info.State = 0;
    info.HeaderText = JoinHeader(client.HeaderLines);
    if (info.Code != 301 && info.Code != 302 && info.Code != 307) return;

    const std::string* locationLine = nullptr;
    for (const auto& line : client.HeaderLines) {
      if (PosWild("Location: ", line) > 0) {
        locationLine = &line;
        break;
      }
    }
    if (!locationLine) {
      info.State = 2;
      return;
    }
    if (hop >= ClientLimits::kMaxRedirectHops) {
      info.State = 1;
      info.Text.clear();
      return;
    }
    std::string location = *locationLine;
    location.erase(static_cast<std::size_t>(PosWild("Location: ", location)) - 1, 10);
    while (!location.empty() && (location.back() == ' ' || location.back() == '\t')) {
      location.pop_back();
    }
    info.Url = ResolveLocation(info.Url, location);
  }
}

std::string FetchText(std::string_view url) {
  TFetchInfo info;
  FetchFollowing(url, info);
  return info.Text;
}
