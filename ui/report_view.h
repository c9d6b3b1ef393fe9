// The look of the window's report-view lists: grid lines, whole-row selection of one
// or more rows, read-only, fixed column widths, no row numbers.
#pragma once

#include <QList>

class QTableView;

namespace tavrix::ui {

// Call after the view has its model (the widths are those of the model's columns).
void style_report_view(QTableView* view, const QList<int>& widths);

}  // namespace tavrix::ui
