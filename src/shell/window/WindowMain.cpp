// Entry of the windowed program: the application object, the main window and
// the message loop.
#include "shell/window/WindowMain.h"

#include "shell/window/ErrorDisplay.h"
#include "shell/window/FormMain.h"

int RunWindow(int argc, char** argv) {
  TMireloApplication app(argc, argv);
  app.setApplicationName(FormText::kCaption);
  TFrmMain form;
  form.show();
  Guard([&] { form.PageChange(); });
  return app.exec();
}
