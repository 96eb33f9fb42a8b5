// The splitter driven with real mouse and key events on an offscreen panel.
#include "controls/OrvelSplitter.h"

#include "QtSupport.h"

#include <gtest/gtest.h>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextEdit>

#include <memory>

namespace {

void Mouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
  const Qt::MouseButtons held =
      type == QEvent::MouseButtonRelease ? Qt::MouseButtons() : Qt::MouseButtons(button);
  QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)),
                type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
  QApplication::sendEvent(w, &e);
}

// The Logs tab: memo | splitter | memo | splitter | memo filling the rest.
struct LogsTab {
  std::unique_ptr<TAlignPanel> panel{new TAlignPanel};
  QTextEdit* down;
  TOrvelSplitter* left;
  QTextEdit* upload;
  TOrvelSplitter* right;
  QTextEdit* log;
  int moved = 0;

  explicit LogsTab(TResizeStyle style) {
    TestApp();
    panel->resize(400, 200);
    down = new QTextEdit(panel.get());
    down->resize(100, 10);
    SetAlign(down, TAlign::alLeft);
    left = new TOrvelSplitter(panel.get());
    upload = new QTextEdit(panel.get());
    upload->resize(100, 10);
    SetAlign(upload, TAlign::alLeft);
    right = new TOrvelSplitter(panel.get());
    log = new QTextEdit(panel.get());
    SetAlign(log, TAlign::alClient);
    for (TOrvelSplitter* s : {left, right}) {
      s->SetBeveled(true);
      s->SetMinSize(3);
      s->SetResizeStyle(style);
      s->setFixedWidth(3);
      s->OnMoved = [this](TOrvelSplitter*) { ++moved; };
    }
    panel->show();
    panel->Realign();
  }
};

TEST(OrvelSplitter, LaysOutTheLogsTab) {
  LogsTab t(TResizeStyle::rsUpdate);
  EXPECT_EQ(QRect(0, 0, 100, 200), t.down->geometry());
  EXPECT_EQ(QRect(100, 0, 3, 200), t.left->geometry());
  EXPECT_EQ(QRect(103, 0, 100, 200), t.upload->geometry());
  EXPECT_EQ(QRect(206, 0, 194, 200), t.log->geometry());
  EXPECT_EQ(t.down, t.left->FindControl());
  EXPECT_EQ(t.upload, t.right->FindControl());
  EXPECT_EQ(Qt::SplitHCursor, t.left->cursor().shape());
}

TEST(OrvelSplitter, UpdateStyleResizesAtEveryMove) {
  LogsTab t(TResizeStyle::rsUpdate);
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  EXPECT_TRUE(t.left->Dragging());
  Mouse(t.left, QEvent::MouseMove, {21, 50});
  EXPECT_EQ(120, t.down->width());
  EXPECT_EQ(120, t.left->x());
  // The bar moved with the pane, so the next point is relative to it again.
  Mouse(t.left, QEvent::MouseMove, {11, 50});
  EXPECT_EQ(130, t.down->width());
  EXPECT_EQ(133, t.upload->x());
  Mouse(t.left, QEvent::MouseButtonRelease, {11, 50});
  EXPECT_FALSE(t.left->Dragging());
  EXPECT_EQ(130, t.down->width());
  EXPECT_EQ(3, t.moved);  // two applied moves and the end of the drag
  EXPECT_EQ(nullptr, t.left->Line());
}

TEST(OrvelSplitter, SnapsShutAtMinSizeAndReopens) {
  LogsTab t(TResizeStyle::rsUpdate);
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  Mouse(t.left, QEvent::MouseMove, {-96, 50});  // would leave 3 pixels
  EXPECT_EQ(0, t.down->width());
  EXPECT_EQ(0, t.left->x());
  Mouse(t.left, QEvent::MouseButtonRelease, {-96, 50});

  // A pane of width 0 is still found, and dragging right opens it again.
  EXPECT_EQ(t.down, t.left->FindControl());
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  Mouse(t.left, QEvent::MouseMove, {51, 50});
  Mouse(t.left, QEvent::MouseButtonRelease, {51, 50});
  EXPECT_EQ(50, t.down->width());
}

TEST(OrvelSplitter, SizesBelowMinSizeStopAtTheLimitWithoutSnap) {
  LogsTab t(TResizeStyle::rsUpdate);
  t.left->SetAutoSnap(false);
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  Mouse(t.left, QEvent::MouseMove, {-150, 50});
  Mouse(t.left, QEvent::MouseButtonRelease, {-150, 50});
  EXPECT_EQ(3, t.down->width());
}

TEST(OrvelSplitter, RefusedSizeLeavesPaneAndLine) {
  LogsTab t(TResizeStyle::rsPattern);
  t.left->OnCanResize = [](TOrvelSplitter*, int&, bool& accept) { accept = false; };
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  ASSERT_NE(nullptr, t.left->Line());
  const QRect line = t.left->Line()->geometry();
  Mouse(t.left, QEvent::MouseMove, {41, 50});
  EXPECT_EQ(line, t.left->Line()->geometry());
  Mouse(t.left, QEvent::MouseButtonRelease, {41, 50});
  EXPECT_EQ(100, t.down->width());
}

TEST(OrvelSplitter, OwnerMayChangeTheProposedSize) {
  LogsTab t(TResizeStyle::rsUpdate);
  t.left->OnCanResize = [](TOrvelSplitter*, int& size, bool&) { size = std::min(size, 150); };
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  Mouse(t.left, QEvent::MouseMove, {201, 50});
  Mouse(t.left, QEvent::MouseButtonRelease, {201, 50});
  EXPECT_EQ(150, t.down->width());
}

TEST(OrvelSplitter, PatternLineFollowsAndSizeAppliesOnRelease) {
  LogsTab t(TResizeStyle::rsPattern);
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  ASSERT_NE(nullptr, t.left->Line());
  EXPECT_TRUE(t.left->LineDrawn());
  EXPECT_EQ(QRect(100, 0, 3, 200), t.left->Line()->geometry());
  Mouse(t.left, QEvent::MouseMove, {31, 50});
  EXPECT_EQ(QRect(130, 0, 3, 200), t.left->Line()->geometry());
  EXPECT_TRUE(t.left->Line()->isVisible());
  EXPECT_EQ(100, t.down->width());  // nothing resized during the drag
  Mouse(t.left, QEvent::MouseButtonRelease, {31, 50});
  EXPECT_EQ(130, t.down->width());
  EXPECT_EQ(nullptr, t.left->Line());
  EXPECT_EQ(2, t.moved);  // once applied, once at the end of the drag
}

TEST(OrvelSplitter, EscapeCancelsAPatternDrag) {
  LogsTab t(TResizeStyle::rsPattern);
  t.log->setFocus();
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  Mouse(t.left, QEvent::MouseMove, {41, 50});
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(t.log, &esc);
  EXPECT_FALSE(t.left->Dragging());
  EXPECT_FALSE(t.left->LineDrawn());
  EXPECT_EQ(nullptr, t.left->Line());
  Mouse(t.left, QEvent::MouseButtonRelease, {41, 50});
  EXPECT_EQ(100, t.down->width());
  // Other keys reach their control as before.
  QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QApplication::sendEvent(t.log, &a);
  EXPECT_EQ("a", t.log->toPlainText());
}

TEST(OrvelSplitter, PaneMayGrowPastTheFreeSpace) {
  LogsTab t(TResizeStyle::rsUpdate);
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  Mouse(t.left, QEvent::MouseMove, {401, 50});
  Mouse(t.left, QEvent::MouseButtonRelease, {401, 50});
  EXPECT_EQ(500, t.down->width());
  EXPECT_EQ(0, t.log->width());
}

TEST(OrvelSplitter, OtherButtonsStartNoDrag) {
  LogsTab t(TResizeStyle::rsUpdate);
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50}, Qt::RightButton);
  EXPECT_FALSE(t.left->Dragging());
  Mouse(t.left, QEvent::MouseMove, {41, 50}, Qt::RightButton);
  EXPECT_EQ(100, t.down->width());
}

TEST(OrvelSplitter, EverySideResizesItsPane) {
  struct Case {
    TAlign align;
    QPoint move;
    QSize expected;
    Qt::CursorShape cursor;
  };
  const Case cases[] = {
      {TAlign::alLeft, {20, 0}, {120, 80}, Qt::SplitHCursor},
      {TAlign::alRight, {20, 0}, {80, 80}, Qt::SplitHCursor},
      {TAlign::alTop, {0, 20}, {80, 100}, Qt::SplitVCursor},
      {TAlign::alBottom, {0, 20}, {80, 60}, Qt::SplitVCursor},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.align));
    TestApp();
    TAlignPanel panel;
    panel.resize(300, 300);
    auto* pane = new QWidget(&panel);
    pane->resize(100, 80);
    if (c.align == TAlign::alTop || c.align == TAlign::alBottom) pane->resize(80, 80);
    if (c.align == TAlign::alLeft || c.align == TAlign::alRight) pane->resize(100, 80);
    SetAlign(pane, c.align);
    auto* bar = new TOrvelSplitter(&panel);
    bar->resize(3, 3);
    bar->SetAlign(c.align);
    bar->SetResizeStyle(TResizeStyle::rsNone);
    auto* rest = new QWidget(&panel);
    SetAlign(rest, TAlign::alClient);
    panel.show();
    panel.Realign();
    EXPECT_EQ(c.cursor, bar->cursor().shape());
    ASSERT_EQ(pane, bar->FindControl());
    Mouse(bar, QEvent::MouseButtonPress, {1, 1});
    Mouse(bar, QEvent::MouseMove, QPoint(1, 1) + c.move);
    Mouse(bar, QEvent::MouseButtonRelease, QPoint(1, 1) + c.move);
    const bool across = c.align == TAlign::alLeft || c.align == TAlign::alRight;
    EXPECT_EQ(across ? c.expected.width() : c.expected.height(),
              across ? pane->width() : pane->height());
  }
}

TEST(OrvelSplitter, BarWithoutSideFindsNoPane) {
  LogsTab t(TResizeStyle::rsUpdate);
  t.left->SetAlign(TAlign::alNone);
  t.left->move(100, 0);
  Mouse(t.left, QEvent::MouseButtonPress, {1, 50});
  EXPECT_FALSE(t.left->Dragging());
}

}  // namespace
