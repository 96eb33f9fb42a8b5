// Presence registration with the tracker: the one-line record, its multipart
// upload and the refusals that keep local addresses off the public list.
#pragma once

#include "net/StreamWrap1.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kReceiverPath[] = "/mirelo-share/public_network/receiver.php";
inline constexpr char kUserListPath[] = "/mirelo-share/public_network/usrpk070.$$$";
inline constexpr char kPresenceFileName[] = "usrpk070.$$$";
inline constexpr char kPresenceFieldName[] = "nume_fis";
inline constexpr char kDefaultTimeZoneText[] = "GMT +1";
inline constexpr char kLocalIpRefusal[] =
    "Can't connect to Mirelo Share network because the program is configured to use a local "
    "IP: ";
inline constexpr char kCannotDetermineIp[] = "Cannot determine external IP";
inline constexpr char kConnectingCaption[] = "Mirelo File Share - Connecting to the network...";

// The number in plain decimal notation with "," turned into ".", cut after
// `decimals` digits behind the ".": FormatDecimals(1, 2) is "1".
std::string FormatDecimals(double value, int decimals);

// The user's date and time separators (from the user's locale; "/" and ":"
// in the C locale).
struct TDateTimeSeparators {
  std::string Date = "/";
  std::string Time = ":";
};
TDateTimeSeparators UserDateTimeSeparators();

// "yyyy/mm/dd hh:mm" with the given separators, then the time-zone text.
std::string PresenceTimeText(const std::tm& local, const TDateTimeSeparators& separators,
                             std::string_view timeZoneText);

// The nine "*"-separated fields, without a line end. No field is checked.
std::string BuildPresenceRecord(std::string_view userName, std::string_view webAddress,
                                std::string_view timeText, long long fileCount);

// Eight upper-case hexadecimal digits of a number from 0 to 2147483646, then
// "_Mirelo_boundary".
std::string MakeBoundary(std::uint32_t number);
std::string DrawBoundary();

// The form body: one part named fieldName carrying the file's content.
std::string BuildMultipartBody(std::string_view boundary, std::string_view fieldName,
                               std::string_view fileName, std::string_view content);

// Uploads the stream's content (from its start) as a file in a multipart POST
// to url. The answer's body lines go into answer when the exchange succeeds;
// returns whether it did.
bool PostFile(std::string_view url, std::string_view fieldName, std::string_view fileName,
              std::vector<std::string>& answer, std::istream& content);

// What the "Send IP" action does before anything is sent.
enum class TSendIpCheck { Send, RefuseInternal, RefuseEmptyAddress };
TSendIpCheck CheckSendIp(bool internalServer, std::string_view webAddress);

// Whether RegisterPresence refuses the address it is given (a local one).
bool IsRefusedPresenceAddress(std::string_view address);

// The receiver's address on a tracker host (a host, "host:port" or a full
// address; a trailing "/" is ignored).
std::string TrackerUrl(std::string_view trackerHost, std::string_view path);

// What a registration needs besides the address.
struct TPresenceSetup {
  std::string SettingsFolder;  // ends in "/"; holds the temporary record file
  std::string SharedFolder;
  std::string UserName;
  std::string TimeZoneText = kDefaultTimeZoneText;
  std::string TrackerHost;
  std::optional<std::time_t> Now;  // the time to announce; empty: the clock's
  TDateTimeSeparators Separators;
};

// Builds the record for address, writes it to the temporary file, uploads it
// and deletes the file. Appends to log what the log pane shows: the refusal
// line, or the answer's lines joined by CR LF (empty when the exchange
// failed). Returns whether the exchange succeeded. Throws std::runtime_error
// when the temporary file cannot be written.
bool RegisterPresence(const TPresenceSetup& setup, std::string_view address,
                      const std::function<void(const std::string&)>& log);
