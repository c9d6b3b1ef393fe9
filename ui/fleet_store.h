// What the window keeps between runs in the user's configuration folder: the server
// list (core's server-list file, servers.json) and window.json with the settings, which
// servers were monitored, the window's geometry, splitter and column widths. Written
// atomically whenever something changed; a file that cannot be used is set aside.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include "ui/desk_options.h"

class QTimer;

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

class MainWindow;

// $XDG_CONFIG_HOME/tavrix-monitor (~/.config/tavrix-monitor without the variable).
QString default_config_dir();

class FleetStore : public QObject {
 public:
  static constexpr int kWindowFileVersion = 1;
  static constexpr int kSaveCheckMs = 1000;

  FleetStore(tavrix::ui::MainWindow* window, QString dir = default_config_dir());
  ~FleetStore() override;

  QString servers_path() const;
  QString window_path() const;

  // Settings and layout from window.json; call before the window is first shown.
  // True when a geometry was restored (the window then opens at it, not maximised).
  bool restore_layout();
  // The kept servers (after the window's first showing, which loads the model map);
  // the ones that were monitored start again when `resume` is on. Returns how many.
  int restore_servers();
  // Adds the servers of a server-list file (--servers): empty on success, else the reason.
  QString add_servers_from(const QString& path, const QStringList& monitored = {});
  // Writes what changed since the last write; checked every second from begin_saving()
  // on, and when the window closes. Empty on success, else the reason.
  QString save_now();
  void begin_saving();

  // The options beside the two settings, kept in window.json with them.
  DeskOptions& options() { return options_; }
  bool resume() const { return options_.resume; }
  void set_resume(bool on) { options_.resume = on; }

  // Files set aside at the last restore (their new names).
  const QStringList& set_aside() const { return set_aside_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString window_text() const;
  QString servers_text() const;
  // Renames a file that cannot be used and tells the user and the log why.
  void put_aside(const QString& path, const QString& why);
  // The window's server list (fleet_store.cpp, where the window is complete).
  tavrix::ServerList& list() const;

  tavrix::ui::MainWindow* window_;
  QString dir_;
  QTimer* timer_ = nullptr;
  DeskOptions options_;
  QStringList monitored_macs_;  // from window.json, for restore_servers
  QString written_window_, written_servers_;
  QStringList set_aside_;
  QString last_error_;  // of the last timed write
};

}  // namespace tavrix::ui
