// A thin, non-focusable bar between two aligned panes; dragging it resizes
// the pane on its attached side. Lives in a TAlignPanel (or any parent whose
// children it finds by position) and runs on the window thread only.
#pragma once

#include "controls/AlignPanel.h"

#include <QPointer>
#include <QWidget>

#include <functional>

enum class TResizeStyle { rsNone, rsLine, rsUpdate, rsPattern };

class TOrvelSplitter;

// The line shown during a drag (rsLine, rsPattern): an overlay on the parent
// that inverts what lies beneath it, plainly or through an 8 x 8 checker.
class TSplitLine : public QWidget {
  Q_OBJECT
 public:
  TSplitLine(QWidget* parent, bool pattern);

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  bool m_pattern;
};

class TOrvelSplitter : public QWidget {
  Q_OBJECT
 public:
  using CanResizeEvent = std::function<void(TOrvelSplitter*, int& newSize, bool& accept)>;
  using NotifyEvent = std::function<void(TOrvelSplitter*)>;

  explicit TOrvelSplitter(QWidget* parent);
  ~TOrvelSplitter() override;

  TAlign Align() const { return m_align; }
  void SetAlign(TAlign align);
  bool AutoSnap() const { return m_autoSnap; }
  void SetAutoSnap(bool on) { m_autoSnap = on; }
  bool Beveled() const { return m_beveled; }
  void SetBeveled(bool on);
  int MinSize() const { return m_minSize; }
  void SetMinSize(int size) { m_minSize = size < 0 ? 0 : size; }
  TResizeStyle ResizeStyle() const { return m_resizeStyle; }
  void SetResizeStyle(TResizeStyle style) { m_resizeStyle = style; }
  // Fill colour; with ParentColor on it is the parent's window colour.
  QColor Color() const;
  void SetColor(const QColor& c);
  bool ParentColor() const { return m_parentColor; }
  void SetParentColor(bool on);

  CanResizeEvent OnCanResize;
  NotifyEvent OnMoved;
  NotifyEvent OnPaint;

  // Drag state, visible to tests and owners.
  bool Dragging() const { return !m_pane.isNull(); }
  bool LineDrawn() const { return m_lineVisible; }
  QWidget* Line() const { return m_line; }

  // Finds the pane beside the bar on its attached side (nullptr when none).
  QWidget* FindControl() const;

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  bool Horizontal() const { return m_align == TAlign::alLeft || m_align == TAlign::alRight; }
  void CalcSplitSize(int x, int y, int& newSize, int& split) const;
  bool DoCanResize(int& newSize);
  void DrawLine();
  void UpdateControlSize();
  void StopSizing();
  void UpdateCursor();

  TAlign m_align = TAlign::alLeft;
  bool m_autoSnap = true;
  bool m_beveled = false;
  int m_minSize = 1;
  TResizeStyle m_resizeStyle = TResizeStyle::rsPattern;
  QColor m_color;
  bool m_parentColor = true;

  QPointer<QWidget> m_pane;
  QPoint m_downPos;
  int m_newSize = 0;
  int m_split = 0;
  int m_oldSize = -1;
  bool m_lineVisible = false;
  TSplitLine* m_line = nullptr;
  bool m_keyHooked = false;
};
