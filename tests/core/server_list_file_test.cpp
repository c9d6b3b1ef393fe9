// The server-list file: what a list survives (write then read gives every identity
// field back, through text and through a file), what reading refuses and how the
// reason names the problem, the size limits, and the address and MAC readers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "core/address_text.h"
#include "core/server_list_file.h"
#include "qeld/ds_info.h"

namespace {

using tavrix::ServerListEntry;

// The reason of a refusal, "" for success (the list then in `out`, left alone otherwise).
template <class Read>
std::string reason_of(Read&& read, std::vector<ServerListEntry>& out) {
  auto got = read();
  if (!got) return got.reason();
  out = std::move(got).value();
  return {};
}
std::string parse_into(const std::string& text, std::vector<ServerListEntry>& out) {
  return reason_of([&] { return tavrix::parse_server_list(text); }, out);
}
std::string read_into(const std::string& path, std::vector<ServerListEntry>& out) {
  return reason_of([&] { return tavrix::read_server_list_file(path); }, out);
}

qeld::DeviceIdentity identity(uint16_t id, uint8_t last, bool dual) {
  qeld::DeviceIdentity r;
  r.model_key = 0x80000001u;
  r.model_id = id;
  r.flags = qeld::kFlag1029 | qeld::kFlagDirected;
  r.unit_id = 0xFFFF;
  const uint8_t a1[4] = {192, 0, 2, last}, a2[4] = {198, 51, 100, last};
  std::memcpy(&r.ip1, a1, 4);
  std::memcpy(&r.ip2, dual ? a2 : a1, 4);
  const uint8_t m1[6] = {0x02, 0xAB, 0xCD, 0xEF, 0x00, last};
  std::memcpy(r.mac1, m1, 6);
  if (dual) {
    std::memcpy(r.mac2, m1, 6);
    r.mac2[5] ^= 0x80;
  }
  return r;
}

std::string one_server(
    const std::string& fields,
    const std::string& head = R"("format": "tavrix-server-list", "version": 1)") {
  return "{" + head + R"(, "servers": [{)" + fields + "}]}";
}

const std::string kGood =
    R"("model_key": 1, "model_id": "0x2613", "ip1": "192.0.2.30", "mac1": "02:54:58:01:00:30")";

TEST(ServerListFile, WriteThenReadGivesEveryIdentityFieldBack) {
  std::vector<ServerListEntry> written;
  written.push_back(
      tavrix::server_list_entry(identity(0x2613, 30, true), "rack 3 \"left\" \xC3\xA9"));
  written.push_back(tavrix::server_list_entry(identity(0x0000, 1, false)));
  auto extreme = identity(0xFFFF, 254, true);
  extreme.model_key = 0;
  extreme.flags = 0xFFFF;
  extreme.unit_id = 0;
  extreme.local_ip = 0x01020304;  // the host's own: never written
  written.push_back(tavrix::server_list_entry(extreme));

  const std::string path =
      ::testing::TempDir() + "tavrix_list_" + std::to_string(getpid()) + ".json";
  ASSERT_TRUE(tavrix::write_server_list_file(path, written).ok());
  std::vector<ServerListEntry> from_text, from_file;
  ASSERT_EQ(parse_into(tavrix::server_list_text(written), from_text), "");
  ASSERT_EQ(read_into(path, from_file), "");
  std::remove(path.c_str());

  for (const auto* read : {&from_text, &from_file}) {
    ASSERT_EQ(read->size(), written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
      qeld::DeviceIdentity want = written[i].identity;
      want.local_ip = 0;
      EXPECT_TRUE(qeld::ds_info_equal((*read)[i].identity, want)) << "entry " << i;
      EXPECT_EQ((*read)[i].name, written[i].name);
      EXPECT_EQ((*read)[i].model, written[i].model);
    }
  }
}

TEST(ServerListFile, OptionalFieldsTakeTheRecordsDefaults) {
  std::vector<ServerListEntry> out;
  ASSERT_EQ(parse_into(one_server(kGood), out), "");
  ASSERT_EQ(out.size(), 1u);
  const qeld::DeviceIdentity& id = out[0].identity;
  EXPECT_EQ(id.model_key, 1u);
  EXPECT_EQ(id.model_id, 0x2613);
  EXPECT_EQ(id.ip2, id.ip1);  // never 0 while ip1 is set
  EXPECT_EQ(std::memcmp(id.mac2, "\0\0\0\0\0\0", 6), 0);
  EXPECT_EQ(id.unit_id, 0);
  EXPECT_EQ(id.flags, 0);
  // Hex text and a plain integer name the same number; unknown keys are left alone.
  ASSERT_EQ(parse_into(one_server(R"("model_key": "0x1", "model_id": 9747, "ip1": "192.0.2.30",
                              "mac1": "02-54-58-01-00-30", "comment": [1, 2])"),
                       out),
            "");
  EXPECT_EQ(out[0].identity.model_id, 0x2613);
}

TEST(ServerListFile, ReadingRefusesWithAReasonThatNamesTheProblem) {
  const std::string head = R"("format": "tavrix-server-list", "version": 1)";
  struct Case {
    std::string text;
    std::string reason;  // must appear in the error
  };
  const Case cases[] = {
      {"", "not valid JSON"},
      {"{\"format\": ", "not valid JSON"},
      {"[1, 2]", "top level is not a JSON object"},
      {R"({"devices": []})", "\"format\" must be \"tavrix-server-list\""},
      {R"({"format": "tavrix-server-list", "servers": []})", "\"version\" is missing"},
      {R"({"format": "tavrix-server-list", "version": "1", "servers": []})", "whole number"},
      {R"({"format": "tavrix-server-list", "version": 0, "servers": []})", "whole number"},
      {R"({"format": "tavrix-server-list", "version": 2, "servers": []})",
       "version 2 is newer than this program reads (1)"},
      {"{" + head + "}", "\"servers\" is missing"},
      {"{" + head + R"(, "servers": {}})", "\"servers\" must be a list"},
      {"{" + head + R"(, "servers": [7]})", "server 1: not a JSON object"},
      {one_server(R"("model_id": 1, "ip1": "192.0.2.1", "mac1": "02:00:00:00:00:01")"),
       "server 1: 'model_key' is missing"},
      {one_server(
           R"("model_key": -1, "model_id": 1, "ip1": "192.0.2.1", "mac1": "02:00:00:00:00:01")"),
       "server 1: 'model_key' must be a number"},
      {one_server(
           R"("model_key": 1, "model_id": 65536, "ip1": "192.0.2.1", "mac1": "02:00:00:00:00:01")"),
       "'model_id' must be a number up to 0xFFFF"},
      {one_server(
           R"("model_key": 1, "model_id": "0x", "ip1": "192.0.2.1", "mac1": "02:00:00:00:00:01")"),
       "'model_id' must be a number"},
      {one_server(
           R"("model_key": 1, "model_id": "2613", "ip1": "192.0.2.1", "mac1": "02:00:00:00:00:01")"),
       "'model_id' must be a number"},
      {one_server(R"("model_key": 1, "model_id": 1, "mac1": "02:00:00:00:00:01")"),
       "'ip1' is missing"},
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": 3221225985, "mac1": "02:00:00:00:00:01")"),
       "'ip1' must be text"},
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": "192.0.2", "mac1": "02:00:00:00:00:01")"),
       "'ip1' \"192.0.2\" is not a device address"},
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": "192.0.2.010", "mac1": "02:00:00:00:00:01")"),
       "'ip1'"},
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": "0.0.0.0", "mac1": "02:00:00:00:00:01")"),
       "'ip1'"},
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": "255.255.255.255", "mac1": "02:00:00:00:00:01")"),
       "'ip1'"},
      {one_server(R"("model_key": 1, "model_id": 1, "ip1": "192.0.2.1", "mac1": "02:00:00:00:00")"),
       "'mac1' \"02:00:00:00:00\" is not a MAC address"},
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": "192.0.2.1", "mac1": "02:00:00:00:00:0g")"),
       "'mac1'"},
      {one_server(kGood + R"(, "ip2": "198.51.100.256")"), "'ip2'"},
      {one_server(kGood + R"(, "mac2": "02:00:00:00:00:01:")"), "'mac2'"},
      {one_server(kGood + R"(, "name": 5)"), "'name' must be text"},
      {one_server(kGood + R"(, "name": ")" + std::string(129, 'x') + "\""),
       "'name' is longer than 128"},
      {"{" + head + R"(, "servers": [{)" + kGood + "}, {" + kGood + R"(, "flags": 65536}]})",
       "server 2: 'flags'"},
      // Untrusted text is quoted on one line, escaped and cut.
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": "192.0.2.1", "mac1": "02:54rv\rruni\nitni")"),
       R"('mac1' "02:54rv\rruni\nitni" is not)"},
      {one_server(
           R"("model_key": 1, "model_id": 1, "ip1": "192.0.2.1\u0007", "mac1": "02:00:00:00:00:01")"),
       R"('ip1' "192.0.2.1\x07" is not)"},
      {one_server(kGood + R"(, "ip2": ")" + std::string(500, '9') + "\""),
       "'ip2' \"" + std::string(64, '9') + "...\" is not"},
  };
  for (const Case& c : cases) {
    std::vector<ServerListEntry> out(1);
    const std::string why = parse_into(c.text, out);
    EXPECT_NE(why.find(c.reason), std::string::npos) << "text: " << c.text << "\nreason: " << why;
    EXPECT_EQ(out.size(), 1u) << "a refused file must leave the list alone: " << c.text;
    EXPECT_EQ(why.find_first_of("\r\n"), std::string::npos) << why;
  }
}

TEST(ServerListFile, HoldsAtMost512ServersAndBoundsTheFileSize) {
  nlohmann::json doc = {{"format", "tavrix-server-list"}, {"version", 1}};
  doc["servers"] = nlohmann::json::array();
  for (int i = 0; i < 512; ++i) doc["servers"].push_back(nlohmann::json::parse("{" + kGood + "}"));
  std::vector<ServerListEntry> out;
  EXPECT_EQ(parse_into(doc.dump(), out), "");
  EXPECT_EQ(out.size(), 512u);
  doc["servers"].push_back(doc["servers"][0]);
  EXPECT_EQ(parse_into(doc.dump(), out), "513 servers; a list holds at most 512");

  const std::string huge = "{" + std::string(tavrix::kServerListMaxBytes, ' ') + "}";
  EXPECT_NE(parse_into(huge, out).find("larger than"), std::string::npos);
}

TEST(ServerListFile, FileErrorsStartWithThePath) {
  std::vector<ServerListEntry> out;
  const std::string missing = ::testing::TempDir() + "no_such_dir_tavrix/list.json";
  const std::string why = read_into(missing, out);
  EXPECT_EQ(why.rfind(missing + ": cannot be read", 0), 0u) << why;
  EXPECT_EQ(tavrix::write_server_list_file(missing, {})
                .reason()
                .rfind(missing + ": cannot be written", 0),
            0u);

  const std::string bad = ::testing::TempDir() + "tavrix_bad_" + std::to_string(getpid()) + ".json";
  std::ofstream(bad) << R"({"format": "tavrix-server-list", "version": 9, "servers": []})";
  EXPECT_EQ(
      read_into(bad, out),
      bad + ": version 9 is newer than this program reads (1); use a newer Tavrix Monitor Utility");
  std::remove(bad.c_str());
}

TEST(ServerListFile, AddressAndMacReaders) {
  struct IpCase {
    const char* text;
    bool ok;
  };
  const IpCase ips[] = {{"192.0.2.10", true},      {"0.0.0.0", true},
                        {"255.255.255.255", true}, {"192.0.2.256", false},
                        {"192.0.2", false},        {"192.0.2.1.", false},
                        {"1.2.3.04", false},       {"+1.2.3.4", false},
                        {"1.2.3.4 ", false},       {"", false},
                        {"1..2.3", false},         {"1234.2.3.4", false}};
  for (const auto& c : ips) EXPECT_EQ(tavrix::parse_ipv4(c.text).has_value(), c.ok) << c.text;
  const auto v = tavrix::parse_ipv4("192.0.2.10");
  ASSERT_TRUE(v);
  const uint8_t want[4] = {192, 0, 2, 10};
  EXPECT_EQ(std::memcmp(&*v, want, 4), 0);  // network byte order

  uint8_t mac[6] = {};
  EXPECT_TRUE(tavrix::parse_mac_text("02:aB:cd:EF:00:ff", mac));
  const uint8_t want_mac[6] = {0x02, 0xAB, 0xCD, 0xEF, 0x00, 0xFF};
  EXPECT_EQ(std::memcmp(mac, want_mac, 6), 0);
  for (const char* bad : {"02:ab:cd:ef:00", "02:ab:cd:ef:00:ff:", "02.ab.cd.ef.00.ff",
                          "0x:ab:cd:ef:00:ff", "02:ab:cd:ef:00:+f"})
    EXPECT_FALSE(tavrix::parse_mac_text(bad, mac)) << bad;
}

}  // namespace
