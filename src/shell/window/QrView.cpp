// The QR code of the web address in the window, small and large.
#include "shell/window/QrView.h"

#include <QDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QVBoxLayout>

#include <algorithm>

TQrView::TQrView(QWidget* parent) : QWidget(parent) {
  setCursor(Qt::PointingHandCursor);
  setFocusPolicy(Qt::TabFocus);
  setToolTip("Click to show the code large enough to scan with a phone.");
  setAccessibleName("QR code of the web address");
}

void TQrView::SetText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  matrix_ = text.isEmpty() ? TQrMatrix() : MakeQrMatrix(text.toStdString());
  update();
  UpdateLarge();
}

QImage TQrView::CodeImage(const TQrMatrix& matrix, int scale) {
  const int n = static_cast<int>(matrix.size());
  const int side = (n + 2 * kQuietModules) * scale;
  QImage image(side, side, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x)
      if (matrix[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)]) {
        painter.fillRect((x + kQuietModules) * scale, (y + kQuietModules) * scale, scale, scale,
                         Qt::black);
      }
  return image;
}

void TQrView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  if (matrix_.empty()) return;
  // Whole pixels a module, so every module is sharp; centred.
  const int modules = static_cast<int>(matrix_.size()) + 2 * kQuietModules;
  const int scale = std::max(1, std::min(width(), height()) / modules);
  const QImage code = CodeImage(matrix_, scale);
  painter.drawImage((width() - code.width()) / 2, (height() - code.height()) / 2, code);
}

void TQrView::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) {
    ShowLarge();
    e->accept();
    return;
  }
  QWidget::mouseReleaseEvent(e);
}

void TQrView::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Space) {
    ShowLarge();
    e->accept();
    return;
  }
  QWidget::keyPressEvent(e);
}

void TQrView::ShowLarge() {
  if (!large_) {
    large_ = new QDialog(window());
    large_->setObjectName("dlgQrCode");
    large_->setWindowTitle("QR code of the web address");
    auto* column = new QVBoxLayout(large_);
    largeCode_ = new QLabel(large_);
    largeCode_->setObjectName("imgQrLarge");
    largeCode_->setAlignment(Qt::AlignCenter);
    largeText_ = new QLabel(large_);
    largeText_->setObjectName("lblQrAddress");
    largeText_->setAlignment(Qt::AlignCenter);
    largeText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    largeText_->setWordWrap(true);
    column->addWidget(largeCode_, 1);
    column->addWidget(largeText_);
  }
  UpdateLarge();
  large_->show();
  large_->raise();
  large_->activateWindow();
}

void TQrView::UpdateLarge() {
  if (!large_) return;
  largeText_->setText(text_);
  if (matrix_.empty()) {
    largeCode_->setPixmap(QPixmap());
    return;
  }
  const int modules = static_cast<int>(matrix_.size()) + 2 * kQuietModules;
  const int scale = (kLargeSide + modules - 1) / modules;
  largeCode_->setPixmap(QPixmap::fromImage(CodeImage(matrix_, scale)));
}
