// Keeps the window's events across restarts: appends each new event of the event log
// to $XDG_STATE_HOME/tavrix-monitor/events.jsonl as it is seen, and at start reads the
// file back into the Events tab and the timeline, marked as from before the restart.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <memory>

#include "core/event_history.h"

class QTimer;

namespace tavrix::ui {

class MainWindow;

// $XDG_STATE_HOME/tavrix-monitor (~/.local/state/tavrix-monitor without the variable).
QString default_state_dir();

class EventKeeper : public QObject {
 public:
  static constexpr int kAppendCheckMs = 250;

  EventKeeper(tavrix::ui::MainWindow* window, QString dir = default_state_dir());
  // Reads the kept events into the window (before any new event); how many came back.
  int restore(int64_t now_ms);
  // Appends the events the log gained since the last call; from begin() on, on a timer.
  void append_new();
  void begin();

  QString path() const;

 private:
  tavrix::ui::MainWindow* window_;
  QString dir_;
  std::unique_ptr<tavrix::EventHistoryFile> file_;
  uint64_t appended_total_ = 0;  // the log's total() up to which events are in the file
  QString last_error_;
  QTimer* timer_ = nullptr;
};

}  // namespace tavrix::ui
