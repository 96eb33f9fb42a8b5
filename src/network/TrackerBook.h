// The tracker's list of users: one presence record per user name, the newest,
// dropped once older than a maximum age. Shared by the tracker's connection
// threads: every operation takes the book's lock.
#pragma once

#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Why a record is refused, as a short text; empty when it is acceptable. The
// content is the uploaded file: one record, optionally followed by one line end.
std::string CheckPresenceRecord(std::string_view content);

// The record line of an acceptable upload: the content without its line end.
std::string RecordLine(std::string_view content);

// The content of the form field `fieldName` in a multipart body whose content
// type (header value) names the boundary; nothing when it is not there.
std::optional<std::string> FindFormField(std::string_view contentType, std::string_view body,
                                         std::string_view fieldName);

class TTrackerBook {
 public:
  explicit TTrackerBook(int maxAgeSeconds) : maxAge_(maxAgeSeconds) {}

  // Stores the record as the line of its user name, replacing that user's
  // earlier line only. Returns the refusal text, or empty when stored.
  std::string Post(std::string_view content, std::time_t now);

  // The list file: the kept lines, oldest first, each followed by CR LF.
  std::string ListText(std::time_t now);

 private:
  struct TEntry {
    std::string UserName;
    std::string Line;
    std::time_t Received;
  };
  void DropOld(std::time_t now);

  std::mutex lock_;
  int maxAge_;
  std::vector<TEntry> entries_;
};
