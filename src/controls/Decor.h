// Decorative widgets of the main window: the LED-style activity light, the
// scrolling text, the gradient banner and link labels. Window thread only.
#pragma once

#include <QColor>
#include <QLabel>
#include <QTimer>
#include <QWidget>

#include <functional>

// A row of LEDs with one lit light running back and forth while active.
class TLedScanner : public QWidget {
  Q_OBJECT
 public:
  explicit TLedScanner(QWidget* parent = nullptr);
  void SetColor(const QColor& c);
  QColor Color() const { return m_color; }
  void SetActive(bool running);
  bool Active() const { return m_timer.isActive(); }
  int Position() const { return m_pos; }
  QSize sizeHint() const override { return {140, 14}; }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  static constexpr int kLeds = 10;
  QColor m_color{Qt::yellow};
  QTimer m_timer;
  int m_pos = 0;
  int m_step = 1;
};

// One line of text that moves from right to left and starts over.
class TScrollingText : public QWidget {
  Q_OBJECT
 public:
  explicit TScrollingText(const QString& text, QWidget* parent = nullptr);
  QString Text() const { return m_text; }
  void SetText(const QString& text);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void hideEvent(QHideEvent* e) override;

 private:
  QString m_text;
  QTimer m_timer;
  int m_offset = 0;
};

// A panel with a vertical colour gradient and centred lines of text.
class TGradientBanner : public QWidget {
  Q_OBJECT
 public:
  explicit TGradientBanner(QWidget* parent = nullptr);
  QLabel* Heading() const { return m_heading; }
  // The banner's own text, below the heading.
  QString Text() const { return m_text->text(); }
  void SetText(const QString& text) { m_text->setText(text); }

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  QLabel* m_heading;
  QLabel* m_text;
};

// A text link: blue, red under the mouse, purple once visited; a click opens
// its address through the installed opener.
class TLinkLabel : public QLabel {
  Q_OBJECT
 public:
  TLinkLabel(const QString& text, QWidget* parent = nullptr);
  QString Url() const { return m_url; }
  void SetUrl(const QString& url) { m_url = url; }
  bool Visited() const { return m_visited; }
  std::function<void(const QString&)> OnOpen;

 protected:
  void enterEvent(QEnterEvent* e) override;
  void leaveEvent(QEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;

 private:
  void Recolour();
  QString m_url;
  bool m_hover = false;
  bool m_visited = false;
};
