// The port view of the selected server and Start/Stop of monitoring. Beside them: the
// Events tab, the availability timeline and the one-LAN redundancy marks, all fed by
// looking at the records on a window timer, so the pollers are never waited for.
#include <QAction>
#include <QDateTime>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "ui/events_view.h"
#include "ui/forms.h"
#include "ui/icons.h"
#include "ui/main_window.h"
#include "ui/server_table.h"
#include "ui/server_table_status.h"
#include "ui/server_tree.h"
#include "ui/timeline_splitter.h"
#include "ui/timeline_view.h"

void tavrix::ui::MainWindow::update_mon_list(int index) {
  if (index < 0) return;
  const tavrix::ServerRecord* rec = list_.server_at(index);
  if (!rec) return;
  show_status(*rec);
  m_mon_list->show_server(*rec);
}

void tavrix::ui::MainWindow::add_watch_views(QVBoxLayout* right) {
  monitored_warning_icon_ = tavrix::ui::with_warning_overlay(tavrix::ui::kIconServerMonitored);

  m_events_view = new tavrix::ui::EventsView(event_log_);
  m_mon_tabs->addTab(m_events_view, QStringLiteral("Events"));
  connect(m_mon_tabs, &QTabWidget::currentChanged, this,
          tavrix::ui::guarded<int>([this](int) { update_events_tab(); }));

  m_timeline = new tavrix::ui::TimelinePanel(right_panel);
  tavrix::ui::split_tables_from_timeline(
      right, {static_cast<QWidget*>(m_mon_tabs), static_cast<QWidget*>(m_root_list)}, m_timeline);
  connect(m_timeline, &tavrix::ui::TimelinePanel::span_changed, this,
          tavrix::ui::guarded([this] { update_timeline(); }));
  connect(m_mon_tree, &QTreeWidget::itemSelectionChanged, this,
          tavrix::ui::guarded([this] { update_timeline(); }));
  // A rebuilt tree has plain images: put the warnings back once it is complete (one
  // zero-time timer, so a rebuild of many nodes costs one pass).
  auto* remark = new QTimer(this);
  remark->setSingleShot(true);
  remark->setInterval(0);
  connect(remark, &QTimer::timeout, this, tavrix::ui::guarded([this] {
            update_tree_marks();
            update_timeline();
          }));
  connect(m_mon_tree->model(), &QAbstractItemModel::rowsInserted, remark,
          qOverload<>(&QTimer::start));

  m_events_timer = new QTimer(this);
  m_events_timer->setObjectName(QStringLiteral("m_events_timer"));
  m_events_timer->setInterval(kEventsSampleMs);
  connect(m_events_timer, &QTimer::timeout, this, tavrix::ui::guarded([this] { sample_events(); }));
  m_events_timer->start();
}

void tavrix::ui::MainWindow::sample_events() {
  const auto steady = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  sample_events_at(QDateTime::currentMSecsSinceEpoch(), static_cast<uint64_t>(steady));
}

void tavrix::ui::MainWindow::sample_events_at(int64_t wall_ms, uint64_t steady_ms) {
  event_log_.sample(list_, wall_ms, steady_ms);
  m_events_view->refresh();
  update_events_tab();
  update_tree_marks();
  update_timeline();
  tavrix::ui::refresh_status_column(m_root_list, list_);
}

void tavrix::ui::MainWindow::update_events_tab() {
  const int tab = m_mon_tabs->indexOf(m_events_view);
  if (tab < 0) return;
  if (m_mon_tabs->isVisible() && m_mon_tabs->currentIndex() == tab) {
    events_seen_ = event_log_.total();
    m_events_view->refresh();
  }
  const uint64_t unseen = event_log_.total() - events_seen_;
  const QString text =
      unseen ? QStringLiteral("Events (%1)").arg(unseen) : QStringLiteral("Events");
  if (m_mon_tabs->tabText(tab) != text) m_mon_tabs->setTabText(tab, text);
}

void tavrix::ui::MainWindow::update_tree_marks() {
  m_mon_tree->update_marks(
      list_, monitored_warning_icon_,
      QStringLiteral("A Redundant COM port is connected on one LAN only"),
      [this](const tavrix::ServerRecord& rec) { return event_log_.redundancy_lost(&rec); });
}

void tavrix::ui::MainWindow::update_timeline() {
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  const int index = selected_server();
  if (const tavrix::ServerRecord* rec = index >= 0 ? list_.server_at(index) : nullptr)
    m_timeline->show_server(QString::fromStdString(tavrix::server_label(*rec)),
                            event_log_.history(rec), now);
  else
    m_timeline->show_fleet(event_log_.histories(), now);
}

void tavrix::ui::MainWindow::monitor_ctrl(bool start, int index) {
  tavrix::ServerRecord* rec = list_.server_at(index);
  if (!rec) return;
  int monitored = 0;
  for (int i = 0; i < list_.server_count(); ++i)
    if (list_.server_at(i)->monitoring.load() == 1) ++monitored;

  if (start) {
    if (monitored == 0) {
      list_.set_stop_all(0);
      m_main_timer->start();
    }
    rec->monitoring = 1;
    list_.start_poller(index, 0);
    if (rec->dual_lan == 1) list_.start_poller(index, 1);
  } else {
    if (monitored == 0) {
      list_.set_stop_all(1);
      m_main_timer->stop();
    }
    list_.stop_poller(index, 0);
    if (rec->dual_lan == 1) list_.stop_poller(index, 1);
  }
  update_actions();
}

void tavrix::ui::MainWindow::on_start() {
  const int index = selected_server();
  tavrix::ServerRecord* rec = index >= 0 ? list_.server_at(index) : nullptr;
  if (!rec || rec->monitoring.load() == 1) return;
  monitor_ctrl(true, index);
  m_mon_tree->set_node_image(index, tavrix::ui::kIconServerMonitored);
  update_actions();
}

void tavrix::ui::MainWindow::on_stop() {
  const int index = selected_server();
  tavrix::ServerRecord* rec = index >= 0 ? list_.server_at(index) : nullptr;
  if (!rec || rec->monitoring.load() == 0) return;
  rec->monitoring = 0;
  monitor_ctrl(false, index);
  update_mon_list(index);
  m_mon_tree->set_node_image(index, tavrix::ui::kIconServerIdle);
  update_actions();
}
