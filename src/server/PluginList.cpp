// Plug-in libraries on dlopen, and the host table they call back through.
#include "server/PluginList.h"

#include "base/FileUtil.h"
#include "net/tcpsocket.h"

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

std::atomic<void*> gPageControl{nullptr};

// The host table handed to plug-ins: the opaque pointers are our own objects.
std::string& AsText(MireloText* t) { return *reinterpret_cast<std::string*>(t); }
const std::string& AsText(const MireloText* t) { return *reinterpret_cast<const std::string*>(t); }
std::vector<std::string>& AsLines(MireloLines* l) {
  return *reinterpret_cast<std::vector<std::string>*>(l);
}
const std::vector<std::string>& AsLines(const MireloLines* l) {
  return *reinterpret_cast<const std::vector<std::string>*>(l);
}
TTcpBlockingSocket& AsSocket(MireloSocket* s) { return *reinterpret_cast<TTcpBlockingSocket*>(s); }
const TTcpBlockingSocket& AsSocket(const MireloSocket* s) {
  return *reinterpret_cast<const TTcpBlockingSocket*>(s);
}

const MireloHost kHost = {
    sizeof(MireloHost),
    [](const MireloText* t, size_t* length) -> const char* {
      if (length) *length = AsText(t).size();
      return AsText(t).data();
    },
    [](MireloText* t, const char* data, size_t length) {
      AsText(t).assign(data ? data : "", data ? length : 0);
    },
    [](const MireloLines* l) -> size_t { return AsLines(l).size(); },
    [](const MireloLines* l, size_t index, size_t* length) -> const char* {
      const auto& lines = AsLines(l);
      if (index >= lines.size()) {
        if (length) *length = 0;
        return nullptr;
      }
      if (length) *length = lines[index].size();
      return lines[index].c_str();
    },
    [](MireloLines* l) { AsLines(l).clear(); },
    [](MireloLines* l, const char* data, size_t length) {
      AsLines(l).emplace_back(data ? data : "", data ? length : 0);
    },
    [](MireloSocket* s, const void* data, size_t length) -> int {
      return AsSocket(s).SendBytes(data, static_cast<int>(std::min<size_t>(length, 0x7fffffff)));
    },
    [](const MireloSocket* s) -> int { return AsSocket(s).LastErrorCode(); },
    [](const MireloSocket* s, MireloText* out) { AsText(out) = AsSocket(s).RemoteAddress(); },
};

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* GetPageControl(void) {
  return gPageControl.load();
}

void SetPageControl(void* pageControl) { gPageControl.store(pageControl); }

TPluginList::TPluginList(const std::string& folder) {
  std::string base = folder;
  if (!base.empty() && base.back() != '/') base += '/';
  const UniqueDir dir = OpenFolder(base.empty() ? "." : base);
  if (!dir) return;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    // Case-sensitive: "x.SO" is not a plug-in.
    if (EndsWith(name, ".so")) names.push_back(name);
  }
  // Name order, so that the order in which plug-ins are asked is stable.
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    void* handle = ::dlopen((base + name).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) continue;
    if (!::dlsym(handle, "InitFSPlugin")) {
      ::dlclose(handle);
      continue;
    }
    libraries_.push_back(
        {name, handle, reinterpret_cast<MireloGetTabFn>(::dlsym(handle, "GetTab")),
         reinterpret_cast<MireloBeforeDispatchFn>(::dlsym(handle, "BeforeDispatch"))});
  }
}

TPluginList::~TPluginList() {
  for (auto it = libraries_.rbegin(); it != libraries_.rend(); ++it) ::dlclose(it->handle);
}

std::vector<std::string> TPluginList::Names() const {
  std::vector<std::string> names;
  for (const auto& l : libraries_) names.push_back(l.name);
  return names;
}

void TPluginList::AddTabs(const std::function<void(MireloGetTabFn)>& addTab) const {
  for (const auto& l : libraries_)
    if (l.getTab) addTab(l.getTab);
}

std::optional<THttpResponse> TPluginList::RunBeforeDispatch(std::string& rootFolder,
                                                            std::string& uri,
                                                            std::vector<std::string>& headers,
                                                            TTcpBlockingSocket& socket) const {
  std::string original;  // the URI as it came, for the fallback page
  std::string text;
  for (const auto& l : libraries_) {
    if (!l.beforeDispatch) continue;
    if (original.empty()) original = uri;
    signed char m = static_cast<signed char>(ResponseMode::NotHandled);
    l.beforeDispatch(&kHost, reinterpret_cast<MireloText*>(&rootFolder),
                     reinterpret_cast<MireloText*>(&uri), reinterpret_cast<MireloText*>(&text),
                     reinterpret_cast<MireloLines*>(&headers), &m,
                     reinterpret_cast<MireloSocket*>(&socket));
    const ResponseMode mode = static_cast<ResponseMode>(m);
    if (mode == ResponseMode::NotHandled) continue;
    THttpResponse response = mode == ResponseMode::Text    ? THttpResponse::Lines(std::move(text))
                             : mode == ResponseMode::Bytes ? THttpResponse::Raw(std::move(text))
                                                           : THttpResponse::Fallback(original);
    response.Headers = std::move(headers);
    return response;
  }
  return std::nullopt;
}
