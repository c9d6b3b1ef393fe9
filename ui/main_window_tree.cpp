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
#include "ui/table_actions.h"

using tavrix::ds_list;
using tavrix::ip_text;
using tavrix::mac_text;

namespace tavrix::ui {

ServerStatus server_status(const ServerRecord& rec) {
  if (rec.monitoring.load(std::memory_order_relaxed) == 0)
    return {QString::fromStdString(load_str(kStrIdle)), QColor(0, 0, 0)};
  if (rec.online.load(std::memory_order_relaxed) != 0)
    return {QString::fromStdString(load_str(kStrOnLine)), QColor(0, 0, 255)};
  return {QString::fromStdString(load_str(kStrOffLine)), QColor(255, 0, 0)};
}

QString server_node_text(const ServerRecord& rec) {
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

int Tm_mainform::selected_server() const {
  const QList<QTreeWidgetItem*> sel = m_mon_tree->selectedItems();
  if (sel.isEmpty()) return -1;
  return sel.first()->data(0, tavrix::ui::kDataRole).toInt();
}

void Tm_mainform::update_actions() {
  const int index = selected_server();
  const ServerRecord* rec = index >= 0 ? ds_list().server_at(index) : nullptr;
  const bool monitored = rec && rec->monitoring.load() == 1;
  m_start_act->setEnabled(rec && !monitored);
  m_stop_act->setEnabled(rec && monitored);
  m_delnode_act->setEnabled(rec && !monitored);
}

void Tm_mainform::set_node_image(int index, int image) {
  if (index < 0 || index >= tavrix::kMaxServers || !server_nodes[index]) return;
  server_nodes[index]->setIcon(0, m_main_icon[image]);
  server_nodes[index]->setData(0, tavrix::ui::kImageRole, image);
}

void Tm_mainform::rebuild_tree(int keep_index) {
  {
    // The old nodes go away without announcing each change of selection.
    const QSignalBlocker block(m_mon_tree);
    m_mon_tree->clear();
    server_nodes.fill(nullptr);
    root_node = new QTreeWidgetItem(m_mon_tree, QStringList(QStringLiteral("Server List")));
    root_node->setIcon(0, m_main_icon[tavrix::ui::kIconRoot]);
    root_node->setData(0, tavrix::ui::kDataRole, -1);
    root_node->setData(0, tavrix::ui::kImageRole, tavrix::ui::kIconRoot);
    const int count = std::min(ds_list().server_count(), tavrix::kMaxServers);
    for (int i = 0; i < count; ++i) {
      const ServerRecord* rec = ds_list().server_at(i);
      auto* node = new QTreeWidgetItem(root_node, QStringList(tavrix::ui::server_node_text(*rec)));
      node->setData(0, tavrix::ui::kDataRole, i);
      server_nodes[i] = node;
      set_node_image(i, rec->monitoring.load() == 1 ? tavrix::ui::kIconServerMonitored
                                                    : tavrix::ui::kIconServerIdle);
    }
    root_node->setExpanded(true);
  }
  const int count = ds_list().server_count();
  if (keep_index == -1 || count == 0) {
    show_view(-1);
  } else {
    if (keep_index >= count) keep_index = count - 1;
    m_mon_tree->setCurrentItem(server_nodes[keep_index]);  // the selection change shows it
  }
  update_actions();
}

void Tm_mainform::show_view(int index) {
  if (index < 0) {
    m_root_list->show();
    top_Panel->hide();
    m_mon_tab1->hide();
    fill_server_table();
    image_ctrl(-1);
  } else {
    m_root_list->hide();
    top_Panel->show();
    m_mon_tab1->show();
    image_ctrl(index);
    update_mon_list(index);
  }
}

void Tm_mainform::fill_server_table() {
  const int count = ds_list().server_count();
  if (count == 0) {
    if (m_root_list->rowCount() > 0) m_root_list->setRowCount(0);
    return;
  }
  m_root_list->setRowCount(0);
  m_root_list->setRowCount(count);
  for (int i = 0; i < count; ++i) {
    const ServerRecord* rec = ds_list().server_at(i);
    const bool dual = rec->dual_lan == 1;
    const QString cells[7] = {
        QString::number(i + 1),
        qs(qeld::model_name(rec->model_key, rec->model_id)),
        qs(mac_text(rec->mac1)),
        qs(ip_text(rec->ip1, true)),
        dual ? qs(mac_text(rec->mac2)) : QStringLiteral("---"),
        dual ? qs(ip_text(rec->ip2, true)) : QStringLiteral("---"),
        QString(),
    };
    for (int c = 0; c < 7; ++c) m_root_list->setItem(i, c, new QTableWidgetItem(cells[c]));
    m_root_list->item(i, 0)->setData(tavrix::ui::kDataRole, i);
    const tavrix::ui::ServerStatus status = tavrix::ui::server_status(*rec);
    QTableWidgetItem* cell = m_root_list->item(i, 6);
    cell->setText(status.text);
    cell->setForeground(status.colour);
  }
}

void Tm_mainform::image_ctrl(int index) {
  const ServerRecord* rec = index >= 0 ? ds_list().server_at(index) : nullptr;
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

void Tm_mainform::show_status(const ServerRecord& rec) {
  const tavrix::ui::ServerStatus status = tavrix::ui::server_status(rec);
  QFont f = m_info_status->font();
  f.setBold(true);
  m_info_status->setFont(f);
  m_info_status->setText(status.text);
  QPalette pal = m_info_status->palette();
  pal.setColor(QPalette::WindowText, status.colour);
  m_info_status->setPalette(pal);
}

void Tm_mainform::m_mon_treeChange() {
  const QList<QTreeWidgetItem*> sel = m_mon_tree->selectedItems();
  if (!sel.isEmpty()) show_view(sel.first()->data(0, tavrix::ui::kDataRole).toInt());
  update_actions();
}

void Tm_mainform::m_mon_treeContextPopup(const QPoint& pos) {
  // Pressing the right button has already moved the selection to the node under it.
  const int index = selected_server();
  if (index >= 0 && index < tavrix::kMaxServers && server_nodes[index])
    m_mon_tree->setCurrentItem(server_nodes[index]);
  update_actions();
  m_pop_tree->popup(m_mon_tree->viewport()->mapToGlobal(pos));
}

void Tm_mainform::m_open_list_actExecute() {
  const auto before = tavrix::ui::listed_servers(ds_list());
  if (tavrix::ui::open_server_list(this)) rebuild_tree(-1);
  tavrix::ui::offer_to_resume(this, ds_list(), before, [this](int i) { return start_server(i); });
}

void Tm_mainform::m_save_list_actExecute() {
  tavrix::ui::save_server_list(this);
}

void Tm_mainform::m_export_actExecute() {
  if (m_root_list->isVisible()) {
    tavrix::ui::export_table(this, tavrix::ui::view_rows(m_root_list, false),
                             QStringLiteral("servers"));
    return;
  }
  // The view on the tab in front (the port table, or another tab's own table).
  QWidget* page = m_mon_tab1->currentWidget();
  auto* view = qobject_cast<QAbstractItemView*>(page);
  if (!view && page) view = page->findChild<QAbstractItemView*>();
  if (!view) view = m_mon_list;
  // The tab's caption without the count of unseen events it may carry.
  const QString tab = m_mon_tab1->tabText(m_mon_tab1->currentIndex()).section(' ', 0, 0).toLower();
  const QString name = view == m_mon_list ? QStringLiteral("ports") : tab;
  tavrix::ui::export_table(this, tavrix::ui::view_rows(view, false), name);
}

void Tm_mainform::m_delnode_actExecute() {
  const int index = selected_server();
  ServerRecord* rec = index >= 0 ? ds_list().server_at(index) : nullptr;
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
  ds_list().delete_server(index);
  rebuild_tree(index);
}
