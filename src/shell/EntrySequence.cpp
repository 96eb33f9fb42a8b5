// The window-independent steps of start-up.
#include "shell/EntrySequence.h"

#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "base/StartUp.h"

std::string WindowCaption() { return std::string(kApplicationTitle) + " v" + GetShortVersion(); }

std::string ProductLabelText() {
  return std::string(kProductName) + " v" + GetFileVersion() + " - FREEWARE";
}

std::string WorkingFolderLabelText() { return "Working folder: " + WorkingFolder(); }

std::string UserNameLabelText(const std::string& userName) { return "Your user name: " + userName; }

bool IsShareOffArgument(int argc, const char* const* argv) {
  if (argc < 2 || !argv[1]) return false;
  const std::string first = argv[1];
  const std::string word = "shareoff";
  if (first.size() != word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = first[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

std::string ReadStoredUserName() {
  return RegReadText(RegistryRoot::CurrentUser, kUserNameKey, kUserNameValue, false);
}

void StoreUserName(const std::string& name) {
  RegWriteText(RegistryRoot::CurrentUser, kUserNameKey, kUserNameValue, true, true, name);
}

std::string SuggestedUserName() {
  return PadRight(GetLogonName() + " - " + GetComputerNameText(), '0', kUserNameMinLength);
}

bool IsAcceptableUserName(const std::string& name) {
  return CharacterCount(name) >= kUserNameMinLength && name.find('*') == std::string::npos;
}

std::string AskUserName(const std::string& candidate, const UserNamePrompt& prompt) {
  std::string current = candidate;
  for (;;) {
    current = prompt(PadRight(current, '0', kUserNameMinLength));
    if (IsAcceptableUserName(current)) return current;
    ShowError(kUserNameRefused);
  }
}

std::string SettleUserName(const UserNamePrompt& prompt) {
  std::string name = ReadStoredUserName();
  if (name.empty()) {
    name = AskUserName(SuggestedUserName(), prompt);
    StoreUserName(name);
  }
  SetUserName(name);
  return name;
}

std::string TabPictureFile(int tabPosition) {
  static const char* const files[] = {"64connections.png", "64shared.png", "64net_set.png",
                                      "64settings.png",    "64log.png",    "64info.png"};
  if (tabPosition < 0 || tabPosition >= 6) return "";
  return files[tabPosition];
}

std::string FolderBannerText(const std::string& sharedFolder) {
  if (sharedFolder.empty()) return "Please, select the folder you want to share.";
  return "Your shared folder is: " + sharedFolder;
}
