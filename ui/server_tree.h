// The server tree: the "Server List" root and one node per server of the list, each
// with its picture (idle, monitored) and, over it, the warning or Off Line mark.
#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <array>
#include <functional>

#include "core/server_record.h"

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

class ServerTree : public QTreeWidget {
  Q_OBJECT
 public:
  explicit ServerTree(QWidget* parent = nullptr);

  // Only the root, as the window starts.
  void clear_to_root();
  // The nodes anew from the list, without announcing each change of selection; the
  // root is expanded and nothing is selected.
  void rebuild(const tavrix::ServerList& list);
  // Node data of the selected node, or -1 (root or no selection).
  int selected_server() const;
  // Makes the server's node the current one (the selection change announces it).
  // False when no node shows that index.
  bool select_server(int index);
  void set_node_image(int index, int image);
  // Wide enough for the longest node of a dual-LAN server.
  int dual_lan_width() const;
  // Puts `mark` over the node of each server for which `marked` holds and gives it
  // `tip`; takes it off where it no longer holds. Nodes carrying another mark are
  // compared by picture, so two kinds of marks take turns without flicker.
  void update_marks(const tavrix::ServerList& list, const QIcon& mark, const QString& tip,
                    const std::function<bool(const tavrix::ServerRecord&)>& marked);

 private:
  std::array<QIcon, 10> icons_;
  std::array<QTreeWidgetItem*, tavrix::kMaxServers> nodes_{};
  QTreeWidgetItem* root_ = nullptr;
};

}  // namespace tavrix::ui
