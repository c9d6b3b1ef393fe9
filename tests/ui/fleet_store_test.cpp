// The fleet kept between runs: saved and restored by a new window object and by a new
// process, files that cannot be used set aside with a message, and one window per user.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeWidgetItem>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "core/event_history.h"
#include "ui/event_keeper.h"
#include "ui/events_view.h"
#include "ui/fleet_store.h"
#include "ui/icons.h"
#include "ui/main_window.h"
#include "ui/single_instance.h"
#include "ui/ui_test_util.h"

namespace {

using uitest::server_list;
using namespace std::chrono_literals;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

// Captures the log lines of the program (qWarning, qInfo).
QStringList g_log;
void log_handler(QtMsgType, const QMessageLogContext&, const QString& text) {
  g_log << text;
}

class FleetStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home.isValid());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    uitest::reset_list();
    g_log.clear();
    previous_ = qInstallMessageHandler(log_handler);
  }
  void TearDown() override {
    qInstallMessageHandler(previous_);
    delete w;
    w = nullptr;
    uitest::reset_list();
    qeld::library_stop();
  }
  // A fresh window as the program makes it: layout before showing, servers after.
  tavrix::ui::FleetStore* open_window() {
    delete w;
    uitest::reset_list();
    w = new tavrix::ui::MainWindow(uitest::server_list());
    auto* store = new tavrix::ui::FleetStore(w);
    store->restore_layout();
    w->show();
    EXPECT_TRUE(uitest::wait_until([this] { return w->isVisible(); }));
    uitest::set_test_model_map();
    store->restore_servers();
    return store;
  }
  QString status_note() const {
    auto* note = w->findChild<QLabel*>(QStringLiteral("m_store_status"));
    return note ? note->text() : QString();
  }

  QTemporaryDir home;
  QtMessageHandler previous_ = nullptr;
  tavrix::ui::MainWindow* w = nullptr;
};

TEST_F(FleetStoreTest, KeptInTheConfigFolderAndRestoredByANewWindow) {
  uitest::MsgRecorder boxes;
  tavrix::ui::FleetStore* store = open_window();
  EXPECT_EQ(store->servers_path(), home.path() + "/config/tavrix-monitor/servers.json");
  server_list().add_server(uitest::make_server(uitest::kModelA, "127.0.0.71", 1));
  server_list().add_server(uitest::make_server(uitest::kModelDual, "127.0.0.72", 2, "127.0.0.73"));
  server_list().add_server(uitest::make_server(uitest::kModelB, "127.0.0.74", 3));
  w->rebuild_tree(-1);
  ASSERT_TRUE(w->start_server(1));
  server_list().refresh_rate = 7;
  server_list().search_timeout = 12;
  w->resize(900, 640);
  uitest::part<QTableWidget>(w, "m_root_list")->setColumnWidth(1, 173);
  uitest::part<QSplitter>(w, "Splitter1")->setSizes({311, 589});
  const QList<int> sizes = uitest::part<QSplitter>(w, "Splitter1")->sizes();
  auto timeline_splitter = [this] {
    return w->findChild<QSplitter*>(QStringLiteral("m_timeline_splitter"));
  };
  ASSERT_NE(timeline_splitter(), nullptr);
  const QList<int> shared = timeline_splitter()->sizes();
  timeline_splitter()->setSizes({shared[0] - 90, shared[1] + 90});
  const QList<int> timeline_sizes = timeline_splitter()->sizes();
  store->begin_saving();  // writes at once
  ASSERT_TRUE(QFile::exists(store->servers_path()));
  ASSERT_TRUE(QFile::exists(store->window_path()));

  // A change is written within the save check's period, without any other call.
  w->stop_server(1);
  ASSERT_TRUE(w->start_server(2));
  const auto kept_text = [&] {
    QFile f(store->window_path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  ASSERT_TRUE(uitest::wait_until([&] {
    const QByteArray text = kept_text();
    return text.contains("00:90:E8:10:20:03") && !text.contains("00:90:E8:10:20:02");
  }));

  store = open_window();
  ASSERT_EQ(server_list().server_count(), 3);
  EXPECT_EQ(server_list().server_at(0)->ip1, uitest::ip("127.0.0.71"));
  EXPECT_EQ(server_list().server_at(1)->dual_lan, 1);
  EXPECT_EQ(server_list().server_at(1)->ip2, uitest::ip("127.0.0.73"));
  EXPECT_EQ(server_list().server_at(0)->monitoring.load(), 0);
  EXPECT_EQ(server_list().server_at(1)->monitoring.load(), 0);
  EXPECT_EQ(server_list().server_at(2)->monitoring.load(), 1);  // started without a click
  EXPECT_EQ(uitest::server_node(w, 2)->data(0, tavrix::ui::kImageRole).toInt(),
            tavrix::ui::kIconServerMonitored);
  EXPECT_EQ(server_list().refresh_rate.load(), 7);
  EXPECT_EQ(server_list().search_timeout.load(), 12);
  EXPECT_EQ(uitest::part<QTableWidget>(w, "m_root_list")->columnWidth(1), 173);
  EXPECT_EQ(uitest::part<QSplitter>(w, "Splitter1")->sizes(), sizes);
  EXPECT_EQ(timeline_splitter()->sizes(), timeline_sizes) << "tables and timeline share as left";
  EXPECT_EQ(w->size(), QSize(900, 640));
  EXPECT_TRUE(status_note().isEmpty());

  // With resuming switched off the list comes back idle.
  store->set_resume(false);
  EXPECT_TRUE(store->save_now().isEmpty());
  open_window();
  ASSERT_EQ(server_list().server_count(), 3);
  EXPECT_EQ(w->monitored_count(), 0);
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(FleetStoreTest, AFileThatCannotBeUsedIsSetAsideAndTheProgramStartsEmpty) {
  uitest::MsgRecorder boxes;
  // A good pair of files to spoil, one at a time.
  tavrix::ui::FleetStore* store = open_window();
  server_list().add_server(uitest::make_server(uitest::kModelA, "127.0.0.81", 1));
  w->rebuild_tree(-1);
  ASSERT_TRUE(store->save_now().isEmpty());
  QFile servers(store->servers_path());
  ASSERT_TRUE(servers.open(QIODevice::ReadOnly));
  const QByteArray good_servers = servers.readAll();
  servers.close();
  QFile window(store->window_path());
  ASSERT_TRUE(window.open(QIODevice::ReadOnly));
  const QByteArray good_window = window.readAll();
  window.close();
  const QString dir = QFileInfo(store->servers_path()).path();

  struct Case {
    const char* what;
    bool servers_file;
    QByteArray text;
    const char* reason;  // part of the message
  };
  QByteArray newer_window = good_window;
  newer_window.replace("\"version\": 1", "\"version\": 9");
  QByteArray newer_servers = good_servers;
  newer_servers.replace("\"version\": 1", "\"version\": 9");
  ASSERT_NE(newer_servers, good_servers);
  ASSERT_NE(newer_window, good_window);
  const Case cases[] = {
      {"torn list", true, good_servers.left(good_servers.size() / 2), "not valid JSON"},
      {"damaged list", true, "\x01\x02 not json at all", "not valid JSON"},
      {"newer list", true, newer_servers, "newer"},
      {"torn window file", false, good_window.left(good_window.size() / 2), "not valid JSON"},
      {"damaged window file", false, "[1, 2, 3]", "not a window file"},
      {"newer window file", false, newer_window, "newer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const QString& name : QDir(dir).entryList(QDir::Files)) QFile::remove(dir + "/" + name);
    const QString spoiled = c.servers_file ? store->servers_path() : store->window_path();
    const QString other = c.servers_file ? store->window_path() : store->servers_path();
    {
      QFile f(spoiled);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(c.text);
      QFile g(other);
      ASSERT_TRUE(g.open(QIODevice::WriteOnly));
      g.write(c.servers_file ? good_window : good_servers);
    }
    g_log.clear();
    store = open_window();
    EXPECT_FALSE(QFile::exists(spoiled));
    ASSERT_EQ(store->set_aside().size(), 1);
    const QString aside = store->set_aside().front();
    EXPECT_TRUE(aside.startsWith(spoiled + ".set-aside-"));
    QFile kept(aside);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), c.text);  // nothing lost
    EXPECT_TRUE(status_note().contains(aside)) << status_note().toStdString();
    EXPECT_TRUE(status_note().contains(QString::fromLatin1(c.reason)))
        << status_note().toStdString();
    EXPECT_TRUE(g_log.join('\n').contains(aside));
    // A bad list starts empty; a bad window file only loses the layout and the settings.
    EXPECT_EQ(server_list().server_count(), c.servers_file ? 0 : 1);
    EXPECT_EQ(w->monitored_count(), 0);
  }
  EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(FleetStoreTest, OneWindowPerUserAndTheSecondRaisesTheFirst) {
  const QString run = home.path() + "/run";
  std::optional<tavrix::ui::SingleInstance> first(std::in_place, run);
  ASSERT_TRUE(first->acquire());
  int raised = 0;
  QObject::connect(&*first, &tavrix::ui::SingleInstance::raise_requested, [&] { ++raised; });

  {
    tavrix::ui::SingleInstance second(run);
    EXPECT_FALSE(second.acquire());
    EXPECT_EQ(second.owner_pid(), static_cast<qint64>(::getpid()));
    uitest::MsgRecorder boxes;
    boxes.answers.push_back(tavrix::ui::MsgResult::Cancel);
    EXPECT_EQ(tavrix::ui::report_second_instance(nullptr, second), 1);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(boxes.boxes[0].text.contains("already running"));
    EXPECT_TRUE(boxes.boxes[0].text.contains(QString::number(::getpid())));
    EXPECT_EQ(raised, 0);
    // The first answers from its event loop, so the asking runs on a thread of its own.
    std::atomic<int> code{-1};
    std::thread ask([&] { code = second.ask_first_to_raise(5000) ? 0 : 1; });
    EXPECT_TRUE(uitest::wait_until([&] { return raised == 1 && code.load() >= 0; }));
    ask.join();
    EXPECT_EQ(code.load(), 0);
  }
  // Once the first has gone, the next start is the first.
  first.reset();
  tavrix::ui::SingleInstance next(run);
  EXPECT_TRUE(next.acquire());
}

// Events of the last run come back into the Events tab, marked, and a server's timeline
// goes on from them with the time the program was not running shown as not monitored;
// what happens in this run is appended as it is seen.
TEST_F(FleetStoreTest, EventsOfTheLastRunComeBackAndNewOnesAreAppended) {
  uitest::MsgRecorder boxes;
  const QString state = home.path() + "/state";
  QDir().mkpath(state);
  const int64_t now = QDateTime::currentMSecsSinceEpoch();
  {
    tavrix::EventHistoryFile file((state + "/events.jsonl").toStdString());
    for (int i = 0; i < 3; ++i) {
      tavrix::LoggedEvent e;
      e.server = "127.0.0.75";
      e.event.kind = tavrix::EventKind::kLan;
      e.event.lan = 1;
      e.event.time_ms = now - 600'000 + i * 60'000;
      e.event.previous = i % 2 ? "Off Line" : "On Line";
      e.event.value = i % 2 ? "On Line" : "Off Line";
      ASSERT_EQ(file.append(e), "");
    }
  }
  open_window();
  tavrix::ui::EventKeeper keeper(w, state);
  EXPECT_EQ(keeper.restore(now), 3);
  const tavrix::EventLog& log = w->event_log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log.newest(0).before_restart);
  EXPECT_EQ(log.newest(0).event.value, "Off Line");
  QAbstractItemModel* rows = uitest::part<QTableView>(w, "m_events_list")->model();
  ASSERT_EQ(rows->rowCount(), 3);
  EXPECT_TRUE(rows->index(0, 0).data(Qt::FontRole).value<QFont>().italic());
  EXPECT_TRUE(rows->index(0, 0).data(Qt::ToolTipRole).toString().contains("before the restart"));

  // The server of those events takes up its timeline; since the restart nothing is known.
  auto rec = uitest::make_server(uitest::kModelA, "127.0.0.75", 5);
  server_list().add_server(rec);
  w->rebuild_tree(-1);
  w->sample_events_at(now + 1000, 1);
  const tavrix::AvailabilityHistory* timeline = log.history(rec.get());
  ASSERT_NE(timeline, nullptr);
  EXPECT_EQ(timeline->summary().at(now - 600'000 + 30'000), tavrix::Availability::kDown);
  EXPECT_EQ(timeline->summary().at(now - 600'000 + 90'000), tavrix::Availability::kUp);
  EXPECT_EQ(timeline->summary().at(now + 500), tavrix::Availability::kUnknown);

  // A LAN going Off Line in this run is in the file within the check's period.
  keeper.begin();
  rec->monitoring = 1;
  rec->online = 1;
  const uint64_t settle = server_list().refresh_rate.load() * 1000;
  w->sample_events_at(now + 2000, 2);
  w->sample_events_at(now + 3000, 2 + settle);  // the baseline
  rec->online = 0;
  w->sample_events_at(now + 4000, 3 + settle);
  // The tree shows it Off Line, and no longer once it answers.
  QTreeWidgetItem* node = uitest::server_node(w, 0);
  const qint64 plain = node->icon(0).cacheKey();
  w->update_off_line_marks();
  EXPECT_EQ(node->toolTip(0), "Off Line");
  EXPECT_NE(node->icon(0).cacheKey(), plain);
  rec->online = 1;
  w->update_off_line_marks();
  EXPECT_EQ(node->toolTip(0), "");
  rec->online = 0;
  rec->monitoring = 0;
  ASSERT_EQ(log.size(), 4u);
  EXPECT_FALSE(log.newest(0).before_restart);
  tavrix::EventHistoryFile again((state + "/events.jsonl").toStdString());
  ASSERT_TRUE(uitest::wait_until([&] { return again.read(now).events.size() == 4; }));
  EXPECT_EQ(again.read(now).events.back().event.value, "Off Line");
  EXPECT_EQ(again.read(now).events.back().event.time_ms, now + 4000);
}

// The program itself: a list opened with --servers and --start is kept, and a new
// process started without options restores it with its monitored servers.
std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

pid_t start_monitor(const QString& home, const std::vector<std::string>& args,
                    const std::string& log) {
  const char* bin = std::getenv("TAVRIX_BIN");
  const std::string exe = std::string(bin ? bin : ".") + "/tavrix-monitor";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("XDG_CONFIG_HOME", (home + "/config").toUtf8().constData(), 1);
    ::setenv("XDG_STATE_HOME", (home + "/state").toUtf8().constData(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home + "/run").toUtf8().constData(), 1);
    ::setenv("HOME", home.toUtf8().constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (!std::freopen(log.c_str(), "w", stderr)) ::_exit(126);
    ::execv(exe.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

void stop_monitor(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

TEST_F(FleetStoreTest, ANewProcessRestoresTheMonitoredList) {
  QDir().mkpath(home.path() + "/run");
  QFile::setPermissions(home.path() + "/run",
                        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const std::string list = (home.path() + "/list.json").toStdString();
  std::ofstream(list) << R"({"format":"tavrix-server-list","version":1,"servers":[
    {"model_key":"0x1","model_id":"0x1104","ip1":"127.0.0.91","mac1":"02:54:58:02:00:91"},
    {"model_key":"0x1","model_id":"0x1104","ip1":"127.0.0.92","mac1":"02:54:58:02:00:92"}]})";
  const std::string kept = (home.path() + "/config/tavrix-monitor/window.json").toStdString();
  const std::string log1 = (home.path() + "/first.log").toStdString();
  pid_t pid = start_monitor(home.path(), {"--servers", list, "--start"}, log1);
  const bool saved = uitest::wait_until(
      [&] {
        const std::string text = read_all(kept);
        return text.find("02:54:58:02:00:91") != std::string::npos &&
               text.find("02:54:58:02:00:92") != std::string::npos;
      },
      30s);
  stop_monitor(pid);
  ASSERT_TRUE(saved) << read_all(log1);

  const std::string log2 = (home.path() + "/second.log").toStdString();
  pid = start_monitor(home.path(), {}, log2);
  const bool restored = uitest::wait_until(
      [&] { return read_all(log2).find("restored 2 server(s), 2 monitored") != std::string::npos; },
      30s);
  stop_monitor(pid);
  EXPECT_TRUE(restored) << read_all(log2);
}

}  // namespace
