// The model map: the file format with its checksum and cipher, its damaged and odd
// sizes, and the lookups with the catch-all rule.
#include "qeld/model_map.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "qeld/cipher/cipher.h"

namespace {

qeld::TModelEntry entry(uint32_t key, uint16_t id, uint8_t attr, uint32_t ports, const char* name) {
  qeld::TModelEntry e;
  e.model_key = key;
  e.model_id = id;
  e.attributes[2] = attr;
  e.port_count = ports;
  std::strncpy(e.name, name, sizeof e.name - 1);
  return e;
}

class ModelMap : public ::testing::Test {
 protected:
  void TearDown() override { qeld::clear_model_map(); }
};

uint16_t word_sum(const std::vector<uint8_t>& plain) {
  uint16_t sum = 0;
  for (std::size_t off = 16; off + 1 < plain.size(); off += 2)
    sum = static_cast<uint16_t>(sum + (plain[off] | plain[off + 1] << 8));
  return sum;
}

std::vector<uint8_t> decrypted(std::vector<uint8_t> file) {
  uint8_t key[16];
  qeld::model_map_file_key(key);
  for (std::size_t off = 0; off < file.size(); off += 16) qeld::decrypt_block(&file[off], key);
  return file;
}

TEST_F(ModelMap, EightyByteFileWithOneEntryLoads) {
  const auto file = qeld::build_model_map_file({entry(0x01, 0x1100, 0x04, 4, "TVX-1100")});
  ASSERT_EQ(file.size(), 80u);
  // The header as the loader reads it: count 1, checksum over the 32 entry words.
  const auto plain = decrypted(file);
  EXPECT_EQ(plain[0], 1);
  EXPECT_EQ(plain[4] | plain[5] << 8, word_sum(plain));

  ASSERT_EQ(qeld::load_model_map_bytes(file.data(), file.size()), 1);
  ASSERT_EQ(qeld::model_entry_count(), 1);
  const auto e = qeld::model_entry(0);
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->model_key, 0x01u);
  EXPECT_EQ(e->model_id, 0x1100);
  EXPECT_EQ(e->attr_byte(), 0x04);
  EXPECT_EQ(e->port_count, 4u);
  EXPECT_STREQ(e->name, "TVX-1100");
  EXPECT_FALSE(qeld::model_entry(1).has_value());
  EXPECT_FALSE(qeld::model_entry(-1).has_value());
}

TEST_F(ModelMap, AnyFlippedBitInTheEntryBlocksEmptiesTheMap) {
  // A flipped bit scrambles its whole decrypted block, and a 16-bit sum lets about one
  // such block in 65536 through; this entry is one where none of its 512 flips collides.
  const auto file = qeld::build_model_map_file({entry(0x01, 0x1200, 0x04, 8, "TVX-1200")});
  for (std::size_t byte = 16; byte < file.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      auto bad = file;
      bad[byte] = static_cast<uint8_t>(bad[byte] ^ (1u << bit));
      EXPECT_EQ(qeld::load_model_map_bytes(bad.data(), bad.size()), 0)
          << "byte " << byte << " bit " << bit;
      EXPECT_EQ(qeld::model_entry_count(), 0);
    }
  }
}

TEST_F(ModelMap, OddSizesGiveAnEmptyMap) {
  qeld::set_model_map({entry(0, 0x1100, 0, 4, "x")});
  const auto file = qeld::build_model_map_file({entry(0x01, 0x1100, 0x04, 4, "TVX-1100")});
  EXPECT_EQ(qeld::load_model_map_bytes(file.data(), 40), 0);  // not a multiple of 16
  EXPECT_EQ(qeld::model_entry_count(), 0);
  qeld::set_model_map({entry(0, 0x1100, 0, 4, "x")});
  EXPECT_EQ(qeld::load_model_map_bytes(file.data(), 0), 0);  // no header block at all
  EXPECT_EQ(qeld::model_entry_count(), 0);
  EXPECT_TRUE(qeld::parse_model_map(file.data(), 15).empty());
  EXPECT_TRUE(qeld::parse_model_map(nullptr, 0).empty());
}

TEST_F(ModelMap, CountLargerThanTheEntriesPresentIsCut) {
  auto plain = decrypted(qeld::build_model_map_file(
      {entry(1, 0x1100, 0, 4, "TVX-1100"), entry(1, 0x1200, 0, 8, "TVX-1200")}));
  plain[0] = 200;  // the count is outside the checksum's words
  // Trailing bytes that are not a whole entry: read for the checksum, never as an entry.
  plain.insert(plain.end(), 32, 0);
  const auto v = qeld::parse_model_map(plain.data(), plain.size());
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1].model_id, 0x1200);
  // The same held in a buffer of exactly that size: no read past its end (ASan checks).
  std::vector<uint8_t> exact(plain.begin(), plain.end());
  EXPECT_EQ(qeld::parse_model_map(exact.data(), exact.size()).size(), 2u);
}

TEST_F(ModelMap, NameFillingAllBytesIsCutToStayTerminated) {
  auto plain = decrypted(qeld::build_model_map_file({entry(1, 0x1100, 0, 4, "")}));
  std::memset(&plain[16 + 16], 'N', 48);
  const uint16_t sum = word_sum(plain);
  plain[4] = static_cast<uint8_t>(sum);
  plain[5] = static_cast<uint8_t>(sum >> 8);
  const auto v = qeld::parse_model_map(plain.data(), plain.size());
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(std::string(v[0].name), std::string(47, 'N'));
}

TEST_F(ModelMap, CatchAllEntryBeforeTheExactOneWins) {
  qeld::set_model_map(
      {entry(0, 0x2613, 0x40, 8, "catch-all"), entry(7, 0x2613, 0x44, 16, "exact")});
  EXPECT_EQ(qeld::find_model(7, 0x2613), 0);
  EXPECT_EQ(qeld::model_name(7, 0x2613), "catch-all");
  qeld::set_model_map(
      {entry(7, 0x2613, 0x44, 16, "exact"), entry(0, 0x2613, 0x40, 8, "catch-all")});
  EXPECT_EQ(qeld::find_model(7, 0x2613), 0);
  EXPECT_EQ(qeld::find_model(9, 0x2613), 1);
  EXPECT_EQ(qeld::model_port_count(9, 0x2613), 8u);
}

TEST_F(ModelMap, KeyMustMatchExactlyUnlessTheEntryKeyIsZero) {
  qeld::set_model_map({entry(5, 0x1100, 0, 4, "five"), entry(0, 0x1200, 0, 8, "any")});
  EXPECT_EQ(qeld::find_model(5, 0x1100), 0);
  EXPECT_EQ(qeld::find_model(6, 0x1100), -1);
  EXPECT_EQ(qeld::find_model(5, 0x1101), -1);
  EXPECT_EQ(qeld::find_model(5, 0x1200), 1);
  EXPECT_EQ(qeld::find_model(6, 0x1200), 1);
  EXPECT_EQ(qeld::model_name(6, 0x1100), "Unknown model");
  EXPECT_EQ(qeld::model_port_count(6, 0x1100), 0u);
  qeld::clear_model_map();
  EXPECT_EQ(qeld::find_model(5, 0x1100), -1);
}

// The places looked in, in order, and what each gave: the first file that can be
// opened is used even when it is damaged, and every attempt is reported.
TEST_F(ModelMap, SearchReportsEveryPlaceTriedAndWhyItGaveNoMap) {
  char tmpl[] = "/tmp/tavrix_map_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  auto write = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  };
  const auto good = qeld::build_model_map_file({entry(1, 0x1100, 0x04, 4, "TVX-1100")});
  auto bad_sum = good;
  bad_sum[20] ^= 0x01;  // one flipped bit decrypts to a different block
  write("good.dat", good);
  write("odd.dat", std::vector<uint8_t>(good.begin(), good.end() - 1));
  write("bad_sum.dat", bad_sum);
  write("empty_list.dat", qeld::build_model_map_file({}));
  const std::string missing = dir + "/missing.dat";

  struct Case {
    const char* used;  // the file after the missing one
    int entries;
    const char* outcome;
  } cases[] = {
      {"good.dat", 1, "loaded, 1 model"},
      {"odd.dat", 0, "damaged: its length, 79 bytes, is not a multiple of 16"},
      {"bad_sum.dat", 0, "damaged: its checksum does not match"},
      {"empty_list.dat", 0, "lists no model"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.used);
    const std::string used = dir + "/" + c.used;
    // The good map last: it must not be reached once an earlier file could be opened.
    qeld::set_model_map_places(
        {{missing, "first place"}, {used, "second place"}, {dir + "/good.dat", "third place"}});
    qeld::set_model_map({entry(9, 0x9999, 0, 1, "stale")});
    qeld::load_model_map();
    EXPECT_EQ(qeld::model_entry_count(), c.entries);
    const auto tried = qeld::model_map_search();
    ASSERT_EQ(tried.size(), 2u);
    EXPECT_EQ(tried[0].path, missing);
    EXPECT_EQ(tried[0].place, "first place");
    EXPECT_EQ(tried[0].outcome, "not found");
    EXPECT_EQ(tried[1].path, used);
    EXPECT_EQ(tried[1].outcome, c.outcome);
    const std::string problem = qeld::model_map_problem(" | ");
    if (c.entries > 0) {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_EQ(problem,
                missing + " (first place): not found | " + used + " (second place): " + c.outcome);
    }
  }

  // Nothing found anywhere: the map is emptied and all places are named.
  qeld::set_model_map_places({{missing, "a"}, {dir + "/also_missing.dat", "b"}});
  qeld::set_model_map({entry(9, 0x9999, 0, 1, "stale")});
  qeld::load_model_map();
  EXPECT_EQ(qeld::model_entry_count(), 0);
  EXPECT_EQ(qeld::model_map_problem("; "),
            missing + " (a): not found; " + dir + "/also_missing.dat (b): not found");

  qeld::set_model_map_places({});
  for (const char* name : {"good.dat", "odd.dat", "bad_sum.dat", "empty_list.dat"})
    std::remove((dir + "/" + name).c_str());
  rmdir(dir.c_str());
}

// Without a test list the first place is the current directory, named absolutely so
// the message says which folder that was.
TEST_F(ModelMap, DefaultSearchStartsInTheCurrentDirectoryNamedAbsolutely) {
  qeld::set_model_map_places({});
  qeld::load_model_map();
  const auto tried = qeld::model_map_search();
  ASSERT_FALSE(tried.empty());
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(tried[0].path, std::string(cwd) + "/GIdMap.dat");
  EXPECT_EQ(tried[0].place, "current directory");
}

}  // namespace

// An entry read while the map is reloaded on another thread is always one whole entry
// of one of the two maps, never memory the reload has freed.
TEST_F(ModelMap, EntriesReadDuringReloadsAreWholeEntries) {
  const std::vector<qeld::TModelEntry> small = {entry(0x01, 0x1101, 0x04, 1, "TVX-1101")};
  std::vector<qeld::TModelEntry> large;
  for (uint16_t i = 0; i < 40; ++i) large.push_back(entry(0x02, 0x2200 + i, 0x40, 8, "TVX-2200"));
  qeld::set_model_map(large);

  // The reloader runs while the reader reads; each loop has its own bound.
  std::atomic<bool> reading{true};
  std::thread reloader([&] {
    for (int round = 0; round < 200000 && reading.load(); ++round)
      qeld::set_model_map(round % 2 ? large : small);
  });
  int seen = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::optional<qeld::TModelEntry> e = qeld::model_entry(i % 40);
    if (!e) continue;
    ++seen;
    const bool from_small = e->model_id == 0x1101 && std::strcmp(e->name, "TVX-1101") == 0 &&
                            e->port_count == 1 && e->model_key == 0x01;
    const bool from_large = e->model_id >= 0x2200 && e->model_id < 0x2228 &&
                            std::strcmp(e->name, "TVX-2200") == 0 && e->port_count == 8 &&
                            e->attr_byte() == 0x40;
    if (!from_small && !from_large) {
      ADD_FAILURE() << "entry " << i % 40 << " id " << e->model_id;
      break;
    }
  }
  reading = false;
  reloader.join();
  EXPECT_GT(seen, 0);

  // A copy taken before a reload keeps its values after it.
  qeld::set_model_map(small);
  const auto before = qeld::model_entry(0);
  qeld::set_model_map(large);
  ASSERT_TRUE(before.has_value());
  EXPECT_STREQ(before->name, "TVX-1101");
  EXPECT_EQ(qeld::model_entry(0)->model_id, 0x2200);
}
