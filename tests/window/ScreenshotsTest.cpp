// Screenshots of every tab of the main window, taken on the display the test
// runs on (Xvfb in the build's test list); saved where MIRELO_SCREENSHOTS says.
#include "shell/window/FormMain.h"

#include "QtSupport.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QScreen>
#include <QTabWidget>
#include <QTest>

namespace {

TEST(Screenshots, EveryTab) {
  const QByteArray out = qgetenv("MIRELO_SCREENSHOTS");
  if (out.isEmpty()) GTEST_SKIP() << "MIRELO_SCREENSHOTS is not set";
  ASSERT_TRUE(QDir().mkpath(QString::fromLocal8Bit(out)));
  TFrmMain form;
  form.tabBeta->setProperty("shot", true);
  form.move(0, 0);
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.PageChange();
  for (int i = 0; i < form.Page->count(); ++i) {
    form.Page->setCurrentIndex(i);
    QTest::qWait(150);
    const QPixmap shot = form.grab();
    const QString name = QString("%1/window-tab%2-%3.png")
                             .arg(QString::fromLocal8Bit(out))
                             .arg(i)
                             .arg(form.Page->widget(i)->objectName());
    EXPECT_FALSE(shot.isNull());
    EXPECT_TRUE(shot.save(name)) << name.toStdString();
  }
}

}  // namespace
