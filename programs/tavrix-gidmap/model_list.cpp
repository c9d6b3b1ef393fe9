// Reading and checking the JSON model list, and decoding a GIdMap.dat for display.
#include "model_list.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include "qeld/cipher/cipher.h"

namespace gidmap {
namespace {

using nlohmann::json;

std::string hex(uint64_t v, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(v));
  return buf;
}

// A field is a JSON integer or a text holding a decimal or 0x-prefixed number.
bool read_number(const json& v, uint64_t max, uint64_t& out, std::string& why) {
  if (v.is_number_unsigned()) {
    out = v.get<uint64_t>();
  } else if (v.is_number_integer()) {
    why = "is negative";
    return false;
  } else if (v.is_string()) {
    const std::string s = v.get<std::string>();
    const bool is_hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const std::string digits = is_hex ? s.substr(2) : s;
    if (digits.empty() || digits.size() > 16) {
      why = "is not a number: \"" + s + "\"";
      return false;
    }
    uint64_t n = 0;
    for (char c : digits) {
      int d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (is_hex && c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (is_hex && c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else {
        why = "is not a number: \"" + s + "\"";
        return false;
      }
      const uint64_t base = is_hex ? 16 : 10;
      if (n > (std::numeric_limits<uint64_t>::max() - static_cast<uint64_t>(d)) / base) {
        why = "is out of range: \"" + s + "\"";
        return false;
      }
      n = n * base + static_cast<uint64_t>(d);
    }
    out = n;
  } else {
    why = "must be a number";
    return false;
  }
  if (out > max) {
    why = "is out of range (" + std::to_string(out) + " > " + std::to_string(max) + ")";
    return false;
  }
  return true;
}

std::string entry_label(std::size_t index, const json& e) {
  std::string label = "entry " + std::to_string(index);
  if (e.is_object() && e.contains("name") && e["name"].is_string())
    label += " (\"" + e["name"].get<std::string>() + "\")";
  return label;
}

}  // namespace

bool parse_model_list(const std::string& text, std::vector<qeld::TModelEntry>& out,
                      std::string& error) {
  out.clear();
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    error = std::string("malformed JSON: ") + e.what();
    return false;
  }
  if (!doc.is_object() || !doc.contains("models") || !doc["models"].is_array()) {
    error = "the list must be an object with a \"models\" array";
    return false;
  }
  static const char* const kFields[] = {"key", "id", "attributes", "ports", "name"};
  const json& models = doc["models"];
  std::vector<qeld::TModelEntry> entries;
  for (std::size_t i = 0; i < models.size(); ++i) {
    const json& e = models[i];
    const std::string label = entry_label(i, e);
    if (!e.is_object()) {
      error = label + ": must be an object";
      return false;
    }
    for (auto it = e.begin(); it != e.end(); ++it) {
      // Unknown fields are refused so that a misspelt one is not silently dropped.
      bool known = it.key() == "comment";
      for (const char* f : kFields) known = known || it.key() == f;
      if (!known) {
        error = label + ": unknown field \"" + it.key() + "\"";
        return false;
      }
    }
    for (const char* f : kFields) {
      if (!e.contains(f)) {
        error = label + ": missing field \"" + f + "\"";
        return false;
      }
    }
    qeld::TModelEntry m;
    uint64_t key = 0, id = 0, attr = 0, ports = 0;
    std::string why;
    if (!read_number(e["key"], 0xFFFFFFFFu, key, why)) {
      error = label + ": key " + why;
      return false;
    }
    if (!read_number(e["id"], 0xFFFFu, id, why)) {
      error = label + ": id " + why;
      return false;
    }
    if (!read_number(e["attributes"], 0xFFu, attr, why)) {
      error = label + ": attributes " + why;
      return false;
    }
    if (!read_number(e["ports"], std::numeric_limits<uint64_t>::max(), ports, why)) {
      error = label + ": ports " + why;
      return false;
    }
    if (ports > kMaxPorts) {
      error = label + ": port count " + std::to_string(ports) + " is above " +
              std::to_string(kMaxPorts);
      return false;
    }
    if (!e["name"].is_string()) {
      error = label + ": name must be text";
      return false;
    }
    const std::string name = e["name"].get<std::string>();
    if (name.empty()) {
      error = label + ": name is empty";
      return false;
    }
    if (name.size() > kMaxNameLength) {
      error = label + ": name longer than " + std::to_string(kMaxNameLength) + " characters";
      return false;
    }
    for (unsigned char c : name) {
      if (c < 0x20 || c > 0x7E) {
        error = label + ": name must be printable ASCII";
        return false;
      }
    }
    m.model_key = static_cast<uint32_t>(key);
    m.model_id = static_cast<uint16_t>(id);
    m.attributes[2] = static_cast<uint8_t>(attr);
    m.port_count = static_cast<uint32_t>(ports);
    std::memcpy(m.name, name.data(), name.size());
    for (std::size_t j = 0; j < entries.size(); ++j) {
      if (entries[j].model_key == m.model_key && entries[j].model_id == m.model_id) {
        error = label + ": duplicate of entry " + std::to_string(j) + " (key " +
                hex(m.model_key, 8) + ", id " + hex(m.model_id, 4) + ")";
        return false;
      }
    }
    entries.push_back(m);
  }
  out = std::move(entries);
  return true;
}

nlohmann::json model_list_to_json(const std::vector<qeld::TModelEntry>& entries) {
  json models = json::array();
  for (const auto& e : entries) {
    models.push_back({{"key", hex(e.model_key, 8)},
                      {"id", hex(e.model_id, 4)},
                      {"attributes", hex(e.attr_byte(), 2)},
                      {"ports", e.port_count},
                      {"name", std::string(e.name, strnlen(e.name, qeld::kModelNameSize))}});
  }
  return json{{"models", models}};
}

bool decode_model_map_file(const std::vector<uint8_t>& file, std::vector<qeld::TModelEntry>& out,
                           std::string& error) {
  out.clear();
  if (file.size() % 16 != 0) {
    error = "length " + std::to_string(file.size()) + " is not a multiple of 16 bytes";
    return false;
  }
  if (file.size() < 16) {
    error = "no header block";
    return false;
  }
  std::vector<uint8_t> plain = file;
  uint8_t key[16];
  qeld::model_map_file_key(key);
  for (std::size_t off = 0; off < plain.size(); off += 16) qeld::decrypt_block(&plain[off], key);
  // The library reports a bad checksum only as an empty map; say which it is here.
  uint16_t sum = 0;
  for (std::size_t off = 16; off + 2 <= plain.size(); off += 2)
    sum = static_cast<uint16_t>(sum + (plain[off] | (plain[off + 1] << 8)));
  const uint16_t stored = static_cast<uint16_t>(plain[4] | (plain[5] << 8));
  if (sum != stored) {
    error = "checksum mismatch (stored " + hex(stored, 4) + ", computed " + hex(sum, 4) +
            "): damaged file or another key";
    return false;
  }
  out = qeld::parse_model_map(plain.data(), plain.size());
  return true;
}

}  // namespace gidmap
