// The item data roles the window's views share.
#pragma once

#include <Qt>

namespace tavrix::ui {

// The node/row data (server index, -1 for the root; in the port table, 1 marks the row
// under the pointer) and the image index of a tree node.
inline constexpr int kDataRole = Qt::UserRole;
inline constexpr int kImageRole = Qt::UserRole + 1;

}  // namespace tavrix::ui
