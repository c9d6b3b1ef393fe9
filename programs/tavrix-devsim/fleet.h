// The simulated fleet: device servers with their identity, reply habits, serial
// ports, scripted or random changes and faults, read from (and written to) JSON.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace devsim {

enum class Family { k4800, k1029 };

inline constexpr int kMaxConnections = 8;  // slots in one 80-byte connection record
inline constexpr std::size_t kRecordSize = 80;

// One side of a connection: state code and peer address (network byte order).
struct LanConn {
  uint8_t state = 0;
  uint32_t peer = 0;
};

struct Connection {
  LanConn lan[2];  // [0] LAN1, [1] LAN2
};

struct Port {
  int mode = 0;  // sent as one byte; -1 goes out as 0xFF
  std::array<Connection, kMaxConnections> conns{};
};

// A change at `at` seconds after start. port and conn are 1-based; conn 0 = no
// connection change. lan is 1 or 2.
struct ScriptStep {
  double at = 0;
  int port = 1;
  std::optional<int> mode;
  int conn = 0;
  int lan = 1;
  std::optional<uint8_t> state;
  std::optional<uint32_t> peer;
};

struct Script {
  std::vector<ScriptStep> steps;
  double repeat = 0;  // > 0: the steps start over every `repeat` seconds
};

// Every `period` seconds one connection of a "Redundant COM" port changes state.
struct RandomWalk {
  double period = 0;  // 0 = off
};

enum class FaultScope { kAll, kSearch, kCommands };

// Extra datagrams a device sends before its genuine reply.
enum class Foreign { kWrongCode, kWrongId, kStatus, kOtherAddress };

struct Faults {
  bool silent = false;
  double silent_after = -1;                               // seconds after start; < 0 = never
  std::vector<std::pair<double, double>> silent_between;  // [from, to) seconds after start
  int delay_min_ms = 0;                                   // reply delay, uniform in [min, max]
  int delay_max_ms = 0;
  double loss = 0;       // probability that a reply is dropped
  int status_4800 = 0;   // status byte of 4800-family replies
  int status_1029 = 0;   // status byte of 1029-family replies
  int short_length = -1; // >= 0: replies cut to this many bytes
  int oversize_length = 0;  // > 0: replies padded with zeros to this many bytes
  int length_field = -1;    // >= 0: bytes 2-3 of replies say this instead of the true length
  bool wrong_id = false;    // request-id bytes of replies not zero
  std::vector<Foreign> foreign;
  uint32_t foreign_from = 0;  // source of kOtherAddress; 0 = whatever the kernel picks
  int duplicate = 0;          // extra copies of every reply
  int reorder_ms = 0;         // > 0: every second reply is held back this long
  std::vector<uint8_t> silent_codes;  // request codes never answered (0x41 modes, 0x3A records)
  // 1 or 2: nothing is answered at that LAN's address (set in a fleet, or by the churn).
  int silent_lan = 0;
  FaultScope scope = FaultScope::kAll;
};

struct Device {
  std::string name;
  uint32_t model_key = 0;  // little-endian reading of the wire bytes
  uint16_t model_id = 0;
  uint16_t unit_id = 0;
  std::array<uint8_t, 6> mac1{};
  std::array<uint8_t, 6> mac2{};  // all zero for a single-LAN device
  uint32_t ip1 = 0;               // network byte order
  uint32_t ip2 = 0;               // 0 = no second LAN
  bool answers_4800 = true;       // search families answered; commands are always served
  bool answers_1029 = true;
  int layout_4800 = 24;           // 24 or 40
  uint8_t code_1029 = 0x82;       // 0x82 answers request 0x02; any other answers 0x49 with it
  char text_set = 'A';            // 'A': redundant mode 15, connected 4; 'B': 22 and 3
  bool listed_silent = true;      // silent when a search request names it as found
  bool reply_broadcast = false;   // search replies go to 255.255.255.255, the asker's port
  int lan = 0;                    // lab wire (1 or 2) of addresses outside both lab networks
  int reported_ports = -1;        // byte 21 of command replies; < 0 = ports.size()
  std::vector<Port> ports;
  Script script;
  RandomWalk walk;
  Faults faults;

  int redundant_mode() const { return text_set == 'A' ? 15 : 22; }
  int connected_state() const { return text_set == 'A' ? 4 : 3; }
  int port_count_byte() const { return reported_ports >= 0 ? reported_ports : int(ports.size()); }
};

struct Fleet {
  std::vector<Device> devices;
  std::optional<uint64_t> seed;
};

// Parses fleet JSON. On failure returns false and sets `error` to a message naming the
// device and key at fault; `out` is then unspecified.
bool parse_fleet(const std::string& json_text, Fleet& out, std::string& error);
// Reads and parses a file; the message starts with the path.
bool load_fleet_file(const std::string& path, Fleet& out, std::string& error);
// The JSON text of a fleet; parse_fleet reads it back to an equal fleet.
std::string fleet_to_json(const Fleet& fleet);

// What `tavrix-devsim gen` makes: `count` servers numbered from the bottom of the
// LAN1 (and LAN2) range, skipping the network, the .1 kept for the monitor and the
// broadcast address.
struct GenOptions {
  int count = 16;
  bool dual = false;
  int ports = 16;
  std::string mode = "redundant";  // "redundant" or a number
  std::string lan1 = "198.18.0.0/16";
  std::string lan2 = "198.19.0.0/16";
  uint32_t model_key = 1;      // the TVX line of data/models.json
  uint16_t model_id = 0x2616;  // two LANs, 16 ports, text set B
  char text_set = 'B';
  double walk_period = 0;
  std::string families = "both";  // search families answered: 4800, 1029 or both
};
bool generate_fleet(const GenOptions& options, Fleet& out, std::string& error);

// Text helpers shared with the tools: dotted IPv4 <-> network-order u32, "a.b.c.d/n".
bool parse_ipv4(const std::string& text, uint32_t& out);
std::string ipv4_text(uint32_t addr);
bool parse_cidr(const std::string& text, uint32_t& network, int& prefix);
bool in_subnet(uint32_t addr, uint32_t network, int prefix);

}  // namespace devsim
