// The tray icon: its colour tells the fleet's state at a glance, its tooltip the counts,
// its menu shows the window, starts or stops every server, switches Do Not Disturb and
// Close to Tray, and exits (through the Exit question). With Close to Tray on and a tray
// present, closing the window hides it and monitoring goes on. Where no tray exists the
// window says so once, and closing exits as it always did.
#pragma once

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QString>

#include "ui/desk_options.h"

class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace tavrix::ui {

class MainWindow;

enum class FleetState { kNotMonitoring, kAllOnLine, kRedundancyLost, kOffLine };

struct FleetCounts {
  int monitored = 0;
  int on_line = 0;   // every LAN answering, no port short of a path
  int degraded = 0;  // a LAN lost or a Redundant COM port on one LAN only
  int off_line = 0;  // no LAN answering
};

// Counts the monitored servers of the list as the window sees them.
FleetCounts fleet_counts(const tavrix::ui::MainWindow& window);
FleetState fleet_state(const FleetCounts& counts);
QColor fleet_colour(FleetState state);
QString fleet_tooltip(const FleetCounts& counts);
// The tray picture: the state's colour on a round lamp.
QIcon fleet_icon(FleetState state);

class TrayIcon : public QObject {
 public:
  static constexpr int kUpdateMs = 1000;
  static constexpr int kTrayWaitChecks = 3;  // updates without a tray before saying so

  TrayIcon(tavrix::ui::MainWindow* window, DeskOptions& options, const DeskActions& actions);
  ~TrayIcon() override;

  bool available() const;
  FleetState state() const { return state_; }
  QString tooltip() const;
  QMenu* menu() const { return menu_; }
  QSystemTrayIcon* icon() const { return icon_; }
  void update();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  tavrix::ui::MainWindow* window_;
  DeskOptions& options_;
  QSystemTrayIcon* icon_ = nullptr;
  QMenu* menu_ = nullptr;
  QTimer* timer_ = nullptr;
  FleetState state_ = FleetState::kNotMonitoring;
  bool told_no_tray_ = false;
  int checks_without_tray_ = 0;
};

}  // namespace tavrix::ui
