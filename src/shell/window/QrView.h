// The QR code of the web address in the window: a small code beside "Copy
// address" and, on a click, a window of its own with the code large enough to
// scan from a phone's screen. Window thread only.
#pragma once

#include "shell/QrCode.h"

#include <QDialog>
#include <QImage>
#include <QPointer>
#include <QString>
#include <QWidget>

class QLabel;

class TQrView : public QWidget {
  Q_OBJECT
 public:
  // Modules of light margin around the code (what readers expect).
  static constexpr int kQuietModules = 4;
  // The large code is at least this many pixels wide, margin included.
  static constexpr int kLargeSide = 360;

  explicit TQrView(QWidget* parent = nullptr);

  // The text to encode; the large view, when open, follows it. An empty text
  // (or one too long for a code) shows no code.
  void SetText(const QString& text);
  const QString& Text() const { return text_; }
  // True when a code is shown.
  bool HasCode() const { return !matrix_.empty(); }

  // Opens (or brings to the front) the window with the large code.
  void ShowLarge();
  // That window; null until it was first opened.
  QDialog* LargeView() const { return large_; }

  // The code as a picture: scale pixels a module, with the light margin.
  static QImage CodeImage(const TQrMatrix& matrix, int scale);

 protected:
  void paintEvent(QPaintEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void UpdateLarge();

  QString text_;
  TQrMatrix matrix_;
  QPointer<QDialog> large_;
  QLabel* largeCode_ = nullptr;
  QLabel* largeText_ = nullptr;
};
