// Receiving an uploaded file: reads a multipart/form-data body from the
// connection part by part and stores the first part that carries a file name
// in the shared folder.
//
// Design. The body is read by its delimiter, the first line of the body. Each
// part's header lines are read and its Content-Disposition looked at: a part
// without a file name (any other form field, in any order) is read past and
// dropped; the first part with a file name is written, as it arrives, to a
// hidden temporary file in the shared folder. As soon as that part's
// delimiter has been read the receiver is done: whatever follows is left
// unread and the reply can go out at once.
//
// Storing never replaces a file: the temporary file is given the client's
// bare name when that is free, else the first free "name (2).ext",
// "name (3).ext", ... Each name is taken by an operation that fails when the
// name exists (rename without replacing, or a hard link), so two uploads of
// one name at the same moment keep both files.
//
// Limits: the content never sits in memory (bounded by the socket's
// look-back); header lines are bounded in length (the socket's
// MaxLineLength) and number, and so is the number of parts before the file.
// A malformed body, a cut-off or stalled upload, or a refused name stores
// nothing and leaves no temporary file behind.
#pragma once

#include "net/tcpsocket.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What became of one file of an upload: stored under StoredName, or refused
// for Refusal (words for the visitor).
struct TUploadOutcome {
  std::string ClientName;  // as the client sent it
  std::string StoredName;  // empty when refused
  std::string Refusal;
};

class TUploadReceiver {
 public:
  // Bounds on what is read before the file part.
  static constexpr int kMaxPartHeaderLines = 32;
  static constexpr int kMaxParts = 64;
  // How many numbered names are tried before the upload is given up.
  static constexpr int kMaxNumberedNames = 10000;
  // Most parts one body may have when every file of it is stored.
  static constexpr int kMaxPartsPerBody = 1000;
  // An outcome keeps at most this many characters of the client's name.
  static constexpr std::size_t kMaxAnsweredNameChars = 512;

  // folder: where the file lands, ending in "/". store: false reads the file
  // part and drops it (uploads refused). onFile is called with the file name
  // exactly as the client sent it, once the file part's headers are read.
  TUploadReceiver(TTcpBlockingSocket& socket, int timeoutMs, std::string folder, bool store,
                  std::function<void(const std::string& clientName)> onFile);

  // Reads the body up to the end of the file part and stores the file. True
  // when the request is to be answered: the file part was read completely
  // and, if storing, was stored.
  bool Receive();

  // Reads the whole body and stores every file part of it (never replacing a
  // file), each under its bare name or a numbered one, whatever the other
  // parts hold. Parts without a file name are read past. A file that is
  // refused (a hidden or unusable name) or cannot be stored is read past and
  // said so in its outcome. True when the body was read up to its closing
  // delimiter; false when it was cut off, stalled or malformed (the files
  // stored before stay, the one being received is not kept).
  bool ReceiveAll(std::vector<TUploadOutcome>& outcomes);
  // Bytes of the body read so far.
  std::int64_t BytesRead() const { return bytesRead_; }

  // The name the file was stored under (bare, in the folder); empty when
  // nothing was stored.
  const std::string& StoredName() const { return storedName_; }

  // The file name of a Content-Disposition header line: the filename
  // parameter's value (the text between its quote marks, or up to the next
  // ";" when unquoted). found is false when the line has no such parameter.
  static std::string DispositionFileName(const std::string& line, bool& found);
  // "name (n).ext" for n >= 2; the name itself for n < 2. A leading dot does
  // not start an extension.
  static std::string NumberedName(const std::string& name, int n);
  // Stores the file at tempPath under name in folder, or the first free
  // numbered name, without ever replacing a file. Returns the name used, or
  // empty on failure (the temporary file is then left where it is).
  static std::string StoreWithoutReplacing(const std::string& tempPath, const std::string& folder,
                                           const std::string& name);

 private:
  TTcpBlockingSocket& socket_;
  int timeoutMs_;
  std::string folder_;
  bool store_;
  std::function<void(const std::string&)> onFile_;
  std::string storedName_;
  std::int64_t bytesRead_ = 0;
};
