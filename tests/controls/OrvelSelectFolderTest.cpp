// The folder chooser, answered through its real buttons and the confirmation box.
#include "controls/OrvelSelectFolder.h"

#include "QtSupport.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

class SelectFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    ASSERT_TRUE(tmp.isValid());
    root = tmp.path();
    ASSERT_TRUE(QDir().mkpath(root + "/Pictures/Summer"));
    QFile f(root + "/Pictures/a.jpg");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  // Answers the next dialog: types `text` (when not null) and presses `button`.
  void AnswerDialog(const QString& text, const char* button) {
    OnModal([text, button](QWidget* w) {
      auto* dlg = qobject_cast<TSelectDirDlg*>(w);
      if (!dlg) return false;
      if (!text.isNull()) dlg->edtDirectory->setText(text);
      dlg->findChild<QPushButton*>(button)->click();
      return true;
    });
  }
  QTemporaryDir tmp;
  QString root;
};

TEST_F(SelectFolderTest, StartsInTheGivenFolderAndListsIt) {
  TSelectDirDlg dlg;
  dlg.SetDirectory(root + "/Pictures");
  EXPECT_EQ(root + "/Pictures", dlg.CurrentFolder());
  EXPECT_EQ(root + "/Pictures", dlg.lblDir->text());
  EXPECT_EQ(root + "/Pictures/", dlg.edtDirectory->text());
  ASSERT_EQ(1, dlg.FileList->count());
  EXPECT_EQ("a.jpg", dlg.FileList->item(0)->text());
  EXPECT_EQ(root + "/Pictures", dlg.DirList->currentItem()->data(Qt::UserRole).toString());
  EXPECT_FALSE(dlg.btnNetwork->isVisibleTo(&dlg));
  // Entering a sub-folder from the list.
  QList<QListWidgetItem*> summer = dlg.DirList->findItems("Summer", Qt::MatchContains);
  ASSERT_EQ(1, summer.size());
  emit dlg.DirList->itemActivated(summer[0]);
  EXPECT_EQ(root + "/Pictures/Summer", dlg.CurrentFolder());
}

TEST_F(SelectFolderTest, OkTakesTheFolderASingleClickHighlighted) {
  for (int allowCreate : {int(sdAllowCreate), 0}) {
    SCOPED_TRACE(allowCreate);
    QString folder = root + "/Pictures/";
    OnModal([](QWidget* w) {
      auto* dlg = qobject_cast<TSelectDirDlg*>(w);
      if (!dlg) return false;
      QListWidgetItem* summer = dlg->DirList->findItems("Summer", Qt::MatchContains).value(0);
      if (!summer) return false;
      // One click: highlighted, not entered.
      QTest::mouseClick(dlg->DirList->viewport(), Qt::LeftButton, {},
                        dlg->DirList->visualItemRect(summer).center());
      EXPECT_EQ(summer, dlg->DirList->currentItem());
      EXPECT_TRUE(dlg->CurrentFolder().endsWith("/Pictures"));
      // The path line shows what OK will choose.
      EXPECT_TRUE(dlg->edtDirectory->text().endsWith("/Pictures/Summer/"));
      EXPECT_TRUE(dlg->lblDir->text().endsWith("/Pictures/Summer"));
      dlg->OKButton->click();
      return true;
    });
    ASSERT_TRUE(SelectFolder("Choose", folder, allowCreate | sdPrompt));
    EXPECT_EQ(root + "/Pictures/Summer/", folder);
  }
}

TEST_F(SelectFolderTest, MissingStartFolderOpensInTheCurrentFolder) {
  TSelectDirDlg dlg;
  dlg.SetDirectory(root + "/nothing here");
  EXPECT_EQ(QDir::currentPath(), dlg.CurrentFolder());
}

TEST_F(SelectFolderTest, ChosenListFolderComesBackWithSlash) {
  QString folder = root + "/Pictures";
  AnswerDialog(QString(), "OKButton");
  EXPECT_TRUE(SelectFolder("Select folder to share", folder, sdPrompt));
  EXPECT_EQ(root + "/Pictures/", folder);
}

TEST_F(SelectFolderTest, CancelLeavesTheFolderAlone) {
  QString folder = root + "/Pictures";
  AnswerDialog("/elsewhere", "CancelButton");
  EXPECT_FALSE(SelectFolder("Select folder to share", folder, 0));
  EXPECT_EQ(root + "/Pictures", folder);
  EXPECT_FALSE(QDir("/elsewhere").exists());
}

TEST_F(SelectFolderTest, TypedMissingFolderAsksAndNoKeepsTheDialogOpen) {
  TSelectDirDlg dlg;
  dlg.SetAllowCreate(true);
  dlg.SetPrompt(true);
  dlg.show();
  const QString missing = root + "/new/deeper";
  dlg.edtDirectory->setText(missing);
  QString asked;
  OnModal([&asked](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    asked = box->windowTitle() + "|" + box->text();
    box->findChild<QAbstractButton*>("btnNo")->click();
    return true;
  });
  dlg.OKButton->click();
  EXPECT_EQ("Confirm|The specified directory does not exist. Create it?", asked);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(0, dlg.result());
  EXPECT_FALSE(QDir(missing).exists());
}

TEST_F(SelectFolderTest, TypedMissingFolderIsCreatedOnYes) {
  QString folder = root + "/Pictures";
  const QString missing = root + "/new/deeper";
  AnswerDialog(missing, "OKButton");
  ClickInModal<QMessageBox>("btnYes");
  EXPECT_TRUE(SelectFolder("Select folder to share", folder, 0));
  EXPECT_EQ(missing + "/", folder);
  EXPECT_TRUE(QDir(missing).exists());
}

TEST_F(SelectFolderTest, TrailingBlankCountsAsMissing) {
  TSelectDirDlg dlg;
  dlg.SetAllowCreate(true);
  dlg.SetPrompt(true);
  dlg.show();
  dlg.edtDirectory->setText(root + "/Pictures ");
  bool asked = false;
  OnModal([&asked](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    asked = true;
    box->findChild<QAbstractButton*>("btnNo")->click();
    return true;
  });
  dlg.OKButton->click();
  EXPECT_TRUE(asked);
  // An existing folder is accepted without a question.
  dlg.edtDirectory->setText(root + "/Pictures");
  dlg.OKButton->click();
  EXPECT_EQ(QDialog::Accepted, dlg.result());
}

TEST_F(SelectFolderTest, AllowCreateSwitchesTheTypedPathPanel) {
  TSelectDirDlg dlg;
  EXPECT_FALSE(dlg.pnlTop->isVisibleTo(&dlg));
  EXPECT_TRUE(dlg.lblDir->isVisibleTo(&dlg));
  dlg.SetAllowCreate(true);
  EXPECT_TRUE(dlg.pnlTop->isVisibleTo(&dlg));
  EXPECT_FALSE(dlg.lblDir->isVisibleTo(&dlg));
  dlg.edtDirectory->setText("/typed/path");
  EXPECT_EQ("/typed/path", dlg.Directory());
}

TEST(BrowsableMounts, AlwaysHoldTheRoot) {
  const QStringList mounts = BrowsableMounts();
  ASSERT_FALSE(mounts.isEmpty());
  EXPECT_EQ("/", mounts.first());
  for (const QString& m : mounts) EXPECT_TRUE(m.startsWith('/'));
}

}  // namespace

namespace {

TEST_F(SelectFolderTest, DesktopAndDocumentsButtons) {
  const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(QDir().mkpath(root + "/home/Desktop"));
  ASSERT_TRUE(QDir().mkpath(root + "/home/Documents"));
  qputenv("HOME", (root + "/home").toUtf8());
  qputenv("XDG_CONFIG_HOME", (root + "/home/.config").toUtf8());
  TSelectDirDlg dlg;
  dlg.BitBtn1->click();
  EXPECT_EQ(root + "/home/Desktop", dlg.CurrentFolder());
  dlg.BitBtn2->click();
  EXPECT_EQ(root + "/home/Documents", dlg.CurrentFolder());
  EXPECT_EQ(root + "/home/Documents/", dlg.edtDirectory->text());
  qputenv("HOME", oldHome);
  if (oldConfig.isNull()) {
    qunsetenv("XDG_CONFIG_HOME");
  } else {
    qputenv("XDG_CONFIG_HOME", oldConfig);
  }
}

}  // namespace
