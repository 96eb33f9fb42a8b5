// The general error display and the application object that feeds it.
#include "shell/window/ErrorDisplay.h"

#include <QMessageBox>

namespace {
std::function<void(const QString&)>& Hook() {
  static std::function<void(const QString&)> hook;
  return hook;
}
}  // namespace

void SetEscapedErrorHook(std::function<void(const QString&)> hook) { Hook() = std::move(hook); }

void ShowEscapedError(const QString& text) {
  if (Hook()) {
    Hook()(text);
    return;
  }
  QMessageBox box(QMessageBox::Critical, "Error", text, QMessageBox::Ok,
                  QApplication::activeWindow());
  box.setObjectName("ErrorBox");
  box.exec();
}

void Guard(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    ShowEscapedError(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowEscapedError("An unknown error occurred.");
  }
}

TMireloApplication::TMireloApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TMireloApplication::notify(QObject* receiver, QEvent* e) {
  try {
    return QApplication::notify(receiver, e);
  } catch (const std::exception& ex) {
    ShowEscapedError(QString::fromUtf8(ex.what()));
  } catch (...) {
    ShowEscapedError("An unknown error occurred.");
  }
  return false;
}
