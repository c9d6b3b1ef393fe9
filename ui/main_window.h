// The main window: server tree on the left; on the right either the server table
// (root node) or a server's information box and port table; the actions, menus,
// toolbar, refresh timer and the orderly shutdown.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QIcon>
#include <QMainWindow>
#include <QString>
#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/event_log.h"
#include "core/server_list.h"
#include "ui/item_roles.h"
#include "ui/port_view.h"

class QAction;
class QHeaderView;
class QLabel;
class QMenu;
class QSplitter;
class QTabWidget;
class QTableWidget;
class QTimer;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class QVBoxLayout;
namespace tavrix::ui {
class AboutBox;
class CloseDialog;
class EventsView;
class SearchDialog;
class SearchIpDialog;
class ServerTable;
class SettingsDialog;
class ServerTree;
class TimelinePanel;
}  // namespace tavrix::ui

namespace tavrix::ui {

// Status word and colour of a server: Idle black, On Line blue, Off Line red.
struct ServerStatus {
  QString text;
  QColor colour;
};
ServerStatus server_status(const tavrix::ServerRecord& rec);

// Tree node text: first address (", " second address for a dual-LAN server), then
// the model name as "  [%s]".
QString server_node_text(const tavrix::ServerRecord& rec);

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  // The list is the program's; it outlives the window. The window makes its dialogs
  // in their fixed order (search, about, settings, close, search-by-IP) and owns them.
  explicit MainWindow(tavrix::ServerList& list, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The server list the window shows, for the parts beside it (store, tray, notices).
  tavrix::ServerList& server_list() const { return list_; }

  // --- the server list in the tree and the tables ---
  // The tree anew from the server list; keep_index is selected (the last server when
  // it is past the end), -1 shows the root view.
  void rebuild_tree(int keep_index);
  // Node data of the selected node, or -1 (root or no selection).
  int selected_server() const;
  // Selects the server's node (the root for -1), as a click on it would; false when
  // no node shows that index.
  bool select_server(int index);

  // --- monitoring switched by index (the kept list, the command line, the tray) ---
  // Start or stop one server as Start and Stop do for the selected one; false when the
  // index names no server or it is already in that state.
  bool start_server(int index);
  bool stop_server(int index);
  int start_all_servers();  // how many were started
  int stop_all_servers();
  int monitored_count() const;

  // --- events and timelines ---
  static constexpr int kEventsSampleMs = 1000;
  const tavrix::EventLog& event_log() const { return event_log_; }
  // The events and timelines of the previous run (ui/event_keeper).
  void restore_events(std::vector<tavrix::LoggedEvent> events,
                      std::map<std::string, tavrix::AvailabilityHistory> timelines);
  // One look at every monitored server at a given time (wall clock ms since the epoch,
  // steady ms): new events, the tab's unseen count, the tree's warning overlays and the
  // timeline. The pictures of docs/screenshots replay an hour in a moment.
  void sample_events_at(int64_t wall_ms, uint64_t steady_ms);

  // --- what the window's timers do, at once (tests, the pictures) ---
  void on_refresh_timer();          // the selected server's port view, when monitored
  void update_mon_list(int index);  // the port view and status of a server
  void update_timeline();
  // The Off Line cross on the nodes of monitored servers that no LAN answers.
  void update_off_line_marks();

  // --- for the parts beside the window (the kept layout, the tray) ---
  // A line in the status bar under a name of its own (a second call replaces the text).
  void show_note(const QString& name, const QString& text);
  void set_refresh_seconds(int seconds);
  QByteArray splitter_state() const;
  void restore_splitter_state(const QByteArray& state);
  // The tables whose column widths are kept, by name: "servers", "ports", "events".
  std::vector<std::pair<QString, QHeaderView*>> table_headers() const;
  QAction* exit_action() const { return m_exit_act; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // No menu of toolbars: the bar is not meant to be hidden.
  QMenu* createPopupMenu() override;

 private:
  // --- the parts, each with one job ---
  QToolBar* tool_bar = nullptr;
  tavrix::ui::ServerTree* m_mon_tree = nullptr;
  QSplitter* splitter = nullptr;
  QWidget* right_panel = nullptr;
  QWidget* info_panel = nullptr;
  QWidget* async_panel = nullptr;
  QLabel* m_info_status = nullptr;
  QLabel* m_info_model = nullptr;
  QLabel* m_info_ip = nullptr;
  QLabel* m_info_mac = nullptr;
  QLabel* m_ds_AsyncServer = nullptr;
  QTabWidget* m_mon_tabs = nullptr;
  tavrix::ui::PortView* m_mon_list = nullptr;
  tavrix::ui::ServerTable* m_root_list = nullptr;
  tavrix::ui::EventsView* m_events_view = nullptr;  // the "Events" tab after "Connections"
  tavrix::ui::TimelinePanel* m_timeline = nullptr;  // under the tables, in both views
  QTimer* m_main_timer = nullptr;
  QTimer* m_events_timer = nullptr;  // looks at the monitored servers
  std::array<QIcon, 10> m_main_icon;
  QMenu* m_pop_tree = nullptr;

  // --- the dialogs (the two searches are made afresh for each use) ---
  tavrix::ui::SearchDialog* m_search_form = nullptr;
  tavrix::ui::AboutBox* m_aboutbox = nullptr;
  tavrix::ui::SettingsDialog* m_set_form = nullptr;
  tavrix::ui::CloseDialog* m_close_form = nullptr;
  tavrix::ui::SearchIpDialog* m_searchIP_form = nullptr;

  // --- actions ---
  QAction* m_search_act = nullptr;
  QAction* m_specifyIP_act = nullptr;
  QAction* m_exit_act = nullptr;
  QAction* m_start_act = nullptr;
  QAction* m_stop_act = nullptr;
  QAction* m_delnode_act = nullptr;
  QAction* m_settings_act = nullptr;
  QAction* m_online_act = nullptr;
  QAction* m_about_act = nullptr;
  // Beside the program's own actions: the server list opened from and saved to a file, and
  // the table in view written to a CSV or JSON file.
  QAction* m_open_list_act = nullptr;
  QAction* m_save_list_act = nullptr;
  QAction* m_export_act = nullptr;

  // --- the views and the information box ---
  void show_view(int index);
  void fill_server_table();
  void image_ctrl(int index);
  void show_status(const tavrix::ServerRecord& rec);
  void monitor_ctrl(bool start, int index);
  void sample_events();

  // --- enabling rules, evaluated on every selection or monitoring change ---
  void update_actions();

  // --- handlers ---
  void on_search();
  void on_search_ip();
  void on_exit();
  void on_start();
  void on_stop();
  void on_delete_node();
  void on_settings();
  void on_about();
  void on_tree_change();
  void on_tree_menu(const QPoint& pos);
  void on_export();
  void on_open_list();
  void on_save_list();

  void create_controls();
  void on_show();
  void on_close();
  void build_actions();
  void build_menus_and_toolbar();
  void build_views();
  void build_session_parts();  // main_window_session.cpp
  void add_watch_views(QVBoxLayout* right);
  void update_events_tab();
  void update_tree_marks();

  tavrix::ServerList& list_;
  bool shut_down_ = false;
  tavrix::EventLog event_log_;
  uint64_t events_seen_ = 0;      // event_log_.total() when the Events tab was last looked at
  QIcon monitored_warning_icon_;  // image 6 with the warning overlay
  QIcon off_line_icon_;           // image 6 with a red cross
};

}  // namespace tavrix::ui
