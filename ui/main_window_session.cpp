// Monitoring switched by index (the kept list restarts its monitored servers, the
// command line and the tray start or stop them all) and notes in the status bar.
#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>

#include "core/string_table.h"

#include "ui/events_view.h"
#include "ui/icons.h"
#include "ui/main_window.h"
#include "ui/port_view.h"
#include "ui/server_table.h"
#include "ui/server_tree.h"

namespace {

// The monitored server's picture with a red cross: monitored, and no LAN answering.
QIcon off_line_icon() {
  QPixmap pm = tavrix::ui::main_icon(tavrix::ui::kIconServerMonitored).pixmap(16, 16);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(220, 0, 0), 2.2));
  p.drawLine(QPointF(8.5, 8.5), QPointF(15, 15));
  p.drawLine(QPointF(15, 8.5), QPointF(8.5, 15));
  p.end();
  return QIcon(pm);
}

}  // namespace

bool tavrix::ui::MainWindow::start_server(int index) {
  const tavrix::ServerRecord* rec = list_.server_at(index);
  if (!rec || rec->monitoring.load() == 1) return false;
  monitor_ctrl(true, index);
  m_mon_tree->set_node_image(index, tavrix::ui::kIconServerMonitored);
  update_actions();
  return true;
}

bool tavrix::ui::MainWindow::stop_server(int index) {
  tavrix::ServerRecord* rec = list_.server_at(index);
  if (!rec || rec->monitoring.load() == 0) return false;
  rec->monitoring = 0;
  monitor_ctrl(false, index);
  if (selected_server() == index) update_mon_list(index);
  m_mon_tree->set_node_image(index, tavrix::ui::kIconServerIdle);
  update_actions();
  return true;
}

int tavrix::ui::MainWindow::start_all_servers() {
  int started = 0;
  for (int i = 0; i < list_.server_count(); ++i) started += start_server(i) ? 1 : 0;
  return started;
}

int tavrix::ui::MainWindow::stop_all_servers() {
  int stopped = 0;
  for (int i = 0; i < list_.server_count(); ++i) stopped += stop_server(i) ? 1 : 0;
  return stopped;
}

int tavrix::ui::MainWindow::monitored_count() const {
  int n = 0;
  for (int i = 0; i < list_.server_count(); ++i)
    if (list_.server_at(i)->monitoring.load() == 1) ++n;
  return n;
}

void tavrix::ui::MainWindow::show_note(const QString& name, const QString& text) {
  auto* note = findChild<QLabel*>(name);
  if (!note) {
    note = new QLabel(this);
    note->setObjectName(name);
    note->setWordWrap(true);
    note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusBar()->addPermanentWidget(note, 1);
  }
  note->setText(text);
}

void tavrix::ui::MainWindow::set_refresh_seconds(int seconds) {
  m_main_timer->setInterval(seconds * 1000);
}

QByteArray tavrix::ui::MainWindow::splitter_state() const {
  return splitter->saveState();
}

void tavrix::ui::MainWindow::restore_splitter_state(const QByteArray& state) {
  splitter->restoreState(state);
}

std::vector<std::pair<QString, QHeaderView*>> tavrix::ui::MainWindow::table_headers() const {
  std::vector<std::pair<QString, QHeaderView*>> out{
      {QStringLiteral("servers"), m_root_list->horizontalHeader()},
      {QStringLiteral("ports"), m_mon_list->horizontalHeader()}};
  if (m_events_view) out.emplace_back(QStringLiteral("events"), m_events_view->table_header());
  return out;
}

void tavrix::ui::MainWindow::restore_events(
    std::vector<tavrix::LoggedEvent> events,
    std::map<std::string, tavrix::AvailabilityHistory> timelines) {
  event_log_.restore(std::move(events), std::move(timelines));
  events_seen_ = event_log_.total();  // old news: the tab's count is for new events
  m_events_view->refresh();
  update_events_tab();
  update_timeline();
}

void tavrix::ui::MainWindow::build_session_parts() {
  // The Delete key on the tree does what Run > Delete does (and asks the same question).
  auto* del = new QShortcut(QKeySequence::Delete, m_mon_tree);
  del->setObjectName(QStringLiteral("m_delete_key"));
  del->setContext(Qt::WidgetWithChildrenShortcut);
  connect(del, &QShortcut::activated, this, [this] {
    if (m_delnode_act->isEnabled()) m_delnode_act->trigger();
  });

  // An Off Line server looks so in the tree, not like one that answers.
  off_line_icon_ = off_line_icon();
  auto* marks = new QTimer(this);
  marks->setObjectName(QStringLiteral("m_off_line_marks"));
  marks->setInterval(kEventsSampleMs);
  connect(marks, &QTimer::timeout, this, [this] { update_off_line_marks(); });
  marks->start();
}

void tavrix::ui::MainWindow::update_off_line_marks() {
  // Once its pollers have had their first say (the events' settling time).
  m_mon_tree->update_marks(
      list_, off_line_icon_, QString::fromStdString(tavrix::load_str(tavrix::kStrOffLine)),
      [this](const tavrix::ServerRecord& rec) {
        return rec.monitoring.load() == 1 && rec.online.load() == 0 && event_log_.history(&rec) &&
               !event_log_.history(&rec)->summary().changes.empty();
      });
}
