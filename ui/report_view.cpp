#include "ui/report_view.h"

#include <QHeaderView>
#include <QTableView>

namespace tavrix::ui {

void style_report_view(QTableView* view, const QList<int>& widths) {
  for (int c = 0; c < widths.size(); ++c) view->setColumnWidth(c, widths[c]);
  view->setShowGrid(true);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Several rows may be selected for Copy.
  view->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view->setWordWrap(false);
  view->setCornerButtonEnabled(false);
  // Tab moves on to the next control; the arrows move within the list.
  view->setTabKeyNavigation(false);
  view->verticalHeader()->setVisible(false);
  view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
  view->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  view->horizontalHeader()->setStretchLastSection(false);
  view->horizontalHeader()->setHighlightSections(false);
  view->horizontalHeader()->setSectionsClickable(false);
}

}  // namespace tavrix::ui
