// The settings record and its file.
#include "shell/AppSettings.h"

#include "base/IniFile.h"

AppSettings DefaultSettings(const std::string& sharedFolderBase) {
  AppSettings s;
  std::string base = sharedFolderBase;
  if (!base.empty() && base.back() != '/') base += '/';
  s.SharedFolder = base + kDefaultSharedFolderName;
  return s;
}

AppSettings LoadSettings(const std::string& settingsFile, const std::string& sharedFolderBase) {
  const AppSettings d = DefaultSettings(sharedFolderBase);
  const IniFile ini(settingsFile);
  AppSettings s = d;
  s.ActiveTab = ini.ReadInteger("Form", "Tab", d.ActiveTab);
  s.WindowLeft = ini.ReadInteger("Form", "Left", d.WindowLeft);
  s.WindowTop = ini.ReadInteger("Form", "Top", d.WindowTop);
  s.WindowWidth = ini.ReadInteger("Form", "Width", d.WindowWidth);
  s.WindowHeight = ini.ReadInteger("Form", "Height", d.WindowHeight);
  s.Port = kPortRange.Clamp(ini.ReadInteger("Internet", "Port", d.Port));
  s.TimeoutMs = kTimeoutRange.Clamp(ini.ReadInteger("Internet", "spnTimeOut", d.TimeoutMs));
  s.InternalAddress = ini.ReadBool("Internet", "radIntern", d.InternalAddress);
  s.SharedFolder = ini.ReadString("Share", "Folder", d.SharedFolder);
  s.AcceptUploads = ini.ReadBool("Share", "chkAccUploads", d.AcceptUploads);
  s.AutoStart = ini.ReadBool("Settings", "chkAutoStart", d.AutoStart);
  s.UseSkins = ini.ReadBool("Settings", "chkUseSkins", d.UseSkins);
  s.ResamplerQuality = kResamplerQualityRange.Clamp(
      ini.ReadInteger("Settings", "edtedtResamplerQ", d.ResamplerQuality));
  s.ThumbWidth = kThumbSideRange.Clamp(ini.ReadInteger("Settings", "spnWidth", d.ThumbWidth));
  s.ThumbHeight = kThumbSideRange.Clamp(ini.ReadInteger("Settings", "spnHeight", d.ThumbHeight));
  // An empty host would leave nothing to ask: the default stands in.
  s.IpEchoHost = ini.ReadString("Network", "IpEchoHost", d.IpEchoHost);
  if (s.IpEchoHost.empty()) s.IpEchoHost = d.IpEchoHost;
  s.TrackerHost = ini.ReadString("Network", "TrackerHost", d.TrackerHost);
  if (s.TrackerHost.empty()) s.TrackerHost = d.TrackerHost;
  s.PrivateSharing = ini.ReadBool("Private", "PrivateSharing", d.PrivateSharing);
  s.PrivateKey = ini.ReadString("Private", "Key", d.PrivateKey);
  s.PortMapping = ini.ReadBool("Network", "PortMapping", d.PortMapping);
  s.UpnpGateway = ini.ReadString("Network", "Gateway", d.UpnpGateway);
  s.NatPmpGateway = ini.ReadString("Network", "NatPmpGateway", d.NatPmpGateway);
  s.BindAddress = ini.ReadString("Network", "BindAddress", d.BindAddress);
  return s;
}

bool SaveSettings(const std::string& settingsFile, const AppSettings& s) {
  IniFile ini(settingsFile);
  ini.WriteInteger("Form", "Left", s.WindowLeft);
  ini.WriteInteger("Form", "Top", s.WindowTop);
  ini.WriteInteger("Form", "Width", s.WindowWidth);
  ini.WriteInteger("Form", "Height", s.WindowHeight);
  ini.WriteInteger("Form", "Tab", s.ActiveTab);
  ini.WriteString("Internet", "Adr", s.ServerAddress);
  ini.WriteInteger("Internet", "Port", s.Port);
  ini.WriteInteger("Internet", "spnTimeOut", s.TimeoutMs);
  ini.WriteBool("Internet", "radIntern", s.InternalAddress);
  ini.WriteString("Share", "Folder", s.SharedFolder);
  ini.WriteBool("Share", "chkAccUploads", s.AcceptUploads);
  ini.WriteBool("Settings", "chkAutoStart", s.AutoStart);
  ini.WriteBool("Settings", "chkUseSkins", s.UseSkins);
  ini.WriteInteger("Settings", "edtedtResamplerQ", s.ResamplerQuality);
  ini.WriteInteger("Settings", "spnWidth", s.ThumbWidth);
  ini.WriteInteger("Settings", "spnHeight", s.ThumbHeight);
  ini.WriteString("Network", "IpEchoHost", s.IpEchoHost);
  ini.WriteString("Network", "TrackerHost", s.TrackerHost);
  if (s.PrivateSharing || !s.PrivateKey.empty()) {
    ini.WriteBool("Private", "PrivateSharing", s.PrivateSharing);
    ini.WriteString("Private", "Key", s.PrivateKey);
  }
  const AppSettings d;
  const auto additive = [&](const char* key, const std::string& value,
                            const std::string& fallback) {
    if (value != fallback || ini.HasKey("Network", key)) ini.WriteString("Network", key, value);
  };
  additive("PortMapping", s.PortMapping ? "1" : "0", d.PortMapping ? "1" : "0");
  additive("Gateway", s.UpnpGateway, d.UpnpGateway);
  additive("NatPmpGateway", s.NatPmpGateway, d.NatPmpGateway);
  additive("BindAddress", s.BindAddress, d.BindAddress);
  return ini.Save(false);
}
