// Online user search: the tracker's user list turned into table rows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One row of the online-user table.
struct TUserRow {
  std::string UserName;
  std::string UserIp;  // the user's web address, what a double-click opens
  std::string PresentAt;
  std::string SharedFiles;
  std::string ShareSize;
  std::string ShareRatio;
};

// The rows of a downloaded user list: the last line first, empty lines and
// lines of fewer than 6 "*"-separated fields skipped (a "*" at the very end of
// a line adds no empty field).
std::vector<TUserRow> ParseUserList(std::string_view listText);

// Downloads the user list from the tracker host (following redirects) and
// parses it; a failed download gives no rows.
std::vector<TUserRow> SearchUsers(std::string_view trackerHost);

// The address a double-click on a row opens: its "User IP" text; empty when
// the click is not on a row (index out of range).
std::string AddressToOpen(const std::vector<TUserRow>& rows, int index);
