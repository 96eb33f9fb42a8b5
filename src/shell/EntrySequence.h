// The window-independent steps of start-up: titles and labels, the user
// name (stored, suggested, checked, stored again), the "ShareOff" argument,
// the tab pictures and the folder banner.
#pragma once

#include "shell/ShellLimits.h"

#include <functional>
#include <string>

inline constexpr char kApplicationTitle[] = "Novrix Mirelo Share";
inline constexpr char kProductName[] = "Mirelo File Share";

// "Novrix Mirelo Share v" + short version.
std::string WindowCaption();
// "Mirelo File Share v" + full version + " - FREEWARE".
std::string ProductLabelText();
// "Working folder: " + WorkingFolder; "Your user name: " + name.
std::string WorkingFolderLabelText();
std::string UserNameLabelText(const std::string& userName);

// True when the first argument (after the program name) is "ShareOff" in any
// letter case.
bool IsShareOffArgument(int argc, const char* const* argv);

// The user name lives in the registry under this key and value.
inline constexpr char kUserNameKey[] = "Software\\Orvel\\Mirelo";
inline constexpr char kUserNameValue[] = "UserName";
inline constexpr size_t kUserNameMinLength = ShellLimits::kUserNameMinLength;
inline constexpr char kUserNameRefused[] =
    "Your user name must contain at least 7 characters! CRLF All characters are allowed, except "
    "the star (*) character.";
inline constexpr char kUserNameCaption[] = "Please choose a user name";
inline constexpr char kUserNamePrompt[] = "Enter your name (minimum 7 characters):";

// The stored name, or the empty text.
std::string ReadStoredUserName();
// Stores the name (key created when missing, lazy write); failures ignored.
void StoreUserName(const std::string& name);
// Logon name + " - " + computer name, padded with "0" to 7 characters.
std::string SuggestedUserName();
// At least 7 characters and no "*".
bool IsAcceptableUserName(const std::string& name);

// The prompt: shows `offered` as the default text and returns what the user
// entered (a cancelled prompt returns `offered`).
using UserNamePrompt = std::function<std::string(const std::string& offered)>;
// Asks until the answer is acceptable, starting from `candidate`; each offer
// is the current candidate padded with "0" to 7 characters; a refused answer
// shows kUserNameRefused (ShowError) first.
std::string AskUserName(const std::string& candidate, const UserNamePrompt& prompt);
// The start-up step: the stored name; else the name asked for (the
// suggestion offered first), stored. Sets the process-wide UserName.
std::string SettleUserName(const UserNamePrompt& prompt);

// The tab picture file for the active tab's position ("" for position 6 and later).
std::string TabPictureFile(int tabPosition);
// The folder banner: "Please, select the folder you want to share." or
// "Your shared folder is: " + folder.
std::string FolderBannerText(const std::string& sharedFolder);
