#include "ui/server_tree.h"

#include <QHeaderView>
#include <QStyle>
#include <algorithm>

#include "core/server_list.h"
#include "ui/icons.h"
#include "ui/item_roles.h"
#include "ui/main_window.h"

namespace tavrix::ui {

ServerTree::ServerTree(QWidget* parent) : QTreeWidget(parent) {
  for (int i = 0; i < kMainIconCount; ++i) icons_[i] = main_icon(i);
  setObjectName(QStringLiteral("m_mon_tree"));
  setHeaderHidden(true);
  setColumnCount(1);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setIconSize(QSize(16, 16));
  setContextMenuPolicy(Qt::CustomContextMenu);
  setMinimumWidth(120);
  // Long node texts scroll sideways rather than being cut short.
  setTextElideMode(Qt::ElideNone);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
}

int ServerTree::dual_lan_width() const {
  // Wide enough for the longest node a dual-LAN server can have (two full addresses and
  // the longest model name in the list), with the indentation, icon and frame.
  const QString widest = QStringLiteral("255.255.255.255, 255.255.255.255  [TVX-3202UR]");
  const int text = fontMetrics().horizontalAdvance(widest);
  // The item's own margins around icon and text, as the styles draw them, and a spare.
  const int margins = 4 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) + 32;
  const int chrome = indentation() + iconSize().width() + 2 * frameWidth() + margins;
  return text + chrome;
}

void ServerTree::clear_to_root() {
  clear();
  nodes_.fill(nullptr);
  root_ = new QTreeWidgetItem(this, QStringList(QStringLiteral("Server List")));
  root_->setIcon(0, icons_[kIconRoot]);
  root_->setData(0, kDataRole, -1);
  root_->setData(0, kImageRole, kIconRoot);
}

void ServerTree::rebuild(const tavrix::ServerList& list) {
  // The old nodes go away without announcing each change of selection.
  const QSignalBlocker block(this);
  clear_to_root();
  const int count = std::min(list.server_count(), tavrix::kMaxServers);
  for (int i = 0; i < count; ++i) {
    const tavrix::ServerRecord* rec = list.server_at(i);
    auto* node = new QTreeWidgetItem(root_, QStringList(server_node_text(*rec)));
    node->setData(0, kDataRole, i);
    nodes_[i] = node;
    set_node_image(i, rec->monitoring.load() == 1 ? kIconServerMonitored : kIconServerIdle);
  }
  root_->setExpanded(true);
}

int ServerTree::selected_server() const {
  const QList<QTreeWidgetItem*> sel = selectedItems();
  if (sel.isEmpty()) return -1;
  return sel.first()->data(0, kDataRole).toInt();
}

bool ServerTree::select_server(int index) {
  if (index < 0 || index >= tavrix::kMaxServers || !nodes_[index]) return false;
  setCurrentItem(nodes_[index]);
  return true;
}

void ServerTree::set_node_image(int index, int image) {
  if (index < 0 || index >= tavrix::kMaxServers || !nodes_[index]) return;
  nodes_[index]->setIcon(0, icons_[image]);
  nodes_[index]->setData(0, kImageRole, image);
}

void ServerTree::update_marks(const tavrix::ServerList& list, const QIcon& mark, const QString& tip,
                              const std::function<bool(const tavrix::ServerRecord&)>& marked) {
  const int count = std::min(list.server_count(), tavrix::kMaxServers);
  for (int i = 0; i < count; ++i) {
    QTreeWidgetItem* node = nodes_[i];
    const tavrix::ServerRecord* rec = list.server_at(i);
    if (!node || !rec) continue;
    const bool on = marked(*rec);
    const bool shown = node->icon(0).cacheKey() == mark.cacheKey();
    if (on == shown) continue;
    if (on) {
      node->setIcon(0, mark);
      node->setToolTip(0, tip);
    } else {
      node->setIcon(0, icons_[node->data(0, kImageRole).toInt()]);
      node->setToolTip(0, QString());
    }
  }
}

}  // namespace tavrix::ui
