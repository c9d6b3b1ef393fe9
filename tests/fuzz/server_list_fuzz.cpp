// Fuzz harness for the server-list file reader: any text is refused with a reason or
// read into at most 512 entries, and an accepted list written out again reads back to
// the same identities (the writer's text is a fixed point of the reader).
#include <string>
#include <string_view>
#include <vector>

#include "core/server_list_file.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<tavrix::ServerListEntry> first;
  const std::string why = tavrix::parse_server_list(text, first);
  if (!why.empty()) {
    FUZZ_CHECK(first.empty());  // a refusal leaves the list alone
    FUZZ_CHECK(why.find('\n') == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(first.size() <= static_cast<std::size_t>(tavrix::kMaxServers));
  std::vector<tavrix::ServerListEntry> second;
  FUZZ_CHECK(tavrix::parse_server_list(tavrix::server_list_text(first), second).empty());
  FUZZ_CHECK(second.size() == first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    const qeld::_DS_INFO& a = first[i].identity;
    FUZZ_CHECK(a.ip1 != 0 && a.ip2 != 0 && a.local_ip == 0);
    FUZZ_CHECK(qeld::ds_info_equal(a, second[i].identity));
    FUZZ_CHECK(first[i].name == second[i].name);
  }
  return 0;
}
