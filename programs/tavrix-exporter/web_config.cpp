// The web configuration file and basic-auth checks.
#include "web_config.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <yaml-cpp/yaml.h>

#include "core/printable_text.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace tavrix::exporter {

namespace {

// A hash of cost 10 for the password nobody has: used for unknown users.
constexpr const char* kDummyHash = "$2b$10$8VuZ4aoWUs/l0zClLrak4uPhhrfPCI4A0qkInL5WxSBRs.lTX.RfW";

std::string crypt_text(const std::string& password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  std::memset(data.get(), 0, sizeof(crypt_data));
  const char* out = crypt_r(password.c_str(), setting.c_str(), data.get());
  // libcrypt answers a setting it refuses with NULL or a text starting with '*'.
  if (!out || out[0] == '*') return {};
  return out;
}

std::string scalar_at(const YAML::Node& node, const std::string& where) {
  if (!node.IsScalar()) throw std::runtime_error(where + " must be text");
  return node.as<std::string>();
}

// The cost a hash may name (at most 31 in its format). Each step doubles every check: 12
// takes about 0.25 s on a current core, 16 about 4 s, 24 over 15 minutes, so one wrong
// digit would hang the start and every login. 16 leaves room for a site that chose a high
// cost and still checks within a scrape's usual 10 s time-out.
constexpr int kMaxBcryptCost = 16;

// The cost digits of "$2b$NN$...", or -1 when they are not two digits.
int bcrypt_cost(const std::string& hash) {
  if (hash.size() < 7 || hash[6] != '$' || !std::isdigit(static_cast<unsigned char>(hash[4])) ||
      !std::isdigit(static_cast<unsigned char>(hash[5])))
    return -1;
  return (hash[4] - '0') * 10 + (hash[5] - '0');
}

}  // namespace

bool bcrypt_hash_usable(const std::string& hash) {
  if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$') return false;
  if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
  if (bcrypt_cost(hash) > kMaxBcryptCost) return false;  // never run a check that long
  const std::string out = crypt_text("", hash);
  return out.size() == 60 && out.compare(0, 29, hash, 0, 29) == 0;
}

Outcome<WebConfig> parse_web_config(std::string_view yaml, const std::string& base_dir) {
  if (yaml.size() > kMaxWebConfigBytes)
    return fail("larger than " + std::to_string(kMaxWebConfigBytes) + " bytes");
  WebConfig c;
  try {
    const YAML::Node root = YAML::Load(std::string(yaml));
    if (root.IsNull()) return c;  // an empty file: plain HTTP, no users
    if (!root.IsMap()) return fail("the top level must be a mapping");
    for (const auto& kv : root) {
      const std::string key = kv.first.as<std::string>();
      const YAML::Node& v = kv.second;
      if (key == "tls_server_config") {
        if (v.IsNull()) continue;
        if (!v.IsMap()) return fail("tls_server_config must be a mapping");
        for (const auto& t : v) {
          const std::string tk = t.first.as<std::string>();
          if (tk == "cert_file") {
            c.cert_file = scalar_at(t.second, "tls_server_config.cert_file");
          } else if (tk == "key_file") {
            c.key_file = scalar_at(t.second, "tls_server_config.key_file");
          } else if (tk == "min_version") {
            c.min_version = scalar_at(t.second, "tls_server_config.min_version");
            if (c.min_version != "TLS12" && c.min_version != "TLS13")
              return fail("tls_server_config.min_version must be TLS12 or TLS13");
          } else if (tk == "client_auth_type") {
            c.client_auth_type = scalar_at(t.second, "tls_server_config.client_auth_type");
            if (c.client_auth_type != "NoClientCert" &&
                c.client_auth_type != "RequireAndVerifyClientCert")
              return fail(
                  "tls_server_config.client_auth_type must be NoClientCert or "
                  "RequireAndVerifyClientCert");
          } else if (tk == "client_ca_file") {
            c.client_ca_file = scalar_at(t.second, "tls_server_config.client_ca_file");
          } else if (tk == "cipher_suites" || tk == "curve_preferences" || tk == "max_version" ||
                     tk == "prefer_server_cipher_suites" || tk == "client_allowed_sans") {
            return fail("tls_server_config." + tk + " is not supported by tavrix-exporter");
          } else {
            return fail("unknown key tls_server_config." + printable_text(tk));
          }
        }
        if (c.cert_file.empty() != c.key_file.empty())
          return fail("tls_server_config needs both cert_file and key_file");
        if (c.cert_file.empty()) return fail("tls_server_config needs cert_file and key_file");
        if (c.client_certs() && c.client_ca_file.empty())
          return fail("tls_server_config: RequireAndVerifyClientCert needs client_ca_file");
      } else if (key == "basic_auth_users") {
        if (v.IsNull()) continue;
        if (!v.IsMap())
          return fail("basic_auth_users must be a mapping of user names to bcrypt hashes");
        for (const auto& u : v) {
          const std::string user = scalar_at(u.first, "a basic_auth_users name");
          const std::string shown = printable_text(user);
          const std::string hash = scalar_at(u.second, "the hash of user '" + shown + "'");
          if (user.empty() || user.find(':') != std::string::npos)
            return fail("basic_auth_users: a user name must be non-empty and without ':'");
          if (const int cost = bcrypt_cost(hash); cost > kMaxBcryptCost)
            return fail("basic_auth_users: the hash of user '" + shown + "' has bcrypt cost " +
                        std::to_string(cost) + "; at most " + std::to_string(kMaxBcryptCost) +
                        " is accepted (each step doubles the time of every login)");
          if (!bcrypt_hash_usable(hash))
            return fail("basic_auth_users: the hash of user '" + shown +
                        "' is not a bcrypt hash ($2y$...)");
          c.users[user] = hash;
        }
      } else if (key == "http_server_config") {
        return fail("http_server_config is not supported by tavrix-exporter");
      } else {
        return fail("unknown key " + printable_text(key));
      }
    }
  } catch (const YAML::Exception& e) {
    return fail("not valid YAML: " + printable_text(e.what(), 200));
  } catch (const std::exception& e) {
    return fail(printable_text(e.what(), 200));
  }
  if (!base_dir.empty()) {
    for (std::string* p : {&c.cert_file, &c.key_file, &c.client_ca_file})
      if (!p->empty() && (*p)[0] != '/') *p = base_dir + "/" + *p;
  }
  return c;
}

Outcome<WebConfig> read_web_config_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(path + ": cannot be read: " + std::strerror(errno));
  std::string text(kMaxWebConfigBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash ? slash : 1);
  Outcome<WebConfig> parsed = parse_web_config(text, dir);
  if (!parsed) return fail(path + ": " + parsed.reason());
  const WebConfig& out = *parsed;
  for (const std::string* p : {&out.cert_file, &out.key_file, &out.client_ca_file})
    if (!p->empty() && !std::ifstream(*p))
      return fail(path + ": " + *p + " cannot be read: " + std::strerror(errno));
  return parsed;
}

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {
  if (RAND_bytes(salt_.data(), static_cast<int>(salt_.size())) != 1)
    throw std::runtime_error("no random bytes for the password cache");
}

std::array<unsigned char, 32> BasicAuth::digest(const std::string& user,
                                                const std::string& password) const {
  std::vector<unsigned char> in(salt_.begin(), salt_.end());
  in.insert(in.end(), user.begin(), user.end());
  in.push_back(0);
  in.insert(in.end(), password.begin(), password.end());
  std::array<unsigned char, 32> out{};
  unsigned int len = 0;
  EVP_Digest(in.data(), in.size(), out.data(), &len, EVP_sha256(), nullptr);
  OPENSSL_cleanse(in.data(), in.size());
  return out;
}

bool BasicAuth::remembered(const std::string& user, const std::string& password) {
  if (users_.find(user) == users_.end()) return false;
  const auto d = digest(user, password);
  std::lock_guard<std::mutex> g(mu_);
  const auto good = good_.find(user);
  return good != good_.end() && CRYPTO_memcmp(good->second.data(), d.data(), d.size()) == 0;
}

bool BasicAuth::check(const std::string& user, const std::string& password) {
  if (remembered(user, password)) return true;
  const auto it = users_.find(user);
  const auto d = digest(user, password);
  const std::string& hash = it != users_.end() ? it->second : std::string(kDummyHash);
  std::string computed;
  {
    std::lock_guard<std::mutex> g(bcrypt_mu_);
    computed = crypt_text(password, hash);
  }
  const bool ok = it != users_.end() && computed.size() == hash.size() &&
                  CRYPTO_memcmp(computed.data(), hash.data(), hash.size()) == 0;
  if (ok) {
    std::lock_guard<std::mutex> g(mu_);
    good_[user] = d;
  }
  return ok;
}

bool BasicAuth::parse_header(std::string_view value, std::string& user, std::string& password) {
  constexpr std::string_view kScheme = "Basic ";
  if (value.size() <= kScheme.size() || value.size() > 1024) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(value[i])) !=
        std::tolower(static_cast<unsigned char>(kScheme[i])))
      return false;
  std::string_view b64 = value.substr(kScheme.size());
  while (!b64.empty() && b64.front() == ' ') b64.remove_prefix(1);
  if (b64.empty() || b64.size() % 4 != 0) return false;
  std::vector<unsigned char> decoded(b64.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                                static_cast<int>(b64.size()));
  if (n < 0) return false;
  // EVP_DecodeBlock keeps the padding's zero bytes; drop one per '='.
  std::size_t len = static_cast<std::size_t>(n);
  for (std::size_t i = b64.size(); i > 0 && b64[i - 1] == '='; --i) --len;
  const std::string text(reinterpret_cast<const char*>(decoded.data()), len);
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  user = text.substr(0, colon);
  password = text.substr(colon + 1);
  return true;
}

}  // namespace tavrix::exporter
