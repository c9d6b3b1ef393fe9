// Desktop notifications through the freedesktop notification service (D-Bus): a server
// Off Line or back On Line, a LAN of a dual-LAN server lost or back, a Redundant COM
// port connected on one LAN only. Changes that come within a few seconds of each other
// are told in one notification ("40 servers Off Line"), a server is named at most once a
// minute (a later change waits for its minute and is then told if it still holds), Do
// Not Disturb tells nothing, and a click on the notification raises the window with the
// server selected. Without a notification service nothing else changes.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ui/desk_options.h"

class QTimer;

namespace tavrix {
struct ServerRecord;
}  // namespace tavrix

namespace tavrix::ui {

class MainWindow;

struct Notice {
  NotifyKind kind = kNotifyOffLine;
  QString server;     // the server's addresses, as the tree and the Events tab show them
  int lan = 0;        // LAN lost or back
  bool back = false;  // LAN back (kNotifyLan)
};

// One notification's summary and body for a burst of notices (one per server).
struct NoticeText {
  QString summary;
  QString body;
};
NoticeText notice_text(const std::vector<Notice>& burst);

class DesktopNotifier : public QObject {
  Q_OBJECT
 public:
  static constexpr int kCheckMs = 500;
  // A burst ends after this long without a new change, or this long after it began.
  static constexpr int64_t kBurstQuietMs = 3000;
  static constexpr int64_t kBurstMaxMs = 20000;
  static constexpr int64_t kPerServerMs = 60000;  // one notification per server a minute

  DesktopNotifier(tavrix::ui::MainWindow* window, const DeskOptions& options);

  // Looks at the event log and the redundancy marks (on a timer from begin()).
  void check(int64_t now_ms);
  void begin();

  int sent() const { return sent_; }
  // The last notification asked for (what the service was given).
  const NoticeText& last() const { return last_; }

 private slots:
  void on_action(uint id, const QString& action);

 private:
  void take(Notice n, int64_t now_ms);
  void send(const std::vector<Notice>& burst, int64_t now_ms);

  tavrix::ui::MainWindow* window_;
  const DeskOptions& options_;
  QTimer* timer_ = nullptr;
  uint64_t seen_total_ = 0;     // event log total already looked at
  std::set<QString> off_line_;  // servers told (or about to be told) Off Line
  std::set<QString> redundancy_lost_;
  std::map<QString, Notice> burst_;  // by server, the latest
  int64_t burst_start_ = 0;
  int64_t burst_last_ = 0;
  std::map<QString, int64_t> last_told_;  // by server
  std::map<QString, Notice> held_;        // waiting for the server's minute
  std::map<uint, QString> by_id_;         // notification id -> server to select
  int sent_ = 0;
  bool told_unavailable_ = false;
  NoticeText last_;
};

}  // namespace tavrix::ui
