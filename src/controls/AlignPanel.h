// A panel that lays its children out by their attached side (top, bottom,
// left, right, the rest), keeping each child's own width or height.
#pragma once

#include <QWidget>

enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

// The attached side of a widget (alNone when never set).
TAlign GetAlign(const QWidget* w);
void SetAlign(QWidget* w, TAlign align);

class TAlignPanel : public QWidget {
  Q_OBJECT
 public:
  explicit TAlignPanel(QWidget* parent = nullptr);

  // Lays out the visible aligned children now (unless suspended).
  void Realign();
  // Nested suspension of the automatic alignment; Resume realigns at zero.
  void SuspendAlign() { ++m_suspended; }
  void ResumeAlign();

 protected:
  void resizeEvent(QResizeEvent* e) override;
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  int m_suspended = 0;
  bool m_aligning = false;
};
