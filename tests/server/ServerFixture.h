// A shared folder in a temporary directory for the router tests, with a
// secret file beside it that no request may reach, and a call helper that
// runs one request through TServerActions.
#pragma once

#include "server/ServerActions.h"
#include "support/TempFolder.h"

#include <string>
#include <vector>

namespace servertest {

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& bytes);
// A small 24-bit BMP of 8 x 8 pixels (246 bytes).
std::string TinyBmp();
// Sets the modification time of path (not following a final link).
void SetTime(const std::string& path, long seconds);

struct Response {
  std::string body;
  std::vector<std::string> headers;
  THttpResponse::TBody kind = THttpResponse::TBody::Text;
  int status = 0;
  bool result = false;
  std::string download;  // the file's bytes, for a download
  bool hasDownload = false;
  std::string Header(const std::string& prefix) const;  // the rest of the first line with it
};

// Runs uri through a fresh TServerActions (with the request's header lines),
// reading a download to its end with TFileRange::ReadBlock.
Response Request(const std::string& root, TCacheObj* cache, bool allowUploads,
                 const std::string& uri, const std::vector<std::string>& requestHeaders = {},
                 TPageStyle style = TPageStyle::Classic);

}  // namespace servertest
