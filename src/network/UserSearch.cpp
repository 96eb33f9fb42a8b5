// Online user search: the tracker's user list turned into table rows.
#include "network/UserSearch.h"

#include "net/StreamWrap1.h"
#include "net/fetchwrap.h"
#include "network/Presence.h"

std::vector<TUserRow> ParseUserList(std::string_view listText) {
  const std::vector<std::string> lines = TextToLines(listText);
  std::vector<TUserRow> rows;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    const std::string& line = *it;
    if (line.empty()) continue;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
      const auto star = line.find('*', start);
      if (star == std::string::npos) {
        if (start < line.size()) fields.push_back(line.substr(start));
        break;
      }
      fields.push_back(line.substr(start, star - start));
      start = star + 1;
    }
    if (fields.size() < 6) continue;
    rows.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]});
  }
  return rows;
}

std::vector<TUserRow> SearchUsers(std::string_view trackerHost) {
  return ParseUserList(FetchText(TrackerUrl(trackerHost, kUserListPath)));
}

std::string AddressToOpen(const std::vector<TUserRow>& rows, int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= rows.size()) return {};
  return rows[static_cast<std::size_t>(index)].UserIp;
}
