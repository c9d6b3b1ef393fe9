// Reading, writing and generating fleet files. Every key is checked, so a typo in
// a fleet file is an error with the device and key named rather than a silent default.
#include "fleet.h"

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

namespace devsim {

using nlohmann::json;

namespace {

// Thrown inside the parser only; parse_fleet turns it into its error text.
struct FleetError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw FleetError(where + ": " + what);
}

void check_keys(const json& obj, const std::string& where, std::initializer_list<const char*> allowed) {
  if (!obj.is_object()) fail(where, "must be an object");
  std::set<std::string> ok(allowed.begin(), allowed.end());
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    if (!ok.count(it.key())) fail(where, "unknown key '" + it.key() + "'");
  }
}

// Numbers may be written as JSON numbers or as "0x..." / decimal strings.
long long get_int(const json& v, const std::string& where, long long lo, long long hi) {
  long long n = 0;
  if (v.is_number_integer()) {
    n = v.get<long long>();
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    try {
      std::size_t used = 0;
      n = std::stoll(s, &used, 0);
      if (used != s.size()) throw std::invalid_argument(s);
    } catch (const std::exception&) {
      fail(where, "'" + s + "' is not a number");
    }
  } else {
    fail(where, "must be an integer");
  }
  if (n < lo || n > hi) fail(where, std::to_string(n) + " is outside " + std::to_string(lo) + ".." + std::to_string(hi));
  return n;
}

double get_double(const json& v, const std::string& where, double lo, double hi) {
  if (!v.is_number()) fail(where, "must be a number");
  double d = v.get<double>();
  if (!(d >= lo && d <= hi)) fail(where, "value outside " + std::to_string(lo) + ".." + std::to_string(hi));
  return d;
}

bool get_bool(const json& v, const std::string& where) {
  if (!v.is_boolean()) fail(where, "must be true or false");
  return v.get<bool>();
}

std::string get_string(const json& v, const std::string& where) {
  if (!v.is_string()) fail(where, "must be a string");
  return v.get<std::string>();
}

uint32_t get_ip(const json& v, const std::string& where) {
  uint32_t a = 0;
  const std::string s = get_string(v, where);
  if (!parse_ipv4(s, a)) fail(where, "'" + s + "' is not an IPv4 address");
  return a;
}

std::array<uint8_t, 6> get_mac(const json& v, const std::string& where) {
  const std::string s = get_string(v, where);
  std::array<uint8_t, 6> m{};
  unsigned b[6];
  char tail = 0;
  if (s.size() != 17 ||
      std::sscanf(s.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6) {
    fail(where, "'" + s + "' is not a MAC address like 02:54:58:00:00:01");
  }
  for (int i = 0; i < 6; ++i) m[i] = uint8_t(b[i]);
  return m;
}

std::string mac_string(const std::array<uint8_t, 6>& m) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  return buf;
}

std::string hex(unsigned v) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

void parse_connection(const json& j, const std::string& where, Connection& c) {
  check_keys(j, where, {"state1", "peer1", "state2", "peer2"});
  if (j.contains("state1")) c.lan[0].state = uint8_t(get_int(j["state1"], where + ".state1", 0, 255));
  if (j.contains("peer1")) c.lan[0].peer = get_ip(j["peer1"], where + ".peer1");
  if (j.contains("state2")) c.lan[1].state = uint8_t(get_int(j["state2"], where + ".state2", 0, 255));
  if (j.contains("peer2")) c.lan[1].peer = get_ip(j["peer2"], where + ".peer2");
}

void parse_port(const json& j, const std::string& where, Port& p) {
  check_keys(j, where, {"mode", "connections"});
  if (j.contains("mode")) p.mode = int(get_int(j["mode"], where + ".mode", -128, 255));
  if (j.contains("connections")) {
    const json& cs = j["connections"];
    if (!cs.is_array()) fail(where + ".connections", "must be an array");
    if (cs.size() > kMaxConnections) fail(where + ".connections", "at most 8 connections per port");
    for (std::size_t i = 0; i < cs.size(); ++i)
      parse_connection(cs[i], where + ".connections[" + std::to_string(i) + "]", p.conns[i]);
  }
}

void parse_step(const json& j, const std::string& where, int port_count, ScriptStep& s) {
  check_keys(j, where, {"at", "port", "mode", "conn", "lan", "state", "peer"});
  if (!j.contains("at")) fail(where, "missing 'at' (seconds after start)");
  s.at = get_double(j["at"], where + ".at", 0, 1e9);
  if (!j.contains("port")) fail(where, "missing 'port'");
  s.port = int(get_int(j["port"], where + ".port", 1, port_count < 1 ? 1 : port_count));
  if (port_count < 1) fail(where, "the device has no ports");
  if (j.contains("mode")) s.mode = int(get_int(j["mode"], where + ".mode", -128, 255));
  if (j.contains("conn")) s.conn = int(get_int(j["conn"], where + ".conn", 1, kMaxConnections));
  if (j.contains("lan")) s.lan = int(get_int(j["lan"], where + ".lan", 1, 2));
  if (j.contains("state")) s.state = uint8_t(get_int(j["state"], where + ".state", 0, 255));
  if (j.contains("peer")) s.peer = get_ip(j["peer"], where + ".peer");
  if ((s.state || s.peer) && s.conn == 0) fail(where, "'state' and 'peer' need 'conn'");
  if (!s.mode && s.conn == 0) fail(where, "a step changes 'mode' or a connection ('conn' with 'state'/'peer')");
}

void parse_faults(const json& j, const std::string& where, Faults& f) {
  check_keys(j, where,
             {"silent", "silent_after", "silent_between", "delay_ms", "loss", "status_4800", "status_1029", "short",
              "oversize", "length_field", "wrong_id", "foreign", "foreign_from", "duplicate", "reorder_ms", "scope",
              "silent_codes", "silent_lan"});
  if (j.contains("silent")) f.silent = get_bool(j["silent"], where + ".silent");
  if (j.contains("silent_after")) f.silent_after = get_double(j["silent_after"], where + ".silent_after", 0, 1e9);
  if (j.contains("silent_between")) {
    const json& w = j["silent_between"];
    const std::string wh = where + ".silent_between";
    if (!w.is_array()) fail(wh, "must be a list of [from, to] pairs");
    for (const json& p : w) {
      if (!p.is_array() || p.size() != 2) fail(wh, "must be a list of [from, to] pairs");
      double a = get_double(p[0], wh, 0, 1e9), b = get_double(p[1], wh, 0, 1e9);
      if (b < a) fail(wh, "a window ends before it starts");
      f.silent_between.emplace_back(a, b);
    }
  }
  if (j.contains("delay_ms")) {
    const json& d = j["delay_ms"];
    if (d.is_array()) {
      if (d.size() != 2) fail(where + ".delay_ms", "must be a number or [min, max]");
      f.delay_min_ms = int(get_int(d[0], where + ".delay_ms", 0, 600000));
      f.delay_max_ms = int(get_int(d[1], where + ".delay_ms", 0, 600000));
      if (f.delay_max_ms < f.delay_min_ms) fail(where + ".delay_ms", "max is below min");
    } else {
      f.delay_min_ms = f.delay_max_ms = int(get_int(d, where + ".delay_ms", 0, 600000));
    }
  }
  if (j.contains("loss")) f.loss = get_double(j["loss"], where + ".loss", 0, 1);
  if (j.contains("status_4800")) f.status_4800 = int(get_int(j["status_4800"], where + ".status_4800", 0, 255));
  if (j.contains("status_1029")) f.status_1029 = int(get_int(j["status_1029"], where + ".status_1029", 0, 255));
  if (j.contains("short")) f.short_length = int(get_int(j["short"], where + ".short", 0, 65535));
  if (j.contains("oversize")) {
    if (j["oversize"].is_boolean())
      f.oversize_length = j["oversize"].get<bool>() ? 2100 : 0;
    else
      f.oversize_length = int(get_int(j["oversize"], where + ".oversize", 0, 65000));
  }
  if (j.contains("length_field"))
    f.length_field = int(get_int(j["length_field"], where + ".length_field", 0, 0xFFFF));
  if (j.contains("wrong_id")) f.wrong_id = get_bool(j["wrong_id"], where + ".wrong_id");
  if (j.contains("foreign")) {
    const json& list = j["foreign"];
    if (!list.is_array()) fail(where + ".foreign", "must be a list");
    for (const json& k : list) {
      const std::string s = get_string(k, where + ".foreign");
      if (s == "wrong_code") f.foreign.push_back(Foreign::kWrongCode);
      else if (s == "wrong_id") f.foreign.push_back(Foreign::kWrongId);
      else if (s == "status") f.foreign.push_back(Foreign::kStatus);
      else if (s == "other_address") f.foreign.push_back(Foreign::kOtherAddress);
      else fail(where + ".foreign", "'" + s + "' is not one of wrong_code, wrong_id, status, other_address");
    }
  }
  if (j.contains("foreign_from")) f.foreign_from = get_ip(j["foreign_from"], where + ".foreign_from");
  if (j.contains("duplicate")) f.duplicate = int(get_int(j["duplicate"], where + ".duplicate", 0, 16));
  if (j.contains("reorder_ms")) f.reorder_ms = int(get_int(j["reorder_ms"], where + ".reorder_ms", 0, 600000));
  if (j.contains("silent_codes")) {
    if (!j["silent_codes"].is_array()) fail(where + ".silent_codes", "must be a list");
    for (const json& c : j["silent_codes"])
      f.silent_codes.push_back(uint8_t(get_int(c, where + ".silent_codes", 0, 255)));
  }
  if (j.contains("silent_lan")) f.silent_lan = int(get_int(j["silent_lan"], where + ".silent_lan", 0, 2));
  if (j.contains("scope")) {
    const std::string s = get_string(j["scope"], where + ".scope");
    if (s == "all") f.scope = FaultScope::kAll;
    else if (s == "search") f.scope = FaultScope::kSearch;
    else if (s == "commands") f.scope = FaultScope::kCommands;
    else fail(where + ".scope", "'" + s + "' is not one of all, search, commands");
  }
}

void parse_device(const json& j, const std::string& where0, Device& d) {
  std::string where = where0;
  if (j.is_object() && j.contains("name") && j["name"].is_string()) where += " (" + j["name"].get<std::string>() + ")";
  check_keys(j, where,
             {"name", "model_key", "model_id", "unit_id", "mac1", "mac2", "ip1", "ip2", "families", "layout_4800",
              "code_1029", "text_set", "listed_silent", "reply_broadcast", "lan", "reported_ports", "ports", "script",
              "random_walk", "faults"});
  if (j.contains("name")) d.name = get_string(j["name"], where + ".name");
  for (const char* k : {"model_id", "mac1", "ip1"})
    if (!j.contains(k)) fail(where, std::string("missing '") + k + "'");
  if (j.contains("model_key")) d.model_key = uint32_t(get_int(j["model_key"], where + ".model_key", 0, 0xFFFFFFFFLL));
  d.model_id = uint16_t(get_int(j["model_id"], where + ".model_id", 0, 0xFFFF));
  if (j.contains("unit_id")) d.unit_id = uint16_t(get_int(j["unit_id"], where + ".unit_id", 0, 0xFFFF));
  d.mac1 = get_mac(j["mac1"], where + ".mac1");
  if (j.contains("mac2")) d.mac2 = get_mac(j["mac2"], where + ".mac2");
  d.ip1 = get_ip(j["ip1"], where + ".ip1");
  if (d.ip1 == 0) fail(where + ".ip1", "must not be 0.0.0.0");
  if (j.contains("ip2")) d.ip2 = get_ip(j["ip2"], where + ".ip2");
  if (j.contains("families")) {
    const std::string s = get_string(j["families"], where + ".families");
    if (s == "4800") d.answers_4800 = true, d.answers_1029 = false;
    else if (s == "1029") d.answers_4800 = false, d.answers_1029 = true;
    else if (s == "both") d.answers_4800 = d.answers_1029 = true;
    else if (s == "none") d.answers_4800 = d.answers_1029 = false;
    else fail(where + ".families", "'" + s + "' is not one of 4800, 1029, both, none");
  }
  if (j.contains("layout_4800")) {
    d.layout_4800 = int(get_int(j["layout_4800"], where + ".layout_4800", 0, 0xFFFF));
    if (d.layout_4800 != 24 && d.layout_4800 != 40) fail(where + ".layout_4800", "must be 24 or 40");
  }
  if (j.contains("code_1029")) d.code_1029 = uint8_t(get_int(j["code_1029"], where + ".code_1029", 0, 255));
  if (j.contains("text_set")) {
    const std::string s = get_string(j["text_set"], where + ".text_set");
    if (s != "A" && s != "B") fail(where + ".text_set", "must be \"A\" or \"B\"");
    d.text_set = s[0];
  }
  if (j.contains("listed_silent")) d.listed_silent = get_bool(j["listed_silent"], where + ".listed_silent");
  if (j.contains("reply_broadcast")) d.reply_broadcast = get_bool(j["reply_broadcast"], where + ".reply_broadcast");
  if (j.contains("lan")) d.lan = int(get_int(j["lan"], where + ".lan", 1, 2));
  if (j.contains("reported_ports"))
    d.reported_ports = int(get_int(j["reported_ports"], where + ".reported_ports", 0, 255));
  if (j.contains("ports")) {
    const json& ps = j["ports"];
    if (!ps.is_array()) fail(where + ".ports", "must be an array");
    if (ps.size() > 255) fail(where + ".ports", "at most 255 ports");
    d.ports.resize(ps.size());
    for (std::size_t i = 0; i < ps.size(); ++i)
      parse_port(ps[i], where + ".ports[" + std::to_string(i) + "]", d.ports[i]);
  }
  if (j.contains("script")) {
    const json& s = j["script"];
    check_keys(s, where + ".script", {"steps", "repeat"});
    if (s.contains("repeat")) d.script.repeat = get_double(s["repeat"], where + ".script.repeat", 0, 1e9);
    if (s.contains("steps")) {
      if (!s["steps"].is_array()) fail(where + ".script.steps", "must be an array");
      for (std::size_t i = 0; i < s["steps"].size(); ++i) {
        ScriptStep step;
        parse_step(s["steps"][i], where + ".script.steps[" + std::to_string(i) + "]", int(d.ports.size()), step);
        d.script.steps.push_back(step);
      }
    }
  }
  if (j.contains("random_walk")) {
    const json& w = j["random_walk"];
    check_keys(w, where + ".random_walk", {"period"});
    if (w.contains("period")) d.walk.period = get_double(w["period"], where + ".random_walk.period", 0.01, 1e6);
  }
  if (j.contains("faults")) parse_faults(j["faults"], where + ".faults", d.faults);
}

json conn_json(const Connection& c) {
  return json{{"state1", c.lan[0].state}, {"peer1", ipv4_text(c.lan[0].peer)},
              {"state2", c.lan[1].state}, {"peer2", ipv4_text(c.lan[1].peer)}};
}

json faults_json(const Faults& f) {
  json j = json::object();
  if (f.silent) j["silent"] = true;
  if (f.silent_after >= 0) j["silent_after"] = f.silent_after;
  if (!f.silent_between.empty()) {
    json w = json::array();
    for (auto& [a, b] : f.silent_between) w.push_back({a, b});
    j["silent_between"] = w;
  }
  if (f.delay_max_ms > 0) {
    if (f.delay_min_ms == f.delay_max_ms) j["delay_ms"] = f.delay_min_ms;
    else j["delay_ms"] = {f.delay_min_ms, f.delay_max_ms};
  }
  if (f.loss > 0) j["loss"] = f.loss;
  if (f.status_4800) j["status_4800"] = f.status_4800;
  if (f.status_1029) j["status_1029"] = f.status_1029;
  if (f.short_length >= 0) j["short"] = f.short_length;
  if (f.oversize_length > 0) j["oversize"] = f.oversize_length;
  if (f.length_field >= 0) j["length_field"] = f.length_field;
  if (f.wrong_id) j["wrong_id"] = true;
  if (!f.foreign.empty()) {
    json list = json::array();
    for (Foreign k : f.foreign) {
      list.push_back(k == Foreign::kWrongCode ? "wrong_code"
                     : k == Foreign::kWrongId ? "wrong_id"
                     : k == Foreign::kStatus  ? "status"
                                              : "other_address");
    }
    j["foreign"] = list;
  }
  if (f.foreign_from) j["foreign_from"] = ipv4_text(f.foreign_from);
  if (f.duplicate) j["duplicate"] = f.duplicate;
  if (f.reorder_ms) j["reorder_ms"] = f.reorder_ms;
  if (!f.silent_codes.empty()) j["silent_codes"] = f.silent_codes;
  if (f.silent_lan) j["silent_lan"] = f.silent_lan;
  if (f.scope != FaultScope::kAll) j["scope"] = f.scope == FaultScope::kSearch ? "search" : "commands";
  return j;
}

}  // namespace

bool parse_ipv4(const std::string& text, uint32_t& out) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  out = a.s_addr;
  return true;
}

std::string ipv4_text(uint32_t addr) {
  char buf[INET_ADDRSTRLEN];
  in_addr a{};
  a.s_addr = addr;
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

bool parse_cidr(const std::string& text, uint32_t& network, int& prefix) {
  const auto slash = text.find('/');
  if (slash == std::string::npos) return false;
  uint32_t a = 0;
  if (!parse_ipv4(text.substr(0, slash), a)) return false;
  const std::string p = text.substr(slash + 1);
  if (p.empty() || p.size() > 2 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  prefix = std::stoi(p);
  if (prefix < 1 || prefix > 30) return false;
  const uint32_t mask = prefix == 0 ? 0 : ~uint32_t(0) << (32 - prefix);
  network = htonl(ntohl(a) & mask);
  return true;
}

bool in_subnet(uint32_t addr, uint32_t network, int prefix) {
  const uint32_t mask = prefix <= 0 ? 0 : ~uint32_t(0) << (32 - prefix);
  return (ntohl(addr) & mask) == (ntohl(network) & mask);
}

bool parse_fleet(const std::string& json_text, Fleet& out, std::string& error) {
  out = Fleet{};
  json root;
  try {
    root = json::parse(json_text);
  } catch (const json::exception& e) {
    error = std::string("not valid JSON: ") + e.what();
    return false;
  }
  try {
    check_keys(root, "fleet", {"devices", "seed", "comment"});
    if (root.contains("seed")) out.seed = uint64_t(get_int(root["seed"], "fleet.seed", 0, INT64_MAX));
    if (!root.contains("devices") || !root["devices"].is_array()) fail("fleet", "needs a 'devices' array");
    const json& devs = root["devices"];
    out.devices.resize(devs.size());
    for (std::size_t i = 0; i < devs.size(); ++i)
      parse_device(devs[i], "device " + std::to_string(i + 1), out.devices[i]);
    // Two devices on one address could not both answer a unicast: refuse it.
    std::set<uint32_t> seen;
    for (std::size_t i = 0; i < out.devices.size(); ++i) {
      for (uint32_t ip : {out.devices[i].ip1, out.devices[i].ip2}) {
        if (ip == 0) continue;
        if (!seen.insert(ip).second)
          fail("device " + std::to_string(i + 1), "address " + ipv4_text(ip) + " is used by another device");
      }
    }
  } catch (const FleetError& e) {
    error = e.what();
    return false;
  } catch (const json::exception& e) {
    error = e.what();
    return false;
  }
  return true;
}

bool load_fleet_file(const std::string& path, Fleet& out, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = path + ": cannot be read";
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  if (!parse_fleet(ss.str(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

std::string fleet_to_json(const Fleet& fleet) {
  json devs = json::array();
  for (const Device& d : fleet.devices) {
    json j;
    if (!d.name.empty()) j["name"] = d.name;
    j["model_key"] = hex(d.model_key);
    j["model_id"] = hex(d.model_id);
    j["unit_id"] = d.unit_id;
    j["mac1"] = mac_string(d.mac1);
    if (d.mac2 != std::array<uint8_t, 6>{}) j["mac2"] = mac_string(d.mac2);
    j["ip1"] = ipv4_text(d.ip1);
    if (d.ip2) j["ip2"] = ipv4_text(d.ip2);
    j["families"] = d.answers_4800 && d.answers_1029 ? "both" : d.answers_4800 ? "4800" : d.answers_1029 ? "1029" : "none";
    j["layout_4800"] = d.layout_4800;
    j["code_1029"] = hex(d.code_1029);
    j["text_set"] = std::string(1, d.text_set);
    j["listed_silent"] = d.listed_silent;
    if (d.reply_broadcast) j["reply_broadcast"] = true;
    if (d.lan) j["lan"] = d.lan;
    if (d.reported_ports >= 0) j["reported_ports"] = d.reported_ports;
    json ports = json::array();
    for (const Port& p : d.ports) {
      json pj{{"mode", p.mode}};
      int used = 0;
      for (int c = 0; c < kMaxConnections; ++c) {
        const Connection& cn = p.conns[c];
        if (cn.lan[0].state || cn.lan[0].peer || cn.lan[1].state || cn.lan[1].peer) used = c + 1;
      }
      if (used) {
        json cs = json::array();
        for (int c = 0; c < used; ++c) cs.push_back(conn_json(p.conns[c]));
        pj["connections"] = cs;
      }
      ports.push_back(pj);
    }
    j["ports"] = ports;
    if (!d.script.steps.empty()) {
      json steps = json::array();
      for (const ScriptStep& s : d.script.steps) {
        json sj{{"at", s.at}, {"port", s.port}};
        if (s.mode) sj["mode"] = *s.mode;
        if (s.conn) sj["conn"] = s.conn, sj["lan"] = s.lan;
        if (s.state) sj["state"] = *s.state;
        if (s.peer) sj["peer"] = ipv4_text(*s.peer);
        steps.push_back(sj);
      }
      j["script"] = json{{"steps", steps}};
      if (d.script.repeat > 0) j["script"]["repeat"] = d.script.repeat;
    }
    if (d.walk.period > 0) j["random_walk"] = json{{"period", d.walk.period}};
    json f = faults_json(d.faults);
    if (!f.empty()) j["faults"] = f;
    devs.push_back(j);
  }
  json root{{"devices", devs}};
  if (fleet.seed) root["seed"] = *fleet.seed;
  return root.dump(1) + "\n";
}

bool generate_fleet(const GenOptions& o, Fleet& out, std::string& error) {
  out = Fleet{};
  uint32_t net1 = 0, net2 = 0;
  int p1 = 0, p2 = 0;
  if (!parse_cidr(o.lan1, net1, p1)) return error = "--lan1: '" + o.lan1 + "' is not a network like 198.18.0.0/16", false;
  if (o.dual && !parse_cidr(o.lan2, net2, p2))
    return error = "--lan2: '" + o.lan2 + "' is not a network like 198.19.0.0/16", false;
  if (o.count < 1 || o.count > 4096) return error = "--count must be 1..4096", false;
  if (o.ports < 0 || o.ports > 255) return error = "--ports must be 0..255", false;
  // Hosts .2 up to the address below broadcast; .1 belongs to the monitor.
  auto room = [](int prefix) { return (int64_t(1) << (32 - prefix)) - 3; };
  if (o.count > room(p1) || (o.dual && o.count > room(p2)))
    return error = std::to_string(o.count) + " servers do not fit in the LAN range", false;
  int mode = 0;
  const char set = o.text_set;
  if (o.mode == "redundant") {
    mode = set == 'A' ? 15 : 22;
  } else {
    try {
      std::size_t used = 0;
      mode = std::stoi(o.mode, &used, 0);
      if (used != o.mode.size() || mode < -128 || mode > 255) throw std::invalid_argument(o.mode);
    } catch (const std::exception&) {
      return error = "--mode: '" + o.mode + "' is neither 'redundant' nor a mode code", false;
    }
  }
  if (o.families != "both" && o.families != "4800" && o.families != "1029")
    return error = "--families: '" + o.families + "' is not one of 4800, 1029, both", false;
  for (int i = 0; i < o.count; ++i) {
    Device d;
    d.answers_4800 = o.families != "1029";
    d.answers_1029 = o.families != "4800";
    char name[32];
    std::snprintf(name, sizeof name, "gen-%04d", i + 1);
    d.name = name;
    d.model_key = o.model_key;
    d.model_id = o.model_id;
    d.unit_id = uint16_t(i + 1);
    d.text_set = set;
    const uint32_t n = uint32_t(i);
    d.mac1 = {0x02, 0x54, 0x58, uint8_t(n >> 15), uint8_t(n >> 7), uint8_t((n << 1) & 0xFF)};
    d.ip1 = htonl(ntohl(net1) + 2 + n);
    if (o.dual) {
      d.mac2 = d.mac1;
      d.mac2[5] |= 1;
      d.ip2 = htonl(ntohl(net2) + 2 + n);
      d.layout_4800 = 40;
    }
    d.ports.resize(std::size_t(o.ports));
    for (std::size_t p = 0; p < d.ports.size(); ++p) {
      Port& port = d.ports[p];
      port.mode = mode;
      // One open connection per LAN, so the view has something to show.
      port.conns[0].lan[0] = {uint8_t(d.connected_state()), htonl(ntohl(net1) + 1)};
      port.conns[0].lan[1] = {uint8_t(o.dual ? d.connected_state() : 0), o.dual ? htonl(ntohl(net2) + 1) : 0};
      port.conns[1].lan[0].state = 1;
      port.conns[1].lan[1].state = 1;
    }
    d.walk.period = o.walk_period;
    out.devices.push_back(std::move(d));
  }
  return true;
}

}  // namespace devsim
