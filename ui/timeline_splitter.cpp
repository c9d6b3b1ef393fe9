// The vertical splitter between the tables and the timeline.
#include "ui/timeline_splitter.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QSplitter>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>

namespace tavrix::ui {

namespace {
// However small the window, a table shows its header and this many rows.
constexpr int kRowsAtLeast = 4;

int height_for_rows(QWidget* table) {
  auto* view = qobject_cast<QTableView*>(table);
  if (!view) view = table->findChild<QTableView*>();
  if (!view) return 0;
  int h = view->horizontalHeader()->sizeHint().height() +
          kRowsAtLeast * view->verticalHeader()->defaultSectionSize() +
          view->horizontalScrollBar()->sizeHint().height() + 2 * view->frameWidth();
  if (auto* tabs = qobject_cast<QTabWidget*>(table)) h += tabs->tabBar()->sizeHint().height() + 4;
  return h;
}
}  // namespace

QSplitter* split_tables_from_timeline(QVBoxLayout* column, const std::vector<QWidget*>& tables,
                                      QWidget* timeline) {
  auto* splitter = new QSplitter(Qt::Vertical, column->parentWidget());
  splitter->setObjectName(QStringLiteral("m_timeline_splitter"));
  splitter->setChildrenCollapsible(false);
  auto* upper = new QWidget(splitter);
  upper->setObjectName(QStringLiteral("m_tables_pane"));
  auto* box = new QVBoxLayout(upper);
  box->setContentsMargins(0, 0, 0, 0);
  box->setSpacing(0);
  int least = 0;
  for (QWidget* table : tables) {
    column->removeWidget(table);
    box->addWidget(table, 1);
    least = std::max(least, height_for_rows(table));
  }
  upper->setMinimumHeight(least);
  splitter->addWidget(upper);
  splitter->addWidget(timeline);
  // A larger window gives its height to the tables; the timeline keeps its own.
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 0);
  column->addWidget(splitter, 1);
  return splitter;
}

}  // namespace tavrix::ui
