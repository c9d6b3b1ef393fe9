// The tray and notification step of the tour, through the program's own tray icon and
// notifier, so the picture shows what a user's desktop shows.
#include "desktop_step.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <chrono>
#include <functional>
#include <thread>

#include "ui/desk_options.h"
#include "ui/desktop_notifier.h"
#include "ui/main_window.h"
#include "ui/tray_icon.h"

namespace tour {

namespace {
bool wait_for(const std::function<bool()>& pred, double seconds) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
}  // namespace

// The tray icon and the notifier are children of the window and go with it.
struct DesktopStep::Parts {
  tavrix::ui::DeskOptions options;
  tavrix::ui::TrayIcon* tray = nullptr;
  tavrix::ui::DesktopNotifier* notifier = nullptr;
};

DesktopStep::DesktopStep(tavrix::ui::MainWindow* window) : window_(window) {
  if (!on_display()) return;
  parts_ = std::make_unique<Parts>();
  const tavrix::ui::DeskActions actions = tavrix::ui::add_desk_actions(window, parts_->options);
  parts_->tray = new tavrix::ui::TrayIcon(window, parts_->options, actions);
  parts_->notifier = new tavrix::ui::DesktopNotifier(window, parts_->options);
  parts_->notifier->begin();
}

DesktopStep::~DesktopStep() = default;

bool DesktopStep::on_display() const {
  return QGuiApplication::platformName() == QStringLiteral("xcb");
}

QString DesktopStep::show_and_grab(const QString& path, double seconds) {
  if (!parts_) return QStringLiteral("no X display");
  if (!wait_for([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10))
    return QStringLiteral("no system tray on the display");
  QSystemTrayIcon* icon = parts_->tray->icon();
  wait_for([&] { return icon->geometry().width() > 0; }, 10);
  window_->start_all_servers();
  // The demo fleet has a server that answers too slowly and one that falls silent.
  if (!wait_for([&] { return parts_->notifier->sent() > 0; }, seconds))
    return QStringLiteral("no notification within %1 s").arg(seconds);
  wait_for([] { return false; }, 1.5);  // the tray lamp's next update, dunst's drawing
  const QRect at = icon->geometry();
  QMenu* menu = parts_->tray->menu();
  menu->popup(at.isValid() ? at.bottomLeft() : QPoint(0, 0));
  wait_for([&] { return menu->isVisible(); }, 5);
  wait_for([] { return false; }, 0.5);
  const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
  menu->hide();
  if (!screen.save(path)) return QStringLiteral("could not write ") + path;
  return {};
}

}  // namespace tour
