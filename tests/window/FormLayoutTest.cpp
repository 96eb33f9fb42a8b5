// The main window's controls, texts, design values and the handlers that need
// only the controls.
#include "shell/window/FormMain.h"

#include "base/OrvelTPU.h"
#include "controls/Decor.h"
#include "shell/StatusBoard.h"
#include "shell/window/ErrorDisplay.h"

#include "QtSupport.h"

#include <gtest/gtest.h>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QUrl>

namespace {

QString TextOf(QWidget* w) {
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* m = qobject_cast<QPlainTextEdit*>(w)) return m->toPlainText();
  return QString();
}

TEST(FormLayout, TabsInOrder) {
  TestApp();
  TFrmMain form;
  const char* const names[] = {"tabShare", "tabConnections", "tabISettings", "tabSettings",
                               "tabLog",   "tabInfo",        "tabBeta"};
  const char* const captions[] = {
      "Shared files", "Connections", "Internet settings", "Settings", "Logs", "Info", "Beta"};
  ASSERT_EQ(7, form.Page->count());
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(names[i], form.Page->widget(i)->objectName());
    EXPECT_EQ(captions[i], form.Page->tabText(i));
  }
  EXPECT_EQ("Novrix Mirelo Share", form.windowTitle());
}

TEST(FormLayout, ControlsCarryTheirTexts) {
  TestApp();
  TFrmMain form;
  struct Case {
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      {"btnCopyAddress", "Copy address"},
      {"btnStart", "Share"},
      {"btnQuit", "Close"},
      {"grpShare", "Share:"},
      {"lblShareFolder", "Shared folder:"},
      {"edtDirectory", ""},
      {"btnBrowse", "Browse"},
      {"chkAccUploads", "Accept uploads"},
      {"chkPrivate", "Private sharing"},
      {"btnNewKey", "New key"},
      {"grpInviteFrnd", "Invite a friend:"},
      {"lblFriendEmail", "Your friend's email"},
      {"lblSubj", "Email subject"},
      {"edtSubject", "See my pictures."},
      {"btnSendEmail", "Send email"},
      {"lblConnections", "Current connections:"},
      {"lblFriends", "Online users:"},
      {"btnSearch", "Search for users"},
      {"grpYourIp", "Your IP address:"},
      {"lblIpAdres", "IP Address:"},
      {"edtAdr", "000.000.000.000"},
      {"chkAutoIP", "Autodetect IP"},
      {"lblPort", "Port:"},
      {"btnTest", "Test"},
      {"btnHelp", "Help"},
      {"grpServerType", "You want to share the files:"},
      {"radIntern", "Internal (only in your network)"},
      {"radExtern", "External (Internet-wide)"},
      {"grpCopyAddress", "Your shared files are visible to this address:"},
      {"lblMessage",
       "To see the files you share, your friends must type the following address in their web "
       "browser:"},
      {"btnCopyIp", "Copy address"},
      {"grpAdvanced", "Advanced settings"},
      {"lblTimeOut", "Connection time out"},
      {"lblPingMax", "Stop searching after you find                  sharing computers online"},
      {"grpMisc", "Misc"},
      {"chkAskStop", "Ask before closing application"},
      {"chkUseSkins", "Use skins"},
      {"chkAutoStart", "Start at Windows start up"},
      {"lblGmt", "Your Time Zone:"},
      {"edtGmtDev", "GMT +1"},
      {"btnShortcut", "Create desktop shortcut"},
      {"grpCache", "Cache/thumbnail system"},
      {"lblWidth", "Thumbnail width"},
      {"lblHeight", "Thumbnail height"},
      {"lblResamplerQ", "Resampler quality"},
      {"btnMantainCache", "Mantain Cache"},
      {"btnClearCache", "Clear Cache"},
      {"btnSaveDB", "Save cache DB now"},
      {"logDown", "Dowloaded files:"},
      {"logUpload", "Uploaded files:"},
      {"Log", "Log"},
      {"lblProductName", "Product Name"},
      {"lblUserName", "Your user name: "},
      {"lblWorkFolder", "Working folder: "},
      {"lblSupport", "Online support"},
      {"lblRepBug", "Report a bug"},
      {"lblReqFeature", "Request a feature"},
      {"lblDirectContact", "Contact the author (only for extreme situations)"},
      {"btnSendIP", "Send IP"},
      {"btnCrashTest", "Crash test"},
      {"lblBetaNote",
       "To definitivelly hide this tab, please remove the 'BetaTester' file located in Mirelo's "
       "folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* w = form.findChild<QWidget*>(c.name);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(QString::fromUtf8(c.text), TextOf(w));
  }
  EXPECT_TRUE(form.chkAccUploads->isChecked());
  // Private sharing is off by default; "New key" waits for it.
  EXPECT_TRUE(form.chkPrivate->isEnabled());
  EXPECT_FALSE(form.chkPrivate->isChecked());
  EXPECT_FALSE(form.btnNewKey->isEnabled());
  EXPECT_TRUE(form.chkAutoIP->isChecked());
  EXPECT_FALSE(form.chkAutoIP->isEnabled());
  EXPECT_TRUE(form.radIntern->isChecked());
  EXPECT_FALSE(form.chkAskStop->isChecked());
  EXPECT_TRUE(form.chkUseSkins->isChecked());
  EXPECT_FALSE(form.chkAutoStart->isChecked());
  EXPECT_TRUE(form.edtWebAdr->isReadOnly());
  EXPECT_TRUE(form.btnCopyAddress->isDefault());
  EXPECT_EQ(QKeySequence(Qt::Key_F9), form.actShare->shortcut());
  EXPECT_EQ(QKeySequence(Qt::Key_F5), form.actTest->shortcut());
  EXPECT_FALSE(form.actTest->isEnabled());
}

// The width a caption's text needs in the widget's own font ("&" marks a
// mnemonic and takes no room).
int TextWidth(const QWidget* w, QString text) {
  text.replace("&&", "\x01").remove('&').replace("\x01", "&");
  int widest = 0;
  for (const QString& line : text.split('\n'))
    widest = std::max(widest, w->fontMetrics().horizontalAdvance(line));
  return widest;
}

TEST(FormLayout, EveryHeaderAndLabelCaptionFitsItsSpace) {
  TestApp();
  for (bool skins : {false, true}) {
    SCOPED_TRACE(skins ? "skins" : "plain");
    TFrmMain form;
    form.chkUseSkins->setChecked(skins);
    form.chkUseSkinsClick();
    form.show();
    for (int tab = 0; tab < form.Page->count(); ++tab) {
      form.Page->setCurrentIndex(tab);
      QApplication::processEvents();
      for (QTableWidget* table : form.Page->widget(tab)->findChildren<QTableWidget*>()) {
        QHeaderView* header = table->horizontalHeader();
        const int margin = header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
        for (int c = 0; c < table->columnCount(); ++c) {
          const QString text = table->horizontalHeaderItem(c)->text();
          EXPECT_GE(header->sectionSize(c), TextWidth(header, text) + 2 * margin)
              << table->objectName().toStdString() << ": " << text.toStdString();
        }
      }
      for (QLabel* label : form.Page->widget(tab)->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->wordWrap() || label->text().isEmpty() ||
            label->textFormat() == Qt::RichText || Qt::mightBeRichText(label->text()))
          continue;
        const QMargins m = label->contentsMargins();
        EXPECT_GE(label->width() - m.left() - m.right(), TextWidth(label, label->text()))
            << label->objectName().toStdString() << ": " << label->text().toStdString();
      }
      // Tick boxes and choices: their caption beside the mark.
      for (QAbstractButton* box : form.Page->widget(tab)->findChildren<QAbstractButton*>()) {
        if (!box->isVisible() ||
            (!qobject_cast<QCheckBox*>(box) && !qobject_cast<QRadioButton*>(box)))
          continue;
        EXPECT_GE(box->width(), box->sizeHint().width())
            << box->objectName().toStdString() << ": " << box->text().toStdString();
      }
    }
  }
}

TEST(FormLayout, NumberFieldsHaveRangeStepAndValue) {
  TestApp();
  TFrmMain form;
  struct Case {
    const char* name;
    int min, max, step, value;
    bool enabled;
  };
  const Case cases[] = {
      {"spnPort", 0, 65535, 1, 3724, true},  {"spnTimeOut", 100, 120000, 100, 12000, true},
      {"spnMaxPing", 0, 1000, 5, 50, false}, {"spnWidth", 16, 1024, 1, 128, true},
      {"spnHeight", 16, 1024, 1, 96, true},  {"edtedtResamplerQ", 0, 6, 1, 6, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* s = form.findChild<QSpinBox*>(c.name);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(c.min, s->minimum());
    EXPECT_EQ(c.max, s->maximum());
    EXPECT_EQ(c.step, s->singleStep());
    EXPECT_EQ(c.value, s->value());
    EXPECT_EQ(c.enabled, s->isEnabled());
    s->setValue(c.max + 1);  // clamps
    EXPECT_EQ(c.max, s->value());
    s->setValue(c.min - 1);
    EXPECT_EQ(c.min, s->value());
  }
}

TEST(FormLayout, HintsAreExact) {
  TestApp();
  TFrmMain form;
  struct Case {
    const char* name;
    const char* hint;
  };
  const Case cases[] = {
      {"edtDirectory",
       "Select the folder you want to share.\r\nAll files in this folder will be shared."},
      {"lblConnections", "People connected to you (downloading from you)"},
      {"edtAdr", "You need to restart the server after you change these settings."},
      {"radExtern", "For Internet-wide sharing"},
      {"spnTimeOut",
       "Server time out (in milisec).\r\nYou need to restart the server (press the \"Share\" "
       "\r\nbutton twice) in order to apply this setting.\r\n\r\nWarning: \r\nOnly advanced "
       "users should alter this value.\r\nChange it only if you know what you are doing!"},
      {"edtGmtDev", "Your GMT deviation.\r\nFormat:  \r\n     GMT +x\r\n     GMT -x"},
      {"spnWidth", "Size of the thumbnails"},
      {"edtedtResamplerQ", "The quality of the thumbnails."},
      {"logDown", "Dowloaded files"},
      {"logUpload", "Uploaded files"},
      {"btnSendIP", "Force the application to resend the IP to the network"},
      {"btnCrashTest", "This will crash the program"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* w = form.findChild<QWidget*>(c.name);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(QString::fromUtf8(c.hint), w->toolTip());
  }
}

TEST(FormLayout, TablesHaveTheirColumns) {
  TestApp();
  TFrmMain form;
  const QStringList connect{"IP", "Operation", "File"};
  const QStringList users{"UserName",     "User IP",         "Present online at",
                          "Shared files", "Share size (MB)", "Share ration"};
  for (int i = 0; i < connect.size(); ++i) {
    EXPECT_EQ(connect[i], form.lstConnect->horizontalHeaderItem(i)->text());
  }
  for (int i = 0; i < users.size(); ++i) {
    EXPECT_EQ(users[i], form.lstUsers->horizontalHeaderItem(i)->text());
  }
  EXPECT_EQ(100, form.lstConnect->columnWidth(0));
  EXPECT_EQ(150, form.lstConnect->columnWidth(1));
  // The design widths, widened where the caption needs more in the present font.
  EXPECT_GE(form.lstUsers->columnWidth(3), 77);
  EXPECT_GE(form.lstUsers->columnWidth(5), 66);
  EXPECT_EQ(120, form.lstUsers->columnWidth(0));
}

TEST(FormController, AddressAndInvitationFollowAddressAndPort) {
  TestApp();
  TFrmMain form;
  form.edtAdr->setText("<unknown>");
  form.spnPort->setValue(8080);
  EXPECT_EQ("http://<unknown>:8080", form.edtWebAdr->text());
  EXPECT_EQ(
      "Hi.  \nI'm sharing my pictures/wallpapers. Enter this addrees in your web browser to see "
      "them:  \nhttp://<unknown>:8080\nSee you soon \nYour name ",
      form.mmoBody->toPlainText());
  form.btnCopyAddress->click();
  EXPECT_EQ("http://<unknown>:8080", QApplication::clipboard()->text());
}

TEST(FormController, EnterRunsCopyAddressUnlessAControlTakesIt) {
  TestApp();
  TFrmMain form;
  form.edtAdr->setText("192.0.2.7");
  form.spnPort->setValue(8080);
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    QApplication::clipboard()->setText("before");
    QTest::keyClick(form.spnPort, key);
    EXPECT_EQ("http://192.0.2.7:8080", QApplication::clipboard()->text());
  }
  // In the log pane Enter makes a new line and copies nothing.
  QApplication::clipboard()->setText("before");
  const int lines = form.Log->document()->blockCount();
  QTest::keyClick(form.Log, Qt::Key_Return);
  EXPECT_EQ(lines + 1, form.Log->document()->blockCount());
  EXPECT_EQ("before", QApplication::clipboard()->text());
}

TEST(FormController, FolderBannerFollowsTheField) {
  TestApp();
  TFrmMain form;
  form.edtDirectory->setText("/srv/pics/");
  EXPECT_EQ("Your shared folder is: /srv/pics/", form.pnlDirectory->Text());
  form.edtDirectory->clear();
  EXPECT_EQ("Please, select the folder you want to share.", form.pnlDirectory->Text());
}

TEST(FormController, InvitationMailKeepsEveryCharacter) {
  const QString mail =
      TFrmMain::MailtoAddress("ann@example.com", "Pics & more? #1 100%", "Line one\r\na=b&c=d");
  EXPECT_EQ(
      "mailto:ann@example.com?subject=Pics%20%26%20more%3F%20%231%20100%25"
      "&body=Line%20one%0D%0Aa%3Db%26c%3Dd",
      mail);
  // Decoding the query gives back exactly what was typed.
  const QUrl url(mail);
  const QString query = url.query(QUrl::FullyEncoded);
  const QStringList parts = query.split('&');
  ASSERT_EQ(2, parts.size());
  EXPECT_EQ("Pics & more? #1 100%", QUrl::fromPercentEncoding(parts[0].mid(8).toUtf8()));
  EXPECT_EQ("Line one\r\na=b&c=d", QUrl::fromPercentEncoding(parts[1].mid(5).toUtf8()));
}

TEST(FormController, SendEmailOpensTheEncodedAddress) {
  TestApp();
  TFrmMain form;
  QStringList opened;
  SetDocumentOpener([&](const std::string& t) {
    opened << QString::fromStdString(t);
    return 0;
  });
  form.edtAdr->setText("10.0.0.2");
  form.edtEmail->setText("bob@example.com");
  form.edtSubject->setText("A & B");
  form.btnSendEmail->click();
  SetDocumentOpener(nullptr);
  ASSERT_EQ(1, opened.size());
  const QString body = form.InvitationBody() + "\r\n\r\n-------\r\n" + kMakerWebAddress;
  EXPECT_EQ(TFrmMain::MailtoAddress("bob@example.com", "A & B", body), opened[0]);
  EXPECT_TRUE(opened[0].startsWith("mailto:bob@example.com?subject=A%20%26%20B&body=Hi."));
  EXPECT_TRUE(opened[0].contains("%0D%0A"));
}

TEST(FormController, TestButtonOpensTheAddressInAnyState) {
  TestApp();
  TFrmMain form;
  QStringList opened;
  SetDocumentOpener([&](const std::string& t) {
    opened << QString::fromStdString(t);
    return 0;
  });
  form.edtAdr->setText("10.0.0.2");
  form.btnTest->click();
  form.actTest->trigger();  // disabled while stopped: F5 does nothing
  form.btnHelp->click();
  SetDocumentOpener(nullptr);
  EXPECT_EQ(QStringList(
                {"http://10.0.0.2:3724", "http://www.novrix.example/mirelo-share/help/index.html"}),
            opened);
}

TEST(FormController, TabPictureFollowsTheTab) {
  TestApp();
  TFrmMain form;
  form.Page->setCurrentIndex(2);
  EXPECT_FALSE(form.imgTabLogo->pixmap().isNull());
  const QImage net = form.imgTabLogo->pixmap().toImage();
  EXPECT_EQ(QSize(64, 64), net.size());
  EXPECT_EQ(QImage(TFrmMain::SystemFolderPath() + "64net_set.png").convertToFormat(net.format()),
            net);
  form.Page->setCurrentIndex(6);  // Beta: the picture stays
  EXPECT_EQ(net, form.imgTabLogo->pixmap().toImage());
}

TEST(FormController, CloseAsksWhenTicked) {
  TestApp();
  TFrmMain form;
  form.show();
  form.chkAskStop->setChecked(true);
  QString asked;
  OnModal([&asked](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    asked = box->text();
    box->findChild<QAbstractButton*>("btnNo")->click();
    return true;
  });
  form.btnQuit->click();
  EXPECT_EQ("Do you want to stop sharing files and exit?", asked);
  EXPECT_TRUE(form.isVisible());
  ClickInModal<QMessageBox>("btnYes");
  form.btnQuit->click();
  EXPECT_FALSE(form.isVisible());
  // Without the tick, and always for a logout, the window closes at once.
  form.show();
  form.CloseWithoutAsking();
  EXPECT_FALSE(form.isVisible());
}

TEST(FormController, EscapedErrorIsShownAndTheWindowGoesOn) {
  TestApp();
  TFrmMain form;
  QStringList shown;
  SetEscapedErrorHook([&](const QString& t) { shown << t; });
  form.btnCrashTest->click();
  form.btnCrashTest->click();
  SetEscapedErrorHook(nullptr);
  EXPECT_EQ(2, shown.size());
  EXPECT_TRUE(shown[0].contains("Crash test"));
}

TEST(FormController, SkinsSwitchTheStyleSheet) {
  TestApp();
  TFrmMain form;
  EXPECT_TRUE(form.SkinActive());
  EXPECT_FALSE(form.styleSheet().isEmpty());
  form.chkUseSkins->click();
  EXPECT_FALSE(form.SkinActive());
  EXPECT_TRUE(form.styleSheet().isEmpty());
}

}  // namespace

namespace {

TEST(FormController, TrayMenuShowsAndCloses) {
  TestApp();
  TFrmMain form;
  EXPECT_EQ("Mirelo - Double click to exit.", form.TrayIcon->toolTip());
  ASSERT_EQ(2, form.popSysTray->actions().size());
  EXPECT_EQ("Show", form.mnuShowApp->text());
  EXPECT_EQ("Close", form.mnuClose->text());
  form.show();
  form.setWindowState(Qt::WindowMinimized);
  QCoreApplication::processEvents();
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    // No tray on this desktop: minimising just minimises.
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.TrayIcon->isVisible());
  }
  form.hide();
  form.mnuShowApp->trigger();
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
  EXPECT_FALSE(form.TrayIcon->isVisible());
  bool closed = false;
  QObject::connect(&form, &TFrmMain::Closed, [&closed] { closed = true; });
  form.mnuClose->trigger();
  EXPECT_TRUE(closed);
  EXPECT_FALSE(form.isVisible());
}

}  // namespace
