// The server-list file: reading with a reason for every refusal, writing through a
// temporary file and a rename.
#include "core/server_list_file.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/address_text.h"
#include "core/printable_text.h"
#include "qeld/model_map.h"

namespace tavrix {

namespace {

constexpr const char* kFormatName = "tavrix-server-list";

using Json = nlohmann::json;

std::string hex_text(uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, value);
  return buf;
}

// A number field: a JSON unsigned integer or "0x" hex text, at most `max`.
bool read_number(const Json& v, uint32_t max, uint32_t& out) {
  uint64_t value = 0;
  if (v.is_number_unsigned()) {
    value = v.get<uint64_t>();
  } else if (v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (s.size() < 3 || s.size() > 10 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return false;
    const auto [end, ec] = std::from_chars(s.data() + 2, s.data() + s.size(), value, 16);
    if (ec != std::errc() || end != s.data() + s.size()) return false;
  } else {
    return false;
  }
  if (value > max) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool usable_address(uint32_t ip) {
  return ip != 0 && ip != 0xFFFFFFFFu;
}

// Reads entry number `n` (from 1).
Outcome<ServerListEntry> read_entry(const Json& e, int n) {
  const std::string at = "server " + std::to_string(n) + ": ";
  if (!e.is_object()) return fail(at + "not a JSON object");
  ServerListEntry entry;
  qeld::DeviceIdentity& id = entry.identity;

  struct NumberField {
    const char* key;
    uint32_t max;
    bool required;
  };
  static constexpr NumberField kNumbers[] = {{"model_key", 0xFFFFFFFFu, true},
                                             {"model_id", 0xFFFF, true},
                                             {"unit_id", 0xFFFF, false},
                                             {"flags", 0xFFFF, false}};
  uint32_t values[4] = {};
  for (int i = 0; i < 4; ++i) {
    const auto it = e.find(kNumbers[i].key);
    if (it == e.end()) {
      if (kNumbers[i].required) return fail(at + "'" + kNumbers[i].key + "' is missing");
      continue;
    }
    if (!read_number(*it, kNumbers[i].max, values[i]))
      return fail(at + "'" + kNumbers[i].key + "' must be a number up to " +
                  hex_text(kNumbers[i].max, 0) + " (an integer or hex text like \"0x2613\")");
  }
  id.model_key = values[0];
  id.model_id = static_cast<uint16_t>(values[1]);
  id.unit_id = static_cast<uint16_t>(values[2]);
  id.flags = static_cast<uint16_t>(values[3]);

  const auto text_field = [&](const char* key, bool required, std::string& value) -> Done {
    const auto it = e.find(key);
    if (it == e.end()) return required ? Done(fail(at + "'" + key + "' is missing")) : Done();
    if (!it->is_string()) return fail(at + "'" + key + "' must be text");
    value = it->get<std::string>();
    return {};
  };
  std::string ip1, ip2, mac1, mac2;
  for (auto [key, required, value] :
       {std::tuple{"ip1", true, &ip1}, std::tuple{"mac1", true, &mac1},
        std::tuple{"ip2", false, &ip2}, std::tuple{"mac2", false, &mac2},
        std::tuple{"model", false, &entry.model}, std::tuple{"name", false, &entry.name}}) {
    if (Done read = text_field(key, required, *value); !read) return fail(read.reason());
  }
  if (entry.name.size() > kServerListMaxNameLength)
    return fail(at + "'name' is longer than " + std::to_string(kServerListMaxNameLength) +
                " bytes");
  if (entry.model.size() > kServerListMaxNameLength)
    return fail(at + "'model' is longer than " + std::to_string(kServerListMaxNameLength) +
                " bytes");

  const auto ip1_value = parse_ipv4(ip1);
  if (!ip1_value || !usable_address(*ip1_value))
    return fail(at + "'ip1' \"" + printable_text(ip1) +
                "\" is not a device address like 192.0.2.10");
  id.ip1 = *ip1_value;
  if (!parse_mac_text(mac1, id.mac1))
    return fail(at + "'mac1' \"" + printable_text(mac1) +
                "\" is not a MAC address like 02:54:58:01:00:10");
  if (ip2.empty()) {
    id.ip2 = id.ip1;  // a record never has ip2 0 while ip1 is set
  } else {
    const auto ip2_value = parse_ipv4(ip2);
    if (!ip2_value || !usable_address(*ip2_value))
      return fail(at + "'ip2' \"" + printable_text(ip2) +
                  "\" is not a device address like 198.51.100.10");
    id.ip2 = *ip2_value;
  }
  if (!mac2.empty() && !parse_mac_text(mac2, id.mac2))
    return fail(at + "'mac2' \"" + printable_text(mac2) +
                "\" is not a MAC address like 02:54:58:01:00:11");
  return entry;
}

}  // namespace

bool parse_mac_text(std::string_view text, uint8_t out[6]) {
  if (text.size() != 17) return false;
  uint8_t mac[6];
  for (int i = 0; i < 6; ++i) {
    if (i > 0 && text[3 * i - 1] != ':' && text[3 * i - 1] != '-') return false;
    unsigned v = 0;
    const char* s = text.data() + 3 * i;
    const auto [next, ec] = std::from_chars(s, s + 2, v, 16);
    if (ec != std::errc() || next != s + 2) return false;
    mac[i] = static_cast<uint8_t>(v);
  }
  std::memcpy(out, mac, 6);
  return true;
}

Outcome<std::vector<ServerListEntry>> parse_server_list(std::string_view text) {
  if (text.size() > kServerListMaxBytes)
    return fail("larger than " + std::to_string(kServerListMaxBytes) + " bytes");
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::exception& e) {  // parse_error, or out_of_range for a number too large
    std::string what = e.what();
    // Drop the library's "[json.exception.parse_error.101] " tag.
    if (const auto close = what.find("] "); close != std::string::npos) what.erase(0, close + 2);
    return fail("not valid JSON: " + what);
  }
  if (!doc.is_object()) return fail("not a server-list file: the top level is not a JSON object");
  const auto format = doc.find("format");
  if (format == doc.end() || !format->is_string() || format->get<std::string>() != kFormatName)
    return fail(std::string("not a server-list file: \"format\" must be \"") + kFormatName + "\"");
  const auto version = doc.find("version");
  if (version == doc.end()) return fail("\"version\" is missing");
  if (!version->is_number_integer() || version->get<int64_t>() < 1)
    return fail("\"version\" must be a whole number from 1");
  if (version->get<int64_t>() > kServerListVersion)
    return fail("version " + std::to_string(version->get<int64_t>()) +
                " is newer than this program reads (" + std::to_string(kServerListVersion) +
                "); use a newer Tavrix Monitor Utility");
  const auto servers = doc.find("servers");
  if (servers == doc.end()) return fail("\"servers\" is missing");
  if (!servers->is_array()) return fail("\"servers\" must be a list");
  if (servers->size() > static_cast<std::size_t>(kMaxServers))
    return fail(std::to_string(servers->size()) + " servers; a list holds at most " +
                std::to_string(kMaxServers));
  std::vector<ServerListEntry> entries(servers->size());
  for (std::size_t i = 0; i < servers->size(); ++i) {
    Outcome<ServerListEntry> entry = read_entry((*servers)[i], static_cast<int>(i) + 1);
    if (!entry) return fail(entry.reason());
    entries[i] = std::move(entry).value();
  }
  return entries;
}

Outcome<std::vector<ServerListEntry>> read_server_list_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(path + ": cannot be read: " + std::strerror(errno));
  std::string text;
  // Read one byte past the limit so that an oversized file is told apart from a full one.
  text.resize(kServerListMaxBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return fail(path + ": cannot be read");
  text.resize(static_cast<std::size_t>(in.gcount()));
  Outcome<std::vector<ServerListEntry>> parsed = parse_server_list(text);
  if (!parsed) return fail(path + ": " + parsed.reason());
  return parsed;
}

std::string server_list_text(const std::vector<ServerListEntry>& entries) {
  nlohmann::ordered_json servers = nlohmann::ordered_json::array();
  for (const auto& e : entries) {
    const qeld::DeviceIdentity& id = e.identity;
    nlohmann::ordered_json j;
    if (!e.name.empty()) j["name"] = e.name;
    j["model"] = e.model;
    j["model_key"] = hex_text(id.model_key, 8);
    j["model_id"] = hex_text(id.model_id, 4);
    j["unit_id"] = hex_text(id.unit_id, 4);
    j["flags"] = hex_text(id.flags, 4);
    j["ip1"] = ip_text(id.ip1, false);
    j["mac1"] = mac_text(id.mac1);
    j["ip2"] = ip_text(id.ip2 ? id.ip2 : id.ip1, false);
    j["mac2"] = mac_text(id.mac2);
    servers.push_back(std::move(j));
  }
  nlohmann::ordered_json doc;
  doc["format"] = kFormatName;
  doc["version"] = kServerListVersion;
  doc["servers"] = std::move(servers);
  return doc.dump(2) + "\n";
}

Done write_server_list_file(const std::string& path, const std::vector<ServerListEntry>& entries) {
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return fail(path + ": cannot be written: " + std::strerror(errno));
    out << server_list_text(entries);
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      return fail(path + ": cannot be written");
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    std::remove(tmp.c_str());
    return fail(path + ": cannot be written: " + why);
  }
  return {};
}

ServerListEntry server_list_entry(const qeld::DeviceIdentity& identity, std::string name) {
  ServerListEntry e;
  e.identity = identity;
  e.identity.local_ip = 0;
  e.model = qeld::model_name(identity.model_key, identity.model_id);
  e.name = std::move(name);
  return e;
}

}  // namespace tavrix
