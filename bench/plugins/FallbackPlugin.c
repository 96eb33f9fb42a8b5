/* Benchmark plug-in: takes every request whose URI holds "fallback" with a
   mode that makes the worker send its fallback page. */
#include "server/MireloPlugin.h"

#include <string.h>

#define EXPORT __attribute__((visibility("default")))

EXPORT void InitFSPlugin(void) {}

EXPORT void BeforeDispatch(const MireloHost* host, MireloText* rootFolder, MireloText* uri,
                           MireloText* response, MireloLines* headers, signed char* mode,
                           MireloSocket* socket) {
  size_t length = 0;
  const char* text = host->TextData(uri, &length);
  (void)rootFolder;
  (void)response;
  (void)socket;
  for (size_t i = 0; i + 8 <= length; ++i) {
    if (memcmp(text + i, "fallback", 8) == 0) {
      host->LinesClear(headers);
      *mode = 2;
      return;
    }
  }
}
