// Fuzz harness for the exporter's web configuration (YAML): any input is refused with
// a one-line reason or read into a configuration that holds together (TLS with both
// files, users with usable bcrypt hashes).
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "web_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view yaml(reinterpret_cast<const char*>(data), size);
  tavrix::exporter::WebConfig c;
  c.min_version = "unchanged";
  const std::string why = tavrix::exporter::parse_web_config(yaml, c, "/base");
  if (!why.empty()) {
    FUZZ_CHECK(c.min_version == "unchanged");
    FUZZ_CHECK(why.find_first_of("\r\n") == std::string::npos);
    return 0;
  }
  FUZZ_CHECK(c.cert_file.empty() == c.key_file.empty());
  FUZZ_CHECK(c.min_version.empty() || c.min_version == "TLS12" || c.min_version == "TLS13");
  for (const std::string* f : {&c.cert_file, &c.key_file}) FUZZ_CHECK(f->empty() || (*f)[0] == '/');
  for (const auto& [user, hash] : c.users) {
    FUZZ_CHECK(!user.empty() && user.find(':') == std::string::npos);
    FUZZ_CHECK(hash.size() == 60 && hash.compare(0, 2, "$2") == 0);
  }
  return 0;
}
