// The /probe query string and target-address checks.
#include "probe_query.h"

#include "core/address_text.h"
#include "core/server_list_file.h"

namespace tavrix::exporter {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A parameter name as a reason may quote it: at most 32 bytes, anything but printable
// ASCII shown as '?', so a reason stays one short line.
std::string shown(const std::string& key) {
  std::string out = key.substr(0, 32);
  for (char& c : out)
    if (c < ' ' || c > '~') c = '?';
  return out;
}

}  // namespace

bool percent_decode(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      c = ' ';
    } else if (c == '%') {
      if (i + 2 >= in.size()) return false;
      const int hi = hex_value(in[i + 1]), lo = hex_value(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    if (c == '\0') return false;
    out += c;
  }
  return true;
}

Outcome<ProbeQuery> parse_probe_query(std::string_view query) {
  if (query.size() > kMaxQueryLength) return fail("query string too long");
  ProbeQuery q;
  bool have_target = false, have_lan2 = false, have_debug = false;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;  // "a=1&&b=2" and a trailing '&' are harmless
    const std::size_t eq = pair.find('=');
    std::string key, value;
    if (!percent_decode(pair.substr(0, eq), key)) return fail("malformed escape in parameter name");
    if (eq == std::string_view::npos || !percent_decode(pair.substr(eq + 1), value))
      return fail("parameter '" + shown(key) + "' has no valid value");
    if (value.empty()) return fail("parameter '" + shown(key) + "' is empty");
    if (key == "target") {
      if (have_target) return fail("parameter 'target' given more than once");
      have_target = true;
      q.target = std::move(value);
    } else if (key == "lan2") {
      if (have_lan2) return fail("parameter 'lan2' given more than once");
      have_lan2 = true;
      q.lan2 = std::move(value);
    } else if (key == "debug") {
      if (have_debug) return fail("parameter 'debug' given more than once");
      if (value != "true" && value != "false")
        return fail("parameter 'debug' must be true or false");
      have_debug = true;
      q.debug = value == "true";
    } else {
      return fail("unknown parameter '" + shown(key) + "'");
    }
  }
  if (!have_target) return fail("parameter 'target' is missing");
  return q;
}

Outcome<uint32_t> check_device_target(std::string_view text) {
  const auto parsed = parse_ipv4(text);
  if (!parsed) return fail("not an IPv4 address like 192.0.2.10");
  const uint32_t ip = *parsed;
  const auto* b = reinterpret_cast<const uint8_t*>(&ip);
  if (b[0] == 0) return fail("an address in 0.0.0.0/8 is not a device");
  if (b[0] >= 224) return fail("a multicast, reserved or broadcast address is not a device");
  return ip;
}

}  // namespace tavrix::exporter
