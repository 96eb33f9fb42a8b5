// The public-network commands of the headless program: filling the server
// address by the server type, "--send-ip" and "--list-users".
#pragma once

#include "network/UserSearch.h"

#include <functional>
#include <string>
#include <vector>

// What the commands take from the program's start-up (settings, paths, name).
struct TNetworkCommandSetup {
  bool InternalAddress = false;  // server type "Internal"
  std::string WebAddress;        // "http://" + address + ":" + port
  std::string SharedFolder;
  std::string SettingsFolder;  // ends in "/"
  std::string UserName;
  std::string TrackerHost;
};

using TLogLine = std::function<void(const std::string&)>;

// The server address for the server type: the external address from the
// IP-echo host, or the local address.
std::string DetectServerAddress(bool internal, const std::string& ipEchoHost);

// Registers the presence once, refusing as the "Send IP" button does; every
// line the log pane would show goes to log, and errors to ShowError. Returns
// the exit code: 0 when the tracker answered, 1 when refused or failed.
int RunSendIp(const TNetworkCommandSetup& setup, const TLogLine& log);

// Lists the users the tracker knows (refused like the "Search for users"
// button for the "Internal" server type). The table goes to table, refusals to
// log. Returns the exit code: 0 listed (even when empty), 1 refused.
int RunListUsers(const TNetworkCommandSetup& setup, const TLogLine& table, const TLogLine& log);

// The table lines: a heading with the column names, then one line per row,
// the columns separated by tabs.
std::vector<std::string> FormatUserTable(const std::vector<TUserRow>& rows);
