// The web configuration file in the exporter-toolkit format (--web.config.file): TLS
// certificate and key, and basic-auth users with bcrypt hashes, checked with the
// system's libcrypt. Unknown or unsupported keys are refused, never ignored.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <string_view>
#include "core/outcome.h"

namespace tavrix::exporter {

inline constexpr std::size_t kMaxWebConfigBytes = 64 * 1024;

struct WebConfig {
  std::string cert_file;  // TLS when both are set (paths as written, made absolute on read)
  std::string key_file;
  std::string min_version;                   // "", "TLS12" or "TLS13"
  std::string client_auth_type;              // "", "NoClientCert" or "RequireAndVerifyClientCert"
  std::string client_ca_file;                // the CAs a client certificate must chain to
  std::map<std::string, std::string> users;  // user -> bcrypt hash
  bool tls() const { return !cert_file.empty(); }
  bool client_certs() const { return client_auth_type == "RequireAndVerifyClientCert"; }
};

// Parses the YAML text. Relative certificate paths are taken relative to `base_dir` when
// it is not empty.
Outcome<WebConfig> parse_web_config(std::string_view yaml, const std::string& base_dir = {});
// Reads the file; the reason starts with the path.
Outcome<WebConfig> read_web_config_file(const std::string& path);

// True for a well-formed bcrypt hash ($2a$, $2b$ or $2y$) that libcrypt accepts.
bool bcrypt_hash_usable(const std::string& hash);

// Checks user and password against the configured users. A password that checked once
// is remembered as a salted SHA-256 digest, so a scrape every few seconds does not pay
// for bcrypt each time; an unknown user costs one bcrypt too, so timing does not tell.
class BasicAuth {
 public:
  explicit BasicAuth(std::map<std::string, std::string> users);
  bool enabled() const { return !users_.empty(); }
  // bcrypt runs one at a time (a burst of bad passwords takes one core, not all).
  bool check(const std::string& user, const std::string& password);
  // True when this password checked before: no bcrypt needed.
  bool remembered(const std::string& user, const std::string& password);
  // Parses an "Authorization: Basic ..." header value; false when it is not one.
  static bool parse_header(std::string_view value, std::string& user, std::string& password);

 private:
  std::array<unsigned char, 32> digest(const std::string& user, const std::string& password) const;

  std::map<std::string, std::string> users_;
  std::array<unsigned char, 16> salt_{};
  // Guards good_: taken by every request thread that checks a password.
  std::mutex mu_;
  std::map<std::string, std::array<unsigned char, 32>> good_;
  // Serialises bcrypt; held only around it.
  std::mutex bcrypt_mu_;
};

}  // namespace tavrix::exporter
