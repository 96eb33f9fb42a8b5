// One window per executable name: a second start hands over to the first and
// ends; SIGTERM closes the first through its normal closing sequence.
#include "WindowFixture.h"

#include "base/IniFile.h"
#include "shell/window/WindowMain.h"

#include <QLocalServer>
#include <QProcess>
#include <QTest>

#include <signal.h>

#include <atomic>
#include <thread>

namespace {

using SingleInstanceTest = WindowFixture;

TEST_F(SingleInstanceTest, RequestBringsTheMinimisedWindowForward) {
  TFrmMain& f = Create();
  f.show();
  f.setWindowState(Qt::WindowMinimized);
  QCoreApplication::processEvents();
  const QString path = QString::fromStdString(home + "/run/hand-over.sock");
  QLocalServer* server = ListenForOtherInstances(path, &f);
  ASSERT_TRUE(server->isListening());
  std::atomic<int> answered{-1};
  std::thread second([&] { answered = AskRunningInstanceToShow(path) ? 1 : 0; });
  while (answered < 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  second.join();
  EXPECT_EQ(1, answered.load());
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(f.windowState() & Qt::WindowMinimized);
  // Nobody listening: the second start just ends.
  EXPECT_FALSE(AskRunningInstanceToShow(QString::fromStdString(home + "/run/none.sock")));
}

TEST_F(SingleInstanceTest, SecondProgramEndsAndTermClosesTheFirst) {
  const QString program = QString::fromStdString(ProgramFolder()) + "mirelo-share";
  ASSERT_TRUE(QFile::exists(program));
  WriteSettings();
  StoreName("Process Tester");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"}) {
    env.insert(name, qEnvironmentVariable(name));
  }
  const QStringList args{"ShareOff", "--workdir", QString::fromStdString(work)};
  QProcess first;
  first.setProcessEnvironment(env);
  first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  first.start(program, args);
  ASSERT_TRUE(first.waitForStarted());
  const QString socket = QString::fromStdString(home + "/run/mirelo-share.sock");
  for (int i = 0; i < 200 && !QFile::exists(socket); ++i) QTest::qWait(50);
  ASSERT_TRUE(QFile::exists(socket));

  QProcess second;
  second.setProcessEnvironment(env);
  second.start(program, args);
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(0, second.exitCode());
  EXPECT_EQ(QProcess::Running, first.state());

  ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
  ASSERT_TRUE(first.waitForFinished(10000));
  EXPECT_EQ(QProcess::NormalExit, first.exitStatus());
  EXPECT_EQ(0, first.exitCode());
  // The closing sequence ran: log and settings written.
  EXPECT_TRUE(QFile::exists(QString::fromStdString(work + "Log.txt")));
  const IniFile ini(SettingsFile());
  EXPECT_TRUE(ini.HasSection("Form"));
}

}  // namespace
