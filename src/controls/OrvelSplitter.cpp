// The splitter bar: pane finding, size proposals, snapping, the drag line
// and Escape cancelling.
#include "controls/OrvelSplitter.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

TSplitLine::TSplitLine(QWidget* parent, bool pattern) : QWidget(parent), m_pattern(pattern) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_NoSystemBackground);
  setObjectName("SplitLine");
}

void TSplitLine::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  if (m_pattern) {
    // 8 x 8 two-colour checker, one pixel per square.
    QImage checker(8, 8, QImage::Format_RGB32);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 8; ++x) checker.setPixel(x, y, (x + y) % 2 ? 0xffffffff : 0xff000000);
    }
    p.fillRect(rect(), QBrush(QPixmap::fromImage(checker)));
  } else {
    p.fillRect(rect(), Qt::white);
  }
}

TOrvelSplitter::TOrvelSplitter(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::NoFocus);
  setCursor(Qt::SplitHCursor);
  resize(3, height());
  ::SetAlign(this, TAlign::alLeft);
}

TOrvelSplitter::~TOrvelSplitter() {
  if (m_keyHooked) qApp->removeEventFilter(this);
}

void TOrvelSplitter::SetAlign(TAlign align) {
  m_align = align;
  ::SetAlign(this, align);
  UpdateCursor();
}

void TOrvelSplitter::UpdateCursor() {
  const Qt::CursorShape shape = cursor().shape();
  if (shape == Qt::SplitHCursor || shape == Qt::SplitVCursor) {
    setCursor(m_align == TAlign::alTop || m_align == TAlign::alBottom ? Qt::SplitVCursor
                                                                      : Qt::SplitHCursor);
  }
}

void TOrvelSplitter::SetBeveled(bool on) {
  m_beveled = on;
  update();
}

QColor TOrvelSplitter::Color() const {
  if (m_parentColor && parentWidget()) return parentWidget()->palette().color(QPalette::Window);
  return m_color.isValid() ? m_color : palette().color(QPalette::Window);
}

void TOrvelSplitter::SetColor(const QColor& c) {
  m_color = c;
  m_parentColor = false;
  update();
}

void TOrvelSplitter::SetParentColor(bool on) {
  m_parentColor = on;
  update();
}

QWidget* TOrvelSplitter::FindControl() const {
  QWidget* parent = parentWidget();
  if (!parent) return nullptr;
  QPoint p = pos();
  switch (m_align) {
    case TAlign::alLeft:
      p.rx() -= 1;
      break;
    case TAlign::alRight:
      p.rx() += width();
      break;
    case TAlign::alTop:
      p.ry() -= 1;
      break;
    case TAlign::alBottom:
      p.ry() += height();
      break;
    default:
      return nullptr;
  }
  const bool leading = m_align == TAlign::alLeft || m_align == TAlign::alTop;
  for (QObject* o : parent->children()) {
    auto* w = qobject_cast<QWidget*>(o);
    if (!w || w == this || w == m_line || w->isWindow()) continue;
    if (w->isHidden() || !w->isEnabled()) continue;
    // Rectangle with right and bottom edges excluded.
    int left = w->x(), top = w->y(), right = w->x() + w->width(), bottom = w->y() + w->height();
    if (right == left) (leading ? left : right) += leading ? -1 : 1;
    if (bottom == top) (leading ? top : bottom) += leading ? -1 : 1;
    if (p.x() >= left && p.x() < right && p.y() >= top && p.y() < bottom) return w;
  }
  return nullptr;
}

void TOrvelSplitter::CalcSplitSize(int x, int y, int& newSize, int& split) const {
  split = Horizontal() ? x - m_downPos.x() : y - m_downPos.y();
  int size = 0;
  switch (m_align) {
    case TAlign::alLeft:
      size = m_pane->width() + split;
      break;
    case TAlign::alRight:
      size = m_pane->width() - split;
      break;
    case TAlign::alTop:
      size = m_pane->height() + split;
      break;
    case TAlign::alBottom:
      size = m_pane->height() - split;
      break;
    default:
      break;
  }
  newSize = size;
  if (size < m_minSize) {
    newSize = m_minSize;
    if (m_align == TAlign::alRight || m_align == TAlign::alBottom) {
      split += size - m_minSize;
    } else {
      split += m_minSize - size;
    }
  }
}

bool TOrvelSplitter::DoCanResize(int& newSize) {
  bool accept = true;
  if (OnCanResize) OnCanResize(this, newSize, accept);
  if (accept && m_autoSnap && newSize <= m_minSize) newSize = 0;
  return accept;
}

void TOrvelSplitter::DrawLine() {
  m_lineVisible = !m_lineVisible;
  if (!m_line) return;
  QPoint p = pos();
  if (Horizontal()) {
    p.rx() += m_split;
  } else {
    p.ry() += m_split;
  }
  m_line->setGeometry(QRect(p, size()));
  m_line->setVisible(m_lineVisible);
  if (m_lineVisible) m_line->raise();
}

void TOrvelSplitter::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  const QPoint at = e->position().toPoint();
  m_pane = FindControl();
  m_downPos = at;
  if (!m_pane) return;
  CalcSplitSize(at.x(), at.y(), m_newSize, m_split);
  if (m_resizeStyle == TResizeStyle::rsLine || m_resizeStyle == TResizeStyle::rsPattern) {
    m_line = new TSplitLine(parentWidget(), m_resizeStyle == TResizeStyle::rsPattern);
    m_line->hide();
  }
  // Escape cancels the drag wherever the keyboard focus is.
  qApp->installEventFilter(this);
  m_keyHooked = true;
  if (m_resizeStyle == TResizeStyle::rsLine || m_resizeStyle == TResizeStyle::rsPattern) {
    DrawLine();
  }
}

void TOrvelSplitter::mouseMoveEvent(QMouseEvent* e) {
  if (!(e->buttons() & Qt::LeftButton) || !m_pane) return;
  const QPoint at = e->position().toPoint();
  int newSize = 0, split = 0;
  CalcSplitSize(at.x(), at.y(), newSize, split);
  if (!DoCanResize(newSize)) return;
  const bool line =
      m_resizeStyle == TResizeStyle::rsLine || m_resizeStyle == TResizeStyle::rsPattern;
  if (line) DrawLine();
  m_newSize = newSize;
  m_split = split;
  if (m_resizeStyle == TResizeStyle::rsUpdate) UpdateControlSize();
  if (line) DrawLine();
}

void TOrvelSplitter::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !m_pane) return;
  if (m_resizeStyle == TResizeStyle::rsLine || m_resizeStyle == TResizeStyle::rsPattern) {
    DrawLine();
  }
  UpdateControlSize();
  StopSizing();
}

void TOrvelSplitter::UpdateControlSize() {
  if (m_newSize == m_oldSize || !m_pane) return;
  auto* panel = qobject_cast<TAlignPanel*>(parentWidget());
  switch (m_align) {
    case TAlign::alLeft:
      m_pane->resize(m_newSize, m_pane->height());
      break;
    case TAlign::alTop:
      m_pane->resize(m_pane->width(), m_newSize);
      break;
    case TAlign::alRight:
      if (panel) panel->SuspendAlign();
      m_pane->setGeometry(m_pane->x() + m_pane->width() - m_newSize, m_pane->y(), m_newSize,
                          m_pane->height());
      if (panel) panel->ResumeAlign();
      break;
    case TAlign::alBottom:
      if (panel) panel->SuspendAlign();
      m_pane->setGeometry(m_pane->x(), m_pane->y() + m_pane->height() - m_newSize, m_pane->width(),
                          m_newSize);
      if (panel) panel->ResumeAlign();
      break;
    default:
      break;
  }
  if (panel) panel->Realign();
  if (parentWidget()) parentWidget()->update();
  if (OnMoved) OnMoved(this);
  m_oldSize = m_newSize;
}

void TOrvelSplitter::StopSizing() {
  if (m_pane) {
    if (m_lineVisible) DrawLine();
    m_pane = nullptr;
    delete m_line;
    m_line = nullptr;
    m_lineVisible = false;
    if (m_keyHooked) {
      qApp->removeEventFilter(this);
      m_keyHooked = false;
    }
  }
  if (OnMoved) OnMoved(this);
}

bool TOrvelSplitter::eventFilter(QObject* watched, QEvent* e) {
  if (m_keyHooked && e->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape) {
    StopSizing();
    return true;
  }
  return QWidget::eventFilter(watched, e);
}

void TOrvelSplitter::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QRect r = rect();
  p.fillRect(r, Color());
  if (m_beveled) {
    if (Horizontal()) {
      r.adjust(1, -2, -1, 2);
    } else {
      r.adjust(-2, 1, 2, -1);
    }
    r.translate(1, 1);
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(r.adjusted(0, 0, -1, -1));
    r.translate(-2, -2);
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(r.adjusted(0, 0, -1, -1));
  }
  if (OnPaint) OnPaint(this);
}
