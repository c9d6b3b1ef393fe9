// Our own pictures for the main window: each image is drawn on a 16-unit grid so
// that it stays crisp at 16x16 and can be scaled up for the window and About icons.
#include "ui/icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <cmath>

namespace tavrix::ui {

namespace {

const QColor kOutline(40, 40, 48);

void draw_magnifier(QPainter& p, QPointF centre, qreal radius) {
  const QPointF handle_start = centre + QPointF(radius * 0.7, radius * 0.7);
  p.setPen(QPen(QColor(90, 60, 30), 2.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(handle_start, handle_start + QPointF(4.2, 4.2));
  p.setPen(QPen(kOutline, 1.3));
  p.setBrush(QColor(170, 215, 250));
  p.drawEllipse(centre, radius, radius);
  p.setPen(QPen(QColor(255, 255, 255, 200), 1.0));
  p.drawArc(
      QRectF(centre.x() - radius + 1.5, centre.y() - radius + 1.5, radius * 1.2, radius * 1.2),
      90 * 16, 90 * 16);
}

void draw_device_box(QPainter& p, const QColor& led, bool lit) {
  QLinearGradient body(0, 4, 0, 12);
  body.setColorAt(0, QColor(120, 140, 175));
  body.setColorAt(1, QColor(60, 78, 110));
  p.setPen(QPen(kOutline, 1));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(0.5, 4.5, 15, 8), 1.5, 1.5);
  // Front panel: two port openings and the status light.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(25, 25, 30));
  p.drawRect(QRectF(2.5, 8, 3, 2.5));
  p.drawRect(QRectF(6.5, 8, 3, 2.5));
  p.setBrush(lit ? led : QColor(150, 150, 150));
  p.drawEllipse(QPointF(12.5, 8.8), 1.6, 1.6);
}

void draw_icon(QPainter& p, int index) {
  p.setRenderHint(QPainter::Antialiasing, true);
  switch (index) {
    case kIconExit: {
      // A door frame with an arrow leaving it.
      p.setPen(QPen(kOutline, 1));
      p.setBrush(QColor(150, 100, 50));
      p.drawRect(QRectF(1.5, 1.5, 8, 13));
      p.setBrush(QColor(250, 240, 210));
      p.drawRect(QRectF(3.5, 3.5, 4, 9));
      p.setPen(QPen(QColor(0, 130, 0), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawLine(QPointF(6, 8), QPointF(13, 8));
      p.drawPolyline(QPolygonF({QPointF(10.5, 5), QPointF(13.8, 8), QPointF(10.5, 11)}));
      break;
    }
    case kIconSearch:
      draw_magnifier(p, QPointF(6.5, 6.5), 4.6);
      break;
    case kIconStart: {
      QPolygonF tri({QPointF(3.5, 1.5), QPointF(14.5, 8), QPointF(3.5, 14.5)});
      p.setPen(QPen(QColor(0, 90, 0), 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      QLinearGradient g(0, 1, 0, 15);
      g.setColorAt(0, QColor(120, 225, 110));
      g.setColorAt(1, QColor(20, 150, 30));
      p.setBrush(g);
      p.drawPolygon(tri);
      break;
    }
    case kIconStop: {
      QLinearGradient g(0, 2, 0, 14);
      g.setColorAt(0, QColor(255, 120, 110));
      g.setColorAt(1, QColor(200, 20, 20));
      p.setPen(QPen(QColor(110, 0, 0), 1.2));
      p.setBrush(g);
      p.drawRoundedRect(QRectF(2.5, 2.5, 11, 11), 1.5, 1.5);
      break;
    }
    case kIconRoot: {
      // A globe: the networks the servers live on.
      QRadialGradient g(QPointF(6, 6), 8);
      g.setColorAt(0, QColor(150, 210, 255));
      g.setColorAt(1, QColor(30, 100, 190));
      p.setPen(QPen(QColor(10, 50, 110), 1));
      p.setBrush(g);
      p.drawEllipse(QPointF(8, 8), 6.8, 6.8);
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(QColor(230, 245, 255), 0.9));
      p.drawEllipse(QPointF(8, 8), 3, 6.8);
      p.drawLine(QPointF(8, 1.2), QPointF(8, 14.8));
      p.drawLine(QPointF(1.2, 8), QPointF(14.8, 8));
      p.drawLine(QPointF(2.3, 4.6), QPointF(13.7, 4.6));
      p.drawLine(QPointF(2.3, 11.4), QPointF(13.7, 11.4));
      break;
    }
    case kIconServerIdle:
      draw_device_box(p, QColor(150, 150, 150), false);
      break;
    case kIconServerMonitored: {
      draw_device_box(p, QColor(40, 230, 40), true);
      // A pulse line above the box: the server is being watched.
      p.setPen(QPen(QColor(0, 150, 0), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.setBrush(Qt::NoBrush);
      p.drawPolyline(QPolygonF({QPointF(0.8, 2.8), QPointF(5, 2.8), QPointF(6.5, 0.9),
                                QPointF(8.5, 3.9), QPointF(10, 2.8), QPointF(15.2, 2.8)}));
      break;
    }
    case kIconSettings: {
      // A gear: a toothed wheel with a hole.
      QPainterPath gear;
      const QPointF c(8, 8);
      const int teeth = 8;
      for (int i = 0; i < teeth * 2; ++i) {
        const double a0 = (i - 0.5) * M_PI / teeth;
        const double a1 = (i + 0.5) * M_PI / teeth;
        const double r = (i % 2 == 0) ? 7.2 : 5.2;
        const QPointF p0 = c + QPointF(r * std::cos(a0), r * std::sin(a0));
        const QPointF p1 = c + QPointF(r * std::cos(a1), r * std::sin(a1));
        if (i == 0)
          gear.moveTo(p0);
        else
          gear.lineTo(p0);
        gear.lineTo(p1);
      }
      gear.closeSubpath();
      gear.addEllipse(c, 2.2, 2.2);
      gear.setFillRule(Qt::OddEvenFill);
      QLinearGradient g(0, 1, 0, 15);
      g.setColorAt(0, QColor(190, 195, 205));
      g.setColorAt(1, QColor(95, 100, 115));
      p.setPen(QPen(kOutline, 0.9));
      p.setBrush(g);
      p.drawPath(gear);
      break;
    }
    case kIconDelete: {
      p.setPen(QPen(QColor(120, 0, 0), 4.2, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
      p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
      p.setPen(QPen(QColor(235, 40, 40), 2.4, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(3.5, 3.5), QPointF(12.5, 12.5));
      p.drawLine(QPointF(12.5, 3.5), QPointF(3.5, 12.5));
      break;
    }
    case kIconSpecifyIp: {
      // An "IP" tag with a small magnifier: search one address.
      p.setPen(QPen(QColor(10, 50, 120), 1));
      p.setBrush(QColor(40, 110, 210));
      p.drawRoundedRect(QRectF(0.5, 0.5, 11, 8.5), 1.5, 1.5);
      QFont f;
      f.setPixelSize(8);
      f.setBold(true);
      p.setFont(f);
      p.setPen(Qt::white);
      p.drawText(QRectF(0.5, 0.5, 11, 8.5), Qt::AlignCenter, QStringLiteral("IP"));
      draw_magnifier(p, QPointF(10, 10.5), 2.8);
      break;
    }
    default:
      break;
  }
}

// The warning triangle on a 16-unit grid.
void draw_warning(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, true);
  QPolygonF tri({QPointF(8, 1), QPointF(15.3, 14.5), QPointF(0.7, 14.5)});
  QLinearGradient g(0, 1, 0, 15);
  g.setColorAt(0, QColor(255, 214, 80));
  g.setColorAt(1, QColor(240, 150, 10));
  p.setPen(QPen(QColor(120, 70, 0), 1.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(g);
  p.drawPolygon(tri);
  p.setPen(QPen(QColor(40, 25, 0), 2.0, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(8, 5.5), QPointF(8, 9.8));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(40, 25, 0));
  p.drawEllipse(QPointF(8, 12.3), 1.1, 1.1);
}

// Draws `draw` on a transparent square of `size` pixels, scaled from the 16-unit grid.
template <class Draw>
QPixmap drawn(int size, Draw draw) {
  QPixmap pm(size, size);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.scale(size / 16.0, size / 16.0);
  draw(p);
  return pm;
}

}  // namespace

QIcon warning_icon() {
  QIcon icon(drawn(16, draw_warning));
  icon.addPixmap(drawn(32, draw_warning));
  return icon;
}

QIcon with_warning_overlay(int index) {
  // The warning at 11/16 of the size over the lower right corner of the image.
  auto overlaid = [index](QPainter& p) {
    draw_icon(p, index);
    p.save();
    p.translate(5, 5);
    p.scale(11 / 16.0, 11 / 16.0);
    draw_warning(p);
    p.restore();
  };
  QIcon icon;
  // The same picture on a selected row: the style's tint would wash the warning out.
  for (QIcon::Mode mode : {QIcon::Normal, QIcon::Selected}) {
    icon.addPixmap(drawn(16, overlaid), mode);
    icon.addPixmap(drawn(32, overlaid), mode);
  }
  return icon;
}

QPixmap main_icon_pixmap(int index) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  draw_icon(p, index);
  return pm;
}

QIcon main_icon(int index) {
  QIcon icon(main_icon_pixmap(index));
  // A 32x32 drawing too, for screens and styles that ask for a larger image.
  QPixmap big(32, 32);
  big.fill(Qt::transparent);
  QPainter p(&big);
  p.scale(2.0, 2.0);
  draw_icon(p, index);
  p.end();
  icon.addPixmap(big);
  return icon;
}

QIcon application_icon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.scale(size / 16.0, size / 16.0);
    draw_icon(p, kIconServerMonitored);
    p.end();
    icon.addPixmap(pm);
  }
  return icon;
}

QPixmap product_picture(int width, int height) {
  QPixmap pm(width, height);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.scale(width / 200.0, height / 100.0);

  // Shadow, then the case seen slightly from above: top face and front panel.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 40));
  p.drawRoundedRect(QRectF(12, 84, 182, 10), 5, 5);
  QPolygonF top({QPointF(22, 14), QPointF(192, 14), QPointF(182, 30), QPointF(8, 30)});
  QLinearGradient tg(0, 14, 0, 30);
  tg.setColorAt(0, QColor(185, 195, 215));
  tg.setColorAt(1, QColor(140, 155, 185));
  p.setPen(QPen(kOutline, 1.2));
  p.setBrush(tg);
  p.drawPolygon(top);
  QLinearGradient fg(0, 30, 0, 86);
  fg.setColorAt(0, QColor(95, 115, 155));
  fg.setColorAt(1, QColor(45, 60, 90));
  p.setBrush(fg);
  p.drawRoundedRect(QRectF(8, 30, 174, 56), 3, 3);
  QPolygonF side({QPointF(182, 30), QPointF(192, 14), QPointF(192, 70), QPointF(182, 86)});
  p.setBrush(QColor(60, 75, 105));
  p.drawPolygon(side);

  // Name plate.
  QFont f;
  f.setPixelSize(13);
  f.setBold(true);
  p.setFont(f);
  p.setPen(QColor(235, 240, 250));
  p.drawText(QRectF(16, 34, 80, 16), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("TAVRIX"));

  // Status lights: power, LAN1, LAN2.
  const QColor lights[3] = {QColor(60, 230, 60), QColor(250, 200, 40), QColor(250, 200, 40)};
  const char* names[3] = {"PWR", "LAN1", "LAN2"};
  QFont small;
  small.setPixelSize(7);
  p.setFont(small);
  for (int i = 0; i < 3; ++i) {
    const qreal x = 112 + i * 22;
    p.setPen(QPen(kOutline, 0.8));
    p.setBrush(lights[i]);
    p.drawEllipse(QPointF(x + 6, 38), 3, 3);
    p.setPen(QColor(220, 225, 240));
    p.drawText(QRectF(x - 4, 42, 20, 8), Qt::AlignCenter, QString::fromLatin1(names[i]));
  }

  // Four serial ports (D-sub outlines) and two network sockets.
  for (int i = 0; i < 4; ++i) {
    const qreal x = 16 + i * 30;
    QPolygonF dsub({QPointF(x, 58), QPointF(x + 24, 58), QPointF(x + 21, 72), QPointF(x + 3, 72)});
    p.setPen(QPen(QColor(20, 20, 25), 1));
    p.setBrush(QColor(200, 200, 205));
    p.drawPolygon(dsub);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 40, 45));
    for (int k = 0; k < 5; ++k) p.drawEllipse(QPointF(x + 4 + k * 4, 62), 1, 1);
    for (int k = 0; k < 4; ++k) p.drawEllipse(QPointF(x + 6 + k * 4, 67.5), 1, 1);
  }
  for (int i = 0; i < 2; ++i) {
    const qreal x = 140 + i * 20;
    p.setPen(QPen(QColor(20, 20, 25), 1));
    p.setBrush(QColor(30, 30, 35));
    p.drawRect(QRectF(x, 58, 15, 13));
    p.setBrush(QColor(230, 190, 60));
    p.drawRect(QRectF(x + 4, 68, 7, 3));
  }
  return pm;
}

}  // namespace tavrix::ui
