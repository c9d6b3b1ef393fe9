// Tests of the device simulator: request parsing, every reply layout byte for byte,
// fleet files, faults and the program itself, against real sockets on loopback.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "fleet.h"
#include "protocol.h"
#include "simulator.h"
#include "support/lab.h"
#include "support/loopback_sim.h"

namespace {

using Bytes = std::vector<uint8_t>;
using devsim::Family;
using devsim::ParseStatus;
using devsim::Request;
using tavrix_test::LoopbackSim;
using tavrix_test::loopback_device;

uint32_t ip(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(devsim::parse_ipv4(text, a)) << text;
  return a;
}

Bytes request_4800(uint8_t code, uint8_t port = 0) {
  Bytes r(21, 0);
  r[0] = code;
  r[3] = 21;
  r[20] = port;
  return r;
}

Request parsed(const Bytes& b, Family f) {
  Request r;
  EXPECT_EQ(devsim::parse_request(b.data(), b.size(), f, r), ParseStatus::kOk);
  return r;
}

// A plain UDP endpoint on 127.0.0.1 standing in for the library.
class Client {
 public:
  Client() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~Client() { ::close(fd_); }
  void send(uint32_t dst, uint16_t port, const Bytes& b) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = dst;
    ASSERT_EQ(::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a), ssize_t(b.size()));
  }
  struct Got {
    Bytes data;
    uint32_t from;
  };
  std::optional<Got> recv(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return std::nullopt;
    Bytes buf(70000);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return std::nullopt;
    buf.resize(std::size_t(n));
    return Got{buf, from.sin_addr.s_addr};
  }
  // Everything that arrives until `quiet_ms` pass without a datagram.
  std::vector<Got> drain(int quiet_ms = 300) {
    std::vector<Got> all;
    while (auto g = recv(quiet_ms)) all.push_back(*g);
    return all;
  }

 private:
  int fd_ = -1;
};

devsim::Fleet fleet_of(std::vector<devsim::Device> devices) {
  devsim::Fleet f;
  f.devices = std::move(devices);
  return f;
}

// ---------------------------------------------------------------------------------
// Request parsing

TEST(DevsimParse, SearchRequest01ListsEntriesInOrder) {
  Bytes b(8 + 24, 0);
  b[0] = 0x01;
  b[3] = uint8_t(b.size());
  for (int i = 0; i < 24; ++i) b[8 + i] = uint8_t(i + 1);
  const Request r = parsed(b, Family::k4800);
  ASSERT_EQ(r.listed_4800.size(), 2u);
  EXPECT_EQ(r.listed_4800[0].key[0], 1);
  EXPECT_EQ(r.listed_4800[0].id[1], 6);
  EXPECT_EQ(r.listed_4800[0].mac[5], 12);
  EXPECT_EQ(r.listed_4800[1].key[0], 13);
  EXPECT_FALSE(r.has_identity);
}

TEST(DevsimParse, LengthFieldBoundsTheEntriesAndTrailingPartsAreIgnored) {
  Bytes b(6 + 4 * 3 + 2, 0xAB);
  b[0] = 0x49;
  b[1] = 0;
  b[2] = 0;
  b[3] = 6 + 4 * 2 + 3;  // two whole entries and 3 stray bytes announced; more bytes received
  const Request r = parsed(b, Family::k1029);
  EXPECT_EQ(r.listed_1029.size(), 2u);
}

TEST(DevsimParse, RefusesShortAndInconsistentDatagrams) {
  Request r;
  Bytes b = {0x01, 0, 0, 8, 0, 0, 0};  // 7 bytes: below the 8-byte header
  EXPECT_EQ(devsim::parse_request(b.data(), b.size(), Family::k4800, r), ParseStatus::kTooShort);
  EXPECT_EQ(devsim::parse_request(nullptr, 0, Family::k4800, r), ParseStatus::kTooShort);
  b = {0x01, 0, 0, 20, 0, 0, 0, 0};  // claims 20 bytes, 8 received
  EXPECT_EQ(devsim::parse_request(b.data(), b.size(), Family::k4800, r), ParseStatus::kBadLength);
  b = {0x01, 0, 0, 4, 0, 0, 0, 0};  // length below the header
  EXPECT_EQ(devsim::parse_request(b.data(), b.size(), Family::k4800, r), ParseStatus::kBadLength);
  Bytes cmd = request_4800(0x41);
  cmd[3] = 20;  // a command without its port byte
  EXPECT_EQ(devsim::parse_request(cmd.data(), 20, Family::k4800, r), ParseStatus::kTooShort);
  b = {0x02, 0, 0, 6, 0};
  EXPECT_EQ(devsim::parse_request(b.data(), b.size(), Family::k1029, r), ParseStatus::kTooShort);
}

TEST(DevsimParse, CommandCarriesIdentityAndPort) {
  Bytes b = request_4800(0x3A, 5);
  b[8] = 0x11;
  b[12] = 0x13;
  b[13] = 0x26;
  b[19] = 0x99;
  const Request r = parsed(b, Family::k4800);
  ASSERT_TRUE(r.has_identity);
  EXPECT_EQ(r.port, 5);
  EXPECT_EQ(r.key[0], 0x11);
  EXPECT_EQ(r.model_id[0], 0x13);
  EXPECT_EQ(r.model_id[1], 0x26);
  EXPECT_EQ(r.mac[5], 0x99);
}

// The parser is the fuzzing entry point: every length and content must stay inside the
// buffer (an exact-size heap copy lets the sanitizers see any overread).
TEST(DevsimParse, RandomDatagramsOfEveryLengthStayInBounds) {
  std::mt19937 rng(7);
  for (std::size_t len = 0; len < 300; ++len) {
    for (int round = 0; round < 20; ++round) {
      auto* buf = new uint8_t[len ? len : 1];
      for (std::size_t i = 0; i < len; ++i) buf[i] = uint8_t(rng());
      if (len >= 4 && round % 2) {  // make the length field plausible half the time
        buf[2] = uint8_t(len >> 8);
        buf[3] = uint8_t(len);
      }
      for (Family f : {Family::k4800, Family::k1029}) {
        Request r;
        if (devsim::parse_request(buf, len, f, r) == ParseStatus::kOk) {
          EXPECT_LE(r.length, len);
          if (f == Family::k4800) {
            EXPECT_LE(8 + 12 * r.listed_4800.size(), std::size_t(r.length));
            EXPECT_TRUE(r.listed_1029.empty());
          } else {
            EXPECT_LE(6 + 4 * r.listed_1029.size(), std::size_t(r.length));
            EXPECT_TRUE(r.listed_4800.empty());
          }
        }
      }
      delete[] buf;
    }
  }
}

// ---------------------------------------------------------------------------------
// Reply layouts

devsim::Device identity_device() {
  devsim::Device d;
  d.model_key = 0x04030201;
  d.model_id = 0x2613;
  d.unit_id = 0x0A0B;
  d.mac1 = {0x02, 0x54, 0x58, 0xA1, 0xA2, 0xA3};
  d.mac2 = {0x02, 0x54, 0x58, 0xB1, 0xB2, 0xB3};
  d.ip1 = ip("192.0.2.10");
  d.ip2 = ip("198.51.100.10");
  return d;
}

TEST(DevsimReply, Search4800Length24) {
  devsim::Device d = identity_device();
  d.layout_4800 = 24;
  const Bytes r = devsim::search_reply(d, parsed({0x01, 0, 0, 8, 0, 0, 0, 0}, Family::k4800));
  const Bytes want = {0x81, 0, 0, 24, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x13, 0x26,
                      0x02, 0x54, 0x58, 0xA1, 0xA2, 0xA3, 192, 0, 2, 10};
  EXPECT_EQ(r, want);
}

TEST(DevsimReply, Search4800Length40) {
  devsim::Device d = identity_device();
  d.layout_4800 = 40;
  const Bytes r = devsim::search_reply(d, parsed({0x01, 0, 0, 8, 0, 0, 0, 0}, Family::k4800));
  const Bytes want = {0x81, 0, 0, 40, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x13, 0x26,
                      0x02, 0x54, 0x58, 0xA1, 0xA2, 0xA3, 192, 0, 2, 10,
                      0x02, 0x54, 0x58, 0xA1, 0xA2, 0xA3, 198, 51, 100, 10,
                      0x02, 0x54, 0x58, 0xB1, 0xB2, 0xB3};
  EXPECT_EQ(r, want);
}

TEST(DevsimReply, Search1029Code82CarriesBothAddresses) {
  devsim::Device d = identity_device();
  d.code_1029 = 0x82;
  EXPECT_TRUE(devsim::search_reply(d, parsed({0x49, 0, 0, 6, 0, 0}, Family::k1029)).empty());
  const Bytes r = devsim::search_reply(d, parsed({0x02, 0, 0, 6, 0, 0}, Family::k1029));
  const Bytes want = {0x82, 0, 0, 38, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x13, 0x26, 0x0B, 0x0A, 0, 0, 0, 0,
                      192, 0, 2, 10, 198, 51, 100, 10, 0x02, 0x54, 0x58, 0xA1, 0xA2, 0xA3,
                      0x02, 0x54, 0x58, 0xB1, 0xB2, 0xB3};
  EXPECT_EQ(r, want);
}

TEST(DevsimReply, Search1029OtherCodeCarriesMac1Only) {
  devsim::Device d = identity_device();
  d.code_1029 = 0xC9;
  EXPECT_TRUE(devsim::search_reply(d, parsed({0x02, 0, 0, 6, 0, 0}, Family::k1029)).empty());
  const Bytes r = devsim::search_reply(d, parsed({0x49, 0, 0, 6, 0, 0}, Family::k1029));
  const Bytes want = {0xC9, 0, 0, 24, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x13, 0x26,
                      0x0B, 0x0A, 0, 0, 0, 0, 0x02, 0x54, 0x58, 0xA1, 0xA2, 0xA3};
  EXPECT_EQ(r, want);
}

TEST(DevsimReply, FamiliesSwitchSearchRepliesOff) {
  devsim::Device d = identity_device();
  d.answers_4800 = false;
  EXPECT_TRUE(devsim::search_reply(d, parsed({0x01, 0, 0, 8, 0, 0, 0, 0}, Family::k4800)).empty());
  EXPECT_FALSE(devsim::search_reply(d, parsed({0x02, 0, 0, 6, 0, 0}, Family::k1029)).empty());
  d.answers_1029 = false;
  EXPECT_TRUE(devsim::search_reply(d, parsed({0x02, 0, 0, 6, 0, 0}, Family::k1029)).empty());
}

TEST(DevsimReply, ListedMatchesTheWholeIdentity) {
  devsim::Device d = identity_device();
  Bytes b = {0x01, 0, 0, 20, 0, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x13, 0x26, 0x02, 0x54, 0x58, 0xA1, 0xA2, 0xA3};
  EXPECT_TRUE(devsim::device_listed(d, parsed(b, Family::k4800)));
  b[19] ^= 1;  // another MAC
  EXPECT_FALSE(devsim::device_listed(d, parsed(b, Family::k4800)));
  b[19] ^= 1;
  b[8] ^= 1;  // another key
  EXPECT_FALSE(devsim::device_listed(d, parsed(b, Family::k4800)));

  Bytes c = {0x02, 0, 0, 10, 0, 0, 0x13, 0x26, 0x0B, 0x0A};
  EXPECT_TRUE(devsim::device_listed(d, parsed(c, Family::k1029)));
  c[8] = 0x0C;
  EXPECT_FALSE(devsim::device_listed(d, parsed(c, Family::k1029)));
}

TEST(DevsimReply, ModesForAllPortsAndForOnePort) {
  devsim::Device d = identity_device();
  d.ports.resize(3);
  d.ports[0].mode = 15;
  d.ports[1].mode = -1;
  d.ports[2].mode = 22;
  const Bytes all = devsim::command_reply(d, parsed(request_4800(0x41, 0), Family::k4800));
  ASSERT_EQ(all.size(), 27u);
  EXPECT_EQ(all[0], 0xC1);
  EXPECT_EQ(all[1], 0);
  EXPECT_EQ(all[3], 27);
  EXPECT_EQ(all[12], 0x13);
  EXPECT_EQ(all[19], 0xA3);
  EXPECT_EQ(all[21], 3);
  EXPECT_EQ(all[24], 15);
  EXPECT_EQ(all[25], 0xFF);
  EXPECT_EQ(all[26], 22);

  const Bytes one = devsim::command_reply(d, parsed(request_4800(0x41, 3), Family::k4800));
  ASSERT_EQ(one.size(), 25u);
  EXPECT_EQ(one[20], 3);
  EXPECT_EQ(one[24], 22);

  const Bytes bad = devsim::command_reply(d, parsed(request_4800(0x41, 4), Family::k4800));
  ASSERT_GE(bad.size(), 22u);
  EXPECT_EQ(bad[1], 3) << "a port the device does not have is refused";

  d.reported_ports = 20;
  EXPECT_EQ(devsim::command_reply(d, parsed(request_4800(0x41, 0), Family::k4800))[21], 20);
  EXPECT_TRUE(devsim::command_reply(d, parsed(request_4800(0x42, 0), Family::k4800)).empty());
}

TEST(DevsimReply, ConnectionRecordOffsets) {
  devsim::Device d = identity_device();
  d.ports.resize(2);
  auto& c = d.ports[1].conns;
  c[0].lan[0] = {4, ip("192.0.2.1")};
  c[0].lan[1] = {1, ip("198.51.100.1")};
  c[3].lan[0] = {7, ip("192.0.2.77")};
  c[7].lan[1] = {9, ip("198.51.100.99")};
  const Bytes r = devsim::command_reply(d, parsed(request_4800(0x3A, 2), Family::k4800));
  ASSERT_EQ(r.size(), 104u);
  EXPECT_EQ(r[0], 0xBA);
  EXPECT_EQ(r[3], 104);
  const uint8_t* rec = r.data() + 24;
  EXPECT_EQ(Bytes(rec, rec + 4), (Bytes{192, 0, 2, 1}));
  EXPECT_EQ(Bytes(rec + 4, rec + 8), (Bytes{198, 51, 100, 1}));
  EXPECT_EQ(Bytes(rec + 24, rec + 28), (Bytes{192, 0, 2, 77}));
  EXPECT_EQ(Bytes(rec + 60, rec + 64), (Bytes{198, 51, 100, 99}));
  EXPECT_EQ(rec[64], 4);
  EXPECT_EQ(rec[65], 1);
  EXPECT_EQ(rec[64 + 6], 7);
  EXPECT_EQ(rec[65 + 14], 9);
  EXPECT_EQ(rec[66], 0);

  const Bytes all = devsim::command_reply(d, parsed(request_4800(0x3A, 0), Family::k4800));
  EXPECT_EQ(all.size(), 24u + 160u);
}

// ---------------------------------------------------------------------------------
// Fleet files

std::string error_of(const std::string& json) {
  devsim::Fleet f;
  std::string err;
  EXPECT_FALSE(devsim::parse_fleet(json, f, err)) << json;
  return err;
}

TEST(DevsimFleet, ErrorsNameTheDeviceAndTheKey) {
  EXPECT_NE(error_of("{").find("not valid JSON"), std::string::npos);
  EXPECT_NE(error_of("{\"devices\": 3}").find("devices"), std::string::npos);
  const std::string missing = error_of(R"({"devices":[{"name":"x","model_id":1,"mac1":"02:00:00:00:00:01"}]})");
  EXPECT_NE(missing.find("device 1 (x)"), std::string::npos) << missing;
  EXPECT_NE(missing.find("ip1"), std::string::npos) << missing;
  const std::string mac = error_of(R"({"devices":[{"model_id":1,"mac1":"02:00:00:00:01","ip1":"10.0.0.1"}]})");
  EXPECT_NE(mac.find("mac1"), std::string::npos) << mac;
  const std::string typo =
      error_of(R"({"devices":[{"model_id":1,"mac1":"02:00:00:00:00:01","ip1":"10.0.0.1","faults":{"silnet":true}}]})");
  EXPECT_NE(typo.find("unknown key 'silnet'"), std::string::npos) << typo;
  const std::string layout =
      error_of(R"({"devices":[{"model_id":1,"mac1":"02:00:00:00:00:01","ip1":"10.0.0.1","layout_4800":30}]})");
  EXPECT_NE(layout.find("24 or 40"), std::string::npos) << layout;
  const std::string dup = error_of(R"({"devices":[{"model_id":1,"mac1":"02:00:00:00:00:01","ip1":"10.0.0.1"},
                                                  {"model_id":1,"mac1":"02:00:00:00:00:02","ip1":"10.0.0.1"}]})");
  EXPECT_NE(dup.find("10.0.0.1"), std::string::npos) << dup;
  const std::string hexid =
      error_of(R"({"devices":[{"model_id":"0xZZ","mac1":"02:00:00:00:00:01","ip1":"10.0.0.1"}]})");
  EXPECT_NE(hexid.find("model_id"), std::string::npos) << hexid;
  const std::string step = error_of(
      R"({"devices":[{"model_id":1,"mac1":"02:00:00:00:00:01","ip1":"10.0.0.1","ports":[{}],
          "script":{"steps":[{"at":1,"port":2,"mode":3}]}}]})");
  EXPECT_NE(step.find("port"), std::string::npos) << step;
}

TEST(DevsimFleet, MissingFileIsNamed) {
  devsim::Fleet f;
  std::string err;
  EXPECT_FALSE(devsim::load_fleet_file("/nonexistent/fleet.json", f, err));
  EXPECT_NE(err.find("/nonexistent/fleet.json"), std::string::npos);
}

TEST(DevsimFleet, WrittenFleetReadsBackToTheSameReplies) {
  devsim::Device d = identity_device();
  d.name = "rt";
  d.layout_4800 = 40;
  d.code_1029 = 0xC9;
  d.text_set = 'B';
  d.ports.resize(2);
  d.ports[0].mode = 22;
  d.ports[0].conns[2].lan[1] = {3, ip("198.51.100.5")};
  d.faults.delay_min_ms = 10;
  d.faults.delay_max_ms = 20;
  d.faults.foreign = {devsim::Foreign::kStatus, devsim::Foreign::kOtherAddress};
  d.script.steps.push_back({1.5, 2, 7, 0, 1, {}, {}});
  devsim::Fleet f = fleet_of({d});
  f.seed = 42;
  devsim::Fleet back;
  std::string err;
  ASSERT_TRUE(devsim::parse_fleet(devsim::fleet_to_json(f), back, err)) << err;
  ASSERT_EQ(back.devices.size(), 1u);
  const devsim::Device& b = back.devices[0];
  EXPECT_EQ(back.seed, 42u);
  EXPECT_EQ(b.text_set, 'B');
  EXPECT_EQ(b.faults.delay_max_ms, 20);
  EXPECT_EQ(b.faults.foreign.size(), 2u);
  ASSERT_EQ(b.script.steps.size(), 1u);
  EXPECT_EQ(b.script.steps[0].mode, 7);
  for (const Bytes& req : {request_4800(0x41), request_4800(0x3A, 1)})
    EXPECT_EQ(devsim::command_reply(b, parsed(req, Family::k4800)), devsim::command_reply(d, parsed(req, Family::k4800)));
  const Bytes s49 = {0x49, 0, 0, 6, 0, 0};
  EXPECT_EQ(devsim::search_reply(b, parsed(s49, Family::k1029)), devsim::search_reply(d, parsed(s49, Family::k1029)));
}

TEST(DevsimFleet, GeneratorFillsABenchmarkRangeWithDistinctServers) {
  devsim::GenOptions o;
  o.count = 512;
  o.dual = true;
  o.ports = 16;
  devsim::Fleet f;
  std::string err;
  ASSERT_TRUE(devsim::generate_fleet(o, f, err)) << err;
  ASSERT_EQ(f.devices.size(), 512u);
  std::set<uint32_t> ips;
  std::set<std::array<uint8_t, 6>> macs;
  for (const auto& d : f.devices) {
    EXPECT_TRUE(devsim::in_subnet(d.ip1, ip("198.18.0.0"), 16));
    EXPECT_TRUE(devsim::in_subnet(d.ip2, ip("198.19.0.0"), 16));
    EXPECT_NE(d.ip1, ip("198.18.0.1")) << ".1 is the monitor's";
    ips.insert(d.ip1);
    ips.insert(d.ip2);
    macs.insert(d.mac1);
    macs.insert(d.mac2);
    ASSERT_EQ(d.ports.size(), 16u);
    EXPECT_EQ(d.ports[15].mode, 22) << "the default model uses text set B";
  }
  EXPECT_EQ(ips.size(), 1024u);
  EXPECT_EQ(macs.size(), 1024u);
  // The generated text is itself a valid fleet.
  devsim::Fleet back;
  ASSERT_TRUE(devsim::parse_fleet(devsim::fleet_to_json(f), back, err)) << err;

  o.lan1 = "192.0.2.0/24";
  EXPECT_FALSE(devsim::generate_fleet(o, f, err));
  EXPECT_NE(err.find("do not fit"), std::string::npos) << err;
  o.count = 253;
  o.dual = false;
  EXPECT_TRUE(devsim::generate_fleet(o, f, err)) << err;
  EXPECT_EQ(f.devices.back().ip1, ip("192.0.2.254"));
}

// The fleets shipped for the lab and the demo must load and keep their promises.
TEST(DevsimFleet, ShippedFleetsLoadAndCoverWhatTheyPromise) {
  const std::string dir = tavrix_test::source_dir() + "/data/fleets/";
  devsim::Fleet sample, demo;
  std::string err;
  ASSERT_TRUE(devsim::load_fleet_file(dir + "sample.json", sample, err)) << err;
  ASSERT_TRUE(devsim::load_fleet_file(dir + "demo.json", demo, err)) << err;
  for (const devsim::Fleet* f : {&sample, &demo}) {
    std::set<char> sets;
    bool dual = false, single = false, only_4800 = false, only_1029 = false, redundant = false;
    for (const auto& d : f->devices) {
      sets.insert(d.text_set);
      (d.ip2 ? dual : single) = true;
      only_4800 |= d.answers_4800 && !d.answers_1029;
      only_1029 |= d.answers_1029 && !d.answers_4800;
      for (const auto& p : d.ports) redundant |= p.mode == d.redundant_mode();
      // A redundant mode code of the other text set would show as unsupported.
      for (const auto& p : d.ports) EXPECT_NE(p.mode, d.text_set == 'A' ? 22 : 15) << d.name;
      EXPECT_TRUE(devsim::in_subnet(d.ip1, ip("192.0.2.0"), 24) || devsim::in_subnet(d.ip1, ip("198.51.100.0"), 24))
          << d.name;
    }
    EXPECT_EQ(sets, (std::set<char>{'A', 'B'}));
    EXPECT_TRUE(dual && single && only_4800 && only_1029 && redundant);
  }
  EXPECT_EQ(sample.devices.size(), 6u);
  EXPECT_EQ(demo.devices.size(), 10u);
  int slow = 0, fading = 0, changing = 0;
  for (const auto& d : demo.devices) {
    slow += d.faults.delay_min_ms >= 2000;
    fading += d.faults.silent_after > 0;
    changing += !d.script.steps.empty() || d.walk.period > 0;
  }
  EXPECT_EQ(slow, 1);
  EXPECT_EQ(fading, 1);
  EXPECT_EQ(changing, 10) << "every demo server's connections move";
}

// ---------------------------------------------------------------------------------
// The running simulator on loopback

Bytes search_01() { return {0x01, 0, 0, 8, 0, 0, 0, 0}; }

TEST(DevsimServer, UnicastIsAnsweredByTheOwnerFromItsOwnAddress) {
  LoopbackSim sim(fleet_of({loopback_device(0), loopback_device(1, 4, 15, true)}));
  Client c;
  c.send(LoopbackSim::device_ip(1), sim.port_4800(), request_4800(0x41));
  auto got = c.recv(3000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->from, LoopbackSim::device_ip(1));
  EXPECT_EQ(got->data[0], 0xC1);
  EXPECT_EQ(got->data[21], 4);
  // The second LAN's address answers from itself.
  const uint32_t lan2 = sim->device(1).ip2;
  c.send(lan2, sim.port_4800(), request_4800(0x41));
  got = c.recv(3000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->from, lan2);
  EXPECT_EQ(sim->request_count(1, 0x41), 2u);
  EXPECT_EQ(sim->request_count(0, 0x41), 0u);
  // Nobody owns 127.0.0.99: no answer at all.
  c.send(ip("127.0.0.99"), sim.port_4800(), request_4800(0x41));
  EXPECT_FALSE(c.recv(300));
}

TEST(DevsimServer, BroadcastAliasReachesEveryDeviceAndListedOnesStaySilent) {
  devsim::Device talkative = loopback_device(2);
  talkative.listed_silent = false;
  LoopbackSim sim(fleet_of({loopback_device(0), loopback_device(1), talkative}));
  Client c;
  c.send(ip("127.0.0.1"), sim.port_4800(), search_01());
  auto all = c.drain();
  ASSERT_EQ(all.size(), 3u);
  std::set<uint32_t> from;
  for (auto& g : all) from.insert(g.from);
  EXPECT_EQ(from, (std::set<uint32_t>{LoopbackSim::device_ip(0), LoopbackSim::device_ip(1), LoopbackSim::device_ip(2)}));

  // Name devices 0 and 2 as found: 0 keeps quiet, 2 is set to answer anyway.
  Bytes req = search_01();
  for (int n : {0, 2}) {
    const devsim::Device d = sim->device(std::size_t(n));
    const uint8_t entry[12] = {uint8_t(d.model_key), 0, 0, 0, uint8_t(d.model_id), uint8_t(d.model_id >> 8),
                               d.mac1[0], d.mac1[1], d.mac1[2], d.mac1[3], d.mac1[4], d.mac1[5]};
    req.insert(req.end(), entry, entry + 12);
  }
  req[3] = uint8_t(req.size());
  c.send(ip("127.0.0.1"), sim.port_4800(), req);
  all = c.drain();
  from.clear();
  for (auto& g : all) from.insert(g.from);
  EXPECT_EQ(from, (std::set<uint32_t>{LoopbackSim::device_ip(1), LoopbackSim::device_ip(2)}));
  EXPECT_EQ(sim->request_count(0, 0x01), 2u) << "a silent device still counts what it received";
}

TEST(DevsimServer, RunTimeChangesShowInTheNextReply) {
  LoopbackSim sim(fleet_of({loopback_device(0, 2, 0)}));
  Client c;
  ASSERT_TRUE(sim->set_port_mode(0, 2, 15));
  ASSERT_TRUE(sim->set_connection(0, 2, 1, 2, 4, ip("127.0.0.9")));
  EXPECT_FALSE(sim->set_port_mode(0, 3, 15));
  EXPECT_FALSE(sim->set_connection(0, 1, 9, 1, 4, 0));
  c.send(LoopbackSim::device_ip(0), sim.port_4800(), request_4800(0x41));
  auto got = c.recv(3000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data[24], 0);
  EXPECT_EQ(got->data[25], 15);
  c.send(LoopbackSim::device_ip(0), sim.port_4800(), request_4800(0x3A, 2));
  got = c.recv(3000);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->data.size(), 104u);
  EXPECT_EQ(Bytes(got->data.begin() + 28, got->data.begin() + 32), (Bytes{127, 0, 0, 9}));
  EXPECT_EQ(got->data[24 + 65], 4);
}

TEST(DevsimServer, ScriptedStepsApplyOverTime) {
  devsim::Device d = loopback_device(0, 1, 0);
  d.script.steps.push_back({0.2, 1, 15, 1, 1, uint8_t(4), ip("127.0.0.8")});
  LoopbackSim sim(fleet_of({d}));
  // Generous bound: the step is due after 0.2 s; a busy machine may take longer.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sim->device(0).ports[0].mode != 15 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const devsim::Device now = sim->device(0);
  EXPECT_EQ(now.ports[0].mode, 15);
  EXPECT_EQ(now.ports[0].conns[0].lan[0].state, 4);
  EXPECT_EQ(now.ports[0].conns[0].lan[0].peer, ip("127.0.0.8"));
  EXPECT_GE(sim->elapsed(), 0.2);
}

TEST(DevsimServer, RandomWalkChangesOnlyRedundantPorts) {
  devsim::Device d = loopback_device(0, 2, 15);
  d.ports[1].mode = 0;
  d.walk.period = 0.02;
  LoopbackSim sim(fleet_of({d}), 99);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool changed = false;
  while (!changed && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const devsim::Device now = sim->device(0);
    for (auto& c : now.ports[0].conns) changed |= c.lan[0].state != 0 || c.lan[0].peer != 0;
  }
  EXPECT_TRUE(changed);
  const devsim::Device now = sim->device(0);
  for (auto& c : now.ports[1].conns) EXPECT_EQ(c.lan[0].state, 0);
  for (auto& c : now.ports[0].conns) {
    if (c.lan[0].state == 4) {
      EXPECT_NE(c.lan[0].peer, 0u);
    } else {
      EXPECT_EQ(c.lan[0].peer, 0u);
    }
    EXPECT_EQ(c.lan[1].state, 0) << "a single-LAN device has no LAN2 connections";
  }
}

// ---------------------------------------------------------------------------------
// Faults

class DevsimFaults : public ::testing::Test {
 protected:
  std::optional<Client::Got> ask(devsim::Faults f, uint8_t code = 0x41, int wait_ms = 1500) {
    EXPECT_TRUE(sim_->set_faults(0, f));
    client_.send(LoopbackSim::device_ip(0), sim_.port_4800(), request_4800(code));
    return client_.recv(wait_ms);
  }
  LoopbackSim sim_{fleet_of({loopback_device(0, 4, 15)})};
  Client client_;
};

TEST_F(DevsimFaults, ErrorStatusPerFamily) {
  devsim::Faults f;
  f.status_4800 = 3;
  f.status_1029 = 6;
  auto got = ask(f);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data[1], 3);
  client_.send(LoopbackSim::device_ip(0), sim_.port_1029(), {0x02, 0, 0, 6, 0, 0});
  got = client_.recv(1500);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data[0], 0x82);
  EXPECT_EQ(got->data[1], 6);
}

TEST_F(DevsimFaults, SilenceAlwaysAfterAndBetween) {
  devsim::Faults f;
  f.silent = true;
  EXPECT_FALSE(ask(f, 0x41, 400));
  f = {};
  f.silent_after = 0;  // already past
  EXPECT_FALSE(ask(f, 0x41, 400));
  f = {};
  f.silent_between = {{0, 1e6}};
  EXPECT_FALSE(ask(f, 0x41, 400));
  f = {};
  f.silent_after = 1e6;  // not yet
  EXPECT_TRUE(ask(f));
  EXPECT_EQ(sim_->request_count(0, 0x41), 4u);
}

TEST_F(DevsimFaults, ScopeLimitsAFaultToSearchesOrCommands) {
  devsim::Faults f;
  f.silent = true;
  f.scope = devsim::FaultScope::kSearch;
  EXPECT_TRUE(ask(f)) << "commands still answered";
  client_.send(ip("127.0.0.1"), sim_.port_4800(), search_01());
  EXPECT_FALSE(client_.recv(400));
  f.scope = devsim::FaultScope::kCommands;
  EXPECT_FALSE(ask(f, 0x41, 400));
}

TEST_F(DevsimFaults, DelayHoldsTheReplyBack) {
  devsim::Faults f;
  f.delay_min_ms = f.delay_max_ms = 400;
  const auto t0 = std::chrono::steady_clock::now();
  sim_->set_faults(0, f);
  client_.send(LoopbackSim::device_ip(0), sim_.port_4800(), request_4800(0x41));
  EXPECT_FALSE(client_.recv(150)) << "not before the delay";
  auto got = client_.recv(10000);
  ASSERT_TRUE(got);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
}

TEST_F(DevsimFaults, WrongIdOversizeAndShortReplies) {
  devsim::Faults f;
  f.wrong_id = true;
  auto got = ask(f);
  ASSERT_TRUE(got);
  EXPECT_NE(Bytes(got->data.begin() + 4, got->data.begin() + 8), (Bytes{0, 0, 0, 0}));
  f = {};
  f.oversize_length = 2100;
  got = ask(f);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data.size(), 2100u);
  EXPECT_EQ(got->data[24], 15) << "the genuine reply leads the padding";
  f = {};
  f.short_length = 22;
  got = ask(f);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data.size(), 22u);
  EXPECT_EQ(got->data[3], 28) << "the length field still claims the whole reply";
  f = {};
  f.length_field = 30;
  got = ask(f);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data.size(), 28u);
  EXPECT_EQ(got->data[2], 0);
  EXPECT_EQ(got->data[3], 30);
}

TEST_F(DevsimFaults, ForeignRepliesComeBeforeTheGenuineOne) {
  devsim::Faults f;
  f.foreign = {devsim::Foreign::kWrongCode, devsim::Foreign::kWrongId, devsim::Foreign::kStatus,
               devsim::Foreign::kOtherAddress};
  f.foreign_from = ip("127.0.0.77");
  sim_->set_faults(0, f);
  client_.send(LoopbackSim::device_ip(0), sim_.port_4800(), request_4800(0x41));
  auto all = client_.drain();
  ASSERT_EQ(all.size(), 5u);
  EXPECT_NE(all[0].data[0], 0xC1);
  EXPECT_EQ(all[0].data[24], 0xEE) << "foreign payloads are marked";
  EXPECT_EQ(all[1].data[0], 0xC1);
  EXPECT_NE(all[1].data[4], 0);
  EXPECT_EQ(all[2].data[1], 3);
  EXPECT_EQ(all[3].from, ip("127.0.0.77"));
  EXPECT_EQ(all[4].from, LoopbackSim::device_ip(0));
  EXPECT_EQ(all[4].data[0], 0xC1);
  EXPECT_EQ(all[4].data[24], 15);
  EXPECT_EQ(Bytes(all[4].data.begin() + 4, all[4].data.begin() + 8), (Bytes{0, 0, 0, 0}));
}

TEST_F(DevsimFaults, DuplicatesLossAndReorder) {
  devsim::Faults f;
  f.duplicate = 2;
  sim_->set_faults(0, f);
  client_.send(LoopbackSim::device_ip(0), sim_.port_4800(), request_4800(0x41));
  EXPECT_EQ(client_.drain().size(), 3u);

  f = {};
  f.loss = 1.0;
  EXPECT_FALSE(ask(f, 0x41, 400));

  f = {};
  f.reorder_ms = 2000;  // long enough for the second request to overtake on a busy machine
  sim_->set_faults(0, f);
  client_.send(LoopbackSim::device_ip(0), sim_.port_4800(), request_4800(0x41));  // held back
  client_.send(LoopbackSim::device_ip(0), sim_.port_4800(), request_4800(0x3A, 1));
  auto all = client_.drain(4000);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].data[0], 0xBA);
  EXPECT_EQ(all[1].data[0], 0xC1);
}

TEST_F(DevsimFaults, MalformedRequestsAreCountedAndUnanswered) {
  client_.send(LoopbackSim::device_ip(0), sim_.port_4800(), {0x41, 0, 0, 21, 0});
  client_.send(LoopbackSim::device_ip(0), sim_.port_1029(), {0x02, 0, 0, 60, 0, 0});
  EXPECT_FALSE(client_.recv(400));
  EXPECT_EQ(sim_->malformed_requests(), 2u);
}

// ---------------------------------------------------------------------------------
// The program

std::string bin() {
  const char* b = std::getenv("TAVRIX_BIN");
  return std::string(b ? b : ".") + "/tavrix-devsim";
}

TEST(DevsimProgram, PrintsItsPortsServesAndEndsCleanlyOnSigterm) {
  char path[] = "/tmp/devsim_fleet_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = devsim::fleet_to_json(fleet_of({loopback_device(0, 3, 22)}));
  ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
  ::close(fd);

  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::execl(bin().c_str(), "tavrix-devsim", "--fleet", path, "--bind", "0.0.0.0", "--port-4800", "0",
            "--port-1029", "0", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  pollfd p{out[0], POLLIN, 0};
  char ch;
  while (line.find('\n') == std::string::npos && ::poll(&p, 1, 10000) > 0 && ::read(out[0], &ch, 1) == 1) line += ch;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(line, m, std::regex(R"(ports 4800=(\d+) 1029=(\d+))"))) << line;
  const uint16_t p4800 = uint16_t(std::stoi(m[1]));
  EXPECT_GT(p4800, 0);
  EXPECT_GT(std::stoi(m[2]), 0);

  Client c;
  c.send(LoopbackSim::device_ip(0), p4800, request_4800(0x41));
  auto got = c.recv(5000);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data[24], 22);

  ::kill(pid, SIGTERM);
  int st = 0;
  ::waitpid(pid, &st, 0);
  ::close(out[0]);
  ::unlink(path);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST(DevsimProgram, BadFleetFileGivesAClearMessage) {
  char path[] = "/tmp/devsim_bad_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = R"({"devices":[{"model_id":1,"mac1":"02:00:00:00:00:01","ip1":"10.0.0.300"}]})";
  ASSERT_EQ(::write(fd, text.data(), text.size()), ssize_t(text.size()));
  ::close(fd);
  FILE* p = ::popen((bin() + " --fleet " + path + " --port-4800 0 --port-1029 0 2>&1").c_str(), "r");
  ASSERT_TRUE(p);
  char buf[512] = {};
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, p);
  const int st = ::pclose(p);
  ::unlink(path);
  const std::string msg(buf, n);
  EXPECT_EQ(WEXITSTATUS(st), 2);
  EXPECT_NE(msg.find("device 1"), std::string::npos) << msg;
  EXPECT_NE(msg.find("'10.0.0.300' is not an IPv4 address"), std::string::npos) << msg;
}

TEST(DevsimProgram, GeneratorWritesALoadableFleet) {
  const std::string out = "/tmp/devsim_gen_" + std::to_string(::getpid()) + ".json";
  const std::string cmd = bin() + " gen --count 20 --dual --ports 16 --mode redundant --lan1 198.18.0.0/16 --lan2 " +
                          "198.19.0.0/16 --out " + out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  devsim::Fleet f;
  std::string err;
  ASSERT_TRUE(devsim::load_fleet_file(out, f, err)) << err;
  EXPECT_EQ(f.devices.size(), 20u);
  EXPECT_NE(f.devices[19].ip2, 0u);
  ::unlink(out.c_str());
}

// ---------------------------------------------------------------------------------
// The lab script

std::set<std::string> root_links() {
  std::string out;
  tavrix_test::run_command("ip -o link show | cut -d: -f2", &out);
  std::set<std::string> names;
  std::istringstream in(out);
  for (std::string n; in >> n;) names.insert(n);
  return names;
}

TEST(LabScript, UpIsIdempotentIsolatedAndDownRemovesEverything) {
  TAVRIX_SKIP_UNLESS_LAB();
  const auto links_before = root_links();
  std::string name, out, pid;
  {
    tavrix_test::Lab lab;
    name = lab.name();
    const std::string script = tavrix_test::source_dir() + "/scripts/lab";
    const std::string env = "TAVRIX_BIN=" + tavrix_test::bin_dir() + " ";
    ASSERT_EQ(tavrix_test::run_command(env + script + " status " + name, &out), 0) << out;
    EXPECT_NE(out.find("tavrix-devsim: running"), std::string::npos) << out;
    ASSERT_EQ(tavrix_test::run_command(env + script + " up " + name, &out), 0) << out;
    EXPECT_NE(out.find("already up"), std::string::npos) << out;
    tavrix_test::run_command("cat /run/tavrix-lab/" + name + "/devsim.pid", &pid);
    EXPECT_FALSE(pid.empty());

    // Other tests may add links of their own meanwhile: look for the lab's names only.
    for (const std::string& link : root_links()) {
      if (links_before.count(link)) continue;
      for (const char* ours : {"lan1", "lan2", "m1@", "m2@", "d1@", "d2@", "br1", "br2"})
        EXPECT_NE(link.rfind(ours, 0), 0u) << link << ": a lab link in the root namespace";
    }
    ASSERT_EQ(lab.exec("ip -4 -o addr show", &out), 0) << out;
    EXPECT_NE(out.find("192.0.2.1/24"), std::string::npos) << out;
    EXPECT_NE(out.find("198.51.100.1/24"), std::string::npos) << out;
    ASSERT_EQ(lab.exec("ip route show default", &out), 0);
    EXPECT_EQ(out, "") << "no way out of the lab";
    ASSERT_EQ(lab.exec("ip -o link show type veth | wc -l", &out), 0) << out;
    EXPECT_EQ(out, "2\n") << "the monitor has one link on each LAN";
    // Lab names are checked before anything is made.
    EXPECT_NE(tavrix_test::run_command(env + script + " up 'Bad Name'", &out), 0);
    EXPECT_NE(out.find("lab name"), std::string::npos) << out;
  }
  tavrix_test::run_command("ip netns list", &out);
  EXPECT_EQ(out.find("tvx-" + name + "-"), std::string::npos) << out;
  while (!pid.empty() && pid.back() == '\n') pid.pop_back();
  EXPECT_NE(::access(("/proc/" + pid).c_str(), F_OK), 0) << "devsim ended with the lab";
}

}  // namespace
