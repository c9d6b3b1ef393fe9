// Fuzz harness for the server-list file reader: any text is refused with a reason or
// read into at most 512 entries, and an accepted list written out again reads back to
// the same identities (the writer's text is a fixed point of the reader).
#include <string>
#include <string_view>
#include <vector>

#include "core/server_list_file.h"
#include "fuzz_check.h"
#ifdef TAVRIX_LIBFUZZER
#include <cstring>
#include <iterator>
#include <nlohmann/json.hpp>

#include "mutator.h"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = tavrix::parse_server_list(text);
  if (!parsed) {
    FUZZ_CHECK(!parsed.reason().empty());
    FUZZ_CHECK(parsed.reason().find('\n') == std::string::npos);
    return 0;
  }
  const std::vector<tavrix::ServerListEntry>& first = *parsed;
  FUZZ_CHECK(first.size() <= static_cast<std::size_t>(tavrix::kMaxServers));
  const auto again = tavrix::parse_server_list(tavrix::server_list_text(first));
  FUZZ_CHECK(again.ok());
  const std::vector<tavrix::ServerListEntry>& second = *again;
  FUZZ_CHECK(second.size() == first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    const qeld::DeviceIdentity& a = first[i].identity;
    FUZZ_CHECK(a.ip1 != 0 && a.ip2 != 0 && a.local_ip == 0);
    FUZZ_CHECK(qeld::ds_info_equal(a, second[i].identity));
    FUZZ_CHECK(first[i].name == second[i].name);
  }
  return 0;
}

#ifdef TAVRIX_LIBFUZZER
namespace {

using nlohmann::json;

json some_server(fuzz::Dice& d) {
  const std::string n = std::to_string(d.below(256));
  json s = {{"model_key", "0x00000001"},
            {"model_id", "0x2616"},
            {"unit_id", "0x0000"},
            {"ip1", "192.0.2." + n},
            {"mac1", "02:54:58:00:00:" + std::string(d.one_in(2) ? "0a" : "10")}};
  if (d.one_in(2)) {
    s["ip2"] = "198.51.100." + n;
    s["mac2"] = "02:54:58:00:01:0a";
  }
  if (d.one_in(2)) s["name"] = "server " + n;
  if (d.one_in(3)) s["flags"] = "0x0001";
  if (d.one_in(4)) s["model"] = "TVX-2616";
  return s;
}

// Every value of a document, for picking one to change.
void leaves(json& j, std::vector<json*>& out) {
  out.push_back(&j);
  if (j.is_structured())
    for (auto& v : j) leaves(v, out);
}

}  // namespace

// Random bytes are almost never a server list: the document is parsed, one of its
// values changed, an entry added, copied or dropped, and written out again.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  fuzz::Dice d(seed);
  // Parsing and writing the document costs more than running the input: every second
  // mutation is libFuzzer's own, which also keeps near-JSON inputs coming.
  if (d.one_in(2)) return LLVMFuzzerMutate(data, size, max_size);
  json doc = json::parse(data, data + size, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    if (!d.one_in(3)) return LLVMFuzzerMutate(data, size, max_size);
    doc = {{"format", "tavrix-server-list"},
           {"version", 1},
           {"servers", json::array({some_server(d)})}};
  } else {
    std::vector<json*> all;
    leaves(doc, all);
    json& v = *all[d.below(all.size())];
    switch (d.below(7)) {
      case 0:
        if (v.is_string()) v = fuzz::mutate_text(v.get<std::string>(), 16);
        break;
      case 1: {
        const json pick[] = {nullptr,
                             true,
                             0,
                             -1,
                             65535,
                             65536,
                             4294967296.0,
                             1e300,
                             "",
                             "0x",
                             json::array(),
                             json::object(),
                             "0xFFFFFFFF",
                             "255.255.255.255",
                             "0.0.0.0",
                             "00:00:00:00:00:00"};
        v = pick[d.below(std::size(pick))];
        break;
      }
      case 2:
        if (doc["servers"].is_array()) doc["servers"].push_back(some_server(d));
        break;
      case 3:
        if (doc["servers"].is_array() && !doc["servers"].empty()) {
          auto& a = doc["servers"];
          a.push_back(a[d.below(a.size())]);
        }
        break;
      case 4:
        if (v.is_object() && !v.empty()) {
          auto it = v.begin();
          std::advance(it, static_cast<long>(d.below(v.size())));
          v.erase(it);
        }
        break;
      case 5:
        if (v.is_object()) v[fuzz::mutate_text("ip2", 4)] = "203.0.113.7";
        break;
      default:
        if (doc["servers"].is_array() && d.one_in(32)) {
          // Past the 512 limit.
          while (doc["servers"].size() < 513) doc["servers"].push_back(some_server(d));
        } else {
          doc["version"] = static_cast<int>(d.below(4));
        }
    }
  }
  const std::string text =
      doc.dump(d.one_in(2) ? -1 : 1, ' ', false, json::error_handler_t::replace);
  if (text.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, text.data(), text.size());
  return text.size();
}
#endif
