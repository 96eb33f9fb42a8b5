// Entry of the windowed program: the application object with its error
// display, the single-instance hand-over, the paths, the main window, the
// closing signals and the message loop.
#include "shell/window/WindowMain.h"

#include "base/Messages.h"
#include "base/OrvelTPU.h"
#include "base/StartUp.h"
#include "shell/EntrySequence.h"
#include "shell/window/ErrorDisplay.h"
#include "shell/window/FormMain.h"

#include <QDesktopServices>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QThread>
#include <QUrl>

#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kHandOverWaitMs = 2000;
constexpr int kExitWorkingFolderInUse = 3;
int signalPipe[2] = {-1, -1};

void OnCloseSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(signalPipe[1], &byte, 1);
}

// The window's message boxes: shown on the window thread; a message raised on
// another thread is handed over and the caller goes on at once.
void ShowMessageBox(MessageKind kind, const std::string& text) {
  const QString body = QString::fromStdString(text);
  auto show = [kind, body] {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption = kApplicationTitle;
    if (kind == MessageKind::Error) {
      icon = QMessageBox::Critical;
      caption = "Error";
    } else if (kind == MessageKind::Info) {
      icon = QMessageBox::Information;
      caption = "Information";
    }
    QMessageBox box(icon, caption, body, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
  };
  if (QThread::currentThread() == qApp->thread()) {
    show();
  } else {
    QMetaObject::invokeMethod(qApp, show, Qt::QueuedConnection);
  }
}

}  // namespace

QString InstanceSocketPath() {
  std::string path = SingleInstanceLockPath(false);
  if (path.size() > 5 && path.compare(path.size() - 5, 5, ".lock") == 0)
    path.resize(path.size() - 5);
  return QString::fromStdString(path + ".sock");
}

bool AskRunningInstanceToShow(const QString& socketPath) {
  QLocalSocket socket;
  socket.connectToServer(socketPath);
  if (!socket.waitForConnected(kHandOverWaitMs)) return false;
  socket.write("show\n");
  socket.flush();
  const bool answered = socket.waitForReadyRead(kHandOverWaitMs);
  socket.disconnectFromServer();
  return answered;
}

QLocalServer* ListenForOtherInstances(const QString& socketPath, TFrmMain* form) {
  auto* server = new QLocalServer(form);
  QLocalServer::removeServer(socketPath);  // a socket left by a crashed run
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(socketPath)) return server;
  QObject::connect(server, &QLocalServer::newConnection, form, [server, form] {
    while (QLocalSocket* peer = server->nextPendingConnection()) {
      QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      QObject::connect(peer, &QLocalSocket::readyRead, form, [peer, form] {
        if (!peer->readAll().contains("show")) return;
        form->RestoreFromTray();
        peer->write("ok\n");
        peer->flush();
      });
    }
  });
  return server;
}

int RunWindow(int argc, char** argv) {
  // Our own options leave the argument list before its first entry is read.
  std::string workdir;
  std::vector<char*> args{argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--workdir") == 0 && i + 1 < argc) {
      workdir = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  int qtArgc = static_cast<int>(args.size());
  args.push_back(nullptr);
  TMireloApplication app(qtArgc, args.data());
  app.setApplicationName(kApplicationTitle);
  app.setQuitOnLastWindowClosed(false);

  if (CheckSingleInstance(false)) {
    AskRunningInstanceToShow(InstanceSocketPath());
    return 0;
  }
  if (workdir.empty()) {
    InitPaths();
  } else {
    InitPathsIn(workdir);
  }
  SetMessageDisplay(ShowMessageBox);
  ::signal(SIGPIPE, SIG_IGN);
  // Two processes must never share one cache database (a copy of the program
  // under another name, or a headless one, may use the same working folder).
  const std::unique_ptr<FileLock> folderLock = LockWorkingFolder(WorkingFolder());
  if (!folderLock) {
    ShowError("Another Mirelo File Share is running on the working folder " + WorkingFolder() +
              " CRLF Stop it first, or start this one with --workdir DIR.");
    SetMessageDisplay(nullptr);
    return kExitWorkingFolderInUse;
  }
  SetDocumentOpener([](const std::string& target) {
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(target), QUrl::TolerantMode)) ? 0
                                                                                               : 1;
  });

  int rc = 0;
  {
    TFrmMain form;
    // An installed program offers its shared folder in the working folder, never beside itself.
    if (!workdir.empty() || IsInstalled()) form.SharedFolderBase = WorkingFolder();
    form.FormCreate();
    ListenForOtherInstances(InstanceSocketPath(), &form);
    QObject::connect(&form, &TFrmMain::Closed, &app, &QCoreApplication::quit);

    // A logout or Ctrl+C closes the window the normal way, without asking.
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
      auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &form);
      QObject::connect(notifier, &QSocketNotifier::activated, &form, [&form] {
        char byte;
        [[maybe_unused]] const ssize_t n = read(signalPipe[0], &byte, 1);
        form.CloseWithoutAsking();
      });
      struct sigaction action {};
      action.sa_handler = OnCloseSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      sigaction(SIGTERM, &action, nullptr);
      sigaction(SIGINT, &action, nullptr);
    }

    form.show();
    const std::vector<const char*> plain(args.begin(), args.end() - 1);
    form.CompleteStartUp(IsShareOffArgument(qtArgc, plain.data()));
    // A close during start-up (a signal) needs no message loop any more.
    if (!form.HasClosed()) rc = app.exec();
    form.FormDestroy();
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
  }
  SetMessageDisplay(nullptr);
  SetDocumentOpener(nullptr);
  return rc;
}

// Under the leak checker: the system's font, bus and display libraries keep
// their caches until exit, which is not a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\nleak:libxcb\nleak:libX11.so\nleak:libglib-2.0."
         "so\n";
}
