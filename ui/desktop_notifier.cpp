// Notices from the event log, coalesced and rate-limited, sent over D-Bus.
#include "ui/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <QVariantMap>
#include <algorithm>

#include "core/event_log.h"
#include "core/server_list.h"
#include "ui/main_window.h"
#include "ui/single_instance.h"

namespace tavrix::ui {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

QString what(const Notice& n) {
  switch (n.kind) {
    case kNotifyOffLine:
      return QStringLiteral("Off Line");
    case kNotifyOnLine:
      return QStringLiteral("back On Line");
    case kNotifyLan:
      return n.back ? QStringLiteral("LAN%1 back").arg(n.lan)
                    : QStringLiteral("LAN%1 lost").arg(n.lan);
    case kNotifyRedundancy:
      return QStringLiteral("Redundant COM connection on one LAN only");
    default:
      return {};
  }
}

// Names a few servers and counts the rest.
QString some_of(const QStringList& servers) {
  constexpr int kNamed = 5;
  QString text = servers.mid(0, kNamed).join(QStringLiteral("; "));
  if (servers.size() > kNamed) text += QStringLiteral(" and %1 more").arg(servers.size() - kNamed);
  return text;
}

const tavrix::ServerRecord* find_server(const tavrix::ServerList& list, const QString& label,
                                        int* index = nullptr) {
  for (int i = 0; i < list.server_count(); ++i) {
    const tavrix::ServerRecord* rec = list.server_at(i);
    if (QString::fromStdString(server_label(*rec)) == label) {
      if (index) *index = i;
      return rec;
    }
  }
  return nullptr;
}

}  // namespace

NoticeText notice_text(const std::vector<Notice>& burst) {
  if (burst.empty()) return {};
  if (burst.size() == 1) {
    const Notice& n = burst.front();
    return {QStringLiteral("%1 %2").arg(n.server, what(n)),
            QStringLiteral("Tavrix Monitor Utility: %1 is %2.").arg(n.server, what(n))};
  }
  // Grouped by what happened, in a fixed order; each group counted and named.
  std::map<QString, QStringList> groups;
  QStringList order;
  for (const Notice& n : burst) {
    const QString w = what(n);
    if (!groups.count(w)) order << w;
    groups[w] << n.server;
  }
  if (order.size() == 1)
    return {QStringLiteral("%1 servers %2").arg(burst.size()).arg(order.front()),
            some_of(groups[order.front()])};
  QStringList lines;
  for (const QString& w : order)
    lines << QStringLiteral("%1 %2: %3").arg(groups[w].size()).arg(w, some_of(groups[w]));
  return {QStringLiteral("%1 servers changed").arg(burst.size()), lines.join('\n')};
}

DesktopNotifier::DesktopNotifier(tavrix::ui::MainWindow* window, const DeskOptions& options)
    : QObject(window), window_(window), options_(options) {
  seen_total_ = window_->event_log().total();
  QDBusConnection::sessionBus().connect(kService, kPath, kService, QStringLiteral("ActionInvoked"),
                                        this, SLOT(on_action(uint, QString)));
}

void DesktopNotifier::begin() {
  if (timer_) return;
  timer_ = new QTimer(this);
  timer_->setInterval(kCheckMs);
  connect(timer_, &QTimer::timeout, this, [this] { check(QDateTime::currentMSecsSinceEpoch()); });
  timer_->start();
}

void DesktopNotifier::take(Notice n, int64_t now_ms) {
  if (!(options_.notify_kinds & n.kind)) return;
  const auto told = last_told_.find(n.server);
  if (told != last_told_.end() && now_ms - told->second < kPerServerMs) {
    held_[n.server] = n;  // the latest change waits for the server's minute
    return;
  }
  if (burst_.empty()) burst_start_ = now_ms;
  burst_last_ = now_ms;
  burst_[n.server] = n;
}

void DesktopNotifier::check(int64_t now_ms) {
  const tavrix::EventLog& log = window_->event_log();
  const uint64_t fresh = log.total() - seen_total_;
  const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(fresh, log.size()));
  seen_total_ = log.total();
  for (std::size_t i = n; i-- > 0;) {
    const tavrix::LoggedEvent& l = log.newest(i);
    if (l.before_restart || l.event.kind != tavrix::EventKind::kLan) continue;
    const QString server = QString::fromStdString(l.server);
    const tavrix::ServerRecord* rec = find_server(window_->server_list(), server);
    const bool dual = rec && rec->dual_lan == 1;
    const bool none_answering = !rec || rec->online.load() == 0;
    if (l.event.value == "Off Line") {
      if (!dual || none_answering) {
        off_line_.insert(server);
        take({kNotifyOffLine, server, l.event.lan, false}, now_ms);
      } else {
        take({kNotifyLan, server, l.event.lan, false}, now_ms);
      }
    } else if (off_line_.erase(server)) {
      take({kNotifyOnLine, server, l.event.lan, true}, now_ms);
    } else {
      take({kNotifyLan, server, l.event.lan, true}, now_ms);
    }
  }
  // A port newly short of a path: the detection behind the tree's warning mark.
  const tavrix::ServerList& list = window_->server_list();
  for (int i = 0; i < list.server_count(); ++i) {
    const tavrix::ServerRecord* rec = list.server_at(i);
    const QString server = QString::fromStdString(server_label(*rec));
    const bool lost = log.redundancy_lost(rec);
    if (lost && redundancy_lost_.insert(server).second)
      take({kNotifyRedundancy, server, 0, false}, now_ms);
    else if (!lost)
      redundancy_lost_.erase(server);
  }
  // Held changes whose minute has passed, if they still hold.
  for (auto it = held_.begin(); it != held_.end();) {
    if (now_ms - last_told_[it->first] < kPerServerMs) {
      ++it;
      continue;
    }
    const Notice h = it->second;
    it = held_.erase(it);
    const bool still = h.kind == kNotifyOffLine      ? off_line_.count(h.server) > 0
                       : h.kind == kNotifyRedundancy ? redundancy_lost_.count(h.server) > 0
                       : h.kind == kNotifyOnLine     ? off_line_.count(h.server) == 0
                                                     : true;
    if (still) take(h, now_ms);
  }
  if (!burst_.empty() &&
      (now_ms - burst_last_ >= kBurstQuietMs || now_ms - burst_start_ >= kBurstMaxMs)) {
    std::vector<Notice> burst;
    for (auto& [server, notice] : burst_) burst.push_back(notice);
    burst_.clear();
    for (const Notice& b : burst) last_told_[b.server] = now_ms;
    // Do Not Disturb: nothing is told, and nothing waits to be told later.
    if (!options_.do_not_disturb) send(burst, now_ms);
  }
}

void DesktopNotifier::send(const std::vector<Notice>& burst, int64_t) {
  last_ = notice_text(burst);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    if (!told_unavailable_)
      qWarning("tavrix-monitor: no D-Bus session bus, so no desktop notifications");
    told_unavailable_ = true;
    return;
  }
  const bool urgent = std::any_of(burst.begin(), burst.end(), [](const Notice& n) {
    return n.kind == kNotifyOffLine || n.kind == kNotifyRedundancy ||
           (n.kind == kNotifyLan && !n.back);
  });
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  QVariantMap hints;
  hints[QStringLiteral("urgency")] = QVariant::fromValue<uchar>(urgent ? 2 : 1);
  hints[QStringLiteral("desktop-entry")] = QStringLiteral("tavrix-monitor");
  call << QStringLiteral("Tavrix Monitor Utility") << uint(0) << QStringLiteral("tavrix-monitor")
       << last_.summary << last_.body
       << QStringList{QStringLiteral("default"), QStringLiteral("Show")} << hints << int(-1);
  const QString first = burst.front().server;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  ++sent_;
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, first](QDBusPendingCallWatcher* w) {
            QDBusPendingReply<uint> reply = *w;
            if (reply.isError()) {
              if (!told_unavailable_)
                qWarning("tavrix-monitor: no desktop notification service: %s",
                         qPrintable(reply.error().message()));
              told_unavailable_ = true;
            } else {
              by_id_[reply.value()] = first;
            }
            w->deleteLater();
          });
}

void DesktopNotifier::on_action(uint id, const QString&) {
  const auto it = by_id_.find(id);
  if (it == by_id_.end()) return;  // another program's notification
  int index = -1;
  raise_window(window_);
  if (find_server(window_->server_list(), it->second, &index) && index >= 0)
    window_->select_server(index);
}

}  // namespace tavrix::ui
