// tavrix-gidmap as a program: build and dump round trip, the shipped model list, and
// refusal of bad lists with a message naming the entry and no output file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "qeld/model_map.h"

namespace fs = std::filesystem;

namespace {

std::string env_or_skip(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

struct Outcome {
  int code = -1;
  std::string out, err;
};

class Gidmap : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = env_or_skip("TAVRIX_BIN");
    if (bin_.empty() || !fs::exists(fs::path(bin_) / "tavrix-gidmap"))
      GTEST_SKIP() << "TAVRIX_BIN/tavrix-gidmap not built";
    dir_ = fs::temp_directory_path() /
           ("tavrix_gidmap_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  Outcome run(const std::string& args) {
    const fs::path out = dir_ / "stdout.txt", err = dir_ / "stderr.txt";
    const std::string cmd = "'" + (fs::path(bin_) / "tavrix-gidmap").string() + "' " + args +
                            " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(cmd.c_str());
    Outcome r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }

  fs::path write_list(const std::string& text, const char* name = "list.json") {
    const fs::path p = dir_ / name;
    std::ofstream(p) << text;
    return p;
  }

  std::string bin_;
  fs::path dir_;
};

const char* kGoodList = R"({
  "models": [
    {"key": "0x00000001", "id": "0x1104", "attributes": "0x04", "ports": 4, "name": "TVX-1104"},
    {"key": 0, "id": 9747, "attributes": 64, "ports": 8, "name": "TVX-2613R", "comment": "catch-all"},
    {"key": "4294967295", "id": "0xFFFF", "attributes": "0xFF", "ports": 32, "name": "A name of exactly forty-seven characters long.."}
  ]
})";

TEST_F(Gidmap, BuildThenDumpGivesTheListBack) {
  const fs::path map = dir_ / "GIdMap.dat";
  Outcome b = run("build '" + write_list(kGoodList).string() + "' -o '" + map.string() + "'");
  ASSERT_EQ(b.code, 0) << b.err;
  EXPECT_EQ(fs::file_size(map), 16u + 3 * 64);

  Outcome d = run("dump '" + map.string() + "' --json");
  ASSERT_EQ(d.code, 0) << d.err;
  const auto back = nlohmann::json::parse(d.out);
  const auto& m = back.at("models");
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0]["key"], "0x00000001");
  EXPECT_EQ(m[0]["id"], "0x1104");
  EXPECT_EQ(m[0]["attributes"], "0x04");
  EXPECT_EQ(m[0]["ports"], 4);
  EXPECT_EQ(m[1]["key"], "0x00000000");
  EXPECT_EQ(m[1]["id"], "0x2613");
  EXPECT_EQ(m[1]["attributes"], "0x40");
  EXPECT_EQ(m[2]["key"], "0xFFFFFFFF");
  EXPECT_EQ(m[2]["name"], "A name of exactly forty-seven characters long..");
  EXPECT_EQ(m[2]["ports"], 32);

  // The JSON dump is itself a list that builds the same file.
  const fs::path again = dir_ / "again.dat";
  ASSERT_EQ(
      run("build '" + write_list(d.out, "back.json").string() + "' -o '" + again.string() + "'")
          .code,
      0);
  EXPECT_EQ(slurp(again), slurp(map));

  // And the library reads what the tool wrote.
  ASSERT_EQ(qeld::load_model_map_file(map.string()), 3);
  EXPECT_EQ(qeld::find_model(0x12345678, 0x2613), 1);
  EXPECT_EQ(qeld::model_port_count(1, 0x1104), 4u);
  qeld::clear_model_map();

  Outcome t = run("dump '" + map.string() + "'");
  ASSERT_EQ(t.code, 0) << t.err;
  EXPECT_NE(t.out.find("0x00000001 0x1104 0x04  4     TVX-1104"), std::string::npos) << t.out;
}

TEST_F(Gidmap, BadListsAreRefusedNamingTheEntryAndWritingNothing) {
  struct Case {
    const char* what;
    std::string list;
    std::string needle;  // the message must contain it
  };
  auto one = [](const std::string& fields) {
    return std::string(
               R"({"models": [{"key": 1, "id": "0x1101", "attributes": 4, "ports": 1, "name": "TVX-1101"}, )") +
           fields + "]}";
  };
  const std::string long_name(48, 'N');
  const Case cases[] = {
      {"malformed", R"({"models": [ {"key": 1, )", "malformed JSON"},
      {"long name",
       one(R"({"key": 1, "id": 2, "attributes": 0, "ports": 1, "name": ")" + long_name + "\"}"),
       "entry 1 (\"" + long_name + "\"): name longer than 47"},
      {"ports", one(R"({"key": 1, "id": 2, "attributes": 0, "ports": 33, "name": "TVX-BIG"})"),
       "entry 1 (\"TVX-BIG\"): port count 33"},
      {"duplicate",
       one(R"({"key": 1, "id": "0x1101", "attributes": 0, "ports": 2, "name": "TVX-DUP"})"),
       "entry 1 (\"TVX-DUP\"): duplicate of entry 0"},
      {"id range",
       one(R"({"key": 1, "id": "0x10000", "attributes": 0, "ports": 2, "name": "TVX-ID"})"),
       "entry 1 (\"TVX-ID\"): id is out of range"},
      {"key range",
       one(R"({"key": 4294967296, "id": 2, "attributes": 0, "ports": 2, "name": "TVX-KEY"})"),
       "entry 1 (\"TVX-KEY\"): key is out of range"},
      {"attr range",
       one(R"({"key": 1, "id": 2, "attributes": "0x100", "ports": 2, "name": "TVX-ATTR"})"),
       "entry 1 (\"TVX-ATTR\"): attributes is out of range"},
      {"missing", one(R"({"key": 1, "id": 2, "attributes": 0, "name": "TVX-MISS"})"),
       "entry 1 (\"TVX-MISS\"): missing field \"ports\""},
      {"unknown",
       one(R"({"key": 1, "id": 2, "attributes": 0, "port": 2, "ports": 2, "name": "TVX-TYPO"})"),
       "entry 1 (\"TVX-TYPO\"): unknown field \"port\""},
  };
  for (const auto& c : cases) {
    const fs::path map = dir_ / "out.dat";
    Outcome r = run("build '" + write_list(c.list).string() + "' -o '" + map.string() + "'");
    EXPECT_NE(r.code, 0) << c.what;
    EXPECT_NE(r.err.find(c.needle), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1)
        << c.what << ": one line expected: " << r.err;
    EXPECT_FALSE(fs::exists(map)) << c.what;
    // No temporary file left beside it either.
    int leftovers = 0;
    for (const auto& e : fs::directory_iterator(dir_))
      leftovers += e.path().filename().string().rfind("out.dat", 0) == 0;
    EXPECT_EQ(leftovers, 0) << c.what;
  }
  Outcome missing =
      run("build '" + (dir_ / "nope.json").string() + "' -o '" + (dir_ / "out.dat").string() + "'");
  EXPECT_NE(missing.code, 0);
  EXPECT_FALSE(fs::exists(dir_ / "out.dat"));
}

TEST_F(Gidmap, DumpRefusesDamagedFiles) {
  const fs::path map = dir_ / "GIdMap.dat";
  ASSERT_EQ(run("build '" + write_list(kGoodList).string() + "' -o '" + map.string() + "'").code,
            0);
  std::string bytes = slurp(map);
  bytes[40] = static_cast<char>(bytes[40] ^ 0x10);
  std::ofstream(dir_ / "bad.dat", std::ios::binary) << bytes;
  Outcome r = run("dump '" + (dir_ / "bad.dat").string() + "'");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;

  std::ofstream(dir_ / "short.dat", std::ios::binary) << bytes.substr(0, 40);
  r = run("dump '" + (dir_ / "short.dat").string() + "'");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("multiple of 16"), std::string::npos) << r.err;

  r = run("dump '" + (dir_ / "absent.dat").string() + "'");
  EXPECT_NE(r.code, 0);
}

TEST_F(Gidmap, ShippedMapCoversTheModelsTheProgramNeeds) {
  // The build makes bin/GIdMap.dat from data/models.json; check what the fleets rely on.
  const fs::path map = fs::path(bin_) / "GIdMap.dat";
  ASSERT_TRUE(fs::exists(map)) << "GIdMap.dat not generated";
  const int n = qeld::load_model_map_file(map.string());
  ASSERT_GE(n, 12);
  std::set<uint32_t> ports;
  bool set_a = false, set_b = false, two_lan = false, catch_all = false;
  for (int i = 0; i < n; ++i) {
    const auto e = qeld::model_entry(i);
    ASSERT_TRUE(e.has_value());
    ports.insert(e->port_count);
    (e->attr_byte() & qeld::kAttrModeSetA ? set_a : set_b) = true;
    two_lan = two_lan || (e->attr_byte() & qeld::kAttrSecondMac);
    catch_all = catch_all || e->model_key == 0;
    EXPECT_EQ(qeld::find_model(e->model_key == 0 ? 0x7777 : e->model_key, e->model_id), i)
        << e->name;
  }
  EXPECT_TRUE(set_a && set_b && two_lan && catch_all);
  for (uint32_t p : {1u, 2u, 4u, 8u, 16u}) EXPECT_TRUE(ports.count(p)) << p << " ports";
  for (uint16_t id : {uint16_t{0x2613}, uint16_t{0x2618}}) {
    const int i = qeld::find_model(1, id);
    ASSERT_GE(i, 0) << std::hex << id;
    EXPECT_TRUE(qeld::model_entry(i)->attr_byte() & qeld::kAttrSecondMac);
  }
  qeld::clear_model_map();

  // The map in bin/ is what the list in the source tree makes today.
  const std::string src = env_or_skip("TAVRIX_SOURCE");
  if (!src.empty()) {
    const fs::path fresh = dir_ / "fresh.dat";
    ASSERT_EQ(run("build '" + (fs::path(src) / "data/models.json").string() + "' -o '" +
                  fresh.string() + "'")
                  .code,
              0);
    EXPECT_EQ(slurp(fresh), slurp(map));
  }
}

}  // namespace
