// Test support: one offscreen QApplication for the whole test program, and
// answering modal boxes and dialogs from a timer.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <ostream>

// Readable QString values in test failures.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

// Creates the application on first use (offscreen platform).
QApplication* TestApp();

// Polls the modal stack until `act` handles the top modal widget (returns true).
inline void OnModal(std::function<bool(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, act] {
    QWidget* w = QApplication::activeModalWidget();
    if (w && act(w)) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start();
}

// Clicks the child button named `name` of the top modal widget whose class is T.
template <class T>
void ClickInModal(const char* name) {
  OnModal([name](QWidget* w) {
    if (!qobject_cast<T*>(w)) return false;
    auto* b = w->findChild<QAbstractButton*>(name);
    if (!b) return false;
    b->click();
    return true;
  });
}
