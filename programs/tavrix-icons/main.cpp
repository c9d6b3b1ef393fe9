// tavrix-icons: writes the desktop's icon theme files for tavrix-monitor from the
// window icon's own drawing: PNGs at the hicolor sizes and a scalable SVG. Run at
// build time, so the installed icons always match the program's pictures.
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>

#include "ui/icons.h"

namespace {

constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
constexpr int kSvgSize = 256;

bool write_png(const QString& root, const QString& name, int size) {
  const QString dir = QStringLiteral("%1/hicolor/%2x%2/apps").arg(root).arg(size);
  if (!QDir().mkpath(dir)) return false;
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  tavrix::ui::paint_application_icon(p, size);
  p.end();
  return image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"), "PNG");
}

bool write_svg(const QString& root, const QString& name) {
  const QString dir = root + QStringLiteral("/hicolor/scalable/apps");
  if (!QDir().mkpath(dir)) return false;
  QSvgGenerator svg;
  svg.setFileName(dir + QLatin1Char('/') + name + QStringLiteral(".svg"));
  svg.setSize(QSize(kSvgSize, kSvgSize));
  svg.setViewBox(QRect(0, 0, kSvgSize, kSvgSize));
  svg.setTitle(QStringLiteral("Tavrix Monitor Utility"));
  QPainter p;
  if (!p.begin(&svg)) return false;
  tavrix::ui::paint_application_icon(p, kSvgSize);
  return p.end();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tavrix-icons OUTPUT-FOLDER ICON-NAME\n");
    return 2;
  }
  // Painting needs the GUI application object, never a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const QString root = QString::fromLocal8Bit(argv[1]);
  const QString name = QString::fromLocal8Bit(argv[2]);
  for (int size : kSizes) {
    if (!write_png(root, name, size)) {
      std::fprintf(stderr, "tavrix-icons: cannot write the %dx%d icon under %s\n", size, size,
                   argv[1]);
      return 1;
    }
  }
  if (!write_svg(root, name)) {
    std::fprintf(stderr, "tavrix-icons: cannot write the scalable icon under %s\n", argv[1]);
    return 1;
  }
  return 0;
}
