// The connection board: the entries of the peers that have an exchange in
// progress, the table rows and log lines each report yields, and the texts
// built from the address (web address, invitation, "mailto:" address).
// Not shared between threads: the caller runs reports one at a time.
#pragma once

#include <optional>
#include <string>
#include <vector>

// One current connection entry; PeerIp is the key.
struct TConn {
  std::string Operation;
  std::string PeerIp;
  std::string FileName;
  bool operator==(const TConn&) const = default;
};

// The operation a worker reports when its exchange is finished.
inline constexpr char kReportFinished[] = "-1";

// "IP: <ip>\t Op: <operation>" and, with a file, "\t File: <file>".
std::string ConnectionLogLine(const TConn& entry);
// The same line written over `line`, whose storage is reused.
void WriteConnectionLogLine(const TConn& entry, std::string& line);

// The entries in the order their addresses first reported.
class ConnectionList {
 public:
  // Updates the entry of the address (a "-1" removes it; any other report
  // adds or updates it) and returns the log lines: one per remaining entry.
  std::vector<std::string> Report(const std::string& peerIp, const std::string& operation,
                                  const std::string& fileName);
  // The same update without the log lines.
  void Update(const std::string& peerIp, const std::string& operation, const std::string& fileName);
  // The log lines of the entries written over `lines` (resized to one per
  // entry); the strings already there keep their storage.
  void WriteLogLines(std::vector<std::string>& lines) const;
  // The rows of the connection table: IP, Operation, File.
  const std::vector<TConn>& Entries() const { return entries_; }

 private:
  std::vector<TConn> entries_;
};

// The board of the window or the headless program: a ConnectionList exactly
// while sharing; reports while stopped are ignored.
class StatusBoard {
 public:
  void StartSharing() { list_.emplace(); }
  void StopSharing() { list_.reset(); }
  bool Sharing() const { return list_.has_value(); }
  std::vector<std::string> ReportStatus(const std::string& peerIp, const std::string& operation,
                                        const std::string& fileName);
  // ReportStatus that writes its log lines over `lines` (when given) and
  // allocates nothing once their storage suffices. False, and `lines`
  // untouched, while stopped.
  bool ReportStatusInto(const std::string& peerIp, const std::string& operation,
                        const std::string& fileName, std::vector<std::string>* lines);
  std::vector<TConn> Rows() const;
  // The rows without a copy (empty while stopped); valid until the next report.
  const std::vector<TConn>& RowsView() const;

 private:
  std::optional<ConnectionList> list_;
};

// The maker's web site: home page, help page and invitation signature.
inline constexpr char kMakerWebAddress[] = "http://www.novrix.example/";
inline constexpr char kHelpPagePath[] = "/mirelo-share/help/index.html";
std::string HelpPageAddress();

// "http://" + address + ":" + port.
std::string ComposeWebAddress(const std::string& address, int port);
// The invitation body shown for the web address.
std::string ComposeInvitationBody(const std::string& webAddress);
// The body the e-mail carries: the invitation, a dashed line and the maker's address.
std::string InvitationMailBody(const std::string& invitationBody);
// "mailto:" + recipient + "?subject=" + subject + "&body=" + body, nothing encoded.
std::string ComposeMailAddress(const std::string& recipient, const std::string& subject,
                               const std::string& body);
// Hands the "mailto:" address to the desktop (OpenDocument).
int ComposeMail(const std::string& recipient, const std::string& subject, const std::string& body);
