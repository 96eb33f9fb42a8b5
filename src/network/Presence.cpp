// Presence registration with the tracker.
#include "network/Presence.h"

#include "base/OrvelTPU.h"
#include "net/httpclient.h"

#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <locale>
#include <random>
#include <sstream>
#include <stdexcept>

std::string FormatDecimals(double value, int decimals) {
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string text = ec == std::errc() ? std::string(buffer, end) : std::string("0");
  for (char& c : text) {
    if (c == ',') c = '.';
  }
  const auto dot = text.find('.');
  if (dot == std::string::npos) return text;
  return text.substr(0, dot + 1 + static_cast<std::size_t>(decimals < 0 ? 0 : decimals));
}

namespace {

// The first run of characters other than digits and blanks in a formatted
// date or time: the separator the user's locale puts between its numbers.
std::string FirstSeparator(const std::string& formatted, const std::string& fallback) {
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  while (i < formatted.size() && !isDigit(formatted[i])) ++i;
  while (i < formatted.size() && isDigit(formatted[i])) ++i;
  std::string run;
  while (i < formatted.size() && !isDigit(formatted[i])) run += formatted[i++];
  while (!run.empty() && run.back() == ' ') run.pop_back();
  while (!run.empty() && run.front() == ' ') run.erase(run.begin());
  return run.empty() ? fallback : run;
}

std::string FormatWithLocale(const std::locale& locale, const std::tm& when, const char* pattern) {
  std::ostringstream out;
  out.imbue(locale);
  const std::string_view p = pattern;
  std::use_facet<std::time_put<char>>(locale).put(out, out, ' ', &when, p.data(),
                                                  p.data() + p.size());
  return out.str();
}

}  // namespace

TDateTimeSeparators UserDateTimeSeparators() {
  TDateTimeSeparators separators;
  std::locale locale = std::locale::classic();
  try {
    locale = std::locale("");
  } catch (const std::runtime_error&) {
    // An unknown locale in the environment: the C conventions.
  }
  std::tm sample{};
  sample.tm_year = 108;
  sample.tm_mon = 5;
  sample.tm_mday = 5;
  sample.tm_hour = 17;
  sample.tm_min = 5;
  separators.Date = FirstSeparator(FormatWithLocale(locale, sample, "%x"), "/");
  separators.Time = FirstSeparator(FormatWithLocale(locale, sample, "%X"), ":");
  return separators;
}

std::string PresenceTimeText(const std::tm& local, const TDateTimeSeparators& separators,
                             std::string_view timeZoneText) {
  char date[32];
  char time[16];
  std::snprintf(date, sizeof date, "%04d", local.tm_year + 1900);
  std::string text = date;
  std::snprintf(date, sizeof date, "%02d", local.tm_mon + 1);
  text += separators.Date + date;
  std::snprintf(date, sizeof date, "%02d", local.tm_mday);
  text += separators.Date + date;
  std::snprintf(time, sizeof time, "%02d", local.tm_hour);
  text += std::string(" ") + time;
  std::snprintf(time, sizeof time, "%02d", local.tm_min);
  text += separators.Time + time;
  text += timeZoneText;
  return text;
}

std::string BuildPresenceRecord(std::string_view userName, std::string_view webAddress,
                                std::string_view timeText, long long fileCount) {
  std::string record;
  record += userName;
  record += '*';
  record += webAddress;
  record += '*';
  record += timeText;
  record += '*';
  record += std::to_string(fileCount);
  record += "*-*";
  record += FormatDecimals(1, 2);
  record += "*Tag1*Tag2*Tag3";
  return record;
}

std::string MakeBoundary(std::uint32_t number) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(number));
  return std::string(digits) + "_Mirelo_boundary";
}

std::string DrawBoundary() {
  static thread_local std::mt19937 engine{std::random_device{}()};
  std::uniform_int_distribution<std::uint32_t> pick(0, 2147483646u);
  return MakeBoundary(pick(engine));
}

std::string BuildMultipartBody(std::string_view boundary, std::string_view fieldName,
                               std::string_view fileName, std::string_view content) {
  std::string body;
  body += "--";
  body += boundary;
  body += "\r\n";
  body += "content-disposition: form-data; name=\"";
  body += fieldName;
  body += "\"; filename=\"";
  body += fileName;
  body += "\"\r\n";
  body += "Content-Type: Application/octet-string\r\n\r\n";
  body += content;
  body += "\r\n--";
  body += boundary;
  body += "--\r\n";
  return body;
}

bool PostFile(std::string_view url, std::string_view fieldName, std::string_view fileName,
              std::vector<std::string>& answer, std::istream& content) {
  const std::string boundary = DrawBoundary();
  content.clear();
  content.seekg(0);
  const std::string bytes{std::istreambuf_iterator<char>(content),
                          std::istreambuf_iterator<char>()};
  THttpClient client;
  client.Body.Write(BuildMultipartBody(boundary, fieldName, fileName, bytes));
  client.ContentType = "multipart/form-data, boundary=" + boundary;
  const bool ok = client.Request("POST", url);
  if (ok) answer = TextToLines(StreamToText(client.Body));
  return ok;
}

TSendIpCheck CheckSendIp(bool internalServer, std::string_view webAddress) {
  if (internalServer) return TSendIpCheck::RefuseInternal;
  if (webAddress.empty()) return TSendIpCheck::RefuseEmptyAddress;
  return TSendIpCheck::Send;
}

bool IsRefusedPresenceAddress(std::string_view address) { return address.starts_with("192."); }

std::string TrackerUrl(std::string_view trackerHost, std::string_view path) {
  std::string host(trackerHost);
  while (!host.empty() && host.back() == '/') host.pop_back();
  return host + std::string(path);
}

bool RegisterPresence(const TPresenceSetup& setup, std::string_view address,
                      const std::function<void(const std::string&)>& log) {
  if (IsRefusedPresenceAddress(address)) {
    log(kLocalIpRefusal + std::string(address));
    return false;
  }
  const std::string tempFile = setup.SettingsFolder + kPresenceFileName;

  std::vector<std::string> files;
  std::string folder = setup.SharedFolder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  ListFilesRecursive(folder, "*.*", files);

  const std::time_t now = setup.Now ? *setup.Now : std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string record = BuildPresenceRecord(
      setup.UserName, address, PresenceTimeText(local, setup.Separators, setup.TimeZoneText),
      static_cast<long long>(files.size()));

  {
    std::ofstream out(tempFile, std::ios::binary | std::ios::trunc);
    out << record << "\r\n";
    out.close();
    if (!out) throw std::runtime_error("Cannot write " + tempFile);
  }

  std::vector<std::string> answer;
  bool ok = false;
  {
    std::ifstream in(tempFile, std::ios::binary);
    if (!in) {
      std::remove(tempFile.c_str());
      throw std::runtime_error("Cannot read " + tempFile);
    }
    ok = PostFile(TrackerUrl(setup.TrackerHost, kReceiverPath), kPresenceFieldName,
                  kPresenceFileName, answer, in);
  }
  std::string entry;
  for (std::size_t i = 0; i < answer.size(); ++i) entry += (i ? "\r\n" : "") + answer[i];
  log(entry);
  std::remove(tempFile.c_str());
  return ok;
}
