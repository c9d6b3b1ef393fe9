// Monitoring switched by index (the kept list restarts its monitored servers, the
// command line and the tray start or stop them all) and notes in the status bar.
#include <QAction>
#include <QLabel>
#include <QShortcut>
#include <QStatusBar>
#include <QTreeWidget>

#include "ui/events_view.h"
#include "ui/icons.h"
#include "ui/main_window.h"

using tavrix::ds_list;

bool Tm_mainform::start_server(int index) {
  const _SVRINFO* rec = ds_list().server_at(index);
  if (!rec || rec->monitoring.load() == 1) return false;
  monitor_ctrl(true, index);
  set_node_image(index, tavrix::ui::kIconServerMonitored);
  update_actions();
  return true;
}

bool Tm_mainform::stop_server(int index) {
  _SVRINFO* rec = ds_list().server_at(index);
  if (!rec || rec->monitoring.load() == 0) return false;
  rec->monitoring = 0;
  monitor_ctrl(false, index);
  if (selected_server() == index) update_mon_list(index);
  set_node_image(index, tavrix::ui::kIconServerIdle);
  update_actions();
  return true;
}

int Tm_mainform::start_all_servers() {
  int started = 0;
  for (int i = 0; i < ds_list().server_count(); ++i) started += start_server(i) ? 1 : 0;
  return started;
}

int Tm_mainform::stop_all_servers() {
  int stopped = 0;
  for (int i = 0; i < ds_list().server_count(); ++i) stopped += stop_server(i) ? 1 : 0;
  return stopped;
}

int Tm_mainform::monitored_count() const {
  int n = 0;
  for (int i = 0; i < ds_list().server_count(); ++i)
    if (ds_list().server_at(i)->monitoring.load() == 1) ++n;
  return n;
}

void Tm_mainform::show_note(const QString& name, const QString& text) {
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

void Tm_mainform::restore_events(std::vector<tavrix::LoggedEvent> events,
                                 std::map<std::string, tavrix::AvailabilityHistory> timelines) {
  event_log_.restore(std::move(events), std::move(timelines));
  events_seen_ = event_log_.total();  // old news: the tab's count is for new events
  m_events_view->refresh();
  update_events_tab();
  update_timeline();
}

void Tm_mainform::build_session_parts() {
  // The Delete key on the tree does what Run > Delete does (and asks the same question).
  auto* del = new QShortcut(QKeySequence::Delete, m_mon_tree);
  del->setObjectName(QStringLiteral("m_delete_key"));
  del->setContext(Qt::WidgetWithChildrenShortcut);
  connect(del, &QShortcut::activated, this, [this] {
    if (m_delnode_act->isEnabled()) m_delnode_act->trigger();
  });
}
