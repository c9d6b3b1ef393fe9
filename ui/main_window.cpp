// The main window's construction: controls and layout, the nine actions with their
// images and shortcuts, the three menus, the toolbar and the tree's popup menu.
#include "ui/main_window.h"

#include <QAction>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "core/string_table.h"
#include "ui/about_box.h"
#include "ui/close_dialog.h"
#include "ui/events_view.h"
#include "ui/forms.h"
#include "ui/icons.h"
#include "ui/search_dialog.h"
#include "ui/search_ip_dialog.h"
#include "ui/server_table.h"
#include "ui/server_tree.h"
#include "ui/settings_dialog.h"
#include "ui/table_actions.h"

namespace {

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

tavrix::ui::MainWindow::MainWindow(tavrix::ServerList& list, QWidget* parent)
    : QMainWindow(parent), list_(list) {
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
          tavrix::ui::guarded([this] { on_refresh_timer(); }));

  create_controls();
  build_session_parts();

  m_search_form = new tavrix::ui::SearchDialog(list_, this);
  m_aboutbox = new tavrix::ui::AboutBox(this);
  m_set_form = new tavrix::ui::SettingsDialog(list_, this);
  m_close_form = new tavrix::ui::CloseDialog(list_, this);
  m_searchIP_form = new tavrix::ui::SearchIpDialog(list_, this);
}

tavrix::ui::MainWindow::~MainWindow() = default;

QMenu* tavrix::ui::MainWindow::createPopupMenu() {
  return nullptr;
}

void tavrix::ui::MainWindow::build_actions() {
  struct ActionRow {
    QAction** slot;
    const char* name;
    const char* caption;
    int image;  // -1: none
    QKeySequence key;
    void (tavrix::ui::MainWindow::*handler)();
  };
  const ActionRow rows[] = {
      {&m_search_act, "m_search_act", "Search", tavrix::ui::kIconSearch,
       QKeySequence(Qt::CTRL | Qt::Key_F), &tavrix::ui::MainWindow::on_search},
      {&m_specifyIP_act, "m_specifyIP_act", "Specify IP", tavrix::ui::kIconSpecifyIp,
       QKeySequence(Qt::CTRL | Qt::Key_S), &tavrix::ui::MainWindow::on_search_ip},
      {&m_exit_act, "m_exit_act", "Exit", tavrix::ui::kIconExit, QKeySequence(Qt::CTRL | Qt::Key_X),
       &tavrix::ui::MainWindow::on_exit},
      {&m_start_act, "m_start_act", "Start", tavrix::ui::kIconStart,
       QKeySequence(Qt::CTRL | Qt::Key_G), &tavrix::ui::MainWindow::on_start},
      {&m_stop_act, "m_stop_act", "Stop", tavrix::ui::kIconStop, QKeySequence(Qt::CTRL | Qt::Key_T),
       &tavrix::ui::MainWindow::on_stop},
      {&m_delnode_act, "m_delnode_act", "Delete", tavrix::ui::kIconDelete, QKeySequence(),
       &tavrix::ui::MainWindow::on_delete_node},
      {&m_settings_act, "m_settings_act", "Settings", tavrix::ui::kIconSettings, QKeySequence(),
       &tavrix::ui::MainWindow::on_settings},
      {&m_online_act, "m_online_act", "Online Help", -1, QKeySequence(Qt::Key_F1),
       &tavrix::ui::MainWindow::on_about},
      {&m_about_act, "m_about_act", "About", -1, QKeySequence(), &tavrix::ui::MainWindow::on_about},
  };
  // Shortcuts only where no other action has one (Ctrl+S is Specify IP).
  const ActionRow added[] = {
      {&m_open_list_act, "m_open_list_act", "Open Server List...", -1,
       QKeySequence(Qt::CTRL | Qt::Key_O), &tavrix::ui::MainWindow::on_open_list},
      {&m_save_list_act, "m_save_list_act", "Save Server List...", -1, QKeySequence(),
       &tavrix::ui::MainWindow::on_save_list},
      {&m_export_act, "m_export_act", "Export...", -1, QKeySequence(Qt::CTRL | Qt::Key_E),
       &tavrix::ui::MainWindow::on_export},
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

void tavrix::ui::MainWindow::build_menus_and_toolbar() {
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

  tool_bar = new QToolBar(QStringLiteral("CoolBar1"), this);
  tool_bar->setObjectName(QStringLiteral("ToolBar1"));
  tool_bar->setMovable(false);
  tool_bar->setFloatable(false);
  tool_bar->setIconSize(QSize(16, 16));
  tool_bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  tool_bar->setContextMenuPolicy(Qt::PreventContextMenu);
  tool_bar->addAction(m_exit_act);
  tool_bar->addSeparator();
  tool_bar->addAction(m_search_act);
  tool_bar->addAction(m_specifyIP_act);
  tool_bar->addSeparator();
  tool_bar->addAction(m_start_act);
  tool_bar->addAction(m_stop_act);
  tool_bar->addAction(m_delnode_act);
  tool_bar->addSeparator();
  tool_bar->addAction(m_settings_act);
  for (QAction* act : tool_bar->actions()) {
    if (QWidget* w = tool_bar->widgetForAction(act); w && !act->isSeparator()) {
      w->setMinimumSize(55, 36);
      w->setObjectName(act->objectName() + QStringLiteral("_button"));
    }
  }
  addToolBar(Qt::TopToolBarArea, tool_bar);
}

void tavrix::ui::MainWindow::build_views() {
  splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setObjectName(QStringLiteral("Splitter1"));
  splitter->setChildrenCollapsible(false);

  m_mon_tree = new tavrix::ui::ServerTree(splitter);
  const int tree_width = std::max(225, m_mon_tree->dual_lan_width());
  m_mon_tree->resize(tree_width, m_mon_tree->height());

  right_panel = new QWidget(splitter);
  right_panel->setObjectName(QStringLiteral("Panel1"));

  info_panel = new QFrame(right_panel);
  info_panel->setObjectName(QStringLiteral("top_Panel"));
  info_panel->setFixedHeight(120);
  static_cast<QFrame*>(info_panel)->setFrameShape(QFrame::StyledPanel);
  auto* info = new QGridLayout;
  info->setHorizontalSpacing(10);
  info->setVerticalSpacing(6);
  m_info_status = info_value(info_panel, "m_info_status");
  m_info_model = info_value(info_panel, "m_info_model");
  m_info_ip = info_value(info_panel, "m_info_ip");
  m_info_mac = info_value(info_panel, "m_info_mac");
  const std::pair<const char*, QLabel*> rows[] = {{"Status:", m_info_status},
                                                  {"Model:", m_info_model},
                                                  {"IP Address:", m_info_ip},
                                                  {"MAC Address:", m_info_mac}};
  int r = 0;
  for (const auto& [caption, value] : rows) {
    info->addWidget(info_caption(caption, info_panel), r, 0);
    info->addWidget(value, r++, 1);
  }
  info->setColumnStretch(1, 1);

  async_panel = new QWidget(info_panel);
  async_panel->setObjectName(QStringLiteral("Panel2"));
  m_ds_AsyncServer = new QLabel(async_panel);
  m_ds_AsyncServer->setObjectName(QStringLiteral("m_ds_AsyncServer"));
  m_ds_AsyncServer->setPixmap(tavrix::ui::product_picture(190, 95));
  auto* p2 = new QVBoxLayout(async_panel);
  p2->setContentsMargins(0, 0, 0, 0);
  p2->addWidget(m_ds_AsyncServer, 0, Qt::AlignCenter);

  auto* top = new QHBoxLayout(info_panel);
  top->setContentsMargins(16, 8, 16, 8);
  top->addLayout(info, 1);
  top->addWidget(async_panel, 0);

  m_mon_tabs = new QTabWidget(right_panel);
  m_mon_tabs->setObjectName(QStringLiteral("m_mon_tab1"));
  m_mon_list = new tavrix::ui::PortView;
  m_mon_tabs->addTab(m_mon_list, QStringLiteral("Connections"));

  m_root_list = new tavrix::ui::ServerTable(right_panel);

  auto* right = new QVBoxLayout(right_panel);
  right->setContentsMargins(0, 0, 0, 0);
  right->setSpacing(4);
  right->addWidget(info_panel);
  right->addWidget(m_mon_tabs, 1);
  right->addWidget(m_root_list, 1);
  add_watch_views(right);

  tavrix::ui::add_table_menu(m_root_list, QStringLiteral("servers"));
  tavrix::ui::add_table_menu(m_mon_list, QStringLiteral("ports"));
  tavrix::ui::set_export_note_column(m_mon_list, QStringLiteral("Warning"));
  if (m_events_view) tavrix::ui::add_table_menu(m_events_view->table(), QStringLiteral("events"));

  splitter->addWidget(m_mon_tree);
  splitter->addWidget(right_panel);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({tree_width, 800});
  setCentralWidget(splitter);

  connect(m_mon_tree, &QTreeWidget::itemSelectionChanged, this,
          tavrix::ui::guarded([this] { on_tree_change(); }));
  connect(m_mon_tree, &QWidget::customContextMenuRequested, this,
          tavrix::ui::guarded<const QPoint&>([this](const QPoint& pos) { on_tree_menu(pos); }));
}

void tavrix::ui::MainWindow::create_controls() {
  m_mon_tree->clear_to_root();
  show_view(-1);
  m_main_timer->stop();
  m_main_timer->setInterval(list_.refresh_rate.load() * 1000);
  info_panel->hide();
  m_mon_tabs->hide();
  update_actions();
}
