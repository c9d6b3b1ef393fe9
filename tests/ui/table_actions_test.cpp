// Copy and export of the main window's tables, driven as a user would: rows selected
// with clicks, the table's context menu, Ctrl+C, and the Function menu's Export with
// the file dialog answered through its seam. Files go to a temporary folder.
#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <nlohmann/json.hpp>

#include "ui/events_view.h"
#include "ui/file_prompt.h"
#include "ui/main_window.h"
#include "ui/table_actions.h"
#include "ui/ui_test_util.h"

namespace {

using tavrix::ui::FileMode;
using uitest::server_list;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

class TableActions : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    w = new tavrix::ui::MainWindow(uitest::server_list());
    w->resize(1100, 650);
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    uitest::set_test_model_map();  // after the start, which loads the map file
    ASSERT_EQ(server_list().add_server(uitest::make_server(uitest::kModelA, "10.0.0.1", 1)), 1);
    ASSERT_EQ(server_list().add_server(uitest::make_server(uitest::kModelB, "10.0.0.2", 2)), 1);
    ASSERT_EQ(server_list().add_server(
                  uitest::make_server(uitest::kModelDual, "10.0.0.3", 3, "10.0.1.3")),
              1);
    w->rebuild_tree(-1);
    tavrix::ui::set_file_prompt_handler([this](FileMode mode, const QString&,
                                               const QString& suggested, const QString&,
                                               QString* filter) {
      prompts.push_back(suggested);
      EXPECT_EQ(mode, FileMode::Save);
      if (filter) *filter = answer_filter;
      return answer_path;
    });
  }
  void TearDown() override {
    tavrix::ui::set_file_prompt_handler(nullptr);
    delete w;
    uitest::reset_list();
  }

  QRect row_rect(QTableView* t, int r) { return t->visualRect(t->model()->index(r, 1)); }
  void click_row(QTableView* t, int r, Qt::KeyboardModifiers mods = {}) {
    QTest::mouseClick(t->viewport(), Qt::LeftButton, mods, row_rect(t, r).center());
  }
  // Right-clicks a row and picks an item of the menu that opens, by its text.
  void context_menu_pick(QTableView* t, int r, const QString& item) {
    const QPoint at = row_rect(t, r).center();
    QContextMenuEvent ev(QContextMenuEvent::Mouse, at, t->viewport()->mapToGlobal(at));
    QApplication::sendEvent(t->viewport(), &ev);
    QMenu* menu = t->findChild<QMenu*>();
    ASSERT_TRUE(menu);
    ASSERT_TRUE(uitest::wait_until([&] { return menu->isVisible(); }));
    QAction* act = nullptr;
    for (QAction* a : menu->actions())
      if (a->text() == item) act = a;
    ASSERT_TRUE(act) << item.toStdString();
    ASSERT_TRUE(act->isEnabled());
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(act).center());
    EXPECT_TRUE(uitest::wait_until([&] { return !menu->isVisible(); }));
  }
  static std::string clip_text() { return QApplication::clipboard()->text().toStdString(); }
  static std::string clip_csv() {
    return QApplication::clipboard()->mimeData()->data("text/csv").toStdString();
  }
  std::string read(const QString& path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll().toStdString();
  }

  tavrix::ui::MainWindow* w = nullptr;
  uitest::MsgRecorder boxes;
  QTemporaryDir dir;
  QString answer_path, answer_filter;
  QStringList prompts;
};

TEST_F(TableActions, CopyPutsTheSelectedRowsOnTheClipboard) {
  QTableWidget* servers = uitest::part<QTableWidget>(w, "m_root_list");
  click_row(servers, 0);
  click_row(servers, 2, Qt::ControlModifier);
  QApplication::clipboard()->clear();
  context_menu_pick(servers, 2, "Copy");
  EXPECT_EQ(clip_text(),
            "1\tTX-2200A\t00:90:E8:10:20:01\t10.0.0.1\t---\t---\tIdle\n"
            "3\tTX-4400D\t00:90:E8:10:20:03\t10.0.0.3\t00:90:E8:10:21:03\t10.0.1.3\tIdle\n");
  EXPECT_EQ(clip_csv(),
            "No,Model,MAC Address1,IP Address1,MAC Address2,IP Address2,Status\r\n"
            "1,TX-2200A,00:90:E8:10:20:01,10.0.0.1,---,---,Idle\r\n"
            "3,TX-4400D,00:90:E8:10:20:03,10.0.0.3,00:90:E8:10:21:03,10.0.1.3,Idle\r\n");

  // A right click on a row outside the selection copies that row alone.
  context_menu_pick(servers, 1, "Copy");
  EXPECT_EQ(clip_text(), "2\tTX-3300B\t00:90:E8:10:20:02\t10.0.0.2\t---\t---\tIdle\n");

  // The port table: Ctrl+C while it has the focus, the LAN2 row with its dashes.
  w->select_server(0);
  QTableView* ports = uitest::part<QTableView>(w, "m_mon_list");
  ASSERT_EQ(ports->model()->rowCount(), 4);
  click_row(ports, 1);
  ports->setFocus();
  QTest::keyClick(ports, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(clip_text(), "-\t-\tLAN2\t-\t-\t-\t-\t\n") << "an empty Warning at the end";
}

TEST_F(TableActions, ExportWritesTheTableInViewAsCsvOrJson) {
  struct Row {
    int view;  // -1: the server table, else the port table of that server
    QString path, filter;
    QString written;  // the file the table ends up in
    bool json;
  };
  const QString d = dir.path() + "/";
  const Row rows[] = {
      {-1, d + "servers.csv", "CSV (*.csv)", d + "servers.csv", false},
      {-1, d + "servers.JSON", "CSV (*.csv)", d + "servers.JSON", true},  // the name decides
      {0, d + "ports", "JSON (*.json)", d + "ports.json", true},          // else the filter
      {2, d + "dual", "CSV (*.csv)", d + "dual.csv", false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.written.toStdString());
    uitest::part<QTreeWidget>(w, "m_mon_tree")
        ->setCurrentItem(r.view < 0 ? uitest::root_node(w) : uitest::server_node(w, r.view));
    QTableView* shown = r.view < 0
                            ? static_cast<QTableView*>(uitest::part<QTableWidget>(w, "m_root_list"))
                            : uitest::part<QTableView>(w, "m_mon_list");
    answer_path = r.path;
    answer_filter = r.filter;
    uitest::action(w, "m_export_act")->trigger();
    ASSERT_TRUE(QFile::exists(r.written));
    const std::string text = read(r.written);
    std::vector<std::vector<std::string>> cells;  // as the file says
    std::vector<std::string> headers;
    if (r.json) {
      const auto doc = nlohmann::ordered_json::parse(text);
      for (const auto& [key, value] : doc.at(0).items()) headers.push_back(key);
      for (const auto& row : doc) {
        cells.emplace_back();
        // Numbers and the nulls of missing values, each checked against the cell's text.
        for (const auto& [key, value] : row.items())
          cells.back().push_back(value.is_number() ? value.dump()
                                 : value.is_null() ? "<null>"
                                                   : value.get<std::string>());
      }
    } else {
      // Nothing in these tables needs quoting: split the CRLF lines at the commas.
      QStringList lines = QString::fromStdString(text).split("\r\n");
      ASSERT_EQ(lines.takeLast(), "");
      for (const QString& h : lines.takeFirst().split(',')) headers.push_back(h.toStdString());
      for (const QString& l : lines) {
        cells.emplace_back();
        for (const QString& c : l.split(',')) cells.back().push_back(c.toStdString());
      }
    }
    // The port table ends in the Warning of each port (none here).
    ASSERT_EQ(headers.size(), r.view < 0 ? 7u : 8u);
    for (int c = 0; c < 7; ++c)
      EXPECT_EQ(headers[c], shown->model()->headerData(c, Qt::Horizontal).toString().toStdString());
    ASSERT_EQ(static_cast<int>(cells.size()), shown->model()->rowCount());
    for (int row = 0; row < shown->model()->rowCount(); ++row)
      for (int c = 0; c < 7; ++c) {
        const std::string cell = uitest::cell_text(shown, row, c).toStdString();
        const bool absent = tavrix::ui::cell_kind_for(headers[c]) != tavrix::CellKind::kText &&
                            tavrix::is_absent_mark(cell);
        EXPECT_EQ(cells[row][c], r.json && absent ? "<null>" : cell) << row << "," << c;
      }
  }
  EXPECT_EQ(prompts, (QStringList{"servers.csv", "servers.csv", "ports.csv", "ports.csv"}));
  EXPECT_TRUE(boxes.boxes.empty());
}

// The JSON export as the command line writes its JSON: numbers as numbers, a missing
// LAN2 as null, and the one-LAN warning of a port beside its row.
TEST_F(TableActions, JsonExportHasNumbersNullsAndTheOneLanWarning) {
  tavrix::ServerRecord* dual = server_list().server_at(2);
  dual->mode[0] = 22;  // Redundant COM in set B
  uint8_t conn[80] = {};
  uitest::set_connection(conn, 1, uitest::ip("10.0.0.50"), 3, 0, 0);  // connected, LAN1 only
  dual->store_conn(0, conn);
  dual->online = 3;
  dual->monitoring = 1;
  w->select_server(2);
  w->update_mon_list(2);
  const QAbstractItemModel* ports = uitest::part<QTableView>(w, "m_mon_list")->model();
  const QString tip = ports->index(0, 0).data(Qt::ToolTipRole).toString();
  ASSERT_FALSE(tip.isEmpty()) << "port 1 is marked";
  dual->monitoring = 0;  // nothing polls it; the marks stay as drawn

  answer_path = dir.path() + "/ports.json";
  uitest::action(w, "m_export_act")->trigger();
  auto doc = nlohmann::ordered_json::parse(read(answer_path));
  ASSERT_EQ(doc.size(), 8u);
  EXPECT_EQ(doc[0]["Port"], 1);
  EXPECT_EQ(doc[0]["LAN"], "LAN1");
  EXPECT_EQ(doc[0]["Warning"], tip.toStdString());
  EXPECT_TRUE(doc[1]["Port"].is_null()) << "the LAN2 row of a port";
  EXPECT_TRUE(doc[1]["Warning"].is_null());
  EXPECT_EQ(doc[2]["Port"], 2);

  w->select_server(-1);
  answer_path = dir.path() + "/servers.json";
  uitest::action(w, "m_export_act")->trigger();
  doc = nlohmann::ordered_json::parse(read(answer_path));
  ASSERT_EQ(doc.size(), 3u);
  EXPECT_EQ(doc[0]["No"], 1);
  EXPECT_TRUE(doc[0]["MAC Address2"].is_null());
  EXPECT_TRUE(doc[0]["IP Address2"].is_null());
  EXPECT_EQ(doc[2]["IP Address2"], "10.0.1.3");
  EXPECT_EQ(doc[2]["Status"], "Idle");
}

TEST_F(TableActions, ExportThatCannotBeWrittenSaysWhereAndWhyAndCancelWritesNothing) {
  answer_path = dir.path() + "/no/such/folder/servers.csv";
  answer_filter = "CSV (*.csv)";
  uitest::action(w, "m_export_act")->trigger();
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_TRUE(boxes.boxes[0].text.startsWith("Cannot write servers.csv: "))
      << boxes.boxes[0].text.toStdString();
  EXPECT_EQ(boxes.boxes[0].icon, tavrix::ui::MsgIcon::Error);

  answer_path.clear();  // the dialog cancelled
  uitest::action(w, "m_export_act")->trigger();
  EXPECT_EQ(boxes.boxes.size(), 1u);
  EXPECT_TRUE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

// With the Events tab in front, Export writes the events table, and the events list has
// the same context menu as the other tables. Nothing is monitored: no event yet.
TEST_F(TableActions, EventsTabExportsTheEventsTable) {
  w->select_server(0);
  uitest::part<QTabWidget>(w, "m_mon_tab1")
      ->setCurrentWidget(uitest::part<tavrix::ui::EventsView>(w, "m_events_view"));
  answer_path = dir.path() + "/events-today.csv";
  answer_filter = "CSV (*.csv)";
  uitest::action(w, "m_export_act")->trigger();
  EXPECT_EQ(read(answer_path), "Time,Server,Kind,Port,LAN,Connection,Was,Now\r\n");
  EXPECT_EQ(prompts, QStringList{"events.csv"});
  const QMenu* menu = uitest::part<QTableView>(w, "m_events_list")->findChild<QMenu*>();
  ASSERT_TRUE(menu);
  QStringList items;
  for (const QAction* a : menu->actions()) items << a->text();
  EXPECT_EQ(items, (QStringList{"Copy", "Export..."}));
}

// The menus' own items keep their menus and their order; the added ones sit above
// Exit, with shortcuts that no other action uses.
TEST_F(TableActions, AddedActionsLeaveTheExistingMenuItemsInPlace) {
  QStringList menus;
  for (QAction* m : w->menuBar()->actions()) {
    QStringList items;
    for (QAction* a : m->menu()->actions()) items << (a->isSeparator() ? "|" : a->text());
    menus << m->text() + ": " + items.join(',');
  }
  EXPECT_EQ(
      menus.join(" / "),
      "Function: Search,Specify IP,|,Open Server List...,Save Server List...,Export...,|,Exit / "
      "Run: Start,Stop,Delete,|,Settings / Help: About");
  EXPECT_EQ(uitest::action(w, "m_open_list_act")->shortcut(), QKeySequence("Ctrl+O"));
  EXPECT_TRUE(uitest::action(w, "m_save_list_act")->shortcut().isEmpty());
  EXPECT_EQ(uitest::action(w, "m_export_act")->shortcut(), QKeySequence("Ctrl+E"));
}

}  // namespace
