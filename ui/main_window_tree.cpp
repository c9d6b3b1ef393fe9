// The server tree, the server table of the root view, the information box, Delete
// and the actions' enabling rules.
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <algorithm>

#include "core/string_table.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "ui/icons.h"
#include "ui/list_replacement_prompt.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/server_list_actions.h"
#include "ui/server_table.h"
#include "ui/server_tree.h"
#include "ui/table_actions.h"

using tavrix::ip_text;
using tavrix::mac_text;

namespace tavrix::ui {

ServerStatus server_status(const tavrix::ServerRecord& rec) {
  if (rec.monitoring.load(std::memory_order_relaxed) == 0)
    return {QString::fromStdString(load_str(kStrIdle)), QColor(0, 0, 0)};
  if (rec.online.load(std::memory_order_relaxed) != 0)
    return {QString::fromStdString(load_str(kStrOnLine)), QColor(0, 0, 255)};
  return {QString::fromStdString(load_str(kStrOffLine)), QColor(255, 0, 0)};
}

QString server_node_text(const tavrix::ServerRecord& rec) {
  std::string text = ip_text(rec.ip1, true);
  if (rec.dual_lan == 1) text += ", " + ip_text(rec.ip2, true);
  text += "  [" + qeld::model_name(rec.model_key, rec.model_id) + "]";
  return QString::fromStdString(text);
}

}  // namespace tavrix::ui

namespace {
QString qs(const std::string& s) {
  return QString::fromStdString(s);
}
}  // namespace

int tavrix::ui::MainWindow::selected_server() const {
  return m_mon_tree->selected_server();
}

bool tavrix::ui::MainWindow::select_server(int index) {
  if (index < 0) {
    m_mon_tree->setCurrentItem(m_mon_tree->topLevelItem(0));
    return true;
  }
  return m_mon_tree->select_server(index);
}

void tavrix::ui::MainWindow::update_actions() {
  const int index = selected_server();
  const tavrix::ServerRecord* rec = index >= 0 ? list_.server_at(index) : nullptr;
  const bool monitored = rec && rec->monitoring.load() == 1;
  m_start_act->setEnabled(rec && !monitored);
  m_stop_act->setEnabled(rec && monitored);
  m_delnode_act->setEnabled(rec && !monitored);
}

void tavrix::ui::MainWindow::rebuild_tree(int keep_index) {
  m_mon_tree->rebuild(list_);
  const int count = list_.server_count();
  if (keep_index == -1 || count == 0) {
    show_view(-1);
  } else {
    if (keep_index >= count) keep_index = count - 1;
    m_mon_tree->select_server(keep_index);  // the selection change shows it
  }
  update_actions();
}

void tavrix::ui::MainWindow::show_view(int index) {
  if (index < 0) {
    m_root_list->show();
    info_panel->hide();
    m_mon_tabs->hide();
    fill_server_table();
    image_ctrl(-1);
  } else {
    m_root_list->hide();
    info_panel->show();
    m_mon_tabs->show();
    image_ctrl(index);
    update_mon_list(index);
  }
}

void tavrix::ui::MainWindow::fill_server_table() {
  m_root_list->fill(list_);
}

void tavrix::ui::MainWindow::image_ctrl(int index) {
  const tavrix::ServerRecord* rec = index >= 0 ? list_.server_at(index) : nullptr;
  if (!rec) {
    m_info_status->clear();
    m_info_model->clear();
    m_info_ip->clear();
    m_info_mac->clear();
    m_ds_AsyncServer->hide();
    return;
  }
  m_info_model->setText(qs(qeld::model_name(rec->model_key, rec->model_id)));
  QString ip = qs(ip_text(rec->ip1, true));
  QString mac = qs(mac_text(rec->mac1));
  if (rec->dual_lan == 1) {
    ip = QStringLiteral("%1, %2").arg(ip, qs(ip_text(rec->ip2, true)));
    mac = QStringLiteral("%1, %2").arg(mac, qs(mac_text(rec->mac2)));
  }
  show_status(*rec);
  m_info_ip->setText(ip);
  m_info_mac->setText(mac);
  m_ds_AsyncServer->show();
}

void tavrix::ui::MainWindow::show_status(const tavrix::ServerRecord& rec) {
  const tavrix::ui::ServerStatus status = tavrix::ui::server_status(rec);
  QFont f = m_info_status->font();
  f.setBold(true);
  m_info_status->setFont(f);
  m_info_status->setText(status.text);
  QPalette pal = m_info_status->palette();
  pal.setColor(QPalette::WindowText, status.colour);
  m_info_status->setPalette(pal);
}

void tavrix::ui::MainWindow::on_tree_change() {
  if (!m_mon_tree->selectedItems().isEmpty()) show_view(m_mon_tree->selected_server());
  update_actions();
}

void tavrix::ui::MainWindow::on_tree_menu(const QPoint& pos) {
  // Pressing the right button has already moved the selection to the node under it.
  const int index = selected_server();
  if (index >= 0) m_mon_tree->select_server(index);
  update_actions();
  m_pop_tree->popup(m_mon_tree->viewport()->mapToGlobal(pos));
}

void tavrix::ui::MainWindow::on_open_list() {
  const auto before = tavrix::ui::listed_servers(list_);
  if (tavrix::ui::open_server_list(this, list_)) rebuild_tree(-1);
  tavrix::ui::offer_to_resume(this, list_, before, [this](int i) { return start_server(i); });
}

void tavrix::ui::MainWindow::on_save_list() {
  tavrix::ui::save_server_list(this, list_);
}

void tavrix::ui::MainWindow::on_export() {
  if (m_root_list->isVisible()) {
    tavrix::ui::export_table(this, tavrix::ui::view_rows(m_root_list, false),
                             QStringLiteral("servers"));
    return;
  }
  // The view on the tab in front (the port table, or another tab's own table).
  QWidget* page = m_mon_tabs->currentWidget();
  auto* view = qobject_cast<QAbstractItemView*>(page);
  if (!view && page) view = page->findChild<QAbstractItemView*>();
  if (!view) view = m_mon_list;
  // The tab's caption without the count of unseen events it may carry.
  const QString tab = m_mon_tabs->tabText(m_mon_tabs->currentIndex()).section(' ', 0, 0).toLower();
  const QString name = view == m_mon_list ? QStringLiteral("ports") : tab;
  tavrix::ui::export_table(this, tavrix::ui::view_rows(view, false), name);
}

void tavrix::ui::MainWindow::on_delete_node() {
  const int index = selected_server();
  tavrix::ServerRecord* rec = index >= 0 ? list_.server_at(index) : nullptr;
  if (!rec) return;
  // There is no undo: the server would have to be found again.
  const QString question =
      QStringLiteral("Delete %1 from the server list?").arg(tavrix::ui::server_node_text(*rec));
  if (tavrix::ui::message_box(this, question, tavrix::ui::MsgIcon::Warning,
                              tavrix::ui::MsgButtons::YesCancel) != tavrix::ui::MsgResult::Yes)
    return;
  if (rec->monitoring.load() == 1) {
    rec->monitoring = 0;
    monitor_ctrl(false, index);
  }
  // Its handles close with the record, once its pollers have let go of it.
  list_.delete_server(index);
  rebuild_tree(index);
}
