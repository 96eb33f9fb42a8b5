/* Plug-in interface: a plug-in is a shared library (*.so) in the program's
   folder that exports InitFSPlugin; GetTab and BeforeDispatch are optional.
   Plain C, so a plug-in needs no C++ runtime of ours: every host value crosses
   the boundary as an opaque pointer, read and changed through the host table
   passed to each call. Calls of BeforeDispatch come from many connection
   workers at once and must tolerate that. */
#ifndef MIRELO_PLUGIN_H
#define MIRELO_PLUGIN_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A text of the host (bytes, not zero-terminated), passed by reference. */
typedef struct MireloText MireloText;
/* The worker's header list: request header lines on entry, response header
   lines (one header per line, no line ends) when the plug-in takes a request. */
typedef struct MireloLines MireloLines;
/* The connection of the request. */
typedef struct MireloSocket MireloSocket;

/* Response mode values (a signed byte). */
#define MIRELO_MODE_NOT_HANDLED (-1) /* nobody took the request yet */
#define MIRELO_MODE_TEXT 0           /* the response text is a page */
#define MIRELO_MODE_BYTES 1          /* the response text is raw bytes */
/* Any other value: the request was taken and the fallback page is sent. */

typedef struct MireloHost {
  size_t size; /* sizeof(MireloHost) in the host; later hosts only append */
  /* Texts. The pointer returned stays valid until the text is changed. */
  const char* (*TextData)(const MireloText* text, size_t* length);
  void (*TextAssign)(MireloText* text, const char* data, size_t length);
  /* Header list. */
  size_t (*LinesCount)(const MireloLines* lines);
  const char* (*LinesGet)(const MireloLines* lines, size_t index, size_t* length);
  void (*LinesClear)(MireloLines* lines);
  void (*LinesAppend)(MireloLines* lines, const char* data, size_t length);
  /* Connection: bytes sent; the last error code (0 = success); the peer's
     numeric address written into a text. */
  int (*SocketSend)(MireloSocket* socket, const void* data, size_t length);
  int (*SocketLastError)(const MireloSocket* socket);
  void (*SocketRemoteAddress)(const MireloSocket* socket, MireloText* out);
} MireloHost;

/* Marks a library as a plug-in; the host never calls it. */
typedef void (*MireloInitFSPluginFn)(void);

/* A window class: makes a window (a QWidget*) with the given parent, whose
   first child control is what the plug-in's tab shows. */
typedef void* (*MireloWindowClassFn)(void* parent);
/* "GetTab": given the new, empty tab page and the application window (both
   QWidget*), returns the window class of the tab, or NULL for none. */
typedef MireloWindowClassFn (*MireloGetTabFn)(void* page, void* applicationWindow);

/* "BeforeDispatch": offered every GET and POST before the router. Leave *mode
   at MIRELO_MODE_NOT_HANDLED to decline; changes made to the texts and the
   list are seen by later plug-ins and the router even then. */
typedef void (*MireloBeforeDispatchFn)(const MireloHost* host, MireloText* rootFolder,
                                       MireloText* uri, MireloText* response, MireloLines* headers,
                                       signed char* mode, MireloSocket* socket);

/* Exported by the program: the main window's page control (a QTabWidget*) into
   which plug-in tabs are placed; NULL without a window. */
void* GetPageControl(void);

#ifdef __cplusplus
}
#endif

#endif /* MIRELO_PLUGIN_H */
