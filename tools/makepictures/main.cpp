// Draws the window's pictures: product logo, maker's logo, tray icon and the
// six 64 x 64 tab pictures, as PNG files in the folder given.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>
#include <functional>

namespace {

const QColor kBlue(0x1f, 0x5f, 0xb4);
const QColor kDeep(0x0c, 0x2c, 0x5c);
const QColor kOrange(0xf2, 0x8c, 0x1e);

QImage Canvas(int w, int h) {
  QImage img(w, h, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  return img;
}

void Setup(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
}

// A rounded tile with a soft gradient, the background of every tab picture.
void Tile(QPainter& p, const QColor& top, const QColor& bottom) {
  QLinearGradient g(0, 0, 0, 64);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  p.setPen(QPen(bottom.darker(140), 1.5));
  p.setBrush(g);
  p.drawRoundedRect(QRectF(3, 3, 58, 58), 12, 12);
}

void Folder(QPainter& p, QRectF r, const QColor& c) {
  QPainterPath path;
  path.moveTo(r.left(), r.top() + r.height() * 0.2);
  path.lineTo(r.left() + r.width() * 0.35, r.top() + r.height() * 0.2);
  path.lineTo(r.left() + r.width() * 0.45, r.top());
  path.lineTo(r.right(), r.top());
  path.lineTo(r.right(), r.bottom());
  path.lineTo(r.left(), r.bottom());
  path.closeSubpath();
  p.setPen(QPen(c.darker(160), 1.5));
  p.setBrush(c);
  p.drawPath(path);
}

QImage Connections() {  // people linked to this computer
  QImage img = Canvas(64, 64);
  QPainter p(&img);
  Setup(p);
  Tile(p, QColor(0xd9, 0xe8, 0xfb), QColor(0x7f, 0xa9, 0xe0));
  p.setPen(QPen(kDeep, 2.5));
  p.drawLine(32, 34, 14, 50);
  p.drawLine(32, 34, 50, 50);
  p.drawLine(32, 34, 32, 16);
  for (QPointF c : {QPointF(14, 50), QPointF(50, 50), QPointF(32, 16)}) {
    p.setBrush(kOrange);
    p.drawEllipse(c, 7, 7);
  }
  p.setBrush(kBlue);
  p.drawEllipse(QPointF(32, 34), 8, 8);
  return img;
}

QImage Shared() {  // an open folder with a picture
  QImage img = Canvas(64, 64);
  QPainter p(&img);
  Setup(p);
  Tile(p, QColor(0xfd, 0xf1, 0xd8), QColor(0xf0, 0xb9, 0x5c));
  Folder(p, QRectF(10, 18, 44, 32), QColor(0xff, 0xd2, 0x6a));
  p.setPen(QPen(Qt::white, 2));
  p.setBrush(QColor(0x6c, 0xb3, 0xf0));
  p.drawRect(QRectF(22, 24, 22, 16));
  p.setBrush(QColor(0x4c, 0x9a, 0x3c));
  p.setPen(Qt::NoPen);
  QPolygonF hill({QPointF(23, 39), QPointF(31, 30), QPointF(37, 35), QPointF(43, 39)});
  p.drawPolygon(hill);
  return img;
}

QImage NetSettings() {  // a globe
  QImage img = Canvas(64, 64);
  QPainter p(&img);
  Setup(p);
  Tile(p, QColor(0xdd, 0xf5, 0xe6), QColor(0x6d, 0xbf, 0x8a));
  QRadialGradient g(26, 24, 30);
  g.setColorAt(0, QColor(0x9c, 0xd2, 0xff));
  g.setColorAt(1, kBlue);
  p.setBrush(g);
  p.setPen(QPen(kDeep, 2));
  p.drawEllipse(QPointF(32, 32), 20, 20);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(255, 255, 255, 200), 1.5));
  p.drawEllipse(QPointF(32, 32), 9, 20);
  p.drawLine(12, 32, 52, 32);
  p.drawLine(16, 22, 48, 22);
  p.drawLine(16, 42, 48, 42);
  return img;
}

QImage Settings() {  // a gear wheel
  QImage img = Canvas(64, 64);
  QPainter p(&img);
  Setup(p);
  Tile(p, QColor(0xec, 0xec, 0xf2), QColor(0x9b, 0x9e, 0xb3));
  p.translate(32, 32);
  p.setPen(QPen(QColor(0x3b, 0x3f, 0x52), 1.5));
  p.setBrush(QColor(0x6a, 0x70, 0x8c));
  for (int i = 0; i < 8; ++i) {
    p.drawRoundedRect(QRectF(-4, -22, 8, 10), 2, 2);
    p.rotate(45);
  }
  p.drawEllipse(QPointF(0, 0), 15, 15);
  p.setBrush(QColor(0xec, 0xec, 0xf2));
  p.drawEllipse(QPointF(0, 0), 6, 6);
  return img;
}

QImage LogPicture() {  // a page with lines
  QImage img = Canvas(64, 64);
  QPainter p(&img);
  Setup(p);
  Tile(p, QColor(0xf3, 0xe5, 0xf8), QColor(0xb5, 0x8c, 0xc9));
  p.setPen(QPen(QColor(0x55, 0x55, 0x66), 1.5));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(16, 10, 32, 44));
  p.setPen(QPen(kBlue, 2));
  for (int y = 18; y <= 46; y += 7) p.drawLine(21, y, y % 2 ? 37 : 43, y);
  return img;
}

QImage Info() {  // the letter i in a circle
  QImage img = Canvas(64, 64);
  QPainter p(&img);
  Setup(p);
  Tile(p, QColor(0xdc, 0xec, 0xff), QColor(0x78, 0xa6, 0xe6));
  p.setPen(QPen(kDeep, 2));
  p.setBrush(kBlue);
  p.drawEllipse(QPointF(32, 32), 20, 20);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(32, 21), 3.5, 3.5);
  p.drawRoundedRect(QRectF(29, 27, 6, 17), 2, 2);
  return img;
}

QImage ProductLogo() {  // 300 x 64: a picture frame mark and the product name
  QImage img = Canvas(300, 64);
  QPainter p(&img);
  Setup(p);
  QLinearGradient g(0, 0, 0, 64);
  g.setColorAt(0, QColor(0x2f, 0x6e, 0xc4));
  g.setColorAt(1, kDeep);
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(QRectF(1, 1, 298, 62), 10, 10);
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(10, 10, 44, 44), 6, 6);
  p.setBrush(QColor(0x6c, 0xb3, 0xf0));
  p.drawRect(QRectF(15, 15, 34, 34));
  p.setBrush(kOrange);
  p.drawEllipse(QPointF(40, 24), 5, 5);
  p.setBrush(QColor(0x4c, 0x9a, 0x3c));
  p.drawPolygon(QPolygonF({QPointF(15, 49), QPointF(27, 31), QPointF(37, 41), QPointF(49, 49)}));
  QFont f("DejaVu Sans", 22, QFont::Bold);
  p.setFont(f);
  p.setPen(Qt::white);
  p.drawText(QRectF(64, 4, 232, 36), Qt::AlignLeft | Qt::AlignVCenter, "Mirelo");
  QFont small("DejaVu Sans", 11);
  p.setFont(small);
  p.setPen(QColor(0xff, 0xd9, 0xa0));
  p.drawText(QRectF(66, 36, 232, 22), Qt::AlignLeft | Qt::AlignVCenter, "File Share");
  return img;
}

QImage MakerLogo() {  // 220 x 56
  QImage img = Canvas(220, 56);
  QPainter p(&img);
  Setup(p);
  p.setPen(Qt::NoPen);
  p.setBrush(kOrange);
  p.drawEllipse(QPointF(28, 28), 22, 22);
  p.setBrush(Qt::white);
  p.drawPolygon(QPolygonF({QPointF(18, 38), QPointF(18, 18), QPointF(38, 38), QPointF(38, 18)}));
  QFont f("DejaVu Sans", 22, QFont::Bold);
  p.setFont(f);
  p.setPen(kDeep);
  p.drawText(QRectF(58, 0, 162, 56), Qt::AlignLeft | Qt::AlignVCenter, "Novrix");
  return img;
}

QImage TrayIcon() {  // 32 x 32
  QImage img = Canvas(32, 32);
  QPainter p(&img);
  Setup(p);
  p.setPen(QPen(kDeep, 1.5));
  p.setBrush(kBlue);
  p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  p.setBrush(Qt::white);
  p.setPen(Qt::NoPen);
  p.drawRect(QRectF(6, 8, 20, 16));
  p.setBrush(kOrange);
  p.drawEllipse(QPointF(21, 13), 2.5, 2.5);
  p.setBrush(QColor(0x4c, 0x9a, 0x3c));
  p.drawPolygon(QPolygonF({QPointF(6, 24), QPointF(13, 14), QPointF(19, 20), QPointF(26, 24)}));
  return img;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fputs("usage: make_pictures OUTPUT_FOLDER\n", stderr);
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  const std::pair<const char*, std::function<QImage()>> pictures[] = {
      {"64connections.png", Connections}, {"64shared.png", Shared},
      {"64net_set.png", NetSettings},     {"64settings.png", Settings},
      {"64log.png", LogPicture},          {"64info.png", Info},
      {"mirelo logo.png", ProductLogo},   {"novrix logo.png", MakerLogo},
      {"mirelo tray.png", TrayIcon},
  };
  for (const auto& [name, draw] : pictures) {
    const QString path = out + "/" + name;
    if (!draw().save(path, "PNG")) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
