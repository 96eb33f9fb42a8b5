// Command line of the headless program.
#include "shell/HeadlessOptions.h"

#include "shell/EntrySequence.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

bool IsNumericAddress(const std::string& text) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

// "a.b.c.d" or "a.b.c.d:port" with a port from 1 to 65535.
bool IsGatewayAddress(const std::string& text) {
  const auto colon = text.find(':');
  in_addr v4{};
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &v4) != 1) return false;
  if (colon == std::string::npos) return true;
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = std::stoi(port);
  return value >= 1 && value <= 65535;
}

std::optional<int> ParseDecimal(const std::string& text, IntRange range) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < range.min || value > range.max) return std::nullopt;
  return value;
}

}  // namespace

std::string ParseHeadlessOptions(int argc, const char* const* argv, HeadlessOptions& options) {
  options.shareOff = IsShareOffArgument(argc, argv);
  for (int i = options.shareOff ? 2 : 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    auto number = [&](std::optional<int>& out, IntRange range) -> std::string {
      std::string text;
      if (!value(text)) return arg + " needs a value";
      out = ParseDecimal(text, range);
      if (!out) {
        return arg + " takes a whole number from " + std::to_string(range.min) + " to " +
               std::to_string(range.max) + ", not \"" + text + "\"";
      }
      return "";
    };
    auto text = [&](std::optional<std::string>& out) -> std::string {
      std::string t;
      if (!value(t)) return arg + " needs a value";
      if (t.empty()) return arg + " needs a value";
      out = t;
      return "";
    };
    std::string error;
    if (arg == "--headless") {
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--workdir") {
      error = text(options.workdir);
    } else if (arg == "--folder") {
      error = text(options.folder);
    } else if (arg == "--user") {
      error = text(options.user);
      if (error.empty() && options.user->find('*') != std::string::npos) {
        error = "--user: the star (*) character is not allowed in a user name";
      }
    } else if (arg == "--port") {
      error = number(options.port, SettingsTable::kPort.Range);
    } else if (arg == "--timeout") {
      error = number(options.timeoutMs, SettingsTable::kTimeoutMs.Range);
    } else if (arg == "--filter") {
      error = number(options.filter, SettingsTable::kResamplerQuality.Range);
    } else if (arg == "--thumb-width") {
      error = number(options.thumbWidth, SettingsTable::kThumbWidth.Range);
    } else if (arg == "--thumb-height") {
      error = number(options.thumbHeight, SettingsTable::kThumbHeight.Range);
    } else if (arg == "--uploads") {
      // "--uploads" alone, or with "on" or "off".
      options.uploads = true;
      if (i + 1 < argc &&
          (std::strcmp(argv[i + 1], "on") == 0 || std::strcmp(argv[i + 1], "off") == 0)) {
        options.uploads = std::strcmp(argv[++i], "on") == 0;
      }
    } else if (arg == "--send-ip") {
      options.sendIp = true;
    } else if (arg == "--private") {
      options.privateShare = true;
    } else if (arg == "--new-key") {
      options.newKey = true;
    } else if (arg == "--qr") {
      options.qr = true;
    } else if (arg == "--list-users") {
      options.listUsers = true;
    } else if (arg == "--no-uploads") {
      options.uploads = false;
    } else if (arg == "--internal" || arg == "--external") {
      options.internal = arg == "--internal";
    } else if (arg == "--port-mapping" || arg == "--no-port-mapping") {
      options.portMapping = arg == "--port-mapping";
    } else if (arg == "--gateway") {
      error = text(options.gateway);
      if (error.empty() && !options.gateway->starts_with("http://")) {
        error = "--gateway takes the router's description address (http://...), not \"" +
                *options.gateway + "\"";
      }
    } else if (arg == "--natpmp-gateway") {
      error = text(options.natPmpGateway);
      if (error.empty() && !IsGatewayAddress(*options.natPmpGateway)) {
        error = "--natpmp-gateway takes an IPv4 address with an optional :PORT, not \"" +
                *options.natPmpGateway + "\"";
      }
    } else if (arg == "--bind") {
      error = text(options.bind);
      if (error.empty() && !IsNumericAddress(*options.bind)) {
        error = "--bind takes a numeric IPv4 or IPv6 address, not \"" + *options.bind + "\"";
      }
    } else if (arg == "--pages") {
      std::optional<std::string> name;
      error = text(name);
      TPageStyle style = TPageStyle::Classic;
      if (error.empty() && !ParsePageStyle(*name, style)) {
        error = "--pages takes gallery or classic, not \"" + *name + "\"";
      }
      if (error.empty()) options.pages = style;
    } else {
      error = "unknown argument \"" + arg + "\"";
    }
    if (!error.empty()) return error;
  }
  return "";
}

void ApplyOptions(const HeadlessOptions& o, AppSettings& s) {
  if (o.folder) s.SharedFolder = *o.folder;
  if (o.port) s.Port = *o.port;
  if (o.timeoutMs) s.TimeoutMs = *o.timeoutMs;
  if (o.uploads) s.AcceptUploads = *o.uploads;
  if (o.internal) s.InternalAddress = *o.internal;
  if (o.filter) s.ResamplerQuality = *o.filter;
  if (o.thumbWidth) s.ThumbWidth = *o.thumbWidth;
  if (o.thumbHeight) s.ThumbHeight = *o.thumbHeight;
  if (o.privateShare) s.PrivateSharing = true;
  if (o.portMapping) s.PortMapping = *o.portMapping;
  if (o.gateway) s.UpnpGateway = *o.gateway;
  if (o.natPmpGateway) s.NatPmpGateway = *o.natPmpGateway;
  if (o.bind) s.BindAddress = *o.bind;
  if (o.pages) s.PageStyle = *o.pages;
}

std::string HeadlessUsage() {
  namespace T = SettingsTable;
  const auto range = [](const TIntSetting& s) {
    return std::to_string(s.Range.min) + " to " + std::to_string(s.Range.max);
  };
  return "usage: mirelo-share [ShareOff] [options]\n"
         "Shares one folder with any web browser. Where a display is available it opens\n"
         "its window, which takes only ShareOff and --workdir (the rest is set in the\n"
         "window); every option below applies without a window.\n"
         "  --headless          run without a window even where a display is available\n"
         "  --folder DIR        the folder to share\n"
         "  --port N            the TCP port (" +
         range(T::kPort) +
         "; 0 takes a free one)\n"
         "  --timeout MS        connection time-out in milliseconds (" +
         range(T::kTimeoutMs) +
         ")\n"
         "  --uploads [on|off]  accept uploads into the shared folder (--no-uploads: refuse)\n"
         "  --pages STYLE       the pages visitors get: classic (the default) or gallery\n"
         "  --internal          share in the local network (--external: Internet-wide)\n"
         "  --filter N          thumbnail resampling filter (" +
         range(T::kResamplerQuality) +
         ")\n"
         "  --thumb-width N     thumbnail width (" +
         range(T::kThumbWidth) +
         ")\n"
         "  --thumb-height N    thumbnail height (" +
         range(T::kThumbHeight) +
         ")\n"
         "  --bind ADDRESS      listen on this address only (default: every IPv4 interface,\n"
         "                      and every IPv6 one when this computer has a global IPv6 address)\n"
         "  --no-port-mapping   do not ask the router to forward the port (--port-mapping: ask)\n"
         "  --gateway URL       the router's UPnP description address; skips looking for it\n"
         "  --natpmp-gateway ADDRESS[:PORT]  the NAT-PMP gateway to ask instead of the default\n"
         "  --user NAME         your user name, when none is stored yet (padded with 0 to 7)\n"
         "  --workdir DIR       keep settings, cache and log in DIR\n"
         "  --private           private sharing: only visitors with the key in the address\n"
         "  --new-key           replace the key of private sharing (old links stop working)\n"
         "  --qr                print the address's QR code even when output is not a terminal\n"
         "  --send-ip           announce yourself on the public network once, then end\n"
         "  --list-users        list the users of the public network, then end\n"
         "  ShareOff            (first argument) start without sharing\n"
         "  --version           show the version and end\n"
         "  --help, -h          show this text and end\n"
         "Options are saved with the settings and used again on the next start.\n"
         "Stop with Ctrl+C or SIGTERM; everything is saved.\n";
}
