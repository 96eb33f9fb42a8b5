// The general error display: an error that escapes a handler on the window
// thread is shown in a message box, and the program goes on running.
#pragma once

#include <QApplication>
#include <QString>

#include <exception>
#include <functional>

// Shows the text of an escaped error (window thread).
void ShowEscapedError(const QString& text);

// Runs `f`, showing any error it raises instead of letting it escape.
void Guard(const std::function<void()>& f);

// A slot body for connect(): the call runs under Guard.
inline auto Guarded(std::function<void()> f) {
  return [f = std::move(f)] { Guard(f); };
}

// The application object: catches what escapes event delivery as well.
class TMireloApplication : public QApplication {
  Q_OBJECT
 public:
  TMireloApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* e) override;
};

// Lets tests see escaped errors instead of a modal box (empty: the box).
void SetEscapedErrorHook(std::function<void(const QString&)> hook);
