// The settings record, its keys, defaults and ranges, and its file: read
// with the defaults of the keys and the clamping of the numeric fields,
// written in a fixed order of sections and keys.
#pragma once

#include <string>

struct IntRange {
  int min;
  int max;
  int Clamp(int value) const { return value < min ? min : (value > max ? max : value); }
};

// Ranges of the numeric fields (the window's number fields use the same).
inline constexpr IntRange kPortRange{0, 65535};
inline constexpr IntRange kTimeoutRange{100, 120000};
inline constexpr int kTimeoutStep = 100;
inline constexpr IntRange kResamplerQualityRange{0, 6};
inline constexpr IntRange kThumbSideRange{16, 1024};

inline constexpr char kDefaultIpEchoHost[] = "checkip.dyndns.org";
inline constexpr char kDefaultTrackerHost[] = "www.novrix.example";

// The shared folder of a fresh installation, inside the given folder.
inline constexpr char kDefaultSharedFolderName[] = "Shared folder";

struct AppSettings {
  int WindowLeft = 10;     // "Form" / "Left"
  int WindowTop = 90;      // "Form" / "Top"
  int WindowWidth = 720;   // "Form" / "Width"
  int WindowHeight = 540;  // "Form" / "Height"
  int ActiveTab = 0;       // "Form" / "Tab"
  // "Internet" / "Adr": written, never read back (detection fills it).
  std::string ServerAddress;
  int Port = 3724;                                // "Internet" / "Port"
  int TimeoutMs = 12000;                          // "Internet" / "spnTimeOut"
  bool InternalAddress = false;                   // "Internet" / "radIntern"
  std::string SharedFolder;                       // "Share" / "Folder"
  bool AcceptUploads = false;                     // "Share" / "chkAccUploads"
  bool AutoStart = true;                          // "Settings" / "chkAutoStart"
  bool UseSkins = true;                           // "Settings" / "chkUseSkins"
  int ResamplerQuality = 6;                       // "Settings" / "edtedtResamplerQ"
  int ThumbWidth = 128;                           // "Settings" / "spnWidth"
  int ThumbHeight = 96;                           // "Settings" / "spnHeight"
  std::string IpEchoHost = kDefaultIpEchoHost;    // "Network" / "IpEchoHost"
  std::string TrackerHost = kDefaultTrackerHost;  // "Network" / "TrackerHost"
  // Private sharing: every visitor needs the key. The section is written
  // only once it has been used, so a file without it stays as it was.
  bool PrivateSharing = false;  // "Private" / "PrivateSharing"
  std::string PrivateKey;       // "Private" / "Key"
  // Sharing over the Internet. These keys are written only once they differ
  // from their defaults (or are in the file already).
  bool PortMapping = true;    // "Network" / "PortMapping": ask the router to forward the port
  std::string UpnpGateway;    // "Network" / "Gateway": UPnP root description, "" discovers
  std::string NatPmpGateway;  // "Network" / "NatPmpGateway": "address[:port]", "" the default
  std::string BindAddress;    // "Network" / "BindAddress": "" every IPv4 interface

  bool operator==(const AppSettings&) const = default;
};

// The defaults, with the shared folder `sharedFolderBase` + "Shared folder"
// (the base given with or without its trailing "/").
AppSettings DefaultSettings(const std::string& sharedFolderBase);

// Reads the settings file: a missing file, section or key, or a text that is
// not a number, gives the key's default; numbers may be hexadecimal ("0x",
// "0X", "$"); numeric fields are clamped to their ranges; a boolean is true
// for any number but 0. The address is not read back.
AppSettings LoadSettings(const std::string& settingsFile, const std::string& sharedFolderBase);

// Writes the record: "Form", "Internet", "Share", "Settings", then "Network",
// keys in the record's order; other sections and keys already in the file
// stay. The file is replaced atomically; false (file unchanged, nothing
// shown) when it cannot be written or is read-only.
bool SaveSettings(const std::string& settingsFile, const AppSettings& settings);
