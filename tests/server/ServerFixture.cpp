// Helpers of the router tests.
#include "ServerFixture.h"
#include "base/StartUp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace servertest {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string TinyBmp() {
  auto le32 = [](std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  auto le16 = [](std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
  };
  std::string s = "BM";
  le32(s, 246);
  le32(s, 0);
  le32(s, 54);
  le32(s, 40);
  le32(s, 8);
  le32(s, 8);
  le16(s, 1);
  le16(s, 24);
  le32(s, 0);
  le32(s, 192);
  le32(s, 2835);
  le32(s, 2835);
  le32(s, 0);
  le32(s, 0);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      s += static_cast<char>(x * 32);  // blue
      s += static_cast<char>(y * 32);  // green
      s += static_cast<char>(200);     // red
    }
  }
  return s;
}

void SetTime(const std::string& path, long seconds) {
  timespec times[2] = {{seconds, 0}, {seconds, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throw std::runtime_error("cannot set the time of " + path);
  }
}

std::string Response::Header(const std::string& prefix) const {
  for (const auto& h : headers) {
    if (h.compare(0, prefix.size(), prefix) == 0) return h.substr(prefix.size());
  }
  return "<none>";
}

Response Request(const std::string& root, TCacheObj* cache, bool allowUploads,
                 const std::string& uri, const std::vector<std::string>& requestHeaders,
                 TPageStyle style) {
  TServerActions actions;
  actions.RootFolder = root;
  actions.SystemFolder = SystemFolder();
  actions.AllowUploads = allowUploads;
  actions.Cache = cache;
  actions.PageStyle = style;
  Response r;
  THttpResponse response = actions.HandleRequest(uri, requestHeaders, &r.result);
  r.body = std::move(response.Body);
  r.headers = std::move(response.Headers);
  r.kind = response.Kind;
  r.status = response.Status;
  if (response.Kind == THttpResponse::TBody::File) {
    r.hasDownload = true;
    std::string block(TFileRange::kBlockSize, '\0');
    while (const int n = response.File.ReadBlock(block.data())) {
      r.download.append(block, 0, static_cast<size_t>(n));
    }
  }
  return r;
}

}  // namespace servertest
