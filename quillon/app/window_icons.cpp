#include "quillon/app/window_icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

// All drawings are made on a 64 x 64 canvas and scaled.
void note(QPainter& p, QColor colour) {
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.save();
  p.translate(24, 48);
  p.rotate(-20);
  p.drawEllipse(QRectF(-9, -6.5, 18, 13));
  p.restore();
  p.drawRect(QRectF(30, 10, 4.5, 38));
  QPainterPath flag;
  flag.moveTo(34.5, 10);
  flag.cubicTo(38, 20, 52, 22, 46, 38);
  flag.cubicTo(48, 26, 40, 24, 34.5, 22);
  flag.closeSubpath();
  p.drawPath(flag);
}

void puck(QPainter& p, QColor top, QColor side) {
  p.setPen(Qt::NoPen);
  p.setBrush(side);
  p.drawRect(QRectF(6, 31, 52, 12));
  p.drawEllipse(QRectF(6, 34, 52, 18));
  p.setBrush(top);
  p.drawEllipse(QRectF(6, 22, 52, 18));
}

void speaker(QPainter& p, QColor colour) {
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  QPainterPath body;
  body.moveTo(8, 24);
  body.lineTo(18, 24);
  body.lineTo(32, 12);
  body.lineTo(32, 52);
  body.lineTo(18, 40);
  body.lineTo(8, 40);
  body.closeSubpath();
  p.drawPath(body);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(colour, 4, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(26, 20, 16, 24), -50 * 16, 100 * 16);
  p.drawArc(QRectF(24, 12, 28, 40), -50 * 16, 100 * 16);
  p.drawArc(QRectF(22, 4, 40, 56), -50 * 16, 100 * 16);
}

void programicon(QPainter& p) {
  QLinearGradient ice(0, 0, 0, 64);
  ice.setColorAt(0, QColor(0x2f, 0x6f, 0xb8));
  ice.setColorAt(1, QColor(0x14, 0x3a, 0x6e));
  p.setPen(Qt::NoPen);
  p.setBrush(ice);
  p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
  p.save();
  p.translate(8, 22);
  p.scale(0.75, 0.75);
  puck(p, QColor(0x30, 0x30, 0x34), QColor(0x10, 0x10, 0x12));
  p.restore();
  p.save();
  p.translate(16, 0);
  p.scale(0.75, 0.75);
  note(p, QColor(0xf4, 0xf7, 0xfb));
  p.restore();
}

void draw(QPainter& p, int which) {
  const QColor ink = QColor(0x2f, 0x5f, 0x9e);
  switch (which) {
    case 0:
      note(p, ink);
      break;
    case 1:
      puck(p, QColor(0x44, 0x44, 0x4a), QColor(0x1c, 0x1c, 0x20));
      break;
    case 2:
      speaker(p, ink);
      break;
    default:
      programicon(p);
  }
}

// Draws at whatever size and device pixel ratio is asked for.
class Engine : public QIconEngine {
 public:
  explicit Engine(int which) : which_(which) {}
  void paint(QPainter* p, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    p->translate(rect.topLeft());
    p->scale(rect.width() / 64.0, rect.height() / 64.0);
    if (mode == QIcon::Disabled) p->setOpacity(0.45);
    draw(*p, which_);
    p->restore();
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    paint(&p, QRect(QPoint(0, 0), size), mode, state);
    return pm;
  }
  QIconEngine* clone() const override { return new Engine(which_); }

 private:
  int which_;
};

}  // namespace

QIcon window_programicon() {
  return QIcon(new Engine(-1));
}

QIcon window_decoration(int which) {
  return QIcon(new Engine(which));
}

QImage window_programimage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);
  programicon(p);
  return image;
}
