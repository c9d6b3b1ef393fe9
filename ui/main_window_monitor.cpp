// The port table of the selected server: rows built from the server record, the two
// text sets, colours and the hover row, and Start/Stop of monitoring. Beside them: the
// Events tab, the availability timeline and the one-LAN redundancy marks, all fed by
// looking at the records on a window timer, so the pollers are never waited for.
#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QMouseEvent>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>

#include "ui/main_window.h"
#include "ui/icons.h"
#include "core/string_table.h"
#include "core/port_texts.h"
#include "ui/events_view.h"
#include "ui/forms.h"
#include "ui/server_table_status.h"
#include "ui/timeline_splitter.h"
#include "ui/timeline_view.h"

using tavrix::ds_list;

namespace {

QString str(int id) {
  return QString::fromStdString(tavrix::load_str(id));
}

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

QTableWidgetItem* new_cell(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  return item;
}

}  // namespace

void Tm_mainform::set_mon_cell(int row, int column, const QString& text) {
  if (QTableWidgetItem* item = m_mon_list->item(row, column)) item->setText(text);
}

int Tm_mainform::mon_row_data(int row) const {
  const QTableWidgetItem* item = m_mon_list->item(row, 0);
  return item ? item->data(tavrix::ui::kDataRole).toInt() : 0;
}

void Tm_mainform::set_mon_row_data(int row, int value) {
  // Setting the data announces the change, and the view repaints the row.
  if (QTableWidgetItem* item = m_mon_list->item(row, 0))
    item->setData(tavrix::ui::kDataRole, value);
}

void Tm_mainform::set_mon_text_colour(const QColor& colour) {
  mon_text_colour_ = colour;
  QPalette pal = m_mon_list->palette();
  pal.setColor(QPalette::Text, colour);
  m_mon_list->setPalette(pal);
}

void Tm_mainform::additem(const ServerRecord& rec, int mode_base) {
  const int ports = std::clamp(rec.port_count, 0, tavrix::kMaxPorts);
  int row = m_mon_list->rowCount();
  m_mon_list->setRowCount(row + 2 * ports);
  const QString dash = QStringLiteral("-");
  for (int i = 0; i < ports; ++i, row += 2) {
    const QString lan1[7] = {QString::number(i + 1),
                             str(mode_base + rec.mode_at(i)),
                             QStringLiteral("LAN1"),
                             dash,
                             dash,
                             dash,
                             dash};
    const QString lan2[7] = {dash, dash, QStringLiteral("LAN2"), dash, dash, dash, dash};
    for (int c = 0; c < 7; ++c) {
      m_mon_list->setItem(row, c, new_cell(lan1[c]));
      m_mon_list->setItem(row + 1, c, new_cell(lan2[c]));
    }
    m_mon_list->item(row, 0)->setData(tavrix::ui::kDataRole, 0);
    m_mon_list->item(row + 1, 0)->setData(tavrix::ui::kDataRole, 0);
  }
}

void Tm_mainform::update_mon_list(int index) {
  if (index < 0) return;
  const ServerRecord* rec = ds_list().server_at(index);
  if (!rec) return;
  show_status(*rec);
  const tavrix::TextSet set = tavrix::text_set_for(rec->model_id);
  const int ports = std::clamp(rec->port_count, 0, tavrix::kMaxPorts);

  if (rec->monitoring.load() == 0) {
    if (m_mon_list->rowCount() > 0) m_mon_list->setRowCount(0);
    set_mon_text_colour(tavrix::ui::kIdleText);
    additem(*rec, set.mode_base);
    return;
  }

  m_mon_list->setUpdatesEnabled(false);
  if (m_mon_list->rowCount() != 2 * ports) {
    m_mon_list->setRowCount(0);
    additem(*rec, set.mode_base);
  }
  set_mon_text_colour(rec->online.load() == 0 ? tavrix::ui::kOfflineText : tavrix::ui::kOnlineText);
  for (int row = 0; row < m_mon_list->rowCount(); ++row)
    for (int c = 1; c <= 6; ++c) set_mon_cell(row, c, QString());

  for (int i = 0; i < ports; ++i) {
    const int lan1 = 2 * i;
    const int lan2 = lan1 + 1;
    const tavrix::PortTexts port = tavrix::port_texts(*rec, i, set);
    set_mon_cell(lan1, 0, QString::number(port.port));
    set_mon_cell(lan1, 1, qs(port.mode_cell));
    if (port.supported) {
      set_mon_cell(lan1, 2, QStringLiteral("LAN1"));
      set_mon_cell(lan2, 0, QStringLiteral("-"));
      set_mon_cell(lan2, 1, QStringLiteral("-"));
      set_mon_cell(lan2, 2, QStringLiteral("LAN2"));
      for (int n = 0; n < 4; ++n) {
        set_mon_cell(lan1, 3 + n, qs(port.lan1[n]));
        set_mon_cell(lan2, 3 + n, qs(port.lan2[n]));
      }
    }
    mark_redundancy(lan1, *rec, i, rec->online.load() != 0);
  }
  m_mon_list->setUpdatesEnabled(true);
}

void Tm_mainform::mark_redundancy(int row, const ServerRecord& rec, int port_index, bool answering) {
  QTableWidgetItem* item = m_mon_list->item(row, 0);
  if (!item) return;
  // Records read while no LAN answers are stale: they mark nothing.
  const tavrix::PortTexts port =
      tavrix::port_texts(rec, port_index, tavrix::text_set_for(rec.model_id));
  if (answering && tavrix::redundancy_lost(port, rec.dual_lan == 1)) {
    item->setIcon(warning_icon_);
    item->setToolTip(QStringLiteral("Redundancy lost: port %1 is connected on LAN%2 only")
                         .arg(port.port)
                         .arg(port.connected1 > 0 ? 1 : 2));
  } else if (!item->icon().isNull()) {
    item->setIcon(QIcon());
    item->setToolTip(QString());
  }
}

void Tm_mainform::add_watch_views(QVBoxLayout* right) {
  warning_icon_ = tavrix::ui::warning_icon();
  monitored_warning_icon_ = tavrix::ui::with_warning_overlay(tavrix::ui::kIconServerMonitored);

  m_events_view = new tavrix::ui::EventsView(event_log_);
  m_mon_tab1->addTab(m_events_view, QStringLiteral("Events"));
  connect(m_mon_tab1, &QTabWidget::currentChanged, this,
          tavrix::ui::guarded<int>([this](int) { update_events_tab(); }));

  m_timeline = new tavrix::ui::TimelinePanel(Panel1);
  tavrix::ui::split_tables_from_timeline(right, {m_mon_tab1, m_root_list}, m_timeline);
  connect(m_timeline->m_timeline_span, &QComboBox::currentIndexChanged, this,
          tavrix::ui::guarded<int>([this](int) { update_timeline(); }));
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

void Tm_mainform::sample_events() {
  const auto steady = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  sample_events_at(QDateTime::currentMSecsSinceEpoch(), static_cast<uint64_t>(steady));
}

void Tm_mainform::sample_events_at(int64_t wall_ms, uint64_t steady_ms) {
  event_log_.sample(ds_list(), wall_ms, steady_ms);
  m_events_view->refresh();
  update_events_tab();
  update_tree_marks();
  update_timeline();
  tavrix::ui::refresh_status_column(m_root_list, ds_list());
}

void Tm_mainform::update_events_tab() {
  const int tab = m_mon_tab1->indexOf(m_events_view);
  if (tab < 0) return;
  if (m_mon_tab1->isVisible() && m_mon_tab1->currentIndex() == tab) {
    events_seen_ = event_log_.total();
    m_events_view->refresh();
  }
  const uint64_t unseen = event_log_.total() - events_seen_;
  const QString text =
      unseen ? QStringLiteral("Events (%1)").arg(unseen) : QStringLiteral("Events");
  if (m_mon_tab1->tabText(tab) != text) m_mon_tab1->setTabText(tab, text);
}

void Tm_mainform::update_tree_marks() {
  const int count = std::min(ds_list().server_count(), tavrix::kMaxServers);
  for (int i = 0; i < count; ++i) {
    QTreeWidgetItem* node = server_nodes[i];
    const ServerRecord* rec = ds_list().server_at(i);
    if (!node || !rec) continue;
    const bool lost = event_log_.redundancy_lost(rec);
    const bool marked = node->icon(0).cacheKey() == monitored_warning_icon_.cacheKey();
    if (lost == marked) continue;
    if (lost) {
      node->setIcon(0, monitored_warning_icon_);
      node->setToolTip(0, QStringLiteral("A Redundant COM port is connected on one LAN only"));
    } else {
      node->setIcon(0, m_main_icon[node->data(0, tavrix::ui::kImageRole).toInt()]);
      node->setToolTip(0, QString());
    }
  }
}

void Tm_mainform::update_timeline() {
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  const int index = selected_server();
  if (const ServerRecord* rec = index >= 0 ? ds_list().server_at(index) : nullptr)
    m_timeline->show_server(QString::fromStdString(tavrix::server_label(*rec)),
                            event_log_.history(rec), now);
  else
    m_timeline->show_fleet(event_log_.histories(), now);
}

void Tm_mainform::monitor_ctrl(bool start, int index) {
  ServerRecord* rec = ds_list().server_at(index);
  if (!rec) return;
  int monitored = 0;
  for (int i = 0; i < ds_list().server_count(); ++i)
    if (ds_list().server_at(i)->monitoring.load() == 1) ++monitored;

  if (start) {
    if (monitored == 0) {
      ds_list().set_stop_all(0);
      m_main_timer->start();
    }
    rec->monitoring = 1;
    ds_list().start_poller(index, 0);
    if (rec->dual_lan == 1) ds_list().start_poller(index, 1);
  } else {
    if (monitored == 0) {
      ds_list().set_stop_all(1);
      m_main_timer->stop();
    }
    ds_list().stop_poller(index, 0);
    if (rec->dual_lan == 1) ds_list().stop_poller(index, 1);
  }
  update_actions();
}

void Tm_mainform::m_start_actExecute() {
  const int index = selected_server();
  ServerRecord* rec = index >= 0 ? ds_list().server_at(index) : nullptr;
  if (!rec || rec->monitoring.load() == 1) return;
  monitor_ctrl(true, index);
  set_node_image(index, tavrix::ui::kIconServerMonitored);
  update_actions();
}

void Tm_mainform::m_stop_actExecute() {
  const int index = selected_server();
  ServerRecord* rec = index >= 0 ? ds_list().server_at(index) : nullptr;
  if (!rec || rec->monitoring.load() == 0) return;
  rec->monitoring = 0;
  monitor_ctrl(false, index);
  update_mon_list(index);
  set_node_image(index, tavrix::ui::kIconServerIdle);
  update_actions();
}

QColor Tm_mainform::m_mon_listCustomDrawItem(int row) const {
  if (mon_row_data(row) == 1) return tavrix::ui::kHoverRow;
  return (row % 2 == 0) ? tavrix::ui::kLan1Row : tavrix::ui::kLan2Row;
}

void Tm_mainform::m_mon_listMouseMove(const QPoint& viewport_pos) {
  const int row = m_mon_list->rowAt(viewport_pos.y());
  if (row < 0 || row == hot_row) return;
  if (hot_row < m_mon_list->rowCount()) set_mon_row_data(hot_row, 0);
  set_mon_row_data(row, 1);
  hot_row = row;
}

bool Tm_mainform::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_mon_list->viewport() && event->type() == QEvent::MouseMove)
    m_mon_listMouseMove(static_cast<QMouseEvent*>(event)->position().toPoint());
  return QMainWindow::eventFilter(watched, event);
}
