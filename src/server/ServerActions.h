// Per-connection request handler: the fields the connection worker fills, the
// router that turns a request into a response, and the download block reader.
// One object per connection, used by that connection's worker thread only.
#pragma once

#include "net/UniqueFd.h"

#include <cstdint>
#include <string>
#include <vector>

class TCacheObj;

// The byte that plug-ins and the router hand back to the worker. A plug-in may
// set any value; one other than these makes the worker send its fallback page.
enum class ResponseMode : std::int8_t { Text = 0, Bytes = 1, NotHandled = -1 };

class TServerActions {
 public:
  // Block size of ReadDownloadBlock.
  static constexpr int kDownloadBlockSize = 65536;

  // The worker's header list (borrowed); set by HandleRequest on every call.
  std::vector<std::string>* Headers = nullptr;
  // The file a download action opened; closed with this object.
  UniqueFd Download;
  // The shared folder, ending in "/".
  std::string RootFolder;
  bool AllowUploads = false;
  // The thumbnail cache shared by all connections (not owned).
  TCacheObj* Cache = nullptr;

  // Produces the response to a request: sets mode, and fills headers (emptied
  // first) with the response header lines. Failures it does not handle throw.
  bool HandleRequest(const std::string& uri, std::string& response,
                     std::vector<std::string>& headers, ResponseMode& mode);

  // Reads the next block of Download into buffer (kDownloadBlockSize bytes):
  // a whole block, or exactly the bytes that remain; returns the count. A read
  // that delivers less throws std::runtime_error.
  int ReadDownloadBlock(char* buffer);
};
