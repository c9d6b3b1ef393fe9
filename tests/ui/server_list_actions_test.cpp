// Save and Open of the server list from the Function menu, the file dialog and the
// message boxes answered through their seams: a list saved and opened again gives the
// same tree; a non-empty list is replaced only after a Yes; a file that cannot be used
// is refused with a message naming the problem and the list stays. No device is
// reached: the servers' handles are opened but never used.
#include <QAction>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <string>

#include "core/server_list_file.h"
#include "ui/file_prompt.h"
#include "ui/main_window.h"
#include "ui/ui_test_util.h"

namespace {

using tavrix::ui::FileMode;
using tavrix::ui::MsgButtons;
using tavrix::ui::MsgIcon;
using tavrix::ui::MsgResult;
using uitest::server_list;

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new uitest::QtEnv);

class ServerListFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::reset_list();
    w = new tavrix::ui::MainWindow(uitest::server_list());
    w->resize(1000, 600);
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w));
    uitest::set_test_model_map();  // after the start, which loads the map file
    tavrix::ui::set_file_prompt_handler(
        [this](FileMode mode, const QString&, const QString&, const QString&, QString*) {
          modes.push_back(mode);
          return answer_path;
        });
  }
  void TearDown() override {
    tavrix::ui::set_file_prompt_handler(nullptr);
    delete w;
    uitest::reset_list();
    qeld::library_stop();
  }
  // Three servers as a search would make them, one of them dual-LAN.
  void make_list() {
    for (int n = 1; n <= 3; ++n) {
      qeld::DeviceIdentity r;
      r.model_key = uitest::kKey;
      r.model_id = n == 3 ? uitest::kModelDual : uitest::kModelA;
      const uint8_t mac1[6] = {0x02, 0x54, 0x58, 0x01, 0x00, static_cast<uint8_t>(n)};
      std::memcpy(r.mac1, mac1, 6);
      r.ip1 = r.ip2 = uitest::ip(("192.0.2." + std::to_string(10 + n)).c_str());
      if (n == 3) {
        const uint8_t mac2[6] = {0x02, 0x54, 0x58, 0x01, 0x01, 0x03};
        std::memcpy(r.mac2, mac2, 6);
        r.ip2 = uitest::ip("198.51.100.13");
      }
      ASSERT_EQ(server_list().add_server(server_list().make_server_record(r)), 1);
    }
    w->rebuild_tree(-1);
  }
  QStringList tree() const {
    QStringList out;
    for (int i = 0; i < uitest::root_node(w)->childCount(); ++i)
      out << uitest::root_node(w)->child(i)->text(0);
    return out;
  }
  void write(const QString& path, const std::string& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.data(), static_cast<qint64>(text.size()));
  }

  tavrix::ui::MainWindow* w = nullptr;
  uitest::MsgRecorder boxes;
  QTemporaryDir dir;
  QString answer_path;
  std::vector<FileMode> modes;
};

TEST_F(ServerListFiles, SavedListOpensAsTheSameTree) {
  make_list();
  const QStringList before = tree();
  ASSERT_EQ(before.size(), 3);
  EXPECT_EQ(before[2], "192.0.2.13, 198.51.100.13  [TX-4400D]");

  answer_path = dir.path() + "/fleet";  // ".json" is added
  uitest::action(w, "m_save_list_act")->trigger();
  ASSERT_TRUE(QFile::exists(dir.path() + "/fleet.json"));
  EXPECT_TRUE(boxes.boxes.empty());

  // The list changes; opening the file brings the saved one back after a Yes.
  w->select_server(1);
  uitest::action(w, "m_delnode_act")->trigger();
  ASSERT_EQ(tree().size(), 2);
  boxes.boxes.clear();  // Delete's question
  answer_path = dir.path() + "/fleet.json";
  uitest::action(w, "m_open_list_act")->trigger();
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(boxes.boxes[0].text, "Replace the 2 server(s) in the list with the 3 in fleet.json?");
  EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Warning);
  EXPECT_EQ(boxes.boxes[0].buttons, MsgButtons::YesCancel);
  EXPECT_EQ(tree(), before);
  // Each server has its handles anew: LAN1 for every one, LAN2 for the dual-LAN one.
  EXPECT_EQ(qeld::open_handle_count(), 4);
  ASSERT_EQ(server_list().server_count(), 3);
  EXPECT_EQ(server_list().server_at(2)->dual_lan, 1);
  EXPECT_EQ(server_list().server_at(2)->port_count, 4);
  EXPECT_EQ(modes, (std::vector<FileMode>{FileMode::Save, FileMode::Open}));
}

TEST_F(ServerListFiles, CancelKeepsTheListAndAnEmptyListIsNotAsked) {
  make_list();
  answer_path = dir.path() + "/fleet.json";
  uitest::action(w, "m_save_list_act")->trigger();
  boxes.answers.push_back(MsgResult::Cancel);
  uitest::action(w, "m_open_list_act")->trigger();
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(qeld::open_handle_count(), 4);  // the old handles, no new ones

  server_list().clear_servers();
  w->rebuild_tree(-1);
  uitest::action(w, "m_open_list_act")->trigger();
  EXPECT_EQ(boxes.boxes.size(), 1u) << "asked before filling an empty list";
  EXPECT_EQ(tree().size(), 3);
}

TEST_F(ServerListFiles, UnusableFilesAreRefusedNamingTheProblemAndTheListStays) {
  make_list();
  const QStringList before = tree();
  std::string many = R"({"format": "tavrix-server-list", "version": 1, "servers": [)";
  for (int i = 0; i < 513; ++i)
    many +=
        std::string(i ? "," : "") +
        R"({"model_key": 1, "model_id": 4354, "ip1": "192.0.2.1", "mac1": "02:54:58:01:00:01"})";
  many += "]}";
  struct Row {
    const char* file;
    std::string text;  // not written when empty: the file is missing
    const char* problem;
  };
  const Row rows[] = {
      {"missing.json", "", "cannot be read"},
      {"broken.json", R"({"format": "tavrix-server-list", "version": 1, "servers": [)",
       "not valid JSON"},
      {"newer.json", R"({"format": "tavrix-server-list", "version": 2, "servers": []})",
       "version 2 is newer"},
      {"many.json", many, "513 servers"},
      {"bad_entry.json",
       R"({"format": "tavrix-server-list", "version": 1, "servers": [{"model_key": 1, "model_id": 1, "ip1": "192.0.2.300", "mac1": "02:54:58:01:00:01"}]})",
       "server 1: 'ip1'"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.file);
    answer_path = dir.path() + "/" + r.file;
    if (!r.text.empty()) write(answer_path, r.text);
    boxes.boxes.clear();
    uitest::action(w, "m_open_list_act")->trigger();
    ASSERT_EQ(boxes.boxes.size(), 1u) << "asked to replace the list with an unusable file";
    EXPECT_EQ(boxes.boxes[0].icon, MsgIcon::Error);
    EXPECT_TRUE(boxes.boxes[0].text.startsWith("The server list was not opened: " + answer_path))
        << boxes.boxes[0].text.toStdString();
    EXPECT_TRUE(boxes.boxes[0].text.contains(r.problem)) << boxes.boxes[0].text.toStdString();
    EXPECT_EQ(tree(), before);
    EXPECT_EQ(qeld::open_handle_count(), 4);
  }
}

TEST_F(ServerListFiles, SaveThatCannotBeWrittenIsReported) {
  make_list();
  answer_path = dir.path() + "/no/such/folder/fleet.json";
  uitest::action(w, "m_save_list_act")->trigger();
  ASSERT_EQ(boxes.boxes.size(), 1u);
  EXPECT_TRUE(boxes.boxes[0].text.startsWith("The server list was not saved: " + answer_path))
      << boxes.boxes[0].text.toStdString();
  answer_path.clear();  // cancelled: nothing asked, nothing written
  uitest::action(w, "m_save_list_act")->trigger();
  uitest::action(w, "m_open_list_act")->trigger();
  EXPECT_EQ(boxes.boxes.size(), 1u);
  EXPECT_EQ(tree().size(), 3);
}

}  // namespace
