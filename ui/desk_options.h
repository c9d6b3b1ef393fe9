// The window's options beyond the two designed settings (kept in window.json): resume
// monitoring at start, close to the tray, do not disturb, which changes notify; and the
// checkable actions that switch them, added to the Run menu and the tray's menu.
#pragma once

class QAction;
class QMenu;

namespace tavrix::ui {

class MainWindow;

// Kinds of change that may raise a desktop notification (bits).
enum NotifyKind : int {
  kNotifyOffLine = 1,     // a server Off Line
  kNotifyOnLine = 2,      // a server back On Line
  kNotifyLan = 4,         // one LAN of a dual-LAN server lost or back
  kNotifyRedundancy = 8,  // a Redundant COM port connected on one LAN only
  kNotifyAll = 15,
};

struct DeskOptions {
  bool resume = true;           // restart the servers monitored at the last exit
  bool close_to_tray = false;   // closing the window keeps monitoring in the tray
  bool do_not_disturb = false;  // no desktop notifications at all
  int notify_kinds = kNotifyAll;
};

struct DeskActions {
  QAction* resume = nullptr;
  QAction* close_to_tray = nullptr;
  QAction* do_not_disturb = nullptr;
  QMenu* notify_menu = nullptr;  // one checkable action per kind
};

// Makes the actions over `options` (which must outlive the window) and adds them to the
// window's Run menu after Settings. Each action shows and changes the option.
DeskActions add_desk_actions(tavrix::ui::MainWindow* window, DeskOptions& options);
// Shows the options' current values in the actions (after the options were read).
void sync_desk_actions(const DeskActions& actions, const DeskOptions& options);

}  // namespace tavrix::ui
