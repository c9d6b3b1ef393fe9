// The window on a real desktop: Xvfb with the openbox window manager, a private D-Bus
// session with the dunst notification daemon, and the trayer system tray, all started
// here. Servers are monitored against the loopback simulator. Notifications are read
// back from dunst (dunstctl history); the tray icon is looked at on the screen.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/qeld_loopback.h"
#include "ui/desk_options.h"
#include "ui/desktop_notifier.h"
#include "ui/main_window.h"
#include "ui/tray_icon.h"
#include "ui/ui_test_util.h"

namespace {

using namespace std::chrono_literals;
using uitest::server_list;

// A program of the desktop, stopped (SIGTERM, then SIGKILL) when the session ends.
struct Child {
  pid_t pid = -1;
};

pid_t spawn(const std::vector<std::string>& args, int out_fd = -1) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Ends with the test, even when the test is killed (a time-out).
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (out_fd >= 0) ::dup2(out_fd, 1);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// Reads one line from a pipe the child writes (Xvfb's display, dbus-daemon's address).
std::string read_line(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

// Runs a tool to its end while the window's events go on, and returns what it printed.
// posix_spawn rather than fork: the test has threads (pollers, the simulator), and a
// forked copy of a threaded process may not start threads of its own.
std::string run(const QString& program, const QStringList& args) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> words{program.toStdString()};
  for (const QString& a : args) words.push_back(a.toStdString());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string text;
  if (rc == 0) {
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    char buf[4096];
    int status = 0;
    bool ended = false;
    uitest::wait_until(
        [&] {
          for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<std::size_t>(n));
          if (!ended) ended = ::waitpid(pid, &status, WNOHANG) == pid;
          return ended;
        },
        10s);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
      text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  return text;
}

class DesktopEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    for (const char* tool :
         {"Xvfb", "dbus-daemon", "dunst", "dunstctl", "openbox", "trayer", "xdotool"})
      if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
        missing_ += std::string(missing_.empty() ? "" : ", ") + tool;
    if (!missing_.empty()) return;
    int xfd[2], dfd[2];
    if (::pipe(xfd) != 0 || ::pipe(dfd) != 0) return;
    children_.push_back(spawn({"Xvfb", "-displayfd", std::to_string(xfd[1]), "-screen", "0",
                               "1280x800x24", "-nolisten", "tcp"}));
    ::close(xfd[1]);
    const std::string display = read_line(xfd[0]);
    ::close(xfd[0]);
    ::setenv("DISPLAY", (":" + display).c_str(), 1);
    children_.push_back(
        spawn({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, dfd[1]));
    ::close(dfd[1]);
    const std::string bus = read_line(dfd[0]);
    ::close(dfd[0]);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // Notifications stay until closed, so every one is found in the history.
    config_.setAutoRemove(true);
    const std::string rc = config_.path().toStdString() + "/dunstrc";
    FILE* f = std::fopen(rc.c_str(), "w");
    std::fputs(
        "[global]\n  idle_threshold = 0\n  notification_limit = 0\n"
        "[urgency_low]\n  timeout = 0\n[urgency_normal]\n  timeout = 0\n"
        "[urgency_critical]\n  timeout = 0\n",
        f);
    std::fclose(f);
    children_.push_back(spawn({"openbox", "--sm-disable"}));
    children_.push_back(spawn({"dunst", "-config", rc}));
    children_.push_back(
        spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
               "120", "--height", "28", "--SetDockType", "true"}));
    static int argc = 1;
    static char name[] = "ui_desktop_test";
    static char* argv[] = {name, nullptr};
    app_ = new tavrix::ui::Application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));
    ready_ = uitest::wait_until(
        [] { return run("dunstctl", {"is-paused"}).find("false") != std::string::npos; }, 20s);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
      if (*it <= 0) continue;
      ::kill(*it, SIGTERM);
      int status = 0;
      for (int i = 0; i < 200 && ::waitpid(*it, &status, WNOHANG) == 0; ++i) ::usleep(10000);
      if (::waitpid(*it, &status, WNOHANG) == 0) {
        ::kill(*it, SIGKILL);
        ::waitpid(*it, &status, 0);
      }
    }
  }
  static std::string missing_;
  static bool ready_;

 private:
  std::vector<pid_t> children_;
  QApplication* app_ = nullptr;
  QTemporaryDir config_;
};
std::string DesktopEnv::missing_;
bool DesktopEnv::ready_ = false;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new DesktopEnv);

constexpr uint16_t kSimModel = 0x2613;

// What dunst was given, oldest first: summaries and bodies.
std::vector<std::pair<std::string, std::string>> dunst_history() {
  run("dunstctl", {"close-all"});
  const auto doc = nlohmann::json::parse(run("dunstctl", {"history"}), nullptr, false);
  std::vector<std::pair<std::string, std::string>> out;
  if (doc.is_discarded() || !doc.contains("data") || doc["data"].empty()) return out;
  for (const auto& n : doc["data"][0])
    out.emplace_back(n["summary"]["data"].get<std::string>(), n["body"]["data"].get<std::string>());
  std::reverse(out.begin(), out.end());
  return out;
}

class Desktop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!DesktopEnv::missing_.empty())
      GTEST_SKIP() << "needs " << DesktopEnv::missing_ << " (scripts/deps installs them)";
    ASSERT_TRUE(DesktopEnv::ready_) << "dunst did not start";
    run("dunstctl", {"history-clear"});
    uitest::reset_list();
    w = new tavrix::ui::MainWindow(uitest::server_list());
    w->resize(1000, 700);
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    qeld::TModelEntry e = uitest::model_entry(kSimModel, qeld::kAttrModeSetA, 4, "TVX-2613R");
    e.model_key = 1;
    qeld::set_model_map({e});
  }
  void TearDown() override {
    delete w;  // and its dialogs
    w = nullptr;
    uitest::reset_list();
    qeld::library_stop();
  }
  // n loopback devices, in the list and monitored, each answered once.
  void monitor_fleet(tavrix_test::LoopbackSim& sim, int n) {
    for (int i = 0; i < n; ++i) {
      const devsim::Device dev = sim->device(static_cast<std::size_t>(i));
      qeld::DeviceIdentity reply;
      reply.model_key = 1;
      reply.model_id = kSimModel;
      reply.ip1 = dev.ip1;
      reply.ip2 = dev.ip1;
      std::copy(dev.mac1.begin(), dev.mac1.end(), reply.mac1);
      records.push_back(server_list().make_server_record(reply));
      ASSERT_EQ(server_list().add_server(records.back()), 1);
    }
    server_list().refresh_rate = 1;
    uitest::part<QTimer>(w, "m_main_timer")->setInterval(1000);
    w->rebuild_tree(-1);
    ASSERT_EQ(w->start_all_servers(), n);
    ASSERT_TRUE(uitest::wait_until(
        [&] {
          for (const auto& r : records) {
            const auto* h = w->event_log().history(r.get());
            if (r->online.load() == 0 || !h || h->summary().changes.empty()) return false;
          }
          return true;
        },
        60s));
  }
  void silence(tavrix_test::LoopbackSim& sim, int from, int to, bool silent) {
    for (int i = from; i < to; ++i) {
      devsim::Faults f;
      f.silent = silent;
      ASSERT_TRUE(sim->set_faults(static_cast<std::size_t>(i), f));
    }
  }
  std::size_t lan_events(const char* value) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < w->event_log().size(); ++i)
      n += w->event_log().newest(i).event.value == value;
    return n;
  }

  uitest::MsgRecorder boxes;
  tavrix::ui::MainWindow* w = nullptr;
  std::vector<std::shared_ptr<tavrix::ServerRecord>> records;
};

devsim::Fleet loopback_fleet(int n) {
  devsim::Fleet fleet;
  for (int i = 0; i < n; ++i) fleet.devices.push_back(tavrix_test::loopback_device(i, 2, 15));
  return fleet;
}

TEST_F(Desktop, OneNotificationPerServerPerBurstAndNoneInDoNotDisturb) {
  tavrix_test::LoopbackSim sim(loopback_fleet(41));
  tavrix_test::LoopbackLibrary lib(sim);
  tavrix::ui::DeskOptions options;
  tavrix::ui::DesktopNotifier notifier(w, options);
  notifier.begin();
  monitor_fleet(sim, 41);
  EXPECT_EQ(notifier.sent(), 0);

  // One device falls silent: one notification, naming it.
  silence(sim, 0, 1, true);
  ASSERT_TRUE(uitest::wait_until([&] { return lan_events("Off Line") == 1; }, 60s));
  // Clicked (dunst's default action): the window comes up with that server selected.
  ASSERT_TRUE(uitest::wait_until(
      [&] {
        return run("dunstctl", {"count", "displayed"}).find('1') == 0;
      },
      30s));
  w->select_server(-1);
  w->showMinimized();
  run("dunstctl", {"action", "0"});
  EXPECT_TRUE(uitest::wait_until(
      [&] { return w->selected_server() == 0 && w->isVisible() && !w->isMinimized(); }, 10s));
  ASSERT_TRUE(uitest::wait_until([&] { return dunst_history().size() == 1; }, 30s));
  auto told = dunst_history();
  EXPECT_EQ(told[0].first, "127.0.0.2 Off Line");
  EXPECT_NE(told[0].second.find("127.0.0.2"), std::string::npos);

  // Forty at once, as a switch going down: one notification that counts them.
  silence(sim, 1, 41, true);
  ASSERT_TRUE(uitest::wait_until([&] { return lan_events("Off Line") == 41; }, 90s));
  ASSERT_TRUE(uitest::wait_until([&] { return dunst_history().size() == 2; }, 40s));
  uitest::pump(std::chrono::milliseconds(tavrix::ui::DesktopNotifier::kBurstQuietMs + 1500));
  told = dunst_history();
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1].first, "40 servers Off Line");
  EXPECT_NE(told[1].second.find("and 35 more"), std::string::npos) << told[1].second;

  // Do Not Disturb: all of them come back, and nobody is told.
  options.do_not_disturb = true;
  silence(sim, 0, 41, false);
  ASSERT_TRUE(uitest::wait_until([&] { return lan_events("On Line") == 41; }, 90s));
  uitest::pump(std::chrono::milliseconds(tavrix::ui::DesktopNotifier::kBurstQuietMs + 2000));
  EXPECT_EQ(dunst_history().size(), 2u);
  EXPECT_EQ(notifier.sent(), 2);
}

TEST_F(Desktop, TrayIconFollowsTheFleetAndCloseToTrayKeepsMonitoring) {
  ASSERT_TRUE(uitest::wait_until([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 20s))
      << "trayer did not provide a tray";
  tavrix_test::LoopbackSim sim(loopback_fleet(2));
  tavrix_test::LoopbackLibrary lib(sim);
  tavrix::ui::DeskOptions options;
  const tavrix::ui::DeskActions actions = tavrix::ui::add_desk_actions(w, options);
  tavrix::ui::TrayIcon tray(w, options, actions);
  ASSERT_TRUE(tray.available());
  ASSERT_TRUE(uitest::wait_until([&] { return tray.icon()->geometry().width() > 0; }, 20s))
      << "the icon was not docked";

  // The colour as the tray host shows it on the screen.
  auto shown = [&] {
    const QRect r = tray.icon()->geometry();
    const QImage img = QGuiApplication::primaryScreen()
                           ->grabWindow(0, r.x(), r.y(), r.width(), r.height())
                           .toImage();
    return img.pixelColor(img.width() / 2, img.height() / 2);
  };
  auto shows = [&](tavrix::ui::FleetState s) {
    return uitest::wait_until(
        [&] {
          tray.update();
          return tray.state() == s && shown() == tavrix::ui::fleet_colour(s);
        },
        30s);
  };
  EXPECT_TRUE(shows(tavrix::ui::FleetState::kNotMonitoring));
  EXPECT_NE(tray.tooltip().indexOf("Not monitoring"), -1);
  monitor_fleet(sim, 2);
  EXPECT_TRUE(shows(tavrix::ui::FleetState::kAllOnLine));
  EXPECT_NE(tray.tooltip().indexOf("2 monitored: 2 On Line"), -1) << tray.tooltip().toStdString();
  silence(sim, 1, 2, true);
  EXPECT_TRUE(shows(tavrix::ui::FleetState::kOffLine));
  EXPECT_NE(tray.tooltip().indexOf("1 Off Line"), -1);

  // The window manager's close (Alt+F4): with Close to Tray the window goes and the
  // pollers go on; without it, the Exit question is asked.
  const QString id = QString::number(w->winId());
  auto alt_f4 = [&] {
    run("xdotool", {"windowactivate", "--sync", id});
    // Through the X server's input (XTEST), so that the window manager sees the keys.
    run("xdotool", {"key", "--clearmodifiers", "alt+F4"});
  };
  options.close_to_tray = true;
  alt_f4();
  ASSERT_TRUE(uitest::wait_until([&] { return !w->isVisible(); }, 10s));
  EXPECT_TRUE(boxes.boxes.empty());
  EXPECT_EQ(w->monitored_count(), 2);
  const uint64_t before = sim->request_count(0, 0x41);
  uitest::pump(3s);
  EXPECT_GT(sim->request_count(0, 0x41), before) << "the pollers stopped";

  // Show from the tray's menu, then close without the option: the question, answered No.
  QAction* show = tray.menu()->findChild<QAction*>(QStringLiteral("m_tray_show_act"));
  ASSERT_NE(show, nullptr);
  show->trigger();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
  options.close_to_tray = false;
  boxes.answers.push_back(tavrix::ui::MsgResult::Cancel);
  alt_f4();
  ASSERT_TRUE(uitest::wait_until([&] { return !boxes.boxes.empty(); }, 10s));
  EXPECT_EQ(boxes.boxes[0].text, "Are you sure to Exit?");
  uitest::pump(500ms);
  EXPECT_TRUE(w->isVisible());
}

}  // namespace
