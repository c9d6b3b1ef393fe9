// The port table's text rules, shared by every program.
#include "core/port_texts.h"

#include "core/address_text.h"
#include "core/model_rules.h"
#include "core/string_table.h"

namespace tavrix {

TextSet text_set_for(uint16_t model_id) {
  return text_set_named(uses_mode_set_a(model_id) ? 'A' : 'B');
}

TextSet text_set_named(char name) {
  if (name == 'A') return TextSet{'A', kModeBaseA, kStateBaseA, 15, 4};
  return TextSet{'B', kModeBaseB, kStateBaseB, 22, 3};
}

namespace {

NamedCodes names_from(int base) {
  NamedCodes names;
  for (int code = 0; code < 256; ++code) {
    std::string text = load_str(base + code);
    if (text.empty()) break;
    names.emplace_back(code, std::move(text));
  }
  return names;
}

}  // namespace

NamedCodes mode_names(const TextSet& set) {
  return names_from(set.mode_base);
}

NamedCodes state_names(const TextSet& set) {
  return names_from(set.state_base);
}

std::string state_name(const TextSet& set, int state) {
  return load_str(set.state_base + state);
}

std::string mode_name(const TextSet& set, int mode_code) {
  return load_str(set.mode_base + mode_code);
}

std::string connection_text(const TextSet& set, uint8_t state, uint32_t peer) {
  if (state == set.connected_state) return ip_text(peer, true);
  return state_name(set, state);
}

PortTexts port_texts(const tavrix::ServerRecord& server, int port_index, const TextSet& set) {
  PortTexts t;
  t.port = port_index + 1;
  t.mode_code = server.mode_at(port_index);
  t.mode_name = mode_name(set, t.mode_code);
  t.supported = t.mode_code == set.supported_mode;
  if (!t.supported) {
    t.mode_cell = kNotSupport;
    return t;
  }
  t.mode_cell = t.mode_name;
  for (int n = 1; n <= 4; ++n) {
    const uint8_t s1 = server.conn_state(port_index, n, 0);
    const uint8_t s2 = server.conn_state(port_index, n, 1);
    t.lan1[n - 1] = connection_text(set, s1, server.conn_peer(port_index, n, 0));
    t.lan2[n - 1] = connection_text(set, s2, server.conn_peer(port_index, n, 1));
    t.connected1 += s1 == set.connected_state;
    t.connected2 += s2 == set.connected_state;
  }
  return t;
}

std::string mode_label(const PortTexts& port) {
  if (port.supported || port.mode_name.empty()) return port.mode_cell;
  return port.mode_cell + " (" + port.mode_name + ")";
}

std::vector<PortTexts> port_table(const tavrix::ServerRecord& server) {
  const TextSet set = text_set_for(server.model_id);
  std::vector<PortTexts> rows;
  const int count =
      server.port_count < 0 ? 0 : (server.port_count > kMaxPorts ? kMaxPorts : server.port_count);
  rows.reserve(count);
  for (int i = 0; i < count; ++i) rows.push_back(port_texts(server, i, set));
  return rows;
}

std::string lan_status_text(int online, int lan) {
  return load_str((online & (1 << lan)) ? kStrOnLine : kStrOffLine);
}

std::string server_status_text(const tavrix::ServerRecord& server) {
  if (!server.monitoring.load(std::memory_order_relaxed)) return load_str(kStrIdle);
  return load_str(server.online.load(std::memory_order_relaxed) ? kStrOnLine : kStrOffLine);
}

}  // namespace tavrix
