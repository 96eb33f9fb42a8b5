// The settings: one table of every key with its section, default and range,
// the record the program works with, and its file. Everything that shows or
// checks a setting (the window's controls, the command line) takes the
// default and the range from the table.
#pragma once

#include "server/PageStyle.h"
#include "server/ServerLimits.h"

#include <climits>
#include <string>

struct IntRange {
  int min;
  int max;
  int Clamp(int value) const { return value < min ? min : (value > max ? max : value); }
};

// A whole number kept under Section / Key. A stored value is fitted into the
// range; Step is the step of the window's number field.
struct TIntSetting {
  const char* Section;
  const char* Key;
  int Default;
  IntRange Range;
  int Step = 1;
};
// A switch: any number but 0 is true.
struct TBoolSetting {
  const char* Section;
  const char* Key;
  bool Default;
};
// A text.
struct TTextSetting {
  const char* Section;
  const char* Key;
  const char* Default;
};

// The settings table, in the order of the file. A new setting gets its row
// here, its field in AppSettings, and a line in LoadSettings and SaveSettings.
namespace SettingsTable {
inline constexpr IntRange kAnyNumber{INT_MIN, INT_MAX};

inline constexpr TIntSetting kWindowLeft{"Form", "Left", 10, kAnyNumber};
inline constexpr TIntSetting kWindowTop{"Form", "Top", 90, kAnyNumber};
inline constexpr TIntSetting kWindowWidth{"Form", "Width", 720, kAnyNumber};
inline constexpr TIntSetting kWindowHeight{"Form", "Height", 540, kAnyNumber};
inline constexpr TIntSetting kActiveTab{"Form", "Tab", 0, kAnyNumber};
// Written, never read back (detection fills it).
inline constexpr TTextSetting kServerAddress{"Internet", "Adr", ""};
inline constexpr TIntSetting kPort{"Internet", "Port", ServerLimits::kDefaultPort, {0, 65535}};
inline constexpr TIntSetting kTimeoutMs{
    "Internet", "spnTimeOut", ServerLimits::kDefaultTimeoutMs, {100, 120000}, 100};
inline constexpr TBoolSetting kInternalAddress{"Internet", "radIntern", false};
// The default is this folder name inside the folder LoadSettings is given.
inline constexpr TTextSetting kSharedFolder{"Share", "Folder", "Shared folder"};
inline constexpr TBoolSetting kAcceptUploads{"Share", "chkAccUploads", false};
inline constexpr TBoolSetting kAutoStart{"Settings", "chkAutoStart", true};
inline constexpr TBoolSetting kUseSkins{"Settings", "chkUseSkins", true};
inline constexpr TIntSetting kResamplerQuality{"Settings", "edtedtResamplerQ", 6, {0, 6}};
inline constexpr TIntSetting kThumbWidth{"Settings", "spnWidth", 128, {16, 1024}};
inline constexpr TIntSetting kThumbHeight{"Settings", "spnHeight", 96, {16, 1024}};
// An empty host would leave nothing to ask: the default stands in for it.
inline constexpr TTextSetting kIpEchoHost{"Network", "IpEchoHost", "checkip.dyndns.org"};
inline constexpr TTextSetting kTrackerHost{"Network", "TrackerHost", "www.novrix.example"};
// Private sharing: every visitor needs the key. The section is written only
// once it has been used, so a file without it stays as it was.
inline constexpr TBoolSetting kPrivateSharing{"Private", "PrivateSharing", false};
inline constexpr TTextSetting kPrivateKey{"Private", "Key", ""};
// Sharing over the Internet. These keys are written only once they differ
// from their defaults (or are in the file already), so a file without them
// stays as it was.
// Ask the router to forward the port.
inline constexpr TBoolSetting kPortMapping{"Network", "PortMapping", true};
// The router's UPnP root description; empty: look for it.
inline constexpr TTextSetting kUpnpGateway{"Network", "Gateway", ""};
// The NAT-PMP gateway as "address[:port]"; empty: the default gateway.
inline constexpr TTextSetting kNatPmpGateway{"Network", "NatPmpGateway", ""};
// The one address to listen on; empty: every IPv4 interface.
inline constexpr TTextSetting kBindAddress{"Network", "BindAddress", ""};
// The pages visitors get: "classic" or "gallery". Written only once it
// differs from the default (or is in the file already).
inline constexpr TTextSetting kPageStyle{"Web", "PageStyle", "classic"};
}  // namespace SettingsTable

struct AppSettings {
  int WindowLeft = SettingsTable::kWindowLeft.Default;
  int WindowTop = SettingsTable::kWindowTop.Default;
  int WindowWidth = SettingsTable::kWindowWidth.Default;
  int WindowHeight = SettingsTable::kWindowHeight.Default;
  int ActiveTab = SettingsTable::kActiveTab.Default;
  std::string ServerAddress = SettingsTable::kServerAddress.Default;
  int Port = SettingsTable::kPort.Default;
  int TimeoutMs = SettingsTable::kTimeoutMs.Default;
  bool InternalAddress = SettingsTable::kInternalAddress.Default;
  std::string SharedFolder;  // see DefaultSettings
  bool AcceptUploads = SettingsTable::kAcceptUploads.Default;
  bool AutoStart = SettingsTable::kAutoStart.Default;
  bool UseSkins = SettingsTable::kUseSkins.Default;
  int ResamplerQuality = SettingsTable::kResamplerQuality.Default;
  int ThumbWidth = SettingsTable::kThumbWidth.Default;
  int ThumbHeight = SettingsTable::kThumbHeight.Default;
  std::string IpEchoHost = SettingsTable::kIpEchoHost.Default;
  std::string TrackerHost = SettingsTable::kTrackerHost.Default;
  bool PrivateSharing = SettingsTable::kPrivateSharing.Default;
  std::string PrivateKey = SettingsTable::kPrivateKey.Default;
  bool PortMapping = SettingsTable::kPortMapping.Default;
  std::string UpnpGateway = SettingsTable::kUpnpGateway.Default;
  std::string NatPmpGateway = SettingsTable::kNatPmpGateway.Default;
  std::string BindAddress = SettingsTable::kBindAddress.Default;
  TPageStyle PageStyle = TPageStyle::Classic;

  bool operator==(const AppSettings&) const = default;
};

// The defaults, with the shared folder `sharedFolderBase` + "Shared folder"
// (the base given with or without its trailing "/").
AppSettings DefaultSettings(const std::string& sharedFolderBase);

// Reads the settings file: a missing file, section or key, or a text that is
// not a number, gives the key's default; numbers may be hexadecimal ("0x",
// "0X", "$"); numeric fields are fitted into their ranges; a boolean is true
// for any number but 0. The address is not read back.
AppSettings LoadSettings(const std::string& settingsFile, const std::string& sharedFolderBase);

// Writes the record: "Form", "Internet", "Share", "Settings", "Network", then
// "Private" once used, then the Internet keys of "Network" that differ from
// their defaults or are in the file already, keys in the table's order; other sections and keys
// already in the file stay. The file is replaced atomically; false (file unchanged, nothing shown)
// when it cannot be written or is read-only.
bool SaveSettings(const std::string& settingsFile, const AppSettings& settings);
