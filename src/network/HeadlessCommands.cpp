// The public-network commands of the headless program.
#include "network/HeadlessCommands.h"

#include "base/Messages.h"
#include "network/ExternalIP.h"
#include "network/OrvelInternet.h"
#include "network/Presence.h"

#include <stdexcept>

std::string DetectServerAddress(bool internal, const std::string& ipEchoHost) {
  return internal ? GetLocalIp() : GetExternalIp(ipEchoHost);
}

int RunSendIp(const TNetworkCommandSetup& setup, const TLogLine& log) {
  switch (CheckSendIp(setup.InternalAddress, setup.WebAddress)) {
    case TSendIpCheck::RefuseInternal:
      log(kLocalIpRefusal + setup.WebAddress);
      return 1;
    case TSendIpCheck::RefuseEmptyAddress:
      ShowError(kCannotDetermineIp);
      return 1;
    case TSendIpCheck::Send:
      break;
  }
  log(kConnectingCaption);
  TPresenceSetup presence;
  presence.SettingsFolder = setup.SettingsFolder;
  presence.SharedFolder = setup.SharedFolder;
  presence.UserName = setup.UserName;
  presence.TrackerHost = setup.TrackerHost;
  presence.Separators = UserDateTimeSeparators();
  try {
    return RegisterPresence(presence, setup.WebAddress, log) ? 0 : 1;
  } catch (const std::exception& e) {
    ShowError(e.what());
    return 1;
  }
}

int RunListUsers(const TNetworkCommandSetup& setup, const TLogLine& table, const TLogLine& log) {
  if (setup.InternalAddress) {
    log(kLocalIpRefusal + setup.WebAddress);
    return 1;
  }
  for (const auto& line : FormatUserTable(SearchUsers(setup.TrackerHost))) table(line);
  return 0;
}

std::vector<std::string> FormatUserTable(const std::vector<TUserRow>& rows) {
  std::vector<std::string> lines = {
      "UserName\tUser IP\tPresent online at\tShared files\tShare size (MB)\tShare ration"};
  for (const auto& r : rows) {
    lines.push_back(r.UserName + "\t" + r.UserIp + "\t" + r.PresentAt + "\t" + r.SharedFiles +
                    "\t" + r.ShareSize + "\t" + r.ShareRatio);
  }
  return lines;
}
