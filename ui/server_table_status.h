// Keeps the Status column of the root view's server table current: the table is filled
// when the root node is shown, but monitoring goes on while it is in view.
#pragma once

class QTableWidget;
namespace tavrix {
class ServerList;
}  // namespace tavrix

namespace tavrix::ui {

// Sets each row's status word and colour from its server's record (the row's server is
// the index kept in its first cell). Returns how many cells changed.
int refresh_status_column(QTableWidget* table, const tavrix::ServerList& list);

}  // namespace tavrix::ui
