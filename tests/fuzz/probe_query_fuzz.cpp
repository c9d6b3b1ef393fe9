// Fuzz harness for the exporter's /probe query string and target checks: any input is
// refused with a one-line reason or gives parameters that decode and check without
// leaving the output half written; a target that passes is never the limited broadcast,
// a multicast or a 0/8 address.
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "probe_query.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view query(reinterpret_cast<const char*>(data), size);
  const auto parsed = tavrix::exporter::parse_probe_query(query);
  if (!parsed) {
    const std::string& why = parsed.reason();
    FUZZ_CHECK(!why.empty() && why.find('\n') == std::string::npos && why.size() < 200);
    return 0;
  }
  const tavrix::exporter::ProbeQuery& q = *parsed;
  FUZZ_CHECK(size <= tavrix::exporter::kMaxQueryLength);
  FUZZ_CHECK(!q.target.empty() && q.target.find('\0') == std::string::npos);
  for (const std::string* text : {&q.target, &q.lan2}) {
    if (text->empty()) continue;
    const auto checked = tavrix::exporter::check_device_target(*text);
    if (!checked) continue;
    const uint32_t ip = *checked;
    const auto* b = reinterpret_cast<const uint8_t*>(&ip);
    FUZZ_CHECK(b[0] != 0 && b[0] < 224);
  }
  return 0;
}
