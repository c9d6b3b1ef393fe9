// The program's own pictures, drawn with QPainter: the ten 16x16 images of the main
// image list, the redundancy warning and the product picture of the information box.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace tavrix::ui {

// Indexes of the main image list.
enum MainIcon : int {
  kIconExit = 0,
  kIconSearch = 1,
  kIconStart = 2,
  kIconStop = 3,
  kIconRoot = 4,
  kIconServerIdle = 5,
  kIconServerMonitored = 6,
  kIconSettings = 7,
  kIconDelete = 8,
  kIconSpecifyIp = 9,
};
inline constexpr int kMainIconCount = 10;

// One 16x16 image of the main list (a transparent pixmap for an index outside it).
QPixmap main_icon_pixmap(int index);
QIcon main_icon(int index);

// The redundancy warning: an amber triangle with an exclamation mark, 16x16.
QIcon warning_icon();
// A main-list image with the warning drawn small over its lower right corner: a tree
// node whose server has a Redundant COM port connected on one LAN only.
QIcon with_warning_overlay(int index);

// The device-server picture, drawn to the given size.
QPixmap product_picture(int width, int height);
// The window icon.
QIcon application_icon();

}  // namespace tavrix::ui
