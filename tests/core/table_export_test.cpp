// Table export: RFC 4180 quoting and line ends, JSON that reads back to the same cells
// under the same captions, the format chosen by a file's extension, and a file write
// that leaves either the whole new file or the old one.
#include "core/table_export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using tavrix::ExportFormat;
using tavrix::TextTable;

TEST(TableExport, CsvQuotesOnlyWhatNeedsIt) {
  struct Row {
    std::string cell;
    std::string written;
  };
  const Row rows[] = {
      {"plain", "plain"},
      {"", ""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {"cr\rhere", "\"cr\rhere\""},
      {"\"", "\"\"\"\""},
      {" spaced ", " spaced "},  // spaces are part of the field, not quoted
      {"192.0.2.11, 198.51.100.11  [TVX-2602R]", "\"192.0.2.11, 198.51.100.11  [TVX-2602R]\""},
  };
  for (const Row& r : rows) {
    const TextTable t{{"A", "B"}, {{r.cell, "x"}}};
    EXPECT_EQ(tavrix::to_csv(t), "A,B\r\n" + r.written + ",x\r\n") << r.cell;
  }
}

TEST(TableExport, CsvRowsHaveTheHeadersWidth) {
  const TextTable t{{"No", "Model", "Status"}, {{"1"}, {"2", "TVX-1102", "Idle", "extra"}, {}}};
  EXPECT_EQ(tavrix::to_csv(t), "No,Model,Status\r\n1,,\r\n2,TVX-1102,Idle\r\n,,\r\n");
  EXPECT_EQ(tavrix::to_csv(TextTable{{"Port"}, {}}), "Port\r\n");
}

TEST(TableExport, JsonReadsBackToTheSameCells) {
  const TextTable t{{"Port", "Operation Mode", "LAN", "Port"},
                    {{"1", "Redundant COM", "LAN1", "x"},
                     {"-", "say \"hi\"\t\\", "LAN2"},
                     {"2", "caf\xc3\xa9", "", "y"}}};
  const auto doc = nlohmann::ordered_json::parse(tavrix::to_json(t));
  ASSERT_TRUE(doc.is_array());
  ASSERT_EQ(doc.size(), 3u);
  for (std::size_t r = 0; r < 3; ++r) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : doc[r].items()) {
      keys.push_back(key);
      EXPECT_TRUE(value.is_string());
    }
    // Column order kept; the repeated caption made distinct rather than overwritten.
    EXPECT_EQ(keys, (std::vector<std::string>{"Port", "Operation Mode", "LAN", "Port (2)"}));
    for (std::size_t c = 0; c < 4; ++c)
      EXPECT_EQ(doc[r][keys[c]].get<std::string>(), c < t.rows[r].size() ? t.rows[r][c] : "");
  }
  EXPECT_EQ(nlohmann::json::parse(tavrix::to_json(TextTable{{"A"}, {}})), nlohmann::json::array());
  // Bytes that are not UTF-8 do not make the file unreadable.
  const auto bad = nlohmann::json::parse(tavrix::to_json(TextTable{{"A"}, {{"x\xff"}}}));
  EXPECT_EQ(bad[0]["A"].get<std::string>(), "x\xef\xbf\xbd");
}

TEST(TableExport, JsonWritesNumbersAndMissingValuesByColumnKind) {
  using K = tavrix::CellKind;
  TextTable t{{"No", "IP Address2", "Port", "Status", "Warning"},
              {{"1", "---", "12", "On Line", "connected on LAN1 only"},
               {"2", "198.51.100.7", "-", "-", ""},
               {"x3", "", "-17", "", "-"}}};
  t.kinds = {K::kNumber, K::kOptional, K::kNumber, K::kText, K::kOptional};
  const auto doc = nlohmann::ordered_json::parse(tavrix::to_json(t));
  ASSERT_EQ(doc.size(), 3u);
  EXPECT_EQ(doc[0], nlohmann::ordered_json::parse(R"({"No":1,"IP Address2":null,"Port":12,
      "Status":"On Line","Warning":"connected on LAN1 only"})"));
  EXPECT_EQ(doc[1], nlohmann::ordered_json::parse(R"({"No":2,"IP Address2":"198.51.100.7",
      "Port":null,"Status":"-","Warning":null})"));
  // Text in a number column stays text; a text column never turns into null.
  EXPECT_EQ(doc[2], nlohmann::ordered_json::parse(R"({"No":"x3","IP Address2":null,"Port":-17,
      "Status":"","Warning":null})"));
  // The CSV of the same table is its texts.
  EXPECT_EQ(tavrix::to_csv(t).substr(0, 45), "No,IP Address2,Port,Status,Warning\r\n1,---,12,");
}

TEST(TableExport, FormatFromTheExtension) {
  const std::pair<const char*, std::optional<ExportFormat>> rows[] = {
      {"servers.csv", ExportFormat::kCsv},
      {"/tmp/Ports.CSV", ExportFormat::kCsv},
      {"events.json", ExportFormat::kJson},
      {"a.b/events.Json", ExportFormat::kJson},
      {"events", std::nullopt},
      {"dir.csv/events", std::nullopt},
      {"table.txt", std::nullopt},
      {"csv", std::nullopt},
  };
  for (const auto& [path, format] : rows) EXPECT_EQ(tavrix::format_from_path(path), format) << path;
}

class TableFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/table_export_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  static std::string read(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  fs::path dir_;
};

TEST_F(TableFile, WritesTheWholeFileAndLeavesNoTemporary) {
  const TextTable t{{"No", "Model"}, {{"1", "TVX-1102"}}};
  for (const auto format : {ExportFormat::kCsv, ExportFormat::kJson}) {
    const fs::path p = dir_ / (format == ExportFormat::kCsv ? "t.csv" : "t.json");
    std::ofstream(p) << "an older, longer file that must be replaced entirely";
    std::string error;
    ASSERT_TRUE(tavrix::write_table_file(p.string(), t, format, error)) << error;
    EXPECT_EQ(read(p), tavrix::export_text(t, format));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 2);
}

TEST_F(TableFile, UnwritablePlaceIsReportedAndTheOldFileKept) {
  std::string error;
  EXPECT_FALSE(tavrix::write_table_file((dir_ / "missing" / "t.csv").string(), TextTable{{"A"}, {}},
                                        ExportFormat::kCsv, error));
  EXPECT_FALSE(error.empty());

  // The name is taken by a folder: the rename fails, the folder and its content stay.
  fs::create_directory(dir_ / "taken.csv");
  std::ofstream(dir_ / "taken.csv" / "keep") << "kept";
  error.clear();
  EXPECT_FALSE(tavrix::write_table_file((dir_ / "taken.csv").string(), TextTable{{"A"}, {}},
                                        ExportFormat::kCsv, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(read(dir_ / "taken.csv" / "keep"), "kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator{}), 1);
}

TEST(TableExport, TabSeparatedRowsKeepOneLinePerRow) {
  EXPECT_EQ(tavrix::to_tab_separated({{"1", "Redundant COM", "LAN1"}, {"-", "a\tb\nc", ""}}),
            "1\tRedundant COM\tLAN1\n-\ta b c\t\n");
  EXPECT_EQ(tavrix::to_tab_separated({}), "");
}

}  // namespace
