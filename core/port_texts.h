// The texts of the port table computed from a server record: mode cell, "[NOT SUPPORT]",
// connection state texts or peer addresses, and the On Line / Off Line words. One set
// of rules for the window, the command line, the change detector and the exporter.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/server_record.h"

namespace tavrix {

// The two text sets a model can use, with the mode that carries connections and the
// state that means "connected" (its cell shows the peer address instead of a word).
struct TextSet {
  char name = 'B';
  int mode_base = 0;
  int state_base = 0;
  int supported_mode = 0;
  int connected_state = 0;
};

TextSet text_set_for(uint16_t model_id);
// The set by its letter, for a result that kept only the letter ('A'; anything else is B).
TextSet text_set_named(char name);

// The named codes of the set's modes or connection states, in code order: codes 0..
// until the first code without a name.
using NamedCodes = std::vector<std::pair<int, std::string>>;
NamedCodes mode_names(const TextSet& set);
NamedCodes state_names(const TextSet& set);

// Name of a mode code in the set; empty for a code without a name (-1 included).
std::string mode_name(const TextSet& set, int mode_code);
// A connection cell: the peer's dotted address (empty for 0 or 255.255.255.255) when
// the state is the connected one, otherwise the state's text.
std::string connection_text(const TextSet& set, uint8_t state, uint32_t peer);
// Name of a connection state code in the set (the word even for the connected state).
std::string state_name(const TextSet& set, int state);

// The texts of one port of a monitored server: what its two rows show.
struct PortTexts {
  int port = 0;                       // 1-based
  int mode_code = -1;                 // as the record holds it
  bool supported = false;             // mode_code is the set's Redundant COM code
  std::string mode_cell;              // mode name when supported, else "[NOT SUPPORT]"
  std::string mode_name;              // the name of mode_code whatever the mode (empty if none)
  std::array<std::string, 4> lan1{};  // connection cells; empty when not supported
  std::array<std::string, 4> lan2{};
  // Connections in the connected state on LAN1 / LAN2 (0 when not supported).
  int connected1 = 0;
  int connected2 = 0;
};

inline constexpr const char* kNotSupport = "[NOT SUPPORT]";

PortTexts port_texts(const tavrix::ServerRecord& server, int port_index, const TextSet& set);
// The mode as an event names it: the cell the port table shows while monitored, with
// the mode's own name after it when that cell is "[NOT SUPPORT]".
std::string mode_label(const PortTexts& port);
std::vector<PortTexts> port_table(const tavrix::ServerRecord& server);

// "On Line" / "Off Line" for one LAN bit of `online`.
std::string lan_status_text(int online, int lan);
// The server's status word as the server table shows it: "Idle", "On Line", "Off Line".
std::string server_status_text(const tavrix::ServerRecord& server);

}  // namespace tavrix
