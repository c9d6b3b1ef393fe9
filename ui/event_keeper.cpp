// The kept events: read back at start, appended as they are seen.
#include "ui/event_keeper.h"

#include <QDir>
#include <QStandardPaths>
#include <QTimer>
#include <vector>

#include "ui/main_window.h"

namespace tavrix::ui {

QString default_state_dir() {
  // Qt 6.4 has no state location: $XDG_STATE_HOME as the XDG base directories define it.
  QString base = qEnvironmentVariable("XDG_STATE_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base))
    base = QDir::homePath() + QStringLiteral("/.local/state");
  return base + QStringLiteral("/tavrix-monitor");
}

EventKeeper::EventKeeper(tavrix::ui::MainWindow* window, QString dir)
    : QObject(window), window_(window), dir_(std::move(dir)) {
  file_ = std::make_unique<tavrix::EventHistoryFile>(path().toStdString());
}

QString EventKeeper::path() const {
  return dir_ + QStringLiteral("/events.jsonl");
}

int EventKeeper::restore(int64_t now_ms) {
  tavrix::HistoryRead kept = file_->read(now_ms);
  if (kept.skipped > 0)
    qWarning("tavrix-monitor: %s: %zu line(s) could not be read and were skipped",
             qPrintable(path()), kept.skipped);
  const int count = static_cast<int>(kept.events.size());
  auto timelines = tavrix::histories_from_events(kept.events, now_ms);
  window_->restore_events(std::move(kept.events), std::move(timelines));
  // What is in the log now is already in the file.
  appended_total_ = window_->event_log().total();
  return count;
}

void EventKeeper::append_new() {
  const tavrix::EventLog& log = window_->event_log();
  const uint64_t fresh = log.total() - appended_total_;
  // Events the ring dropped before they were seen here cannot be written (the ring holds
  // thousands; this runs four times a second).
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(fresh, log.size()));
  appended_total_ = log.total();
  if (n == 0) return;
  if (!QDir().mkpath(dir_)) return;
  for (std::size_t i = n; i-- > 0;) {
    const std::string why = file_->append(log.newest(i));
    const QString text = QString::fromStdString(why);
    if (!why.empty() && text != last_error_)
      qWarning("tavrix-monitor: events not kept: %s", qPrintable(text));
    last_error_ = text;
    if (!why.empty()) break;
  }
}

void EventKeeper::begin() {
  if (timer_) return;
  timer_ = new QTimer(this);
  timer_->setInterval(kAppendCheckMs);
  connect(timer_, &QTimer::timeout, this, [this] { append_new(); });
  timer_->start();
}

}  // namespace tavrix::ui
