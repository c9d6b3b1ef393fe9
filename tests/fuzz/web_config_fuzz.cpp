// Fuzz harness for the exporter's web configuration (YAML): any input is refused with
// a one-line reason or read into a configuration that holds together (TLS with both
// files, users with usable bcrypt hashes).
#include <string>
#include <string_view>

#include "fuzz_check.h"
#ifdef TAVRIX_LIBFUZZER
#include <cstring>
#include <iterator>
#include <vector>

#include "mutator.h"
#endif
#include "web_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view yaml(reinterpret_cast<const char*>(data), size);
  const auto parsed = tavrix::exporter::parse_web_config(yaml, "/base");
  if (!parsed) {
    FUZZ_CHECK(!parsed.reason().empty());
    FUZZ_CHECK(parsed.reason().find_first_of("\r\n") == std::string::npos);
    return 0;
  }
  const tavrix::exporter::WebConfig& c = *parsed;
  FUZZ_CHECK(c.cert_file.empty() == c.key_file.empty());
  FUZZ_CHECK(c.min_version.empty() || c.min_version == "TLS12" || c.min_version == "TLS13");
  for (const std::string* f : {&c.cert_file, &c.key_file}) FUZZ_CHECK(f->empty() || (*f)[0] == '/');
  for (const auto& [user, hash] : c.users) {
    FUZZ_CHECK(!user.empty() && user.find(':') == std::string::npos);
    FUZZ_CHECK(hash.size() == 60 && hash.compare(0, 2, "$2") == 0);
  }
  return 0;
}

#ifdef TAVRIX_LIBFUZZER
// The configuration's own lines are what get past the first check: the YAML is mutated
// line by line (a known line put in, a line dropped, moved or re-indented), and now and
// then one line byte by byte.
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size,
                                          unsigned int seed) {
  fuzz::Dice d(seed);
  if (d.one_in(4)) return LLVMFuzzerMutate(data, size, max_size);
  static const char* const kLines[] = {
      "tls_server_config:",
      "  cert_file: cert.pem",
      "  key_file: /etc/key.pem",
      "  min_version: TLS12",
      "  min_version: TLS13",
      "  max_version: TLS13",
      "  client_auth_type: RequireAndVerifyClientCert",
      "  client_ca_file: ca.pem",
      "  cipher_suites: [TLS_AES_128_GCM_SHA256]",
      "  curve_preferences: [X25519]",
      "  prefer_server_cipher_suites: true",
      "  client_allowed_sans: [a]",
      "basic_auth_users:",
      "  prometheus: $2b$04$abcdefghijklmnopqrstuuyvPXIbu7xe6/CED2DzX8z6Si09MlzlW",
      "  'other': '$2b$04$abcdefghijklmnopqrstuuyvPXIbu7xe6/CED2DzX8z6Si09MlzlW'",
      "  x: $2b$31$aaa",
      "http_server_config:",
      "  http2: true",
      "  headers: {X-A: b}",
      "a: &x [1, 2]",
      "b: *x",
      "---",
      "...",
      "# comment",
      "  - item",
      "? complex",
      "key: |",
      "  block"};
  std::vector<std::string> lines;
  std::string cur;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      lines.push_back(cur);
      cur.clear();
    } else {
      cur += static_cast<char>(data[i]);
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  const std::size_t at = d.below(lines.size() + 1);
  switch (d.below(5)) {
    case 0:
    case 1:
      lines.insert(lines.begin() + static_cast<long>(at), kLines[d.below(std::size(kLines))]);
      break;
    case 2:
      if (at < lines.size()) lines.erase(lines.begin() + static_cast<long>(at));
      break;
    case 3:
      if (at < lines.size()) {
        if (lines[at].rfind("  ", 0) == 0)
          lines[at].erase(0, 2);
        else
          lines[at].insert(0, d.one_in(2) ? "  " : "\t");
      }
      break;
    default:
      if (at < lines.size()) lines[at] = fuzz::mutate_text(lines[at], 16);
  }
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  if (text.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, text.data(), text.size());
  return text.size();
}
#endif
