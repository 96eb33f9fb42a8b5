// The QR code beside "Copy address": read back from a grab of the widget by
// the system's decoder, it is always what the button copies, and a click
// shows it large.
#include "WindowFixture.h"

#include "shell/QrDecode.h"
#include "shell/window/QrView.h"
#include "support/TempFolder.h"

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>

namespace {

// What the decoder reads from the picture ("" when nothing).
std::string DecodePicture(const QPixmap& picture, const TempFolder& dir) {
  const std::string path = dir / "grab.png";
  if (!picture.save(QString::fromStdString(path))) return "<not saved>";
  return testing_qr::Decode(path);
}

QString Copied(TFrmMain& f) {
  QApplication::clipboard()->setText("before");
  f.btnCopyIp->click();
  return QApplication::clipboard()->text();
}

using QrViewTest = WindowFixture;

TEST_F(QrViewTest, TheCodeIsWhatCopyAddressCopies) {
  WriteSettings();
  TFrmMain& f = Create();
  TempFolder dir;
  struct Case {
    const char* address;
    int port;
    bool privately;
  };
  const Case cases[] = {
      {"192.0.2.7", 8080, false},
      {"<unknown>", 3724, false},
      {"203.0.113.250", 65535, true},  // the longest IPv4 address with a key
      {"friends-of-ann.example.org", 3724, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    f.edtAdr->setText(c.address);
    f.spnPort->setValue(c.port);
    if (f.chkPrivate->isChecked() != c.privately) f.chkPrivate->click();
    const QString copied = Copied(f);
    EXPECT_EQ(c.privately, copied.contains("/?key=")) << copied.toStdString();
    EXPECT_TRUE(copied.contains(QString::number(c.port)));
    EXPECT_EQ(copied.toStdString(), DecodePicture(f.imgQrCode->grab(), dir));
  }
  // A new key: the code follows at once.
  const QString before = Copied(f);
  f.btnNewKey->click();
  const QString after = Copied(f);
  EXPECT_NE(before, after);
  EXPECT_EQ(after.toStdString(), DecodePicture(f.imgQrCode->grab(), dir));
  // No address, no code.
  f.edtWebAdr->setText("");
  EXPECT_FALSE(f.imgQrCode->HasCode());
}

TEST_F(QrViewTest, AClickShowsTheCodeLargeAndItFollowsTheAddress) {
  WriteSettings();
  TFrmMain& f = Create();
  f.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  TempFolder dir;
  f.edtAdr->setText("203.0.113.9");
  f.chkPrivate->click();
  EXPECT_EQ(nullptr, f.imgQrCode->LargeView());
  f.Page->setCurrentWidget(f.tabISettings);
  QTest::mouseClick(f.imgQrCode, Qt::LeftButton);
  QDialog* large = f.imgQrCode->LargeView();
  ASSERT_NE(nullptr, large);
  EXPECT_TRUE(large->isVisible());
  auto* code = large->findChild<QLabel*>("imgQrLarge");
  ASSERT_NE(nullptr, code);
  EXPECT_GE(code->pixmap().width(), TQrView::kLargeSide);
  EXPECT_EQ(Copied(f).toStdString(), DecodePicture(code->pixmap(), dir));
  EXPECT_EQ(Copied(f), large->findChild<QLabel*>("lblQrAddress")->text());

  // The window stays open while the address changes, and shows the new one.
  f.btnNewKey->click();
  f.spnPort->setValue(4000);
  EXPECT_TRUE(large->isVisible());
  EXPECT_EQ(Copied(f).toStdString(), DecodePicture(code->pixmap(), dir));
  large->close();
  // Space on the focused code opens it again.
  f.imgQrCode->setFocus();
  QTest::keyClick(f.imgQrCode, Qt::Key_Space);
  EXPECT_TRUE(large->isVisible());
}

}  // namespace
