// The main window's construction: controls and layout, the nine actions with their
// images and shortcuts, the three menus, the toolbar and the tree's popup menu.
#include "ui/main_window.h"

#include <QAction>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "core/string_table.h"
#include "ui/events_view.h"
#include "ui/forms.h"
#include "ui/icons.h"
#include "ui/table_actions.h"

namespace {

// Paints each port-table row on the background the window chooses for it (hover,
// LAN1 or LAN2 row) before the cell's text is drawn.
class MonRowDelegate : public QStyledItemDelegate {
 public:
  explicit MonRowDelegate(Tm_mainform* form) : QStyledItemDelegate(form), form_(form) {}

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->backgroundBrush = form_->m_mon_listCustomDrawItem(index.row());
  }

 private:
  Tm_mainform* form_;
};

// A report-view list: grid lines, whole-row selection, read-only, fixed column widths.
QTableWidget* make_report_list(QWidget* parent, const char* name,
                               std::initializer_list<std::pair<const char*, int>> columns) {
  auto* list = new QTableWidget(parent);
  list->setObjectName(QString::fromLatin1(name));
  list->setColumnCount(static_cast<int>(columns.size()));
  int c = 0;
  QStringList captions;
  for (const auto& [caption, width] : columns) captions << QString::fromLatin1(caption);
  list->setHorizontalHeaderLabels(captions);
  for (const auto& [caption, width] : columns) list->setColumnWidth(c++, width);
  list->setShowGrid(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Several rows may be selected for Copy.
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setWordWrap(false);
  list->setCornerButtonEnabled(false);
  // Tab moves on to the next control; the arrows move within the list.
  list->setTabKeyNavigation(false);
  list->verticalHeader()->setVisible(false);
  list->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  list->verticalHeader()->setDefaultSectionSize(list->fontMetrics().height() + 6);
  list->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->horizontalHeader()->setStretchLastSection(false);
  list->horizontalHeader()->setHighlightSections(false);
  list->horizontalHeader()->setSectionsClickable(false);
  return list;
}

// Wide enough for the longest node a dual-LAN server can have (two full addresses and
// the longest model name in the list), with the tree's indentation, icon and frame.
int tree_width_for_dual_lan_node(const QTreeWidget* tree) {
  const QString widest = QStringLiteral("255.255.255.255, 255.255.255.255  [TVX-3202UR]");
  const int text = tree->fontMetrics().horizontalAdvance(widest);
  // The item's own margins around icon and text, as the styles draw them, and a spare.
  const int margins = 4 * (tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) + 32;
  const int chrome =
      tree->indentation() + tree->iconSize().width() + 2 * tree->frameWidth() + margins;
  return text + chrome;
}

QLabel* info_caption(const char* text, QWidget* parent) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

QLabel* info_value(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

Tm_mainform::Tm_mainform(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("m_mainform"));
  setWindowTitle(QStringLiteral("Tavrix Monitor Utility"));
  setFont(tavrix::ui::form_font());
  setWindowIcon(tavrix::ui::application_icon());
  for (int i = 0; i < tavrix::ui::kMainIconCount; ++i) m_main_icon[i] = tavrix::ui::main_icon(i);

  build_actions();
  build_views();
  build_menus_and_toolbar();

  m_main_timer = new QTimer(this);
  m_main_timer->setObjectName(QStringLiteral("m_main_timer"));
  connect(m_main_timer, &QTimer::timeout, this,
          tavrix::ui::guarded([this] { m_main_timerTimer(); }));

  FormCreate();
  build_session_parts();
}

Tm_mainform::~Tm_mainform() {
  m_mon_list->viewport()->removeEventFilter(this);
}

QMenu* Tm_mainform::createPopupMenu() {
  return nullptr;
}

void Tm_mainform::build_actions() {
  struct ActionRow {
    QAction** slot;
    const char* name;
    const char* caption;
    int image;  // -1: none
    QKeySequence key;
    void (Tm_mainform::*handler)();
  };
  const ActionRow rows[] = {
      {&m_search_act, "m_search_act", "Search", tavrix::ui::kIconSearch,
       QKeySequence(Qt::CTRL | Qt::Key_F), &Tm_mainform::m_search_actExecute},
      {&m_specifyIP_act, "m_specifyIP_act", "Specify IP", tavrix::ui::kIconSpecifyIp,
       QKeySequence(Qt::CTRL | Qt::Key_S), &Tm_mainform::m_specifyIP_actExecute},
      {&m_exit_act, "m_exit_act", "Exit", tavrix::ui::kIconExit, QKeySequence(Qt::CTRL | Qt::Key_X),
       &Tm_mainform::m_exit_actExecute},
      {&m_start_act, "m_start_act", "Start", tavrix::ui::kIconStart,
       QKeySequence(Qt::CTRL | Qt::Key_G), &Tm_mainform::m_start_actExecute},
      {&m_stop_act, "m_stop_act", "Stop", tavrix::ui::kIconStop, QKeySequence(Qt::CTRL | Qt::Key_T),
       &Tm_mainform::m_stop_actExecute},
      {&m_delnode_act, "m_delnode_act", "Delete", tavrix::ui::kIconDelete, QKeySequence(),
       &Tm_mainform::m_delnode_actExecute},
      {&m_settings_act, "m_settings_act", "Settings", tavrix::ui::kIconSettings, QKeySequence(),
       &Tm_mainform::m_menu_settingsClick},
      {&m_online_act, "m_online_act", "Online Help", -1, QKeySequence(Qt::Key_F1),
       &Tm_mainform::m_about_actExecute},
      {&m_about_act, "m_about_act", "About", -1, QKeySequence(), &Tm_mainform::m_about_actExecute},
  };
  // Shortcuts only where no other action has one (Ctrl+S is Specify IP).
  const ActionRow added[] = {
      {&m_open_list_act, "m_open_list_act", "Open Server List...", -1,
       QKeySequence(Qt::CTRL | Qt::Key_O), &Tm_mainform::m_open_list_actExecute},
      {&m_save_list_act, "m_save_list_act", "Save Server List...", -1, QKeySequence(),
       &Tm_mainform::m_save_list_actExecute},
      {&m_export_act, "m_export_act", "Export...", -1, QKeySequence(Qt::CTRL | Qt::Key_E),
       &Tm_mainform::m_export_actExecute},
  };
  const auto make = [this](const ActionRow& s) {
    auto* act = new QAction(QString::fromLatin1(s.caption), this);
    act->setObjectName(QString::fromLatin1(s.name));
    if (s.image >= 0) act->setIcon(m_main_icon[s.image]);
    if (!s.key.isEmpty()) act->setShortcut(s.key);
    act->setShortcutContext(Qt::WindowShortcut);
    auto handler = s.handler;
    connect(act, &QAction::triggered, this,
            tavrix::ui::guarded([this, handler] { (this->*handler)(); }));
    addAction(act);  // shortcuts work even for actions that are in no menu (Online Help)
    *s.slot = act;
  };
  for (const ActionRow& s : rows) make(s);
  for (const ActionRow& s : added) make(s);
}

void Tm_mainform::build_menus_and_toolbar() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  QMenu* function = bar->addMenu(QStringLiteral("Function"));
  function->addAction(m_search_act);
  function->addAction(m_specifyIP_act);
  function->addSeparator();
  // Added items go above Exit, which stays the menu's last.
  function->addAction(m_open_list_act);
  function->addAction(m_save_list_act);
  function->addAction(m_export_act);
  function->addSeparator();
  function->addAction(m_exit_act);
  QMenu* run = bar->addMenu(QStringLiteral("Run"));
  run->addAction(m_start_act);
  run->addAction(m_stop_act);
  run->addAction(m_delnode_act);
  run->addSeparator();
  run->addAction(m_settings_act);
  QMenu* help = bar->addMenu(QStringLiteral("Help"));
  help->addAction(m_about_act);

  m_pop_tree = new QMenu(this);
  m_pop_tree->setObjectName(QStringLiteral("m_pop_tree"));
  m_pop_tree->addAction(m_start_act);
  m_pop_tree->addAction(m_stop_act);
  m_pop_tree->addSeparator();
  m_pop_tree->addAction(m_delnode_act);

  ToolBar1 = new QToolBar(QStringLiteral("CoolBar1"), this);
  ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
  ToolBar1->setMovable(false);
  ToolBar1->setFloatable(false);
  ToolBar1->setIconSize(QSize(16, 16));
  ToolBar1->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
  ToolBar1->addAction(m_exit_act);
  ToolBar1->addSeparator();
  ToolBar1->addAction(m_search_act);
  ToolBar1->addAction(m_specifyIP_act);
  ToolBar1->addSeparator();
  ToolBar1->addAction(m_start_act);
  ToolBar1->addAction(m_stop_act);
  ToolBar1->addAction(m_delnode_act);
  ToolBar1->addSeparator();
  ToolBar1->addAction(m_settings_act);
  for (QAction* act : ToolBar1->actions()) {
    if (QWidget* w = ToolBar1->widgetForAction(act); w && !act->isSeparator()) {
      w->setMinimumSize(55, 36);
      w->setObjectName(act->objectName() + QStringLiteral("_button"));
    }
  }
  addToolBar(Qt::TopToolBarArea, ToolBar1);
}

void Tm_mainform::build_views() {
  Splitter1 = new QSplitter(Qt::Horizontal, this);
  Splitter1->setObjectName(QStringLiteral("Splitter1"));
  Splitter1->setChildrenCollapsible(false);

  m_mon_tree = new QTreeWidget(Splitter1);
  m_mon_tree->setObjectName(QStringLiteral("m_mon_tree"));
  m_mon_tree->setHeaderHidden(true);
  m_mon_tree->setColumnCount(1);
  m_mon_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_mon_tree->setSelectionMode(QAbstractItemView::SingleSelection);
  m_mon_tree->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_mon_tree->setIconSize(QSize(16, 16));
  m_mon_tree->setContextMenuPolicy(Qt::CustomContextMenu);
  m_mon_tree->setMinimumWidth(120);
  // Long node texts scroll sideways rather than being cut short.
  m_mon_tree->setTextElideMode(Qt::ElideNone);
  m_mon_tree->header()->setStretchLastSection(false);
  m_mon_tree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  const int tree_width = std::max(225, tree_width_for_dual_lan_node(m_mon_tree));
  m_mon_tree->resize(tree_width, m_mon_tree->height());

  Panel1 = new QWidget(Splitter1);
  Panel1->setObjectName(QStringLiteral("Panel1"));

  top_Panel = new QFrame(Panel1);
  top_Panel->setObjectName(QStringLiteral("top_Panel"));
  top_Panel->setFixedHeight(120);
  static_cast<QFrame*>(top_Panel)->setFrameShape(QFrame::StyledPanel);
  auto* info = new QGridLayout;
  info->setHorizontalSpacing(10);
  info->setVerticalSpacing(6);
  m_info_status = info_value(top_Panel, "m_info_status");
  m_info_model = info_value(top_Panel, "m_info_model");
  m_info_ip = info_value(top_Panel, "m_info_ip");
  m_info_mac = info_value(top_Panel, "m_info_mac");
  const std::pair<const char*, QLabel*> rows[] = {{"Status:", m_info_status},
                                                  {"Model:", m_info_model},
                                                  {"IP Address:", m_info_ip},
                                                  {"MAC Address:", m_info_mac}};
  int r = 0;
  for (const auto& [caption, value] : rows) {
    info->addWidget(info_caption(caption, top_Panel), r, 0);
    info->addWidget(value, r++, 1);
  }
  info->setColumnStretch(1, 1);

  Panel2 = new QWidget(top_Panel);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  m_ds_AsyncServer = new QLabel(Panel2);
  m_ds_AsyncServer->setObjectName(QStringLiteral("m_ds_AsyncServer"));
  m_ds_AsyncServer->setPixmap(tavrix::ui::product_picture(190, 95));
  auto* p2 = new QVBoxLayout(Panel2);
  p2->setContentsMargins(0, 0, 0, 0);
  p2->addWidget(m_ds_AsyncServer, 0, Qt::AlignCenter);

  auto* top = new QHBoxLayout(top_Panel);
  top->setContentsMargins(16, 8, 16, 8);
  top->addLayout(info, 1);
  top->addWidget(Panel2, 0);

  m_mon_tab1 = new QTabWidget(Panel1);
  m_mon_tab1->setObjectName(QStringLiteral("m_mon_tab1"));
  m_mon_list = make_report_list(nullptr, "m_mon_list",
                                {{"Port", 40},
                                 {"Operation Mode", 120},
                                 {"LAN", 50},
                                 {"Connection 1", 100},
                                 {"Connection 2", 100},
                                 {"Connection 3", 100},
                                 {"Connection 4", 100}});
  m_mon_list->setItemDelegate(new MonRowDelegate(this));
  m_mon_list->setMouseTracking(true);
  m_mon_list->viewport()->setMouseTracking(true);
  m_mon_list->viewport()->installEventFilter(this);
  // The hover mark is the data of a row's first cell, but the whole row is painted with
  // it: a change of the mark repaints every cell of the row, not just the first.
  connect(m_mon_list->model(), &QAbstractItemModel::dataChanged, this,
          [this](const QModelIndex& first, const QModelIndex& last, const QList<int>& roles) {
            if (!roles.contains(tavrix::ui::kDataRole)) return;
            QWidget* view = m_mon_list->viewport();
            for (int r = first.row(); r <= last.row(); ++r)
              view->update(0, m_mon_list->rowViewportPosition(r), view->width(),
                           m_mon_list->rowHeight(r));
          });
  m_mon_tab1->addTab(m_mon_list, QStringLiteral("Connections"));

  m_root_list = make_report_list(Panel1, "m_root_list",
                                 {{"No", 30},
                                  {"Model", 100},
                                  {"MAC Address1", 120},
                                  {"IP Address1", 120},
                                  {"MAC Address2", 120},
                                  {"IP Address2", 120},
                                  {"Status", 50}});

  auto* right = new QVBoxLayout(Panel1);
  right->setContentsMargins(0, 0, 0, 0);
  right->setSpacing(4);
  right->addWidget(top_Panel);
  right->addWidget(m_mon_tab1, 1);
  right->addWidget(m_root_list, 1);
  add_watch_views(right);

  tavrix::ui::add_table_menu(m_root_list, QStringLiteral("servers"));
  tavrix::ui::add_table_menu(m_mon_list, QStringLiteral("ports"));
  tavrix::ui::set_export_note_column(m_mon_list, QStringLiteral("Warning"));
  if (m_events_view)
    tavrix::ui::add_table_menu(m_events_view->m_events_list, QStringLiteral("events"));

  Splitter1->addWidget(m_mon_tree);
  Splitter1->addWidget(Panel1);
  Splitter1->setStretchFactor(0, 0);
  Splitter1->setStretchFactor(1, 1);
  Splitter1->setSizes({tree_width, 800});
  setCentralWidget(Splitter1);

  connect(m_mon_tree, &QTreeWidget::itemSelectionChanged, this,
          tavrix::ui::guarded([this] { m_mon_treeChange(); }));
  connect(m_mon_tree, &QWidget::customContextMenuRequested, this,
          tavrix::ui::guarded<const QPoint&>(
              [this](const QPoint& pos) { m_mon_treeContextPopup(pos); }));
}

void Tm_mainform::FormCreate() {
  root_node = new QTreeWidgetItem(m_mon_tree, QStringList(QStringLiteral("Server List")));
  root_node->setIcon(0, m_main_icon[tavrix::ui::kIconRoot]);
  root_node->setData(0, tavrix::ui::kDataRole, -1);
  root_node->setData(0, tavrix::ui::kImageRole, tavrix::ui::kIconRoot);
  show_view(-1);
  m_main_timer->stop();
  m_main_timer->setInterval(tavrix::ds_list().refresh_rate.load() * 1000);
  top_Panel->hide();
  m_mon_tab1->hide();
  update_actions();
}
