// Shared pieces of the window tests: the application object on the offscreen
// platform, a recorder that answers message boxes, servers made by hand, a small
// model map with models of both text sets, and the windows' parts found by name.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/server_list.h"
#include "qeld/library.h"
#include "qeld/model_map.h"
#include "ui/forms.h"
#include "ui/message_box.h"

namespace uitest {

using namespace std::chrono_literals;

// A part of a window (view, action, timer, label) found by its object name, as the
// tests reach what the window keeps private.
template <class T = QWidget>
T* part(const QObject* window, const char* name) {
  T* found = window->findChild<T*>(QString::fromLatin1(name));
  EXPECT_NE(found, nullptr) << "no part named " << name;
  return found;
}

inline QAction* action(const QObject* window, const char* name) {
  return part<QAction>(window, name);
}

// The server tree's root node and the node of server i (nullptr when there is none).
inline QTreeWidgetItem* root_node(const QObject* window) {
  auto* tree = part<QTreeWidget>(window, "m_mon_tree");
  return tree ? tree->topLevelItem(0) : nullptr;
}
inline QTreeWidgetItem* server_node(const QObject* window, int i) {
  QTreeWidgetItem* root = root_node(window);
  return root && i >= 0 ? root->child(i) : nullptr;
}

// The text a view shows in a cell ("<none>" outside its model).
inline QString cell_text(const QAbstractItemView* view, int row, int col) {
  const QModelIndex i = view->model()->index(row, col);
  return i.isValid() ? i.data().toString() : QStringLiteral("<none>");
}

// The tick box of a row's first cell, read and set as a user does (through the model).
inline bool row_ticked(const QAbstractItemView* view, int row) {
  const QModelIndex i = view->model()->index(row, 0);
  return i.isValid() && (i.flags() & Qt::ItemIsUserCheckable) &&
         i.data(Qt::CheckStateRole).toInt() == Qt::Checked;
}
inline void set_row_ticked(QAbstractItemView* view, int row, bool ticked) {
  view->model()->setData(view->model()->index(row, 0), ticked ? Qt::Checked : Qt::Unchecked,
                         Qt::CheckStateRole);
}

// The texts of a row of a view, all columns.
inline QStringList row_texts(const QAbstractItemView* view, int row) {
  QStringList out;
  for (int c = 0; c < view->model()->columnCount(); ++c) out << cell_text(view, row, c);
  return out;
}

class QtEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "ui_test";
    static char* argv[] = {name, nullptr};
    app_ = new tavrix::ui::Application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tavrix Monitor Utility"));
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

// Runs the event loop until pred holds or the (generous) limit passes.
inline bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

inline void pump(std::chrono::milliseconds span) {
  wait_until([] { return false; }, span);
}

// Answers every message box with the queued answers (Ok/Yes by default) and keeps
// what was asked.
struct Box {
  QString text;
  tavrix::ui::MsgIcon icon;
  tavrix::ui::MsgButtons buttons;
};
class MsgRecorder {
 public:
  MsgRecorder() {
    tavrix::ui::set_message_box_handler([this](QWidget*, const QString& text,
                                               tavrix::ui::MsgIcon icon,
                                               tavrix::ui::MsgButtons buttons) {
      boxes.push_back({text, icon, buttons});
      if (!answers.empty()) {
        const auto a = answers.front();
        answers.pop_front();
        return a;
      }
      return buttons == tavrix::ui::MsgButtons::Ok ? tavrix::ui::MsgResult::Ok
                                                   : tavrix::ui::MsgResult::Yes;
    });
  }
  ~MsgRecorder() { tavrix::ui::set_message_box_handler(nullptr); }
  MsgRecorder(const MsgRecorder&) = delete;
  MsgRecorder& operator=(const MsgRecorder&) = delete;

  std::vector<Box> boxes;
  std::deque<tavrix::ui::MsgResult> answers;
};

// Models: set A (bit 0x04) with 2 ports, set B with 3 ports, a set-B dual-LAN model.
inline constexpr uint32_t kKey = 0x54415658;
inline constexpr uint16_t kModelA = 0x0A02;
inline constexpr uint16_t kModelB = 0x0B03;
inline constexpr uint16_t kModelDual = 0x0D04;

inline qeld::TModelEntry model_entry(uint16_t id, uint8_t attr, uint32_t ports, const char* name) {
  qeld::TModelEntry e;
  e.model_key = kKey;
  e.model_id = id;
  e.attributes[2] = attr;
  e.port_count = ports;
  std::strncpy(e.name, name, sizeof e.name - 1);
  return e;
}

inline void set_test_model_map() {
  qeld::set_model_map({model_entry(kModelA, qeld::kAttrModeSetA, 2, "TX-2200A"),
                       model_entry(kModelB, 0, 3, "TX-3300B"),
                       model_entry(kModelDual, qeld::kAttrSecondMac, 4, "TX-4400D")});
}

inline uint32_t ip(const char* text) {
  return ::inet_addr(text);
}

// A server made by hand, its handles -1 (no device behind it).
inline std::shared_ptr<tavrix::ServerRecord> make_server(uint16_t model_id, const char* ip1,
                                                         uint8_t mac_last,
                                                         const char* ip2 = nullptr) {
  auto rec = std::make_shared<tavrix::ServerRecord>();
  rec->model_key = kKey;
  rec->model_id = model_id;
  rec->ip1 = ip(ip1);
  const uint8_t mac1[6] = {0x00, 0x90, 0xE8, 0x10, 0x20, mac_last};
  std::memcpy(rec->mac1, mac1, 6);
  if (ip2) {
    rec->ip2 = ip(ip2);
    const uint8_t mac2[6] = {0x00, 0x90, 0xE8, 0x10, 0x21, mac_last};
    std::memcpy(rec->mac2, mac2, 6);
    rec->dual_lan = 1;
  }
  rec->port_count = static_cast<int>(qeld::model_port_count(kKey, model_id));
  return rec;
}

// Connection n (1..4) of a record: peer and state on each LAN.
inline void set_connection(uint8_t record[80], int n, uint32_t peer_lan1, uint8_t state_lan1,
                           uint32_t peer_lan2, uint8_t state_lan2) {
  std::memcpy(record + 8 * (n - 1), &peer_lan1, 4);
  std::memcpy(record + 8 * (n - 1) + 4, &peer_lan2, 4);
  record[64 + 2 * (n - 1)] = state_lan1;
  record[65 + 2 * (n - 1)] = state_lan2;
}

// The test program's server list, as a program's main owns one: the windows and
// dialogs under test are given it. It lives until the program ends, so that a test
// that leaves forms behind never leaves them a dangling list.
inline tavrix::ServerList& server_list() {
  static tavrix::ServerList list;
  return list;
}

// Empties the test program's server list and puts its flags and settings back.
inline void reset_list() {
  tavrix::ServerList& list = server_list();
  list.set_stop_all(1);
  list.stop_all_pollers(10000);
  list.clear_servers();
  list.clear_results();
  list.set_stop_all(0);
  list.refresh_rate = 3;
  list.search_timeout = 5;
}

// A UDP socket on 127.0.0.1, port 0: stands in for a device that never answers, and
// counts what reaches it.
class Sink {
 public:
  Sink() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Sink() { ::close(fd_); }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  uint16_t port() const { return port_; }
  // Datagrams received since the last call.
  int drain() {
    int n = 0;
    char buf[2048];
    while (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) >= 0) ++n;
    return n;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace uitest
