// Request handler: until the router exists every request is left unanswered,
// so the worker sends its fallback page.
#include "server/ServerActions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

bool TServerActions::HandleRequest(const std::string&, std::string& response,
                                   std::vector<std::string>& headers, ResponseMode& mode) {
  Headers = &headers;
  headers.clear();
  response.clear();
  mode = ResponseMode::NotHandled;
  return false;
}

int TServerActions::ReadDownloadBlock(char* buffer) {
  if (!Download.valid()) throw std::runtime_error("no download is open");
  struct stat st {};
  if (::fstat(Download.get(), &st) != 0) throw std::runtime_error("download: cannot stat");
  const off_t position = ::lseek(Download.get(), 0, SEEK_CUR);
  if (position < 0) throw std::runtime_error("download: cannot seek");
  const off_t left = std::max<off_t>(0, st.st_size - position);
  const int want = static_cast<int>(std::min<off_t>(left, kDownloadBlockSize));
  int got = 0;
  while (got < want) {
    const ssize_t n = ::read(Download.get(), buffer + got, static_cast<std::size_t>(want - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  if (got < want) throw std::runtime_error("download: short read");
  return want;
}
