// Receiving an uploaded file: multipart parts, the temporary file and storing
// it under a free name.
#include "server/UploadReceiver.h"

#include "base/UniqueFd.h"
#include "server/RequestText.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string LowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string LastComponent(const std::string& name) {
  const std::size_t slash = name.find_last_of("\\/");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool IsAcceptableUploadName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

// The file an upload is written to while it arrives: a hidden file in the
// shared folder, removed unless it was given its final name.
class TTemporaryFile {
 public:
  ~TTemporaryFile() {
    fd_.reset();
    if (!path_.empty() && !kept_) ::unlink(path_.c_str());
  }

  bool Create(const std::string& folder) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt) {
      char name[40];
      std::snprintf(name, sizeof name, ".mirelo-upload-%016llx",
                    static_cast<unsigned long long>(random()));
      const std::string path = folder + name;
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        fd_.reset(fd);
        path_ = path;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  bool Write(const char* data, std::size_t size) {
    while (size > 0) {
      const ssize_t n = ::write(fd_.get(), data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  bool Close() { return fd_.Close() == 0; }
  const std::string& Path() const { return path_; }
  // The file now lives under another name (renamed) or was removed.
  void Keep() { kept_ = true; }

 private:
  UniqueFd fd_;
  std::string path_;
  bool kept_ = false;
};

// rename that fails with EEXIST instead of replacing; -1 with errno EINVAL or
// ENOSYS when the file system or kernel cannot do it.
int RenameNoReplace(const char* from, const char* to) {
#ifdef SYS_renameat2
  return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1u /*NOREPLACE*/));
#else
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

TUploadReceiver::TUploadReceiver(TTcpBlockingSocket& socket, int timeoutMs, std::string folder,
                                 bool store,
                                 std::function<void(const std::string& clientName)> onFile)
    : socket_(socket),
      timeoutMs_(timeoutMs),
      folder_(std::move(folder)),
      store_(store),
      onFile_(std::move(onFile)) {}

std::string TUploadReceiver::DispositionFileName(const std::string& line, bool& found) {
  found = false;
  const std::string lower = LowerAscii(line);
  std::size_t at = 0;
  for (;; ++at) {
    at = lower.find("filename=", at);
    if (at == std::string::npos) return {};
    // A parameter of its own, not the tail of another one's name or value.
    std::size_t before = at;
    while (before > 0 && IsBlank(lower[before - 1])) --before;
    if (before > 0 && lower[before - 1] == ';') break;
  }
  found = true;
  std::size_t start = at + 9;
  if (start < line.size() && line[start] == '"') {
    ++start;
    // The closing quote is the first one followed only by blanks up to the
    // end of the line or the next parameter; names may hold quotes and
    // backslashes (client paths), so nothing is unescaped.
    std::size_t close = std::string::npos;
    for (std::size_t i = start; i < line.size(); ++i) {
      if (line[i] != '"') continue;
      std::size_t j = i + 1;
      while (j < line.size() && IsBlank(line[j])) ++j;
      if (j == line.size() || line[j] == ';') {
        close = i;
        break;
      }
    }
    if (close == std::string::npos) close = line.size();
    return line.substr(start, close - start);
  }
  std::size_t end = line.find(';', start);
  if (end == std::string::npos) end = line.size();
  while (end > start && IsBlank(line[end - 1])) --end;
  return line.substr(start, end - start);
}

std::string TUploadReceiver::NumberedName(const std::string& name, int n) {
  if (n < 2) return name;
  std::size_t dot = name.rfind('.');
  if (dot == 0 || dot == std::string::npos) dot = name.size();
  return name.substr(0, dot) + " (" + std::to_string(n) + ")" + name.substr(dot);
}

std::string TUploadReceiver::StoreWithoutReplacing(const std::string& tempPath,
                                                   const std::string& folder,
                                                   const std::string& name) {
  bool renameWorks = true;
  for (int n = 1; n <= kMaxNumberedNames; ++n) {
    const std::string candidate = NumberedName(name, n);
    const std::string target = folder + candidate;
    if (renameWorks) {
      if (RenameNoReplace(tempPath.c_str(), target.c_str()) == 0) return candidate;
      if (errno == EEXIST) continue;
      if (errno != EINVAL && errno != ENOSYS) return {};
      renameWorks = false;
    }
    // Without an atomic rename: a hard link, which never replaces either.
    if (::link(tempPath.c_str(), target.c_str()) == 0) {
      ::unlink(tempPath.c_str());
      return candidate;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

bool TUploadReceiver::Receive() {
  const std::string delimiter = socket_.ReceiveUntil(timeoutMs_, "\r\n");
  if (socket_.LastErrorCode() != 0) return false;
  if (delimiter.size() < 3 || delimiter.compare(0, 2, "--") != 0) return false;
  // Every later delimiter ends the content before it, together with the
  // line end in front of it.
  const std::string terminator = "\r\n" + delimiter;

  for (int part = 0; part < kMaxParts; ++part) {
    bool hasFile = false;
    std::string clientName;
    for (int lines = 0;; ++lines) {
      const std::string line = socket_.ReceiveUntil(timeoutMs_, "\r\n");
      if (socket_.LastErrorCode() != 0) return false;
      if (line.empty()) break;
      if (lines >= kMaxPartHeaderLines) return false;
      if (!hasFile && StartsWithNoCase(line, "content-disposition:"))
        clientName = DispositionFileName(line, hasFile);
    }

    if (hasFile) {
      if (onFile_) onFile_(clientName);
      const std::string name = LastComponent(clientName);
      TTemporaryFile file;
      if (store_ && (!IsAcceptableUploadName(name) || !file.Create(folder_))) return false;
      // The content is never held in memory: it goes to the file (or nowhere
      // when uploads are refused) as it arrives.
      const bool found = socket_.ReceiveUntilToSink(
          timeoutMs_, terminator,
          [&](const char* data, std::size_t size) { return !store_ || file.Write(data, size); });
      if (!found) return false;
      // Done: what follows the file part's delimiter is not needed.
      if (!store_) return true;
      if (!file.Close()) return false;
      storedName_ = StoreWithoutReplacing(file.Path(), folder_, name);
      if (storedName_.empty()) return false;
      file.Keep();
      return true;
    }

    // Another field: read past its value.
    if (!socket_.ReceiveUntilToSink(timeoutMs_, terminator,
                                    [](const char*, std::size_t) { return true; }))
      return false;
    // The delimiter line goes on with CR LF before the next part, or with
    // "--" after the last one (no file part came).
    char after[2];
    if (socket_.ReceiveExact(after, 2, timeoutMs_) != 2 || socket_.LastErrorCode() != 0)
      return false;
    if (after[0] != '\r' || after[1] != '\n') return false;
  }
  return false;
}

bool TUploadReceiver::ReceiveAll(std::vector<TUploadOutcome>& outcomes) {
  bytesRead_ = 0;
  auto readLine = [this](std::string& line) {
    line = socket_.ReceiveUntil(timeoutMs_, "\r\n");
    if (socket_.LastErrorCode() != 0) return false;
    bytesRead_ += static_cast<std::int64_t>(line.size()) + 2;
    return true;
  };
  std::string delimiter;
  if (!readLine(delimiter)) return false;
  if (delimiter.size() < 3 || delimiter.compare(0, 2, "--") != 0) return false;
  const std::string terminator = "\r\n" + delimiter;

  for (int part = 0; part < kMaxPartsPerBody; ++part) {
    bool hasFile = false;
    std::string clientName;
    for (int lines = 0;; ++lines) {
      std::string line;
      if (!readLine(line)) return false;
      if (line.empty()) break;
      if (lines >= kMaxPartHeaderLines) return false;
      if (!hasFile && StartsWithNoCase(line, "content-disposition:"))
        clientName = DispositionFileName(line, hasFile);
    }

    TTemporaryFile file;
    bool writing = false;
    if (hasFile) {
      if (onFile_) onFile_(clientName);
      // The answer names the file as sent, within reason.
      outcomes.push_back({FirstChars(clientName, kMaxAnsweredNameChars), {}, {}});
      const std::string name = LastComponent(clientName);
      if (!IsAcceptableUploadName(name))
        outcomes.back().Refusal = "not a usable file name";
      else if (name[0] == '.')
        outcomes.back().Refusal = "hidden names are not accepted";
      else if (!store_)
        outcomes.back().Refusal = "uploads are not accepted";
      else if (!file.Create(folder_))
        outcomes.back().Refusal = "could not be stored";
      else
        writing = true;
    }
    // The content goes to the file as it arrives, or nowhere. A failed
    // write drops the rest of the part and the file.
    bool writeFailed = false;
    const bool found =
        socket_.ReceiveUntilToSink(timeoutMs_, terminator, [&](const char* data, std::size_t size) {
          bytesRead_ += static_cast<std::int64_t>(size);
          if (writing && !writeFailed && !file.Write(data, size)) writeFailed = true;
          return true;
        });
    if (!found) return false;
    bytesRead_ += static_cast<std::int64_t>(terminator.size());
    if (writing) {
      const std::string name = LastComponent(clientName);
      std::string stored;
      if (!writeFailed && file.Close()) stored = StoreWithoutReplacing(file.Path(), folder_, name);
      if (stored.empty()) {
        outcomes.back().Refusal = "could not be stored";
      } else {
        file.Keep();
        outcomes.back().StoredName = stored;
      }
    }
    // The delimiter goes on with CR LF before the next part, or "--" after
    // the last one.
    char after[2];
    if (socket_.ReceiveExact(after, 2, timeoutMs_) != 2 || socket_.LastErrorCode() != 0)
      return false;
    bytesRead_ += 2;
    if (after[0] == '-' && after[1] == '-') return true;
    if (after[0] != '\r' || after[1] != '\n') return false;
  }
  return false;
}
