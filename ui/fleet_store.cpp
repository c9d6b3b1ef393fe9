// The kept fleet: reading servers.json and window.json at start, setting aside a file
// that cannot be used, and writing both again (temporary file and rename) on change.
#include "ui/fleet_store.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSplitter>
#include <QStandardPaths>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <cstring>
#include <vector>

#include "core/server_list.h"
#include "core/server_list_file.h"
#include "ui/add_server.h"
#include "ui/events_view.h"
#include "ui/main_window.h"

namespace tavrix::ui {

namespace {

const QString kWindowFormat = QStringLiteral("tavrix-monitor-window");

QString mac1_of(const tavrix::ServerRecord& rec) {
  return QString::fromStdString(mac_text(rec.mac1));
}

QString b64(const QByteArray& bytes) {
  return QString::fromLatin1(bytes.toBase64());
}
QByteArray unb64(const QJsonValue& v) {
  return QByteArray::fromBase64(v.toString().toLatin1());
}

}  // namespace

QString default_config_dir() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/tavrix-monitor");
}

FleetStore::FleetStore(tavrix::ui::MainWindow* window, QString dir)
    : QObject(window), window_(window), dir_(std::move(dir)) {
  window_->installEventFilter(this);
}

FleetStore::~FleetStore() {
  if (window_) window_->removeEventFilter(this);
}

QString FleetStore::servers_path() const {
  return dir_ + QStringLiteral("/servers.json");
}

QString FleetStore::window_path() const {
  return dir_ + QStringLiteral("/window.json");
}

void FleetStore::put_aside(const QString& path, const QString& why) {
  const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
  QString aside = path + QStringLiteral(".set-aside-") + stamp;
  for (int n = 2; QFile::exists(aside); ++n)
    aside = path + QStringLiteral(".set-aside-%1-%2").arg(stamp).arg(n);
  const bool moved = QFile::rename(path, aside);
  const QString text = moved ? QStringLiteral(
                                   "%1 could not be used (%2) and was set aside as %3; the program "
                                   "started without it.")
                                   .arg(path, why, aside)
                             : QStringLiteral(
                                   "%1 could not be used (%2) nor set aside; the program started "
                                   "without it and will not write over it.")
                                   .arg(path, why);
  if (moved) set_aside_ << aside;
  qWarning("tavrix-monitor: %s", qPrintable(text));
  window_->show_note(QStringLiteral("m_store_status"), text);
}

bool FleetStore::restore_layout() {
  QFile file(window_path());
  if (!file.exists()) return false;
  if (!file.open(QIODevice::ReadOnly)) {
    put_aside(window_path(), file.errorString());
    return false;
  }
  QJsonParseError err{};
  const QJsonDocument doc = QJsonDocument::fromJson(file.read(1 << 20), &err);
  file.close();
  const QJsonObject o = doc.object();
  QString why;
  if (err.error != QJsonParseError::NoError)
    why = QStringLiteral("not valid JSON: %1 at byte %2").arg(err.errorString()).arg(err.offset);
  else if (!doc.isObject() || o.value(QStringLiteral("format")).toString() != kWindowFormat)
    why = QStringLiteral("not a window file of this program");
  else if (o.value(QStringLiteral("version")).toInt(-1) > kWindowFileVersion)
    why = QStringLiteral("version %1 is newer than this program reads (%2)")
              .arg(o.value(QStringLiteral("version")).toInt())
              .arg(kWindowFileVersion);
  else if (o.value(QStringLiteral("version")).toInt(-1) < 1)
    why = QStringLiteral("no version");
  const QJsonObject settings = o.value(QStringLiteral("settings")).toObject();
  const int refresh = settings.value(QStringLiteral("refresh_rate")).toInt(3);
  const int timeout = settings.value(QStringLiteral("search_timeout")).toInt(5);
  if (why.isEmpty() && (refresh < 1 || refresh > 99 || timeout < 3 || timeout > 60))
    why = QStringLiteral("a setting out of its range");
  if (!why.isEmpty()) {
    put_aside(window_path(), why);
    return false;
  }
  list().refresh_rate = refresh;
  list().search_timeout = timeout;
  options_.resume = settings.value(QStringLiteral("resume_monitoring")).toBool(true);
  options_.close_to_tray = settings.value(QStringLiteral("close_to_tray")).toBool(false);
  options_.do_not_disturb = settings.value(QStringLiteral("do_not_disturb")).toBool(false);
  options_.notify_kinds =
      settings.value(QStringLiteral("notify_kinds")).toInt(kNotifyAll) & kNotifyAll;
  window_->set_refresh_seconds(refresh);
  monitored_macs_.clear();
  for (const QJsonValue& v : o.value(QStringLiteral("monitored")).toArray())
    monitored_macs_ << v.toString();
  window_->restore_splitter_state(unb64(o.value(QStringLiteral("splitter"))));
  if (auto* tables = window_->findChild<QSplitter*>(QStringLiteral("m_timeline_splitter")))
    tables->restoreState(unb64(o.value(QStringLiteral("timeline_splitter"))));
  const QJsonObject columns = o.value(QStringLiteral("columns")).toObject();
  for (const auto& [name, header] : window_->table_headers())
    if (columns.contains(name)) header->restoreState(unb64(columns.value(name)));
  return window_->restoreGeometry(unb64(o.value(QStringLiteral("geometry"))));
}

tavrix::ServerList& FleetStore::list() const {
  return window_->server_list();
}

QString FleetStore::add_servers_from(const QString& path, const QStringList& monitored) {
  const auto read = read_server_list_file(path.toStdString());
  if (!read) return QString::fromStdString(read.reason());
  const std::vector<ServerListEntry>& entries = *read;
  const int first = list().server_count();
  for (const ServerListEntry& e : entries)
    if (!add_server_or_report(window_, list(), list().make_server_record(e.identity))) break;
  window_->rebuild_tree(-1);
  for (int i = first; i < list().server_count(); ++i)
    if (monitored.contains(mac1_of(*list().server_at(i)))) window_->start_server(i);
  return {};
}

int FleetStore::restore_servers() {
  if (!QFile::exists(servers_path())) return 0;
  const int before = list().server_count();
  const QString why =
      add_servers_from(servers_path(), options_.resume ? monitored_macs_ : QStringList());
  if (!why.isEmpty()) {
    // The reason starts with the path, which the message names already.
    QString reason = why;
    if (reason.startsWith(servers_path() + QStringLiteral(": ")))
      reason = reason.mid(servers_path().size() + 2);
    put_aside(servers_path(), reason);
    return 0;
  }
  const int restored = list().server_count() - before;
  qInfo("tavrix-monitor: restored %d server(s), %d monitored, from %s", restored,
        window_->monitored_count(), qPrintable(servers_path()));
  return restored;
}

QString FleetStore::servers_text() const {
  std::vector<ServerListEntry> entries;
  for (int i = 0; i < list().server_count() && i < kMaxServers; ++i)
    entries.push_back(server_list_entry(identity_of(*list().server_at(i))));
  return QString::fromStdString(server_list_text(entries));
}

QString FleetStore::window_text() const {
  QJsonObject settings{{QStringLiteral("refresh_rate"), list().refresh_rate.load()},
                       {QStringLiteral("search_timeout"), list().search_timeout.load()},
                       {QStringLiteral("resume_monitoring"), options_.resume},
                       {QStringLiteral("close_to_tray"), options_.close_to_tray},
                       {QStringLiteral("do_not_disturb"), options_.do_not_disturb},
                       {QStringLiteral("notify_kinds"), options_.notify_kinds}};
  QJsonArray monitored;
  for (int i = 0; i < list().server_count(); ++i)
    if (list().server_at(i)->monitoring.load() == 1)
      monitored.append(mac1_of(*list().server_at(i)));
  QJsonObject columns;
  for (const auto& [name, header] : window_->table_headers())
    columns[name] = b64(header->saveState());
  QJsonObject o{{QStringLiteral("format"), kWindowFormat},
                {QStringLiteral("version"), kWindowFileVersion},
                {QStringLiteral("settings"), settings},
                {QStringLiteral("monitored"), monitored},
                {QStringLiteral("geometry"), b64(window_->saveGeometry())},
                {QStringLiteral("splitter"), b64(window_->splitter_state())},
                {QStringLiteral("columns"), columns}};
  if (auto* tables = window_->findChild<QSplitter*>(QStringLiteral("m_timeline_splitter")))
    o[QStringLiteral("timeline_splitter")] = b64(tables->saveState());
  return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Indented));
}

QString FleetStore::save_now() {
  if (!QDir().mkpath(dir_)) return QStringLiteral("%1 cannot be made").arg(dir_);
  const QString servers = servers_text();
  if (servers != written_servers_) {
    std::vector<ServerListEntry> entries;
    for (int i = 0; i < list().server_count() && i < kMaxServers; ++i)
      entries.push_back(server_list_entry(identity_of(*list().server_at(i))));
    const Done written = write_server_list_file(servers_path().toStdString(), entries);
    if (!written) return QString::fromStdString(written.reason());
    written_servers_ = servers;
  }
  const QString layout = window_text();
  if (layout != written_window_) {
    QSaveFile file(window_path());
    if (!file.open(QIODevice::WriteOnly) || file.write(layout.toUtf8()) < 0 || !file.commit())
      return QStringLiteral("%1: %2").arg(window_path(), file.errorString());
    written_window_ = layout;
  }
  return {};
}

void FleetStore::begin_saving() {
  if (timer_) return;
  timer_ = new QTimer(this);
  timer_->setInterval(kSaveCheckMs);
  connect(timer_, &QTimer::timeout, this, [this] {
    const QString why = save_now();
    // Told once per distinct reason, not every second.
    if (!why.isEmpty() && why != last_error_) {
      qWarning("tavrix-monitor: the kept files were not written: %s", qPrintable(why));
      window_->show_note(QStringLiteral("m_store_status"),
                         QStringLiteral("Not saved: %1").arg(why));
    }
    last_error_ = why;
  });
  timer_->start();
  save_now();
}

bool FleetStore::eventFilter(QObject* watched, QEvent* event) {
  // Saved before the shutdown stops the library, while the model names and the
  // monitoring marks are still those the user saw.
  if (watched == window_ && event->type() == QEvent::Close && timer_) save_now();
  return QObject::eventFilter(watched, event);
}

}  // namespace tavrix::ui
