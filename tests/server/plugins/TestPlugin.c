/* A test plug-in; the build makes several libraries from this file, each
   with its own PLUGIN_NAME and switches (see CMakeLists.txt). Requests are
   recognised by words in the URI. */
#include "server/MireloPlugin.h"

#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

#ifdef PLUGIN_INIT
EXPORT void InitFSPlugin(void) {}
#endif

#ifdef PLUGIN_FULL
EXPORT MireloWindowClassFn GetTab(void* page, void* applicationWindow) {
  (void)page;
  (void)applicationWindow;
  return NULL;
}
#endif

static int UriHas(const MireloHost* host, const MireloText* uri, const char* word) {
  size_t length = 0;
  const char* data = host->TextData(uri, &length);
  const size_t n = strlen(word);
  for (size_t i = 0; i + n <= length; ++i)
    if (memcmp(data + i, word, n) == 0) return 1;
  return 0;
}

static void Take(const MireloHost* host, MireloText* response, MireloLines* headers,
                 signed char* mode, signed char value, const char* data, size_t length) {
  host->TextAssign(response, data, length);
  host->LinesClear(headers);
  static const char type[] = "Content-type: text/plain";
  host->LinesAppend(headers, type, sizeof type - 1);
  *mode = value;
}

EXPORT void BeforeDispatch(const MireloHost* host, MireloText* rootFolder, MireloText* uri,
                           MireloText* response, MireloLines* headers, signed char* mode,
                           MireloSocket* socket) {
  static const char took[] = PLUGIN_NAME " took it";
  (void)rootFolder;
  (void)socket;
#ifdef PLUGIN_GREEDY
  if (UriHas(host, uri, "take-")) {
    Take(host, response, headers, mode, MIRELO_MODE_TEXT, took, sizeof took - 1);
    return;
  }
#else
  if (UriHas(host, uri, "take-" PLUGIN_NAME) || UriHas(host, uri, "take-any")) {
    Take(host, response, headers, mode, MIRELO_MODE_TEXT, took, sizeof took - 1);
    return;
  }
#endif
#ifdef PLUGIN_FULL
  if (UriHas(host, uri, "rewrite-to-b")) {
    static const char to[] = "/take-b";
    host->TextAssign(uri, to, sizeof to - 1);
    return; /* declines, but the next plug-in sees the new URI */
  }
  if (UriHas(host, uri, "echo")) {
    /* The header list as received, one line per line of the response. */
    size_t total = 0;
    const size_t count = host->LinesCount(headers);
    for (size_t i = 0; i < count; ++i) {
      size_t n = 0;
      host->LinesGet(headers, i, &n);
      total += n + 1;
    }
    char* text = malloc(total + 1);
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
      size_t n = 0;
      const char* line = host->LinesGet(headers, i, &n);
      memcpy(text + at, line, n);
      at += n;
      text[at++] = '\n';
    }
    Take(host, response, headers, mode, MIRELO_MODE_TEXT, text, at);
    free(text);
    return;
  }
  if (UriHas(host, uri, "lines")) {
    static const char text[] = "a\rb\n\nc\r\nd\0ignored";
    Take(host, response, headers, mode, MIRELO_MODE_TEXT, text, sizeof text - 1);
    return;
  }
  if (UriHas(host, uri, "bytes")) {
    static const char bytes[] = "x\0y\r";
    Take(host, response, headers, mode, MIRELO_MODE_BYTES, bytes, sizeof bytes - 1);
    return;
  }
  if (UriHas(host, uri, "mode2")) {
    *mode = 2;
    return;
  }
  if (UriHas(host, uri, "peer")) {
    host->SocketRemoteAddress(socket, response);
    *mode = MIRELO_MODE_BYTES;
    host->LinesClear(headers);
    return;
  }
  if (UriHas(host, uri, "big")) {
    /* 8 MiB of a pattern that shows any lost or moved byte. */
    const size_t size = 8u << 20;
    char* data = malloc(size);
    for (size_t i = 0; i < size; ++i) data[i] = (char)(i * 131 + (i >> 16));
    Take(host, response, headers, mode, MIRELO_MODE_BYTES, data, size);
    free(data);
    return;
  }
#endif
}
