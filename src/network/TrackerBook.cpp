// The tracker's list of users and the checks on what it accepts.
#include "network/TrackerBook.h"

#include "network/NetworkLimits.h"

#include <algorithm>
#include <cctype>

namespace {

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

std::string RecordLine(std::string_view content) {
  if (content.ends_with("\r\n")) {
    content.remove_suffix(2);
  } else if (content.ends_with("\n") || content.ends_with("\r")) {
    content.remove_suffix(1);
  }
  return std::string(content);
}

std::string CheckPresenceRecord(std::string_view content) {
  if (content.size() > NetworkLimits::kMaxRecordBytes + 2) return "Record too long.";
  const std::string line = RecordLine(content);
  if (line.size() > NetworkLimits::kMaxRecordBytes) return "Record too long.";
  if (line.find_first_of("\r\n") != std::string::npos) return "Record holds a line break.";
  if (line.empty()) return "Empty record.";
  const auto fields = std::count(line.begin(), line.end(), '*') + 1;
  if (fields != NetworkLimits::kPresenceFields) return "Record has a wrong number of fields.";
  if (line.front() == '*') return "Record has no user name.";
  return {};
}

std::optional<std::string> FindFormField(std::string_view contentType, std::string_view body,
                                         std::string_view fieldName) {
  const std::string lowerType = LowerAscii(contentType);
  const auto at = lowerType.find("boundary=");
  if (at == std::string::npos) return std::nullopt;
  std::string_view boundary = contentType.substr(at + 9);
  boundary = boundary.substr(0, boundary.find_first_of(";, \t"));
  if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"') {
    boundary = boundary.substr(1, boundary.size() - 2);
  }
  if (boundary.empty()) return std::nullopt;

  const std::string delimiter = "--" + std::string(boundary);
  std::size_t pos = body.find(delimiter);
  while (pos != std::string_view::npos) {
    std::size_t partStart = pos + delimiter.size();
    if (body.substr(partStart, 2) == "--") return std::nullopt;  // the closing delimiter
    if (body.substr(partStart, 2) == "\r\n") partStart += 2;
    const auto headersEnd = body.find("\r\n\r\n", partStart);
    if (headersEnd == std::string_view::npos) return std::nullopt;
    const std::string headers = LowerAscii(body.substr(partStart, headersEnd - partStart));
    const std::size_t contentStart = headersEnd + 4;
    const auto next = body.find("\r\n" + delimiter, contentStart);
    if (next == std::string_view::npos) return std::nullopt;
    const std::string wanted = "name=\"" + LowerAscii(fieldName) + "\"";
    const auto nameAt = headers.find(wanted);
    if (nameAt != std::string::npos &&
        (nameAt == 0 || headers[nameAt - 1] == ' ' || headers[nameAt - 1] == ';')) {
      return std::string(body.substr(contentStart, next - contentStart));
    }
    pos = next + 2;
  }
  return std::nullopt;
}

void TTrackerBook::DropOld(std::time_t now) {
  std::erase_if(entries_, [&](const TEntry& e) { return now - e.Received > maxAge_; });
}

std::string TTrackerBook::Post(std::string_view content, std::time_t now) {
  std::string refusal = CheckPresenceRecord(content);
  if (!refusal.empty()) return refusal;
  std::string line = RecordLine(content);
  std::string name = line.substr(0, line.find('*'));
  const std::lock_guard<std::mutex> hold(lock_);
  DropOld(now);
  std::erase_if(entries_, [&](const TEntry& e) { return e.UserName == name; });
  entries_.push_back({std::move(name), std::move(line), now});
  return {};
}

std::string TTrackerBook::ListText(std::time_t now) {
  const std::lock_guard<std::mutex> hold(lock_);
  DropOld(now);
  std::string text;
  for (const auto& e : entries_) text += e.Line + "\r\n";
  return text;
}
