#include "server/core/gui/status_icons.h"

#include <QPainter>
#include <QPixmap>

namespace orv {
namespace {

QPixmap blank(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

QIcon dot(const QColor& color, const QColor* ring) {
  QPixmap pixmap = blank(16);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  if (ring != nullptr) {
    p.setPen(QPen(*ring, 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(1, 1, 14, 14));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawEllipse(QRectF(4, 4, 8, 8));
  return QIcon(pixmap);
}

}  // namespace

QIcon statusIcon(int number) {
  static const QColor kGreen(0x2e, 0xa0, 0x43);
  static const QColor kBlue(0x1f, 0x6f, 0xd0);
  static const QIcon kClients = dot(kGreen, nullptr);
  static const QIcon kBoth = dot(kGreen, &kBlue);
  static const QIcon kForwarder = dot(kBlue, nullptr);
  switch (number) {
    case 0:
      return kClients;
    case 2:
      return kBoth;
    case 3:
      return kForwarder;
    default:
      return {};
  }
}

QIcon serverIcon() {
  QPixmap pixmap = blank(32);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0xc0, 0x20, 0x20));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
  p.setPen(QPen(Qt::white, 3));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(8, 8, 16, 16), 30 * 16, 120 * 16);
  p.drawArc(QRectF(12, 12, 8, 8), 30 * 16, 120 * 16);
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(14, 18, 4, 4));
  return QIcon(pixmap);
}

}  // namespace orv
