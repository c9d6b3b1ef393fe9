// Field cases in the lab: foreign-subnet devices answering by unicast and by broadcast,
// a routed site, a monitor with many interfaces, addresses that change while a search
// and pollers run, a default-deny firewall, and datagrams that must never become
// records. Each scenario brings its own lab up; skipped, with the reason, without root.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/server_list.h"
#include "qeld/ds_info.h"
#include "qeld/library.h"
#include "qeld/qnsock/socket_set.h"
#include "qeld/query.h"
#include "qeld/search_engine.h"
#include "support/lab.h"

namespace {

using tavrix_test::Lab;
using json = nlohmann::json;

uint32_t ip(const char* text) {
  return inet_addr(text);
}

std::string dotted(uint32_t a) {
  in_addr x{};
  x.s_addr = a;
  return inet_ntoa(x);
}

std::string mac_of(const uint8_t* m) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return buf;
}

std::string fleet(const char* name) {
  return tavrix_test::source_dir() + "/data/fleets/" + name;
}
std::string cli() {
  return tavrix_test::bin_dir() + "/tavrix-cli";
}

std::unique_ptr<Lab> make_lab(const std::string& fleet_file,
                              const std::vector<std::string>& extra = {}) {
  return std::make_unique<Lab>(Lab::Options{fleet_file, "", ""}, extra);
}

// Lines of `text` that hold every one of `parts`.
int lines_with(const std::string& text, const std::vector<std::string>& parts) {
  std::istringstream in(text);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    bool all = true;
    for (const auto& p : parts) all = all && line.find(p) != std::string::npos;
    n += all;
  }
  return n;
}

int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
  return n;
}

// One search as the monitor namespace saw it: result, rounds, and per record the MAC,
// ip1 and local_ip (so a record found twice shows up twice).
struct Search {
  bool ok = false;
  int rc = 0;
  int rounds = 0;
  std::multimap<std::string, std::pair<std::string, std::string>> by_mac;  // mac -> (ip1, local)
};

std::string search_text(uint32_t target, int attempts) {
  qeld::set_search_options(1000, attempts);
  std::ostringstream out;
  int rounds = 0;
  const int rc = qeld::search_servers(target, [&](const qeld::DeviceIdentity* r) {
    if (r == nullptr) {
      ++rounds;
    } else {
      out << "R " << mac_of(r->mac1) << ' ' << dotted(r->ip1) << ' ' << dotted(r->local_ip) << '\n';
    }
    return 1;
  });
  out << "X " << rc << ' ' << rounds << '\n';
  return out.str();
}

Search parse_search(const std::optional<std::string>& text) {
  Search s;
  if (!text) return s;
  std::istringstream in(*text);
  std::string tag;
  while (in >> tag) {
    if (tag == "R") {
      std::string mac, ip1, local;
      in >> mac >> ip1 >> local;
      s.by_mac.emplace(mac, std::make_pair(ip1, local));
    } else if (tag == "X") {
      in >> s.rc >> s.rounds;
      s.ok = true;
    }
  }
  return s;
}

Search search(const Lab& lab, uint32_t target, int attempts) {
  return parse_search(lab.run_in_monitor([&] { return search_text(target, attempts); }));
}

#define MAKE_LAB_OR_FAIL(var, ...)    \
  std::unique_ptr<Lab> var;           \
  try {                               \
    var = make_lab(__VA_ARGS__);      \
  } catch (const std::exception& e) { \
    FAIL() << e.what();               \
  }

// --- a mixed fleet on both LANs ---------------------------------------------------

TEST(FieldLab, MixedFleetIsFoundOnceEachByTheInterfaceItAnsweredOn) {
  TAVRIX_SKIP_UNLESS_LAB();
  MAKE_LAB_OR_FAIL(lab, fleet("field.json"));
  const Search s = search(*lab, 0xFFFFFFFFu, 2);
  ASSERT_TRUE(s.ok) << "the search child failed";
  EXPECT_EQ(s.rc, 1);
  // MAC -> (ip1, the monitor address of the LAN it sits on)
  const std::map<std::string, std::pair<std::string, std::string>> want = {
      {"02:54:58:02:00:11", {"192.0.2.11", "192.0.2.1"}},        // home, LAN1
      {"02:54:58:02:00:12", {"198.51.100.12", "198.51.100.1"}},  // home, LAN2
      {"02:54:58:02:00:21", {"198.18.1.21", "192.0.2.1"}},       // foreign, unicast, LAN1
      {"02:54:58:02:00:22", {"198.18.1.22", "192.0.2.1"}},       // foreign, broadcast, LAN1
      {"02:54:58:02:00:23", {"198.18.2.23", "198.51.100.1"}},    // foreign, unicast, LAN2
      {"02:54:58:02:00:25", {"198.18.2.25", "198.51.100.1"}},    // foreign, broadcast, LAN2
  };
  for (const auto& [mac, where] : want) {
    SCOPED_TRACE(mac);
    ASSERT_EQ(s.by_mac.count(mac), 1u) << lab->devsim_log();
    EXPECT_EQ(s.by_mac.find(mac)->second, where);
  }
  ASSERT_EQ(s.by_mac.count("02:54:58:02:00:30"), 1u) << "heard on both LANs, one record";
  EXPECT_EQ(s.by_mac.size(), want.size() + 1);
  // The broadcast answers really went out as broadcasts.
  EXPECT_GE(lines_with(lab->devsim_log(), {"(broadcast)"}), 2);

  // The window's path: the search dialog's worker and reply rules.
  const auto window = lab->run_in_monitor([] {
    // The model map sits beside the programs.
    if (::chdir(tavrix_test::bin_dir().c_str()) != 0)
      return std::string("no ") + tavrix_test::bin_dir();
    qeld::library_start();
    std::ostringstream out;
    {
      tavrix::ServerList list;
      list.search_timeout = 3;
      list.start_search(0, 0);
      for (int i = 0; i < 1200 && !list.search_finished(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      for (int i = 0; i < list.result_count(); ++i)
        out << mac_of(list.result_at(i)->mac1) << '@' << dotted(list.result_at(i)->local_ip) << ' ';
    }
    qeld::library_stop();
    return out.str();
  });
  ASSERT_TRUE(window.has_value());
  for (const auto& [mac, where] : want)
    EXPECT_EQ(occurrences(*window, mac + "@" + where.second + " "), 1) << *window;
  EXPECT_EQ(occurrences(*window, "02:54:58:02:00:30@"), 1) << *window;

  // The CLI, run by an unprivileged user (the search needs no capability), names the
  // interface beside local_ip.
  std::string out;
  ASSERT_EQ(lab->exec("setpriv --reuid=65534 --regid=65534 --clear-groups " + cli() +
                          " search --timeout 3 --format json 2>/dev/null",
                      &out),
            0)
      << out;
  const json j = json::parse(out);
  ASSERT_EQ(j["count"], 7) << out;
  for (const auto& server : j["servers"]) {
    SCOPED_TRACE(server.dump());
    const std::string local = server["local_ip"];
    EXPECT_EQ(server["interface"], local == "192.0.2.1" ? "lan1" : "lan2");
    EXPECT_TRUE(local == "192.0.2.1" || local == "198.51.100.1");
  }
}

// --- datagrams that must never become records -------------------------------------

// Runs fn with this thread inside the namespace `ns` (the process's own one back after).
template <typename Fn>
auto in_namespace(const std::string& ns, Fn fn) -> decltype(fn()) {
  const int self = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  const int other = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  decltype(fn()) r{};
  if (self >= 0 && other >= 0 && ::setns(other, CLONE_NEWNET) == 0) {
    r = fn();
    if (::setns(self, CLONE_NEWNET) != 0) std::abort();
  }
  if (self >= 0) ::close(self);
  if (other >= 0) ::close(other);
  return r;
}

uint16_t ip_checksum(const uint8_t* p, std::size_t n) {
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i] << 8 | p[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return uint16_t(~sum);
}

// One Ethernet broadcast frame carrying a UDP datagram from any source address, 0.0.0.0
// included (a raw IP socket would fill that in).
bool send_frame(int fd, int ifindex, uint32_t src, uint16_t dport,
                const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> f(14 + 20 + 8 + payload.size(), 0);
  std::memset(f.data(), 0xFF, 6);
  const uint8_t src_mac[6] = {0x02, 0x54, 0x58, 0xEE, 0xEE, 0x01};
  std::memcpy(f.data() + 6, src_mac, 6);
  f[12] = 0x08;
  uint8_t* iph = f.data() + 14;
  const std::size_t ip_len = 20 + 8 + payload.size();
  iph[0] = 0x45;
  iph[2] = uint8_t(ip_len >> 8);
  iph[3] = uint8_t(ip_len);
  iph[8] = 64;
  iph[9] = IPPROTO_UDP;
  std::memcpy(iph + 12, &src, 4);
  std::memset(iph + 16, 0xFF, 4);
  const uint16_t sum = ip_checksum(iph, 20);
  iph[10] = uint8_t(sum >> 8);
  iph[11] = uint8_t(sum);
  uint8_t* udp = iph + 20;
  udp[0] = 4800 >> 8;
  udp[1] = 4800 & 0xFF;
  udp[2] = uint8_t(dport >> 8);
  udp[3] = uint8_t(dport);
  udp[4] = uint8_t((8 + payload.size()) >> 8);
  udp[5] = uint8_t(8 + payload.size());  // checksum 0: none, allowed for IPv4
  std::memcpy(udp + 8, payload.data(), payload.size());
  sockaddr_ll to{};
  to.sll_family = AF_PACKET;
  to.sll_protocol = htons(ETH_P_IP);
  to.sll_ifindex = ifindex;
  to.sll_halen = 6;
  std::memset(to.sll_addr, 0xFF, 6);
  return ::sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
         ssize_t(f.size());
}

// A well-formed 24-byte 4800-family search reply whose last MAC byte is `tag`.
std::vector<uint8_t> tagged_reply(uint8_t tag) {
  std::vector<uint8_t> r(24, 0);
  r[0] = 0x81;
  r[3] = 24;
  r[8] = 1;
  r[12] = 0x04;
  r[13] = 0x11;
  const uint8_t mac[6] = {0x02, 0x54, 0x58, 0xEE, 0x00, tag};
  std::memcpy(&r[14], mac, 6);
  return r;
}

TEST(FieldLab, SpoofedLoopedAndOrphanedDatagramsNeverCountAsReplies) {
  TAVRIX_SKIP_UNLESS_LAB();
  MAKE_LAB_OR_FAIL(lab, fleet("sample.json"));
  const std::string devices = lab->device_namespace();
  const auto text = lab->run_in_monitor([&]() -> std::string {
    qeld::UdpSocketSet set;
    if (qeld::udp_open_socket_set(set, 1) != 1) return "open failed";
    int entry = -1;
    for (int i = 0; i < set.count; ++i)
      if (set.entries[i].group == qeld::kGroup4800 &&
          set.entries[i].local_address == ip("192.0.2.1"))
        entry = i;
    if (entry < 0) return "no entry for 192.0.2.1";
    const uint16_t port = set.paths[entry].port;
    const int pkt =
        in_namespace(devices, [] { return ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0); });
    const int lan1 = in_namespace(devices, [] { return int(if_nametoindex("lan1")); });
    if (pkt < 0 || lan1 <= 0) return "no packet socket in the device namespace";
    std::ostringstream out;
    // Takes what the set keeps until the datagram tagged `marker` or 3 s.
    auto collect = [&](uint8_t marker) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      while (std::chrono::steady_clock::now() < end) {
        qeld::udp_wait_readable(set, 50);
        uint8_t b[64];
        int len = 0;
        uint32_t local = 0;
        do {
          if (qeld::udp_poll(set, b, 64, &len, nullptr, &local, qeld::kGroup4800) != 1) return;
          if (len >= 20) out << int(b[19]) << '@' << dotted(local) << ' ';
          if (len >= 20 && b[19] == marker) return;
        } while (len > 0);
      }
    };
    const uint32_t foreign = ip("198.18.1.22");
    send_frame(pkt, lan1, ip("0.0.0.0"), port, tagged_reply(1));
    send_frame(pkt, lan1, ip("255.255.255.255"), port, tagged_reply(2));
    send_frame(pkt, lan1, ip("192.0.2.255"), port, tagged_reply(3));
    send_frame(pkt, lan1, foreign, port, tagged_reply(4));
    collect(4);
    // Our own broadcast to our own port comes back to us through the kernel's loop.
    const auto own = tagged_reply(5);
    qeld::udp_send_to(set, 0xFFFFFFFFu, port, own.data(), int(own.size()), qeld::kGroup4800);
    send_frame(pkt, lan1, foreign, port, tagged_reply(6));
    collect(6);
    // The interface loses its address; a broadcast reaching it now has no address to name.
    if (std::system("ip addr del 192.0.2.1/24 dev lan1") != 0) return "ip addr del failed";
    send_frame(pkt, lan1, foreign, port, tagged_reply(7));
    collect(7);
    out << "| ";
    if (std::system("ip addr add 192.0.2.1/24 brd + dev lan1") != 0) return "ip addr add failed";
    send_frame(pkt, lan1, foreign, port, tagged_reply(8));
    collect(8);
    ::close(pkt);
    qeld::udp_close_socket_set(set);
    return out.str();
  });
  ASSERT_TRUE(text.has_value()) << "the child failed or hung";
  // Only the genuine foreign-subnet broadcasts are kept, named by the LAN1 address; the
  // one that came while the address was gone is dropped.
  EXPECT_EQ(*text, "4@192.0.2.1 6@192.0.2.1 | 8@192.0.2.1 ");
}

// --- a routed site ------------------------------------------------------------------

TEST(FieldLab, RoutedSiteIsReachedByAddressButNotByBroadcast) {
  TAVRIX_SKIP_UNLESS_LAB();
  MAKE_LAB_OR_FAIL(lab, fleet("sample.json"), {"--site", fleet("site.json")});
  const Search b = search(*lab, 0xFFFFFFFFu, 2);
  ASSERT_TRUE(b.ok);
  EXPECT_EQ(b.rc, 1);
  EXPECT_EQ(b.by_mac.size(), 6u) << "the LAN devices, each once";
  for (const auto& [mac, where] : b.by_mac)
    EXPECT_EQ(where.first.rfind("203.0.113.", 0), std::string::npos) << mac;

  const Search d = search(*lab, ip("203.0.113.10"), 3);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.rc, 1);
  ASSERT_EQ(d.by_mac.count("02:54:58:03:00:10"), 1u);
  EXPECT_EQ(d.by_mac.find("02:54:58:03:00:10")->second,
            std::make_pair(std::string("203.0.113.10"), std::string("198.51.100.1")))
      << "the reply came back through the router on LAN2";
  const Search u = search(*lab, ip("203.0.113.11"), 2);
  ASSERT_TRUE(u.ok);
  EXPECT_EQ(u.rc, 1);
  EXPECT_EQ(u.by_mac.count("02:54:58:03:00:11"), 1u) << "a 1029-only device through the router";

  // Polling through the router, as a monitoring thread does.
  const auto modes = lab->run_in_monitor([] {
    qeld::library_start();
    qeld::DeviceIdentity dev{};
    qeld::set_search_options(1000, 2);
    qeld::search_servers(ip("203.0.113.10"), [&](const qeld::DeviceIdentity* r) {
      if (r) dev = *r;
      return 1;
    });
    int handle = -1;
    std::ostringstream out;
    if (qeld::open_handle(&dev, &handle) == 1) {
      int32_t m[16] = {};
      out << qeld::query_port_modes(handle, 0, m);
      for (int i = 0; i < 4; ++i) out << ' ' << m[i];
    }
    qeld::library_stop();
    return out.str();
  });
  ASSERT_TRUE(modes.has_value());
  EXPECT_EQ(*modes, "1 15 0 0 16");

  std::string out;
  EXPECT_EQ(lab->exec(cli() + " probe 203.0.113.10", &out), 0) << out;
  EXPECT_NE(out.find("203.0.113.10"), std::string::npos) << out;
}

// --- many interfaces ------------------------------------------------------------------

TEST(FieldLab, ManyInterfacesSearchEachLanOncePerAddressAndFindEachDeviceOnce) {
  TAVRIX_SKIP_UNLESS_LAB();
  MAKE_LAB_OR_FAIL(lab, fleet("sample.json"), {"--many-ifs"});
  const auto listing = lab->run_in_monitor([] {
    qeld::AddressList l;
    qeld::refresh_local_addresses(l);
    std::ostringstream out;
    for (int i = 0; i < l.count; ++i)
      out << dotted(l.addr[i]) << '=' << l.ifname[i] << (l.ifindex[i] > 0 ? " " : "? ");
    return out.str();
  });
  ASSERT_TRUE(listing.has_value());
  // Up interfaces with IPv4 only: lan7 has none, lan8 is down.
  for (const char* a : {"192.0.2.1=lan1 ", "192.0.2.2=lan1 ", "198.51.100.1=lan2 ",
                        "198.51.100.2=lan2 ", "198.19.203.1=lan3 ", "198.19.206.1=lan6 "})
    EXPECT_NE(listing->find(a), std::string::npos) << a << " in " << *listing;
  EXPECT_EQ(listing->find("lan7"), std::string::npos) << *listing;
  EXPECT_EQ(listing->find("lan8"), std::string::npos) << *listing;

  const Search s = search(*lab, 0xFFFFFFFFu, 2);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.rc, 1);
  EXPECT_EQ(s.by_mac.size(), 6u) << "every device once";
  for (const auto& [mac, where] : s.by_mac) {
    const std::string& local = where.second;
    EXPECT_TRUE(local == "192.0.2.1" || local == "192.0.2.2" || local == "198.51.100.1" ||
                local == "198.51.100.2")
        << mac << " named by " << local;
  }
  // Each address of a LAN asked once per round, in both families.
  const std::string log = lab->devsim_log();
  for (const char* from :
       {"from 192.0.2.1:", "from 192.0.2.2:", "from 198.51.100.1:", "from 198.51.100.2:"}) {
    SCOPED_TRACE(from);
    for (const char* code : {" code 0x1 ", " code 0x49 ", " code 0x2 "})
      EXPECT_EQ(lines_with(log, {code, from, "to 255.255.255.255 "}), s.rounds) << code;
  }
}

// --- addresses that change under a running search and pollers ------------------------

TEST(FieldLab, AddressChangesDuringASearchAndPollingEndNormallyAndPollersRecover) {
  TAVRIX_SKIP_UNLESS_LAB();
  MAKE_LAB_OR_FAIL(lab, fleet("sample.json"));
  const auto text = lab->run_in_monitor(
      [] {
        qeld::library_start();
        qeld::set_search_options(1000, 2);
        int handles[2] = {-1, -1};
        const char* targets[2] = {"192.0.2.10", "198.51.100.20"};
        for (int k = 0; k < 2; ++k) {
          qeld::search_servers(ip(targets[k]), [&](const qeld::DeviceIdentity* r) {
            if (r && handles[k] < 0) qeld::open_handle(r, &handles[k]);
            return 1;
          });
          if (handles[k] < 0) return std::string("no handle for ") + targets[k];
          qeld::handle_set_timeouts(handles[k], 300, 2);
        }
        std::string found;
        std::atomic<bool> searching{true};
        std::thread searcher([&] {
          found = search_text(0xFFFFFFFFu, 4);
          searching = false;
        });
        // LAN2's address changes, then goes, then comes back, while both are polled.
        // Deleting a primary address deletes its secondaries, so the change is one step.
        const char* steps[] = {
            "ip addr del 198.51.100.1/24 dev lan2 && ip addr add 198.51.100.7/24 brd + dev lan2",
            "ip addr del 198.51.100.7/24 dev lan2", "ip addr add 198.51.100.1/24 brd + dev lan2"};
        int failed_lan2 = 0;
        std::string step_errors;
        for (int tick = 0; tick < 40 && (searching || tick < 12); ++tick) {
          if (tick % 4 == 2 && tick / 4 < 3 && std::system(steps[tick / 4]) != 0)
            step_errors += std::string("step failed: ") + steps[tick / 4] + "\n";
          int32_t m[16];
          qeld::query_port_modes(handles[0], 0, m);
          failed_lan2 += qeld::query_port_modes(handles[1], 0, m) != 1;
          std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        searcher.join();
        int32_t m[16];
        std::ostringstream out;
        out << found << "P " << qeld::query_port_modes(handles[0], 0, m) << ' '
            << qeld::query_port_modes(handles[1], 0, m) << " lost " << failed_lan2 << '\n'
            << step_errors;
        qeld::library_stop();
        return out.str();
      },
      90);
  ASSERT_TRUE(text.has_value()) << "crashed or hung";
  const Search s = parse_search(text);
  ASSERT_TRUE(s.ok) << *text;
  if (const auto p = text->find("P "); p != std::string::npos)
    std::printf("address change: final polls and LAN2 polls lost meanwhile: %s",
                text->substr(p).c_str());
  EXPECT_EQ(s.rc, 1) << "the search ended normally";
  EXPECT_EQ(s.by_mac.count("02:54:58:01:00:10"), 1u) << *text;
  EXPECT_EQ(text->find("step failed"), std::string::npos) << *text;
  EXPECT_NE(text->find("P 1 1 "), std::string::npos)
      << "both pollers answer once the address is back\n"
      << *text;
}

// --- a default-deny firewall -------------------------------------------------------------

// The rule docs/networks.md gives, for the lab's table.
const char* kAllowDeviceReplies =
    "nft insert rule inet tavrix_fw input udp sport '{ 1029, 4800 }' accept";

TEST(FieldLab, DefaultDenyFirewallHidesBroadcastRepliesUntilTheDevicePortsAreAllowed) {
  TAVRIX_SKIP_UNLESS_LAB();
  MAKE_LAB_OR_FAIL(lab, fleet("sample.json"), {"--firewall"});
  std::string out;
  EXPECT_NE(lab->exec(cli() + " search --timeout 3 --format json", &out), 0);
  EXPECT_NE(out.find("\"count\": 0"), std::string::npos) << out;
  EXPECT_EQ(lines_with(out, {"tavrix-cli: hint:", "firewall", "docs/networks.md"}), 1) << out;
  // A reply to a request aimed at the device matches the connection and passes.
  EXPECT_EQ(lab->exec(cli() + " search --ip 192.0.2.10 --timeout 3 --format csv 2>/dev/null", &out),
            0)
      << out;

  ASSERT_EQ(lab->exec(kAllowDeviceReplies, &out), 0) << out;
  ASSERT_EQ(lab->exec(cli() + " search --timeout 3 --format json 2>/dev/null", &out), 0) << out;
  EXPECT_EQ(json::parse(out)["count"], 6) << out;
}

// --- a host with loopback only ------------------------------------------------------------

TEST(FieldLab, LoopbackOnlyHostSearchesFindsNothingAndSaysWhy) {
  TAVRIX_SKIP_UNLESS_LAB();
  const std::string ns = "tvx-" + tavrix_test::unique_lab_name() + "-lo";
  std::string out;
  // The pinned entry keeps the search's sends independent of the kernel's ARP table,
  // which all namespaces share and a large lab elsewhere may have filled.
  ASSERT_EQ(tavrix_test::run_command(
                "ip netns add " + ns + " && ip -n " + ns + " link set lo up && ip -n " + ns +
                    " neigh replace 255.255.255.255 lladdr 00:00:00:00:00:00 dev lo nud permanent",
                &out),
            0)
      << out;
  const int rc =
      tavrix_test::run_command("ip netns exec " + ns + " " + cli() + " search --timeout 3", &out);
  tavrix_test::run_command("ip netns del " + ns);
  EXPECT_NE(rc, 0);
  EXPECT_EQ(lines_with(out, {"tavrix-cli: no Tavrix server found"}), 1) << out;
  EXPECT_EQ(lines_with(out, {"no IPv4 address but loopback"}), 1) << out;
  EXPECT_EQ(lines_with(out, {"hint:"}), 0)
      << "no firewall hint where no interface could be searched\n"
      << out;
}

}  // namespace
