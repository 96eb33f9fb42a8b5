// Side-attached layout of a panel's children.
#include "controls/AlignPanel.h"

#include <QChildEvent>
#include <QEvent>

#include <algorithm>

namespace {
constexpr const char* kAlignProperty = "orvelAlign";
}

TAlign GetAlign(const QWidget* w) {
  const QVariant v = w->property(kAlignProperty);
  return v.isValid() ? static_cast<TAlign>(v.toInt()) : TAlign::alNone;
}

void SetAlign(QWidget* w, TAlign align) {
  w->setProperty(kAlignProperty, static_cast<int>(align));
  if (auto* panel = qobject_cast<TAlignPanel*>(w->parentWidget())) panel->Realign();
}

TAlignPanel::TAlignPanel(QWidget* parent) : QWidget(parent) {}

void TAlignPanel::ResumeAlign() {
  if (m_suspended > 0 && --m_suspended == 0) Realign();
}

void TAlignPanel::Realign() {
  if (m_suspended > 0 || m_aligning) return;
  m_aligning = true;
  QRect rest = contentsRect();
  const TAlign order[] = {TAlign::alTop, TAlign::alBottom, TAlign::alLeft, TAlign::alRight,
                          TAlign::alClient};
  for (TAlign kind : order) {
    for (QObject* o : children()) {
      auto* w = qobject_cast<QWidget*>(o);
      if (!w || w->isWindow() || w->isHidden() || GetAlign(w) != kind) continue;
      const int width = std::max(0, std::min(w->width(), rest.width()));
      const int height = std::max(0, std::min(w->height(), rest.height()));
      switch (kind) {
        case TAlign::alTop:
          w->setGeometry(rest.left(), rest.top(), rest.width(), w->height());
          rest.setTop(rest.top() + height);
          break;
        case TAlign::alBottom:
          w->setGeometry(rest.left(), rest.bottom() + 1 - w->height(), rest.width(), w->height());
          rest.setBottom(rest.bottom() - height);
          break;
        case TAlign::alLeft:
          w->setGeometry(rest.left(), rest.top(), w->width(), rest.height());
          rest.setLeft(rest.left() + width);
          break;
        case TAlign::alRight:
          w->setGeometry(rest.right() + 1 - w->width(), rest.top(), w->width(), rest.height());
          rest.setRight(rest.right() - width);
          break;
        case TAlign::alClient:
          w->setGeometry(rest.left(), rest.top(), std::max(0, rest.width()),
                         std::max(0, rest.height()));
          break;
        case TAlign::alNone:
          break;
      }
    }
  }
  m_aligning = false;
}

void TAlignPanel::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  Realign();
}

bool TAlignPanel::event(QEvent* e) {
  if (e->type() == QEvent::ChildAdded) {
    auto* ce = static_cast<QChildEvent*>(e);
    if (ce->child()->isWidgetType()) ce->child()->installEventFilter(this);
  } else if (e->type() == QEvent::ChildRemoved) {
    static_cast<QChildEvent*>(e)->child()->removeEventFilter(this);
    Realign();
  } else if (e->type() == QEvent::LayoutRequest) {
    Realign();
  }
  return QWidget::event(e);
}

bool TAlignPanel::eventFilter(QObject* watched, QEvent* e) {
  if (watched->parent() == this && !m_aligning &&
      (e->type() == QEvent::Resize || e->type() == QEvent::Show || e->type() == QEvent::Hide)) {
    auto* w = static_cast<QWidget*>(watched);
    if (GetAlign(w) != TAlign::alNone) Realign();
  }
  return QWidget::eventFilter(watched, e);
}
