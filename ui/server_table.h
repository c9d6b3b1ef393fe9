// The server table of the root view: one row per server of the list with its model,
// addresses and status word in the status colour.
#pragma once

#include <QTableWidget>

namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

class ServerTable : public QTableWidget {
  Q_OBJECT
 public:
  explicit ServerTable(QWidget* parent = nullptr);
  void fill(const tavrix::ServerList& list);
};

}  // namespace tavrix::ui
