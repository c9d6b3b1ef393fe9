// The tour's desktop step: on a real X display with a system tray and a notification
// service (scripts/desktop-run makes one), the tray icon, its menu and a desktop
// notification, caught in one picture of the whole screen.
#pragma once

#include <QString>
#include <memory>

namespace tavrix::ui {
class MainWindow;
}  // namespace tavrix::ui

namespace tour {

class DesktopStep {
 public:
  // Makes the tray icon and the notifier beside the window; nothing on the offscreen
  // platform.
  explicit DesktopStep(tavrix::ui::MainWindow* window);
  ~DesktopStep();

  bool on_display() const;
  // Monitors every server, waits (at most `seconds`) for the first notification, opens
  // the tray menu and saves the screen to `path`. What went wrong, or empty.
  QString show_and_grab(const QString& path, double seconds);

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
  tavrix::ui::MainWindow* window_;
};

}  // namespace tour
