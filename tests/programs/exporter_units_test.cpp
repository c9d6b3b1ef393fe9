// The exporter's pure parts: the /probe query string and target checks, the allow-list,
// the web configuration and basic auth, the probe deadline and listen address, logfmt
// lines, and the text format of a probe's metrics.
#include <crypt.h>
#include <gtest/gtest.h>

#include <cstring>

#include "access.h"
#include "core/string_table.h"
#include "http_service.h"
#include "log.h"
#include "metrics.h"
#include "probe_query.h"
#include "web_config.h"

namespace {

using namespace tavrix::exporter;

uint32_t ip(const char* text) {
  const auto v = tavrix::parse_ipv4(text);
  EXPECT_TRUE(v) << text;
  return v.value_or(0);
}

TEST(ProbeQuery, ParsesStrictlyAndSaysWhy) {
  struct Case {
    std::string query;
    std::string error;  // "" = accepted
    std::string target, lan2;
  };
  const Case cases[] = {
      {"target=192.0.2.10", "", "192.0.2.10", ""},
      {"target=192.0.2.10&lan2=198.51.100.10", "", "192.0.2.10", "198.51.100.10"},
      {"lan2=198.51.100.10&target=192.0.2.10", "", "192.0.2.10", "198.51.100.10"},
      {"target=192%2E0.2.10&", "", "192.0.2.10", ""},
      {"&&target=1.2.3.4", "", "1.2.3.4", ""},
      {"target=a+b", "", "a b", ""},
      {"", "parameter 'target' is missing", "", ""},
      {"lan2=1.2.3.4", "parameter 'target' is missing", "", ""},
      {"target", "parameter 'target' has no valid value", "", ""},
      {"target=", "parameter 'target' is empty", "", ""},
      {"target=1&target=1", "parameter 'target' given more than once", "", ""},
      {"target=1&lan2=2&lan2=2", "parameter 'lan2' given more than once", "", ""},
      {"target=1&module=x", "unknown parameter 'module'", "", ""},
      {"tar%67et=1", "", "1", ""},
      {"target=%4", "parameter 'target' has no valid value", "", ""},
      {"target=%g0", "parameter 'target' has no valid value", "", ""},
      {"target=1%00", "parameter 'target' has no valid value", "", ""},
      {"%zz=1", "malformed escape in parameter name", "", ""},
      {"target=" + std::string(kMaxQueryLength, '1'), "query string too long", "", ""},
  };
  for (const Case& c : cases) {
    const auto q = parse_probe_query(c.query);
    EXPECT_EQ(q.reason(), c.error) << c.query;
    EXPECT_EQ(q.ok(), c.error.empty()) << c.query;
    if (q) {
      EXPECT_EQ(q->target, c.target) << c.query;
      EXPECT_EQ(q->lan2, c.lan2) << c.query;
    }
  }
}

TEST(ProbeQuery, AddressesThatAreNoDeviceAreRefused) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"192.0.2.10", true},       {"127.0.0.2", true},  {"10.1.2.254", true},
      {"198.18.0.255", true},     {"198.18.1.0", true}, {"255.255.255.255", false},
      {"0.0.0.0", false},         {"0.1.2.3", false},   {"224.0.0.1", false},
      {"239.255.255.250", false}, {"240.0.0.1", false}, {"192.0.2", false},
      {"192.0.2.010", false},     {"::1", false},       {"host.example", false}};
  for (const Case& c : cases) {
    const auto out = check_device_target(c.text);
    EXPECT_EQ(out.ok(), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(*out, ip(c.text));
    }
  }
}

TEST(AccessPolicy, ServerListAddressesAndCidrRanges) {
  AccessPolicy p;
  tavrix::ServerListEntry e;
  e.identity.ip1 = ip("203.0.113.7");
  e.identity.ip2 = ip("198.51.100.7");
  p.add_listed({e});
  EXPECT_EQ(p.add_cidr("192.0.2.0/25"), "");
  EXPECT_EQ(p.add_cidr("10.9.8.7"), "");
  EXPECT_EQ(p.add_cidr("0.0.0.0/0").empty(), true);  // accepted as written; documented as unwise
  AccessPolicy strict;
  strict.add_listed({e});
  EXPECT_EQ(strict.add_cidr("192.0.2.0/25"), "");
  EXPECT_EQ(strict.add_cidr("10.9.8.7"), "");
  struct Case {
    const char* addr;
    bool allowed;
  };
  const Case cases[] = {{"203.0.113.7", true}, {"198.51.100.7", true}, {"203.0.113.8", false},
                        {"192.0.2.1", true},   {"192.0.2.127", true},  {"192.0.2.128", false},
                        {"10.9.8.7", true},    {"10.9.8.6", false},    {"127.0.0.1", false}};
  for (const Case& c : cases) EXPECT_EQ(strict.allowed(ip(c.addr)), c.allowed) << c.addr;
  EXPECT_TRUE(p.allowed(ip("127.0.0.1")));

  // The edges of an allowed range and of the host's own networks (loopback is always there).
  struct Edge {
    const char* addr;
    bool refused;
  };
  const Edge edges[] = {{"192.0.2.0", true},    {"192.0.2.127", true}, {"192.0.2.128", false},
                        {"192.0.2.126", false}, {"10.9.8.7", false},   {"127.255.255.255", true},
                        {"127.0.0.0", true},    {"127.0.0.255", false}};
  for (const Edge& e : edges)
    EXPECT_EQ(!strict.broadcast_reason(ip(e.addr)).empty(), e.refused) << e.addr;
  EXPECT_NE(strict.broadcast_reason(ip("192.0.2.127")).find("allowed range 192.0.2.0/25"),
            std::string::npos);

  const char* bad[] = {"192.0.2.0/33", "192.0.2.0/", "192.0.2.0/-1",
                       "192.0.2.1/24", "x/8",        "1.2.3/8"};
  for (const char* b : bad) EXPECT_NE(strict.add_cidr(b), "") << b;
  EXPECT_NE(strict.add_cidr("192.0.2.1/24").find("did you mean 192.0.2.0/24?"), std::string::npos);
}

TEST(WebConfig, AcceptsTheToolkitFormatAndRefusesTheRest) {
  const std::string hash = crypt("pw", "$2b$04$abcdefghijklmnopqrstuu");
  ASSERT_EQ(hash.size(), 60u);
  const auto empty = parse_web_config("");
  ASSERT_TRUE(empty) << empty.reason();
  EXPECT_FALSE(empty->tls());
  EXPECT_TRUE(empty->users.empty());
  const auto read = parse_web_config(
      "tls_server_config:\n  cert_file: c.pem\n  key_file: /k.pem\n"
      "  min_version: TLS13\nbasic_auth_users:\n  alice: " +
          hash + "\n  bob: '" + hash + "'\n",
      "/etc/x");
  ASSERT_TRUE(read) << read.reason();
  const WebConfig& c = *read;
  EXPECT_TRUE(c.tls());
  EXPECT_EQ(c.cert_file, "/etc/x/c.pem");  // relative to the configuration's folder
  EXPECT_EQ(c.key_file, "/k.pem");
  EXPECT_EQ(c.min_version, "TLS13");
  EXPECT_EQ(c.users.size(), 2u);

  struct Case {
    std::string yaml, reason;
  };
  const Case cases[] = {
      {"[1, 2]", "top level must be a mapping"},
      {"a: [", "not valid YAML"},
      {"basic_auth_users:\n  alice: " + hash.substr(0, 59), "not a bcrypt hash"},
      {"basic_auth_users:\n  alice: $1$abc$def", "not a bcrypt hash"},
      // A cost that would make every check run for minutes is refused before any check.
      {"basic_auth_users:\n  alice: $2b$24$" + hash.substr(7),
       "user 'alice' has bcrypt cost 24; at most 16"},
      {"basic_auth_users:\n  \"al\\nice\": " + hash.substr(0, 59), "user 'al\\nice' is not"},
      {"\"k\\ry\": 1\n", "unknown key k\\ry"},
      {"basic_auth_users:\n  'a:b': " + hash, "without ':'"},
      {"basic_auth_users:\n  alice: [x]", "must be text"},
      {"tls_server_config:\n  key_file: k\n", "needs both"},
      {"tls_server_config: {}\n", "needs cert_file and key_file"},
      {"tls_server_config:\n  cert_file: c\n  key_file: k\n  min_version: TLS10\n",
       "TLS12 or TLS13"},
      {"tls_server_config:\n  cert_file: c\n  key_file: k\n  cipher_suites: [x]\n",
       "cipher_suites is not supported"},
      {"tls_server_config:\n  cert_file: c\n  key_file: k\n  colour: x\n",
       "unknown key tls_server_config.colour"},
      {"http_server_config:\n  http2: false\n", "http_server_config is not supported"},
      {"basic_auth: {}\n", "unknown key basic_auth"},
      {std::string(kMaxWebConfigBytes + 1, '#'), "larger than"},
  };
  for (const Case& k : cases) {
    const auto refused = parse_web_config(k.yaml);
    const std::string& why = refused.reason();
    EXPECT_FALSE(refused.ok()) << k.yaml.substr(0, 80);
    EXPECT_NE(why.find(k.reason), std::string::npos) << k.yaml.substr(0, 80) << "\n-> " << why;
    EXPECT_EQ(why.find_first_of("\r\n"), std::string::npos) << why;
  }
}

TEST(BasicAuth, ChecksBcryptAndParsesTheHeader) {
  const std::string hash = crypt("s3cret", "$2b$04$abcdefghijklmnopqrstuu");
  BasicAuth auth({{"prometheus", hash}});
  EXPECT_TRUE(auth.enabled());
  struct Case {
    const char* user;
    const char* password;
    bool ok;
  };
  const Case cases[] = {{"prometheus", "s3cret", true},   {"prometheus", "s3cret", true},
                        {"prometheus", "s3cre", false},   {"prometheus", "", false},
                        {"Prometheus", "s3cret", false},  {"", "s3cret", false},
                        {"prometheus", "s3cret\n", false}};
  for (const Case& c : cases)
    EXPECT_EQ(auth.check(c.user, c.password), c.ok) << c.user << ":" << c.password;
  EXPECT_FALSE(BasicAuth({}).enabled());

  struct Header {
    const char* value;
    bool ok;
    const char* user;
    const char* password;
  };
  const Header headers[] = {{"Basic cHJvbWV0aGV1czpzM2NyZXQ=", true, "prometheus", "s3cret"},
                            {"basic YTpiOmM=", true, "a", "b:c"},
                            {"Basic Og==", true, "", ""},
                            {"Basic YWJj", false, "", ""},  // no colon
                            {"Bearer YTpi", false, "", ""},
                            {"Basic !!!!", false, "", ""},
                            {"Basic YTpi=", false, "", ""},
                            {"Basic ", false, "", ""}};
  for (const Header& h : headers) {
    std::string user, password;
    EXPECT_EQ(BasicAuth::parse_header(h.value, user, password), h.ok) << h.value;
    if (h.ok) {
      EXPECT_EQ(user, h.user) << h.value;
      EXPECT_EQ(password, h.password) << h.value;
    }
  }
}

TEST(HttpSettings, ProbeDeadlineAndListenAddress) {
  struct Timeout {
    const char* header;
    double want;
  };
  const Timeout timeouts[] = {{"", 10},   {"15", 10},  {"10", 9.5}, {"2", 1.5},    {"0.5", 0.1},
                              {"-3", 10}, {"abc", 10}, {"nan", 10}, {"1e400", 10}, {"5s", 10}};
  for (const Timeout& t : timeouts)
    EXPECT_DOUBLE_EQ(probe_timeout_s(t.header, 0.5, 10), t.want) << t.header;

  struct Listen {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Listen listens[] = {{"127.0.0.1:9736", true, "127.0.0.1", 9736},
                            {":9736", true, "0.0.0.0", 9736},
                            {"[::1]:9736", true, "::1", 9736},
                            {"localhost:0", true, "localhost", 0},
                            {"127.0.0.1", false, "", 0},
                            {"127.0.0.1:65536", false, "", 0},
                            {"127.0.0.1:x", false, "", 0},
                            {"[::1:9736", false, "", 0}};
  for (const Listen& l : listens) {
    std::string host = "-";
    int port = -1;
    EXPECT_EQ(parse_listen_address(l.text, host, port).empty(), l.ok) << l.text;
    if (!l.ok) continue;
    EXPECT_EQ(host, l.host);
    EXPECT_EQ(port, l.port);
  }
}

TEST(Logfmt, OneLineWhateverTheValues) {
  EXPECT_EQ(
      logfmt_line("T", LogLevel::kWarn, "request refused",
                  {{"status", "403"}, {"path", "/probe"}, {"reason", "a \"b\" = c"}, {"e", ""}}),
      "ts=T level=warn msg=\"request refused\" status=403 path=/probe reason=\"a \\\"b\\\" = c\" "
      "e=\"\"\n");
  const std::string forged =
      logfmt_line("T", LogLevel::kInfo, "m", {{"k", "x\nts=0 level=error\r\x01"}});
  EXPECT_EQ(forged, "ts=T level=info msg=m k=\"x\\nts=0 level=error\\x0d\\x01\"\n");
  LogLevel l;
  EXPECT_TRUE(parse_log_level("debug", l));
  EXPECT_EQ(l, LogLevel::kDebug);
  EXPECT_FALSE(parse_log_level("verbose", l));
  set_log_level(LogLevel::kWarn);
  EXPECT_FALSE(log_enabled(LogLevel::kInfo));
  EXPECT_TRUE(log_enabled(LogLevel::kError));
  set_log_level(LogLevel::kInfo);
}

TEST(ProbeMetrics, TextOfEachOutcome) {
  EXPECT_EQ(escape_label_value("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");

  ProbeOutcome none;
  none.lan2_requested = true;
  none.duration_s = 1.25;
  const std::string lost = render_probe(none);
  EXPECT_NE(lost.find("tavrix_up{lan=\"1\"} 0\ntavrix_up{lan=\"2\"} 0\n"), std::string::npos)
      << lost;
  EXPECT_NE(lost.find("tavrix_probe_duration_seconds 1.25\n"), std::string::npos);
  EXPECT_EQ(lost.find("tavrix_device_info"), std::string::npos);

  ProbeOutcome o;
  o.found = true;
  o.result = ProbeOutcome::Result::kUp;
  o.identity.model_key = 1;
  o.identity.model_id = 0x2613;
  o.identity.ip1 = ip("192.0.2.30");
  o.identity.ip2 = ip("198.51.100.30");
  const uint8_t m1[6] = {2, 0x54, 0x58, 1, 0, 0x30}, m2[6] = {2, 0x54, 0x58, 1, 0, 0x31};
  std::memcpy(o.identity.mac1, m1, 6);
  std::memcpy(o.identity.mac2, m2, 6);
  o.model = "TVX \"quoted\"";
  o.port_count = 2;
  o.dual_lan = true;
  o.text_set = 'A';
  o.lan[0].up = true;
  o.lan[1].up = false;
  o.ports_known = true;
  o.mode.fill(-1);
  o.mode[0] = 15;
  o.mode[1] = 99;  // a code without a name: every state 0, the code kept
  o.conn_read[0] = true;
  o.conn[0][64] = 4;  // connection 1, LAN1: TCP connected, peer 192.0.2.1
  o.conn[0][65] = 1;  // connection 1, LAN2: Listen
  const uint8_t peer[4] = {192, 0, 2, 1};
  std::memcpy(&o.conn[0][0], peer, 4);
  const std::string text = render_probe(o);
  const char* want[] = {
      "tavrix_up{lan=\"1\"} 1\ntavrix_up{lan=\"2\"} 0\n",
      "tavrix_device_info{model=\"TVX "
      "\\\"quoted\\\"\",model_key=\"0x00000001\",model_id=\"0x2613\","
      "text_set=\"A\",ip1=\"192.0.2.30\",mac1=\"02:54:58:01:00:30\",ip2=\"198.51.100.30\","
      "mac2=\"02:54:58:01:00:31\"} 1\n",
      "tavrix_ports 2\n",
      "tavrix_port_mode{port=\"1\",mode=\"redundant_com\"} 1\n",
      "tavrix_port_mode{port=\"1\",mode=\"disabled\"} 0\n",
      "tavrix_port_mode{port=\"2\",mode=\"redundant_com\"} 0\n",
      "tavrix_port_mode_info{port=\"1\",mode=\"redundant_com\",text=\"Redundant COM\"} 1\n",
      "tavrix_port_mode_code{port=\"2\"} 99\n",
      "tavrix_connection_state{port=\"1\",lan=\"1\",connection=\"1\",state=\"tcp_connected\"} 1\n",
      "tavrix_connection_state_code{port=\"1\",lan=\"1\",connection=\"1\"} 4\n",
      "tavrix_connection_state_info{port=\"1\",lan=\"1\",connection=\"1\",state=\"tcp_connected\","
      "text=\"TCP connected\"} 1\n",
      "tavrix_connection_state{port=\"1\",lan=\"2\",connection=\"1\",state=\"listen\"} 1\n",
      "tavrix_connection_state{port=\"1\",lan=\"2\",connection=\"4\",state=\"tcp_closed\"} 1\n",
      "tavrix_connection_peer_info{port=\"1\",lan=\"1\",connection=\"1\",peer=\"192.0.2.1\"} 1\n",
  };
  for (const char* w : want) EXPECT_NE(text.find(w), std::string::npos) << w << "\n" << text;
  EXPECT_EQ(text.find("port=\"2\",mode=\"redundant_com\"} 1"), std::string::npos);
  EXPECT_EQ(text.find("tavrix_port_mode_info{port=\"2\""), std::string::npos) << "no name, no info";
  EXPECT_EQ(text.find("tavrix_connection_state{port=\"2\""), std::string::npos)
      << "no connections of a port outside Redundant COM";
  // One series per state of set A for each of 2 LANs x 4 connections of port 1.
  std::size_t states = 0;
  for (std::size_t at = text.find("\ntavrix_connection_state{"); at != std::string::npos;
       at = text.find("\ntavrix_connection_state{", at + 1))
    ++states;
  EXPECT_EQ(states, 2u * 4u * 11u);
  // Without the StateSets: the codes and the info series only.
  const std::string lean = render_probe(o, false, false);
  EXPECT_EQ(lean.find("tavrix_connection_state{"), std::string::npos);
  EXPECT_EQ(lean.find("tavrix_port_mode{"), std::string::npos);
  EXPECT_NE(lean.find("tavrix_connection_state_code{port=\"1\",lan=\"2\",connection=\"1\"} 1\n"),
            std::string::npos);
  EXPECT_NE(lean.find("tavrix_port_mode_info{port=\"1\""), std::string::npos);
  for (const auto& [text, snake] :
       std::vector<std::pair<std::string, std::string>>{{"TCP Connected", "tcp_connected"},
                                                        {"Printer(LPD)", "printer_lpd"},
                                                        {"FIN Wait1", "fin_wait1"},
                                                        {" Real  COM ", "real_com"}})
    EXPECT_EQ(tavrix::exporter::snake_case(text), snake);

  o.ports_known = false;
  EXPECT_EQ(render_probe(o).find("tavrix_port_mode"), std::string::npos);
}

}  // namespace
