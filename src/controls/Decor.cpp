// Decorative widgets: activity light, scrolling text, gradient banner, links.
#include "controls/Decor.h"

#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

TLedScanner::TLedScanner(QWidget* parent) : QWidget(parent) {
  m_timer.setInterval(90);
  connect(&m_timer, &QTimer::timeout, this, [this] {
    m_pos += m_step;
    if (m_pos <= 0 || m_pos >= kLeds - 1) m_step = -m_step;
    update();
  });
  setMinimumSize(100, 12);
}

void TLedScanner::SetColor(const QColor& c) {
  m_color = c;
  update();
}

void TLedScanner::SetActive(bool running) {
  if (running) {
    m_timer.start();
  } else {
    m_timer.stop();
  }
  update();
}

void TLedScanner::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal w = qreal(width()) / kLeds;
  for (int i = 0; i < kLeds; ++i) {
    QColor c = m_color;
    const int distance = std::abs(i - m_pos);
    if (!Active()) {
      c = c.darker(i == m_pos ? 100 : 260);
    } else {
      c = c.darker(100 + 60 * distance);
    }
    const QRectF r(i * w + 1, 1, w - 2, height() - 2);
    p.setPen(QColor(40, 40, 40));
    p.setBrush(c);
    p.drawRoundedRect(r, 3, 3);
  }
}

TScrollingText::TScrollingText(const QString& text, QWidget* parent)
    : QWidget(parent), m_text(text) {
  m_timer.setInterval(40);
  connect(&m_timer, &QTimer::timeout, this, [this] {
    m_offset += 1;
    if (m_offset > width() + fontMetrics().horizontalAdvance(m_text)) m_offset = 0;
    update();
  });
}

void TScrollingText::SetText(const QString& text) {
  m_text = text;
  m_offset = 0;
  update();
}

QSize TScrollingText::sizeHint() const { return {300, fontMetrics().height() + 6}; }

void TScrollingText::showEvent(QShowEvent*) { m_timer.start(); }
void TScrollingText::hideEvent(QHideEvent*) { m_timer.stop(); }

void TScrollingText::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  const int x = width() - m_offset;
  p.drawText(QRect(x, 0, fontMetrics().horizontalAdvance(m_text) + 4, height()),
             Qt::AlignVCenter | Qt::AlignLeft, m_text);
}

TGradientBanner::TGradientBanner(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  m_heading = new QLabel(this);
  m_heading->setAlignment(Qt::AlignCenter);
  QFont bold = m_heading->font();
  bold.setBold(true);
  m_heading->setFont(bold);
  m_text = new QLabel(this);
  m_text->setAlignment(Qt::AlignCenter);
  m_text->setWordWrap(true);
  m_text->setObjectName("lblBannerText");
  for (QLabel* l : {m_heading, m_text}) {
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, Qt::white);
    l->setPalette(pal);
    layout->addWidget(l);
  }
  setMinimumHeight(46);
}

void TGradientBanner::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QLinearGradient g(0, 0, 0, height());
  g.setColorAt(0, QColor(0x2a, 0x5d, 0x9f));
  g.setColorAt(1, QColor(0x0b, 0x23, 0x4a));
  p.fillRect(rect(), g);
}

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setCursor(Qt::PointingHandCursor);
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  Recolour();
}

void TLinkLabel::Recolour() {
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, m_hover     ? QColor(Qt::red)
                                     : m_visited ? QColor(0x80, 0x00, 0x80)
                                                 : QColor(Qt::blue));
  setPalette(pal);
}

void TLinkLabel::enterEvent(QEnterEvent*) {
  m_hover = true;
  Recolour();
}

void TLinkLabel::leaveEvent(QEvent*) {
  m_hover = false;
  Recolour();
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !rect().contains(e->position().toPoint())) return;
  m_visited = true;
  Recolour();
  if (OnOpen && !m_url.isEmpty()) OnOpen(m_url);
}
