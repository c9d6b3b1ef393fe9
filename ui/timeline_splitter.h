// The tables and the availability timeline share the right side of the main window
// through a vertical splitter, so neither squeezes the other out of a small window and
// the user decides how much of it each gets.
#pragma once

#include <vector>

class QSplitter;
class QVBoxLayout;
class QWidget;

namespace tavrix::ui {

// Moves `tables` (already in `column`; shown one at a time) into the upper pane of a
// new splitter whose lower pane is `timeline`, and puts the splitter where they were.
QSplitter* split_tables_from_timeline(QVBoxLayout* column, const std::vector<QWidget*>& tables,
                                      QWidget* timeline);

}  // namespace tavrix::ui
