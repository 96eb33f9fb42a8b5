// The settings record and its file.
#include "shell/AppSettings.h"

#include "base/IniFile.h"

namespace {

namespace T = SettingsTable;

int Read(const IniFile& ini, const TIntSetting& s) {
  return s.Range.Clamp(ini.ReadInteger(s.Section, s.Key, s.Default));
}
bool Read(const IniFile& ini, const TBoolSetting& s) {
  return ini.ReadBool(s.Section, s.Key, s.Default);
}
std::string Read(const IniFile& ini, const TTextSetting& s, const std::string& fallback) {
  return ini.ReadString(s.Section, s.Key, fallback);
}
// A host: an empty text gives the default.
std::string ReadHost(const IniFile& ini, const TTextSetting& s) {
  const std::string host = Read(ini, s, s.Default);
  return host.empty() ? s.Default : host;
}

void Write(IniFile& ini, const TIntSetting& s, int value) {
  ini.WriteInteger(s.Section, s.Key, value);
}
void Write(IniFile& ini, const TBoolSetting& s, bool value) {
  ini.WriteBool(s.Section, s.Key, value);
}
void Write(IniFile& ini, const TTextSetting& s, const std::string& value) {
  ini.WriteString(s.Section, s.Key, value);
}

// A key that is written only once it differs from its default or is in the
// file already, so a file without it stays as it was.
template <typename Setting, typename Value>
void WriteChanged(IniFile& ini, const Setting& s, const Value& value) {
  if (value != Value(s.Default) || ini.HasKey(s.Section, s.Key)) Write(ini, s, value);
}

}  // namespace

AppSettings DefaultSettings(const std::string& sharedFolderBase) {
  AppSettings s;
  std::string base = sharedFolderBase;
  if (!base.empty() && base.back() != '/') base += '/';
  s.SharedFolder = base + T::kSharedFolder.Default;
  return s;
}

AppSettings LoadSettings(const std::string& settingsFile, const std::string& sharedFolderBase) {
  const IniFile ini(settingsFile);
  AppSettings s = DefaultSettings(sharedFolderBase);
  s.WindowLeft = Read(ini, T::kWindowLeft);
  s.WindowTop = Read(ini, T::kWindowTop);
  s.WindowWidth = Read(ini, T::kWindowWidth);
  s.WindowHeight = Read(ini, T::kWindowHeight);
  s.ActiveTab = Read(ini, T::kActiveTab);
  s.Port = Read(ini, T::kPort);
  s.TimeoutMs = Read(ini, T::kTimeoutMs);
  s.InternalAddress = Read(ini, T::kInternalAddress);
  s.SharedFolder = Read(ini, T::kSharedFolder, s.SharedFolder);
  s.AcceptUploads = Read(ini, T::kAcceptUploads);
  s.AutoStart = Read(ini, T::kAutoStart);
  s.UseSkins = Read(ini, T::kUseSkins);
  s.ResamplerQuality = Read(ini, T::kResamplerQuality);
  s.ThumbWidth = Read(ini, T::kThumbWidth);
  s.ThumbHeight = Read(ini, T::kThumbHeight);
  s.IpEchoHost = ReadHost(ini, T::kIpEchoHost);
  s.TrackerHost = ReadHost(ini, T::kTrackerHost);
  s.PrivateSharing = Read(ini, T::kPrivateSharing);
  s.PrivateKey = Read(ini, T::kPrivateKey, T::kPrivateKey.Default);
  s.PortMapping = Read(ini, T::kPortMapping);
  s.UpnpGateway = Read(ini, T::kUpnpGateway, T::kUpnpGateway.Default);
  s.NatPmpGateway = Read(ini, T::kNatPmpGateway, T::kNatPmpGateway.Default);
  s.BindAddress = Read(ini, T::kBindAddress, T::kBindAddress.Default);
  // An unknown style reads as the default.
  ParsePageStyle(Read(ini, T::kPageStyle, T::kPageStyle.Default), s.PageStyle);
  return s;
}

bool SaveSettings(const std::string& settingsFile, const AppSettings& s) {
  IniFile ini(settingsFile);
  Write(ini, T::kWindowLeft, s.WindowLeft);
  Write(ini, T::kWindowTop, s.WindowTop);
  Write(ini, T::kWindowWidth, s.WindowWidth);
  Write(ini, T::kWindowHeight, s.WindowHeight);
  Write(ini, T::kActiveTab, s.ActiveTab);
  Write(ini, T::kServerAddress, s.ServerAddress);
  Write(ini, T::kPort, s.Port);
  Write(ini, T::kTimeoutMs, s.TimeoutMs);
  Write(ini, T::kInternalAddress, s.InternalAddress);
  Write(ini, T::kSharedFolder, s.SharedFolder);
  Write(ini, T::kAcceptUploads, s.AcceptUploads);
  Write(ini, T::kAutoStart, s.AutoStart);
  Write(ini, T::kUseSkins, s.UseSkins);
  Write(ini, T::kResamplerQuality, s.ResamplerQuality);
  Write(ini, T::kThumbWidth, s.ThumbWidth);
  Write(ini, T::kThumbHeight, s.ThumbHeight);
  Write(ini, T::kIpEchoHost, s.IpEchoHost);
  Write(ini, T::kTrackerHost, s.TrackerHost);
  // The section is written only once private sharing has been used, so a
  // file without it stays as it was.
  if (s.PrivateSharing || !s.PrivateKey.empty()) {
    Write(ini, T::kPrivateSharing, s.PrivateSharing);
    Write(ini, T::kPrivateKey, s.PrivateKey);
  }
  WriteChanged(ini, T::kPortMapping, s.PortMapping);
  WriteChanged(ini, T::kUpnpGateway, s.UpnpGateway);
  WriteChanged(ini, T::kNatPmpGateway, s.NatPmpGateway);
  WriteChanged(ini, T::kBindAddress, s.BindAddress);
  WriteChanged(ini, T::kPageStyle, std::string(PageStyleName(s.PageStyle)));
  return ini.Save(false);
}
