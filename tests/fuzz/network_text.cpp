// Fuzz target for the texts the public network takes from peers: the
// tracker's multipart posts and records, the user list, echo pages, addresses
// and redirect locations.
#include "net/fetchwrap.h"
#include "net/httpclient.h"
#include "network/ExternalIP.h"
#include "network/NetworkLimits.h"
#include "network/TrackerBook.h"
#include "network/UserSearch.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // First line: a content type (or an address); the rest: a body.
  const auto nl = input.find('\n');
  const std::string_view head = input.substr(0, nl);
  const std::string_view rest =
      nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);

  if (const auto field = FindFormField(head, rest, "nume_fis")) {
    if (field->size() > rest.size()) std::abort();
    TTrackerBook book(60);
    const bool accepted = book.Post(*field, 100).empty();
    const std::string list = book.ListText(100);
    if (accepted != !list.empty()) std::abort();
    if (accepted) {
      if (list.size() > NetworkLimits::kMaxRecordBytes + 2) std::abort();
      const auto rows = ParseUserList(list);
      if (rows.size() != 1) std::abort();
    }
  }
  for (const auto& row : ParseUserList(input)) {
    if (row.UserIp.find('*') != std::string::npos) std::abort();
  }
  const std::string kept = KeepIpCharacters(ExtractBodyText(input));
  if (kept.size() > input.size()) std::abort();

  const TUrlParts parts = SplitUrl(head);
  if (parts.Target.empty() || parts.Target[0] != '/' || parts.Host.empty()) std::abort();
  (void)ResolveLocation(head, rest.substr(0, rest.find('\n')));
  (void)PosWild(head.substr(0, 8), rest);
  return 0;
}
