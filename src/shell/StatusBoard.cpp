// The connection board and the address texts.
#include "shell/StatusBoard.h"

#include "base/OrvelTPU.h"

std::string ConnectionLogLine(const TConn& entry) {
  std::string line;
  WriteConnectionLogLine(entry, line);
  return line;
}

void WriteConnectionLogLine(const TConn& entry, std::string& line) {
  line.assign("IP: ");
  line.append(entry.PeerIp);
  line.append("\t Op: ");
  line.append(entry.Operation);
  if (!entry.FileName.empty()) {
    line.append("\t File: ");
    line.append(entry.FileName);
  }
}

std::vector<std::string> ConnectionList::Report(const std::string& peerIp,
                                                const std::string& operation,
                                                const std::string& fileName) {
  Update(peerIp, operation, fileName);
  std::vector<std::string> lines;
  WriteLogLines(lines);
  return lines;
}

void ConnectionList::WriteLogLines(std::vector<std::string>& lines) const {
  lines.resize(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) WriteConnectionLogLine(entries_[i], lines[i]);
}

void ConnectionList::Update(const std::string& peerIp, const std::string& operation,
                            const std::string& fileName) {
  const bool finished = operation == kReportFinished;
  auto found = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->PeerIp == peerIp) {
      found = it;
      break;
    }
  }
  if (found != entries_.end()) {
    found->Operation = operation;
    if (finished) entries_.erase(found);
  }
  if (!finished) {
    if (found == entries_.end()) found = entries_.insert(entries_.end(), TConn{});
    found->PeerIp = peerIp;
    found->Operation = operation;
    found->FileName = fileName;
  }
}

std::vector<std::string> StatusBoard::ReportStatus(const std::string& peerIp,
                                                   const std::string& operation,
                                                   const std::string& fileName) {
  if (!list_) return {};
  return list_->Report(peerIp, operation, fileName);
}

bool StatusBoard::ReportStatusInto(const std::string& peerIp, const std::string& operation,
                                   const std::string& fileName, std::vector<std::string>* lines) {
  if (!list_) return false;
  list_->Update(peerIp, operation, fileName);
  if (lines) list_->WriteLogLines(*lines);
  return true;
}

std::vector<TConn> StatusBoard::Rows() const {
  return list_ ? list_->Entries() : std::vector<TConn>{};
}

const std::vector<TConn>& StatusBoard::RowsView() const {
  static const std::vector<TConn> none;
  return list_ ? list_->Entries() : none;
}

std::string HelpPageAddress() {
  std::string site = kMakerWebAddress;
  if (!site.empty() && site.back() == '/') site.pop_back();
  return site + kHelpPagePath;
}

std::string ComposeWebAddress(const std::string& address, int port) {
  return "http://" + address + ":" + std::to_string(port);
}

std::string ComposeInvitationBody(const std::string& webAddress) {
  return "Hi.  \r\nI'm sharing my pictures/wallpapers. Enter this addrees in your web browser to "
         "see them:  \r\n" +
         webAddress + "\r\nSee you soon \r\nYour name ";
}

std::string InvitationMailBody(const std::string& invitationBody) {
  return invitationBody + "\r\n\r\n-------\r\n" + kMakerWebAddress;
}

std::string ComposeMailAddress(const std::string& recipient, const std::string& subject,
                               const std::string& body) {
  return "mailto:" + recipient + "?subject=" + subject + "&body=" + body;
}

int ComposeMail(const std::string& recipient, const std::string& subject, const std::string& body) {
  return OpenDocument(ComposeMailAddress(recipient, subject, body));
}
