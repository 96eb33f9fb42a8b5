// The plug-in libraries of one folder: loaded once, offered every request
// before the router, and asked for their window tabs.
#pragma once

#include "server/HttpResponse.h"
#include "server/MireloPlugin.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TTcpBlockingSocket;

// The mode byte a plug-in hands back (MIRELO_MODE_*). A plug-in may set any
// value; one other than these takes the request and gets the fallback page.
enum class ResponseMode : std::int8_t { Text = 0, Bytes = 1, NotHandled = -1 };

// The plug-in libraries (*.so) of one folder that export "InitFSPlugin", in
// name order. Read-only after construction, so workers may use it at once from
// many threads; the libraries stay loaded until the list is destroyed, which
// its owners (a shared_ptr held by the listener and every worker) arrange to
// happen only after the last user.
class TPluginList {
 public:
  // Scans folder (ending in "/" or not). A file whose name does not end in
  // ".so" exactly, that cannot be loaded, or that lacks "InitFSPlugin" is left
  // out silently.
  explicit TPluginList(const std::string& folder);
  ~TPluginList();  // unloads, last loaded first
  TPluginList(const TPluginList&) = delete;
  TPluginList& operator=(const TPluginList&) = delete;

  std::size_t Count() const { return libraries_.size(); }
  // File names of the loaded plug-ins, in list order.
  std::vector<std::string> Names() const;

  // For every plug-in with "GetTab", in list order, calls addTab with it; the
  // window makes the page, calls the function and places the control.
  void AddTabs(const std::function<void(MireloGetTabFn getTab)>& addTab) const;

  // Offers one request to the plug-ins with "BeforeDispatch", in list order,
  // until one sets a mode other than NotHandled, and returns that plug-in's
  // response: its text as page lines (Text) or as bytes (Bytes), or the
  // fallback page for the URI as it came (any other mode), with headers as
  // its header lines. None when every plug-in declined; what they changed in
  // rootFolder, uri and headers stays changed.
  std::optional<THttpResponse> RunBeforeDispatch(std::string& rootFolder, std::string& uri,
                                                 std::vector<std::string>& headers,
                                                 TTcpBlockingSocket& socket) const;

 private:
  struct TLibrary {
    std::string name;
    void* handle;
    MireloGetTabFn getTab;
    MireloBeforeDispatchFn beforeDispatch;
  };
  std::vector<TLibrary> libraries_;
};

// The page control GetPageControl hands to plug-ins; the window sets it.
void SetPageControl(void* pageControl);
