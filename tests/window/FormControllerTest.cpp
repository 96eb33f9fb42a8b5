// The real main window driven through its controls: start-up, settings,
// sharing state, connection reports, closing.
#include "WindowFixture.h"

#include "base/IniFile.h"
#include "controls/Decor.h"
#include "imaging/CacheKeeper.h"
#include "shell/AppSettings.h"

#include <QAction>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using FirstRunTest = WindowFixture;

// Started with --workdir, the first run offers (and makes) its shared folder
// in the working folder, as the headless program does.
TEST_F(FirstRunTest, AChosenWorkingFolderHoldsTheFirstSharedFolder) {
  ASSERT_TRUE(FirstRun());
  answers = {"Ann Smith"};
  sharedFolderBase = WorkingFolder();
  TFrmMain& f = Create();
  f.show();
  f.CompleteStartUp(true);
  ASSERT_EQ(1u, folderAsks.size());
  EXPECT_EQ(WorkingFolder() + "Shared folder", folderAsks[0].folder);
  EXPECT_TRUE(IsFolder(WorkingFolder() + "Shared folder"));
  EXPECT_NE(ProgramFolder(), WorkingFolder());
}

TEST_F(FirstRunTest, AsksNameAndFolderThenShares) {
  ASSERT_TRUE(FirstRun());
  // A refused name, then an accepted one.
  answers = {"abc", "abc*defg", "Ann Smith"};
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  folderAnswer = shared;
  TFrmMain& f = Create();
  f.show();
  f.CompleteStartUp(false);
  // External by default: detection asked the (unreachable) echo service.
  EXPECT_EQ("<unknown>", f.edtAdr->text());

  ASSERT_EQ(3u, offers.size());
  EXPECT_EQ(PadRight(GetLogonName() + " - " + GetComputerNameText(), '0', 7), offers[0]);
  EXPECT_EQ("abc0000", offers[1]);  // a refused text comes back padded
  EXPECT_EQ("abc*defg", offers[2]);
  EXPECT_EQ("Ann Smith", UserName());
  EXPECT_EQ("Ann Smith",
            RegReadText(RegistryRoot::CurrentUser, "Software\\Orvel\\Mirelo", "UserName", false));
  // Two refusals, then the first-run information, then the folder dialog.
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(MessageKind::Error, messages[0].kind);
  EXPECT_EQ(
      "Your user name must contain at least 7 characters! \r\nAll characters are allowed, except "
      "the star (*) character.",
      messages[0].text);
  EXPECT_EQ(MessageKind::Info, messages[2].kind);
  EXPECT_EQ("Press [OK] to choose the folder you want to share...", messages[2].text);
  ASSERT_EQ(1u, folderAsks.size());
  EXPECT_EQ("Select folder to share", folderAsks[0].caption);
  EXPECT_EQ(0, folderAsks[0].options);
  EXPECT_EQ(ProgramFolder() + "Shared folder", folderAsks[0].folder);

  EXPECT_EQ(QString::fromStdString(shared), f.edtDirectory->text());
  EXPECT_EQ(f.tabShare, f.Page->currentWidget());
  EXPECT_FALSE(f.Page->isTabVisible(f.Page->indexOf(f.tabBeta)));
  EXPECT_EQ(QString::fromStdString("Working folder: " + work), f.lblWorkFolder->text());
  EXPECT_EQ("Your user name: Ann Smith", f.lblUserName->text());
  EXPECT_TRUE(f.lblProductName->text().startsWith("Mirelo File Share v"));
  EXPECT_TRUE(f.lblProductName->text().endsWith(" - FREEWARE"));
  EXPECT_FALSE(f.imgTabLogo->pixmap().isNull());
  // Sharing started at the end of start-up, and the settings were saved first.
  EXPECT_TRUE(f.Sharing());
  EXPECT_EQ("Stop", f.btnStart->text());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(SettingsFile())));
  EXPECT_TRUE(errors.empty());
}

TEST_F(FirstRunTest, CancelledFolderLeavesSharingStoppedAndAsksAgain) {
  StoreName("Stored Name");
  TFrmMain& f = Create();
  f.show();
  f.CompleteStartUp(false);
  EXPECT_TRUE(offers.empty());  // the stored name needs no prompt
  EXPECT_EQ("Stored Name", UserName());
  // The dialog was cancelled; the Share action then found no folder and asked again.
  ASSERT_EQ(2u, folderAsks.size());
  EXPECT_FALSE(f.Sharing());
  EXPECT_EQ("Please choose the folder you want to share", messages.back().text);
}

using StartUpTest = WindowFixture;

TEST_F(StartUpTest, ShareOffKeepsSharingStoppedAndBetaMarkerShowsTheTab) {
  WriteSettings();
  StoreName("Stored Name");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.show();
  f.CompleteStartUp(true);
  EXPECT_FALSE(f.Sharing());
  EXPECT_TRUE(folderAsks.empty());
  EXPECT_EQ(IsBetaTester(), f.Page->isTabVisible(f.Page->indexOf(f.tabBeta)));
  // Internal server type: the local address fills the address field.
  EXPECT_NE("000.000.000.000", f.edtAdr->text());
  EXPECT_EQ("http://" + f.edtAdr->text() + ":3724", f.edtWebAdr->text());
}

TEST_F(StartUpTest, LogKeepsEarlierRunsAndAddsASeparator) {
  {
    QFile log(QString::fromStdString(work + "Log.txt"));
    ASSERT_TRUE(log.open(QIODevice::WriteOnly));
    log.write("earlier line\r\n");
  }
  WriteSettings();
  TFrmMain& f = Create();
  const QStringList lines = f.Log->toPlainText().split('\n');
  ASSERT_EQ(4, lines.size());
  EXPECT_EQ("earlier line", lines[0]);
  EXPECT_EQ("", lines[1]);
  EXPECT_EQ("", lines[2]);
  EXPECT_FALSE(lines[3].isEmpty());
  f.AppendLog("during the run");
  f.FormDestroy();
  QFile saved(QString::fromStdString(work + "Log.txt"));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const QByteArray text = saved.readAll();
  EXPECT_TRUE(text.startsWith("earlier line\r\n\r\n\r\n"));
  EXPECT_TRUE(text.endsWith("during the run\r\n"));
}

TEST_F(StartUpTest, TheLogPaneIsWhatIsSavedWithinTheFileBound) {
  WriteSettings();
  TFrmMain& f = Create();
  // Typed by hand into the pane, then a report line.
  QTest::keyClicks(f.Log, "typed by hand");
  f.AppendLog("during the run");
  const QString shown = f.Log->toPlainText();
  f.FormDestroy();
  QFile saved(QString::fromStdString(work + "Log.txt"));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(saved.readAll());
  EXPECT_TRUE(text.contains("typed by hand")) << text.toStdString();
  EXPECT_EQ(shown.split('\n').join("\r\n") + "\r\n", text);

  // The pane keeps the file's number of lines, the newest.
  form.reset();
  WriteSettings();
  TFrmMain& g = Create();
  QStringList many;
  for (int i = 0; i < 100010; ++i) many << QString::number(i);
  g.Log->setPlainText(many.join('\n'));
  g.AppendLog("last");
  EXPECT_EQ(100000, g.Log->document()->blockCount());
  EXPECT_TRUE(g.Log->toPlainText().endsWith("100009\nlast"));
}

using SettingsTest = WindowFixture;

TEST_F(SettingsTest, NoFileGivesTheDefaults) {
  TFrmMain& f = Create();
  EXPECT_EQ(QPoint(10, 90), f.pos());
  EXPECT_EQ(QSize(720, 540), f.size());
  EXPECT_EQ(0, f.Page->currentIndex());
  EXPECT_EQ(3724, f.spnPort->value());
  EXPECT_EQ(12000, f.spnTimeOut->value());
  EXPECT_TRUE(f.radExtern->isChecked());
  EXPECT_FALSE(f.radIntern->isChecked());
  EXPECT_EQ(QString::fromStdString(ProgramFolder() + "Shared folder"), f.edtDirectory->text());
  EXPECT_FALSE(f.chkAccUploads->isChecked());  // ticked at design, off by default
  EXPECT_TRUE(f.chkAutoStart->isChecked());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(AutoStartEntryPath(
      ProgramFolder() +
      QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString()))));
  EXPECT_TRUE(f.chkUseSkins->isChecked());
  EXPECT_TRUE(f.radPagesClassic->isChecked());
  EXPECT_FALSE(f.radPagesGallery->isChecked());
  EXPECT_EQ(6, f.edtedtResamplerQ->value());
  EXPECT_EQ(128, f.spnWidth->value());
  EXPECT_EQ(96, f.spnHeight->value());
  EXPECT_EQ("000.000.000.000", f.edtAdr->text());  // no detection while loading
  EXPECT_EQ("Your shared folder is: " + f.edtDirectory->text(), f.pnlDirectory->Text());
}

TEST_F(SettingsTest, StoredValuesAreClampedAndApplied) {
  WriteSettings(
      "[Form]\r\nTab=3\r\nLeft=33\r\nTop=44\r\nWidth=800\r\nHeight=600\r\n"
      "[Internet]\r\nPort=70000\r\nspnTimeOut=50\r\n"
      "[Settings]\r\nchkAutoStart=0\r\nchkUseSkins=0\r\nedtedtResamplerQ=9\r\nspnWidth=8\r\n"
      "[Share]\r\nchkAccUploads=1\r\n");
  TFrmMain& f = Create();
  EXPECT_EQ(3, f.Page->currentIndex());
  EXPECT_EQ(QPoint(33, 44), f.pos());
  EXPECT_EQ(QSize(800, 600), f.size());
  EXPECT_EQ(65535, f.spnPort->value());
  EXPECT_EQ("http://000.000.000.000:65535", f.edtWebAdr->text());  // port recomposed the address
  EXPECT_EQ(100, f.spnTimeOut->value());
  EXPECT_TRUE(f.radIntern->isChecked());
  EXPECT_FALSE(f.radExtern->isChecked());
  EXPECT_EQ("000.000.000.000", f.edtAdr->text());
  EXPECT_TRUE(f.chkAccUploads->isChecked());
  EXPECT_FALSE(f.chkAutoStart->isChecked());
  EXPECT_FALSE(f.chkUseSkins->isChecked());
  EXPECT_FALSE(f.SkinActive());
  EXPECT_EQ(6, f.edtedtResamplerQ->value());
  EXPECT_EQ(16, f.spnWidth->value());
  EXPECT_TRUE(f.imgTabLogo->pixmap().isNull());  // the tab picture waits for start-up
}

TEST_F(SettingsTest, SavedOnCloseAndLoadedBack) {
  {
    TFrmMain& f = Create();
    f.spnPort->setValue(4000);
    f.spnTimeOut->setValue(3000);
    f.radExtern->setChecked(true);
    f.chkAccUploads->setChecked(true);
    f.chkUseSkins->setChecked(false);
    f.radPagesGallery->setChecked(true);
    f.spnHeight->setValue(200);
    f.edtDirectory->setText("/typed/folder");
    f.edtAdr->setText("192.0.2.7");
    f.Page->setCurrentIndex(4);
    f.move(50, 60);
    f.show();
    f.btnQuit->click();
    EXPECT_FALSE(f.isVisible());
    f.FormDestroy();
  }
  const IniFile ini(SettingsFile());
  EXPECT_EQ("192.0.2.7", ini.ReadString("Internet", "Adr", ""));
  EXPECT_EQ(4000, ini.ReadInteger("Internet", "Port", 0));
  EXPECT_EQ("/typed/folder", ini.ReadString("Share", "Folder", ""));
  EXPECT_EQ("gallery", ini.ReadString("Web", "PageStyle", ""));
  const std::vector<std::string> sections = ini.Sections();
  ASSERT_GE(sections.size(), 4u);
  EXPECT_EQ("Form", sections[0]);
  EXPECT_EQ("Internet", sections[1]);
  EXPECT_EQ("Share", sections[2]);
  EXPECT_EQ("Settings", sections[3]);

  form.reset();
  TFrmMain& g = Create();
  EXPECT_EQ(4000, g.spnPort->value());
  EXPECT_EQ(3000, g.spnTimeOut->value());
  EXPECT_TRUE(g.radExtern->isChecked());
  EXPECT_TRUE(g.chkAccUploads->isChecked());
  EXPECT_FALSE(g.chkUseSkins->isChecked());
  EXPECT_TRUE(g.radPagesGallery->isChecked());
  EXPECT_FALSE(g.radPagesClassic->isChecked());
  EXPECT_EQ(200, g.spnHeight->value());
  EXPECT_EQ("/typed/folder", g.edtDirectory->text());
  EXPECT_EQ("000.000.000.000", g.edtAdr->text());  // the address is not read back
  EXPECT_EQ(4, g.Page->currentIndex());
  EXPECT_EQ(QPoint(50, 60), g.pos());
}

TEST_F(SettingsTest, AutostartOffLeavesAnExistingEntryAlone) {
  const std::string program =
      ProgramFolder() + QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
  SetAutoStartFor(program, true);
  const QString entry = QString::fromStdString(AutoStartEntryPath(program));
  ASSERT_TRUE(QFile::exists(entry));
  WriteSettings("[Settings]\r\nchkAutoStart=0\r\n");
  TFrmMain& f = Create();
  EXPECT_FALSE(f.chkAutoStart->isChecked());
  EXPECT_TRUE(QFile::exists(entry));
  f.chkAutoStart->click();  // ticking registers, unticking removes
  EXPECT_TRUE(QFile::exists(entry));
  f.chkAutoStart->click();
  EXPECT_FALSE(QFile::exists(entry));
}

using SharingTest = WindowFixture;

TEST_F(SharingTest, ActionAndFolderFieldDriveTheState) {
  WriteSettings();
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.show();
  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  EXPECT_FALSE(f.Sharing());
  EXPECT_FALSE(f.actTest->isEnabled());
  EXPECT_EQ(QColor(Qt::yellow), f.Scanner->Color());
  EXPECT_FALSE(f.Scanner->Active());
  // F5 while stopped does nothing.
  QTest::keyClick(&f, Qt::Key_F5);
  EXPECT_TRUE(opened.empty());

  QTest::keyClick(&f, Qt::Key_F9);
  EXPECT_TRUE(f.Sharing());
  EXPECT_EQ("Stop", f.btnStart->text());
  EXPECT_EQ("Stop", f.actShare->text());
  EXPECT_TRUE(f.actTest->isEnabled());
  EXPECT_EQ(QColor(Qt::red), f.Scanner->Color());
  EXPECT_TRUE(f.Scanner->Active());
  QTest::keyClick(&f, Qt::Key_F5);
  ASSERT_EQ(1u, opened.size());
  EXPECT_EQ(f.edtWebAdr->text().toStdString(), opened[0]);

  f.btnStart->click();
  EXPECT_FALSE(f.Sharing());
  EXPECT_EQ("Share", f.btnStart->text());

  f.btnStart->click();
  ASSERT_TRUE(f.Sharing());
  // The first keystroke in the folder field stops sharing; the banner follows.
  f.Page->setCurrentWidget(f.tabShare);
  f.edtDirectory->setFocus();
  f.edtDirectory->end(false);
  QTest::keyClick(f.edtDirectory, Qt::Key_X);
  EXPECT_FALSE(f.Sharing());
  EXPECT_EQ(QString::fromStdString("Your shared folder is: " + shared + "x"),
            f.pnlDirectory->Text());
}

TEST_F(SharingTest, MissingFolderAsksForOne) {
  WriteSettings();
  TFrmMain& f = Create();
  f.edtDirectory->setText(QString::fromStdString(home + "/missing"));
  f.Page->setCurrentIndex(3);
  f.actShare->trigger();
  EXPECT_FALSE(f.Sharing());
  EXPECT_EQ(f.tabShare, f.Page->currentWidget());
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ(MessageKind::Info, messages[0].kind);
  EXPECT_EQ("Please choose the folder you want to share", messages[0].text);
  ASSERT_EQ(1u, folderAsks.size());
}

TEST_F(SharingTest, ReportsFillTheTableAndTheLog) {
  WriteSettings();
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.ReportStatus("10.0.0.1", "Connecting...", "");  // stopped: ignored
  EXPECT_EQ(0, f.lstConnect->rowCount());
  f.actShare->trigger();
  ASSERT_TRUE(f.Sharing());
  const int before = f.Log->blockCount();

  // Reports come from worker threads and wait until the window has drawn them.
  auto report = f.StatusCallback();
  auto fromWorker = [&](const char* ip, const char* op, const char* file) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      report(ip, op, file);
      done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
  };
  fromWorker("10.0.0.1", "Connecting...", "");
  fromWorker("10.0.0.2", "Downloading...", "a.jpg");
  fromWorker("10.0.0.1", "Connecting...", "");  // a second connection from one address
  ASSERT_EQ(2, f.lstConnect->rowCount());
  EXPECT_EQ("10.0.0.1", f.lstConnect->item(0, 0)->text());
  EXPECT_EQ("Downloading...", f.lstConnect->item(1, 1)->text());
  EXPECT_EQ("a.jpg", f.lstConnect->item(1, 2)->text());
  QStringList log = f.Log->toPlainText().split('\n').mid(before);
  EXPECT_EQ(QStringList({"IP: 10.0.0.1\t Op: Connecting...", "IP: 10.0.0.1\t Op: Connecting...",
                         "IP: 10.0.0.2\t Op: Downloading...\t File: a.jpg",
                         "IP: 10.0.0.1\t Op: Connecting...",
                         "IP: 10.0.0.2\t Op: Downloading...\t File: a.jpg"}),
            log);
  // The first "-1" from an address removes its row.
  fromWorker("10.0.0.1", "-1", "");
  ASSERT_EQ(1, f.lstConnect->rowCount());
  EXPECT_EQ("10.0.0.2", f.lstConnect->item(0, 0)->text());
  fromWorker("10.0.0.2", "-1", "");
  EXPECT_EQ(0, f.lstConnect->rowCount());
  EXPECT_EQ(6, f.Log->toPlainText().split('\n').mid(before).size());  // the last report adds none
  // After the window is gone a report returns at once.
  form.reset();
  std::thread late([&] { report("10.0.0.3", "Connecting...", ""); });
  late.join();
}

TEST_F(SharingTest, PortInUseSaysWhatTheErrorMeans) {
  // A listener on loopback holds a port.
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, ::listen(holder, 1));
  socklen_t size = sizeof addr;
  ASSERT_EQ(0, ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &size));
  const int port = ntohs(addr.sin_port);
  WriteSettings("[Internet]\r\nPort=" + std::to_string(port) + "\r\n");
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.SetBindAddress("127.0.0.1");
  f.spnPort->setValue(port);
  messages.clear();
  f.actShare->trigger();
  ::close(holder);
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ(MessageKind::Error, messages[0].kind);
  EXPECT_EQ("Cannot listen on port " + std::to_string(port) +
                ": the port is already in use (socket error 10048)",
            messages[0].text);
  f.FormDestroy();
}

TEST_F(SharingTest, CloseConfirmationKeepsSharing) {
  WriteSettings();
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  TFrmMain& f = Create();
  f.show();
  f.actShare->trigger();
  f.chkAskStop->setChecked(true);
  ClickInModal<QMessageBox>("btnNo");
  f.btnQuit->click();
  EXPECT_TRUE(f.isVisible());
  EXPECT_TRUE(f.Sharing());
  // A logout closes without asking and runs the closing sequence.
  f.CloseWithoutAsking();
  EXPECT_FALSE(f.isVisible());
  f.FormDestroy();
  EXPECT_FALSE(f.Sharing());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(work + "Log.txt")));
}

TEST_F(SharingTest, ShortcutButtonMakesBothShortcuts) {
  WriteSettings();
  TFrmMain& f = Create();
  const QString desktop = QString::fromStdString(GetSpecialFolder(SpecialFolder::Desktop));
  ASSERT_TRUE(QDir().mkpath(desktop));
  {
    QFile old(desktop + "Mirelo File Share.desktop");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old");
  }
  f.btnShortcut->click();
  for (const QString& path :
       {desktop + "Mirelo File Share.desktop",
        QString::fromStdString(home + "/data/applications/Mirelo File Share.desktop")}) {
    QFile entry(path);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray text = entry.readAll();
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n"));
    EXPECT_FALSE(text.contains('\r'));  // desktop entries end lines with LF only
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    EXPECT_TRUE(text.contains(("\nExec=" + DesktopExecQuoted(program) + "\n").c_str()));
  }
}

}  // namespace

namespace {

using CacheButtonsTest = WindowFixture;

TEST_F(CacheButtonsTest, FieldsAndButtonsReachTheCache) {
  WriteSettings("[Settings]\r\nspnWidth=200\r\nedtedtResamplerQ=2\r\n");
  TFrmMain& f = Create();
  TCacheObj* cache = f.Cache();
  ASSERT_NE(nullptr, cache);
  EXPECT_EQ(200, cache->ThumbWidth());
  EXPECT_EQ(96, cache->ThumbHeight());
  EXPECT_EQ(2, cache->FilterIndex());
  f.spnHeight->setValue(150);
  EXPECT_EQ(150, cache->ThumbHeight());
  f.edtedtResamplerQ->setValue(5);
  EXPECT_EQ(5, cache->FilterIndex());

  // A real thumbnail, then Clear removes it and Maintain finds nothing left.
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(shared)));
  const std::string source = shared + "photo.jpg";
  QImage photo(64, 48, QImage::Format_RGB32);
  photo.fill(Qt::darkGreen);
  ASSERT_TRUE(photo.save(QString::fromStdString(source), "JPG"));
  const std::string thumb = cache->GetThumb(source);
  ASSERT_FALSE(thumb.empty());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(thumb)));
  f.btnSaveDB->click();
  EXPECT_TRUE(QFile::exists(QString::fromStdString(cache->CacheFolder + "CacheDBInput")));
  f.btnClearCache->click();
  EXPECT_FALSE(QFile::exists(QString::fromStdString(thumb)));
  EXPECT_TRUE(cache->Inputs().empty());
  f.btnMantainCache->click();
  EXPECT_TRUE(errors.empty());
  f.FormDestroy();
  EXPECT_EQ(nullptr, f.Cache());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(work + "MireloCache/CacheSettings")));
}

}  // namespace
