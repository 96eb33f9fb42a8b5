// Screenshots of every tab of the started main window, and of the Internet
// settings while sharing Internet-wide, taken on the display the test runs
// on (Xvfb in the build's test list) and saved where MIRELO_SCREENSHOTS says
// (build/artifacts/).
#include "WindowFixture.h"

#include "network/TrackerServer.h"
#include "shell/window/QrView.h"
#include "support/FakeRouters.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

namespace {

using Screenshots = WindowFixture;

TEST_F(Screenshots, EveryTab) {
  const QByteArray out = qgetenv("MIRELO_SCREENSHOTS");
  if (out.isEmpty()) GTEST_SKIP() << "MIRELO_SCREENSHOTS is not set";
  const QString folder = QString::fromLocal8Bit(out);
  ASSERT_TRUE(QDir().mkpath(folder));
  WriteSettings("[Internet]\r\nPort=0\r\n");
  StoreName("Ann Example");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.SetBindAddress("127.0.0.1");
  f.move(0, 0);
  f.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  f.CompleteStartUp(false);
  ASSERT_TRUE(f.Sharing());
  // Stable texts for the pictures: a documentation address and one visitor.
  f.edtAdr->setText("192.168.1.20");
  f.spnPort->setValue(3724);
  f.ReportStatus("192.168.1.34", "Downloading...", shared + "holiday/beach.jpg");
  for (int i = 0; i < f.Page->count(); ++i) {
    if (!f.Page->isTabVisible(i)) continue;
    f.Page->setCurrentIndex(i);
    QTest::qWait(150);
    const QPixmap shot = f.grab();
    const QString name =
        QString("%1/window-tab%2-%3.png").arg(folder).arg(i).arg(f.Page->widget(i)->objectName());
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(name)) << name.toStdString();
  }
  // The folder chooser as the Browse button opens it.
  TSelectDirDlg dialog(&f);
  dialog.setWindowTitle("Select folder to share");
  dialog.SetAllowCreate(true);
  dialog.SetDirectory(QString::fromStdString(shared));
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  QTest::qWait(150);
  EXPECT_TRUE(dialog.grab().save(folder + "/folder-dialog.png"));
}

// The Internet settings of a private share while a (fake) router forwards
// the port and the (loopback) tracker reaches it: the web address with its
// key and QR code, the lines under it, the code shown large, and the
// "Private sharing" box.
TEST_F(Screenshots, SharingOverTheInternet) {
  const QByteArray out = qgetenv("MIRELO_SCREENSHOTS");
  if (out.isEmpty()) GTEST_SKIP() << "MIRELO_SCREENSHOTS is not set";
  const QString folder = QString::fromLocal8Bit(out);
  ASSERT_TRUE(QDir().mkpath(folder));
  TFakeUpnpRouter router;
  TTrackerOptions options;
  options.BindAddress = "127.0.0.1";
  options.Port = "0";
  TTrackerServer tracker(options);
  std::string error;
  ASSERT_TRUE(tracker.Start(error)) << error;
  keepNetworkHosts = true;
  keepPortMapping = true;
  // The usual port when it is free here, for a picture like a user's.
  TTcpBlockingSocket probe;
  probe.Bind("127.0.0.1", "3724");
  const std::string port = probe.LastErrorCode() == 0 ? "3724" : "0";
  probe.Close();
  // A fixed key, for the same picture every time.
  WriteSettings("[Internet]\r\nPort=" + port + "\r\n[Network]\r\nIpEchoHost=127.0.0.1:1\r\n" +
                "TrackerHost=127.0.0.1:" + std::to_string(tracker.Port()) +
                "\r\nGateway=" + router.RootUrl() +
                "\r\n[Private]\r\nPrivateSharing=1\r\nKey=q7Fh2Lw9xTz4Vb8Nc1Rk5Pm3Yd6Sg0Je\r\n");
  StoreName("Ann Example");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.radExtern->setChecked(true);
  f.SetBindAddress("127.0.0.1");
  f.move(0, 0);
  f.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  f.CompleteStartUp(false);
  ASSERT_TRUE(f.Sharing());
  f.Page->setCurrentWidget(f.tabISettings);
  for (int i = 0; i < 1500 && f.lblReach->text().isEmpty(); ++i) QTest::qWait(20);
  EXPECT_EQ("Friends can reach this address.", f.lblReach->text());
  QTest::qWait(150);
  EXPECT_TRUE(f.grab().save(folder + "/window-internet.png"));
  QTest::mouseClick(f.imgQrCode, Qt::LeftButton);
  QDialog* large = f.imgQrCode->LargeView();
  ASSERT_NE(nullptr, large);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(large));
  QTest::qWait(150);
  EXPECT_TRUE(large->grab().save(folder + "/window-qr.png"));
  large->close();
  f.Page->setCurrentWidget(f.tabShare);
  QTest::qWait(150);
  EXPECT_TRUE(f.grab().save(folder + "/window-private.png"));
  tracker.Stop();
}

}  // namespace
