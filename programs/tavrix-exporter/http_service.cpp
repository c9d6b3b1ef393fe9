// The exporter's HTTP side on GNU libmicrohttpd. The library reads requests on one
// event thread (epoll), so a slow or idle client holds a few KiB, never a thread; the
// answers that can wait (a probe, a bcrypt check) leave that thread on a suspended
// connection and come back from bounded queues of their own, so /metrics and / are
// answered however many probes run.
#include "http_service.h"

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "core/string_table.h"
#include "core/version.h"
#include "log.h"
#include "probe_query.h"

namespace tavrix::exporter {

// A fixed set of threads taking jobs from a bounded queue.
class WorkQueue {
 public:
  WorkQueue(int threads, std::size_t bound) : bound_(bound) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { loop(); });
  }
  ~WorkQueue() { finish(); }
  // False when the queue is full or finished: the job will not run.
  bool submit(std::function<void()> job) {
    std::lock_guard<std::mutex> g(mu_);
    if (finished_ || jobs_.size() >= bound_) return false;
    jobs_.push_back(std::move(job));
    cv_.notify_one();
    return true;
  }
  // Runs the queued jobs, then ends the threads.
  void finish() {
    {
      std::lock_guard<std::mutex> g(mu_);
      finished_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  void loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait(lk, [this] { return finished_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  const std::size_t bound_;
  // Guards jobs_ and finished_; taken by submitters and the threads.
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  bool finished_ = false;
  std::vector<std::thread> threads_;
};

struct HttpService::Request {
  std::string uri;  // as sent (raw), cut for the log when refused
  std::string method, path, query, remote;
  std::string authorization, scrape_timeout;
  enum class Stage { kNew, kPassword, kProbe, kAnswer } stage = Stage::kNew;
  // Set by a queue's thread before it resumes the connection, read after.
  bool password_ok = false;
  int status = 200;
  std::string body, type = "text/plain; charset=utf-8", reason;
  std::vector<std::pair<std::string, std::string>> headers;

  void refuse(int code, std::string why) {
    status = code;
    body = why + "\n";
    type = "text/plain; charset=utf-8";
    reason = std::move(why);
  }
};

namespace {

const char* kLandingPage = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Tavrix Exporter</title></head>
<body><h1>Tavrix Exporter</h1>
<p>Version @VERSION@. Prometheus metrics of Tavrix device servers.</p>
<ul>
<li><a href="/probe?target=192.0.2.10">/probe?target=ADDR[&amp;lan2=ADDR]</a>: probe one device server</li>
<li><a href="/metrics">/metrics</a>: the exporter's own metrics</li>
<li><a href="/sd">/sd</a>: HTTP service discovery of the known servers</li>
<li><a href="/probes">/probes</a>: recent probes with their debug logs (add <code>&amp;debug=true</code> to a probe to see its own)</li>
</ul></body></html>
)";

constexpr std::size_t kMaxUriBytes = 8192;
constexpr std::size_t kMaxBodyBytes = 4096;
constexpr std::size_t kPasswordQueue = 32;

std::string address_text(const sockaddr* sa) {
  if (!sa) return {};
  char buf[INET6_ADDRSTRLEN] = {};
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (sa->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    return "[" + std::string(buf) + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return {};
}

std::string header(MHD_Connection* c, const char* name) {
  const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v ? v : "";
}

bool read_whole(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return true;
}

// Refusal lines are worth reading, not worth a disk: a bucket of kBurst lines refilled
// at kPerSecond, and a count of the ones left out.
class RefusalLimiter {
 public:
  static constexpr double kBurst = 100, kPerSecond = 10;
  // True when this refusal may be logged; *dropped the count left out before it.
  bool allow(uint64_t& dropped) {
    std::lock_guard<std::mutex> g(mu_);
    const auto now = Clock::now();
    if (last_ != Clock::time_point{})
      tokens_ = std::min(kBurst,
                         tokens_ + std::chrono::duration<double>(now - last_).count() * kPerSecond);
    last_ = now;
    if (tokens_ < 1) {
      ++dropped_;
      return false;
    }
    tokens_ -= 1;
    dropped = dropped_;
    dropped_ = 0;
    return true;
  }

 private:
  // Guards the bucket; taken by every refusal.
  std::mutex mu_;
  Clock::time_point last_{};
  double tokens_ = kBurst;
  uint64_t dropped_ = 0;
};

RefusalLimiter g_refusals;

void log_refusal(std::initializer_list<LogField> fields) {
  uint64_t dropped = 0;
  if (!g_refusals.allow(dropped)) return;
  if (dropped) log(LogLevel::kWarn, "refusal lines left out", {{"count", std::to_string(dropped)}});
  log(LogLevel::kWarn, "request refused", fields);
}

// The certificate chain and key that TLS handshakes present; replaced whole on a
// reload. A replaced set is kept until the end: a handshake may still be using it.
struct TlsKeys {
  std::vector<gnutls_pcert_st> chain;
  gnutls_privkey_t key = nullptr;
  ~TlsKeys() {
    for (auto& p : chain) gnutls_pcert_deinit(&p);
    if (key) gnutls_privkey_deinit(key);
  }
};

// Guards g_keys and g_retired; taken by each handshake and by a reload.
std::mutex g_keys_mu;
std::shared_ptr<TlsKeys> g_keys;
std::vector<std::shared_ptr<TlsKeys>> g_retired;

// Reads and checks the pair: the key must sign what the certificate's key verifies.
std::string load_tls_keys(const std::string& cert_file, const std::string& key_file,
                          std::shared_ptr<TlsKeys>& out) {
  std::string cert_pem, key_pem;
  if (!read_whole(cert_file, cert_pem)) return cert_file + " cannot be read";
  if (!read_whole(key_file, key_pem)) return key_file + " cannot be read";
  auto keys = std::make_shared<TlsKeys>();
  unsigned n = 16;
  keys->chain.resize(n);
  gnutls_datum_t cert{reinterpret_cast<unsigned char*>(cert_pem.data()),
                      static_cast<unsigned>(cert_pem.size())};
  if (gnutls_pcert_list_import_x509_raw(keys->chain.data(), &n, &cert, GNUTLS_X509_FMT_PEM, 0) <
          0 ||
      n == 0) {
    keys->chain.clear();
    return cert_file + " holds no usable certificate";
  }
  keys->chain.resize(n);
  gnutls_datum_t key{reinterpret_cast<unsigned char*>(key_pem.data()),
                     static_cast<unsigned>(key_pem.size())};
  if (gnutls_privkey_init(&keys->key) < 0 ||
      gnutls_privkey_import_x509_raw(keys->key, &key, GNUTLS_X509_FMT_PEM, nullptr, 0) < 0)
    return key_file + " holds no usable private key";
  static const unsigned char kProbe[] = "tavrix-exporter key check";
  const gnutls_datum_t data{const_cast<unsigned char*>(kProbe), sizeof kProbe};
  gnutls_datum_t sig{};
  const auto algo = gnutls_pubkey_get_pk_algorithm(keys->chain[0].pubkey, nullptr);
  const auto sign_algo =
      gnutls_pk_to_sign(static_cast<gnutls_pk_algorithm_t>(algo), GNUTLS_DIG_SHA256);
  bool match = gnutls_privkey_sign_data2(keys->key, sign_algo, 0, &data, &sig) >= 0 &&
               gnutls_pubkey_verify_data2(keys->chain[0].pubkey, sign_algo, 0, &data, &sig) >= 0;
  gnutls_free(sig.data);
  if (!match) return key_file + " is not the key of " + cert_file;
  out = std::move(keys);
  return {};
}

int present_keys(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
                 gnutls_pcert_st** chain, unsigned int* chain_length, gnutls_privkey_t* key) {
  std::lock_guard<std::mutex> g(g_keys_mu);
  if (!g_keys) return -1;
  *chain = g_keys->chain.data();
  *chain_length = static_cast<unsigned>(g_keys->chain.size());
  *key = g_keys->key;
  return 0;
}

// A file's modification time and size, to notice a replaced certificate.
std::pair<int64_t, int64_t> file_stamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {0, 0};
  return {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
          static_cast<int64_t>(st.st_size)};
}

std::string html_escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

void RecentProbes::add(std::string target, std::string result, bool cached, std::string log) {
  char when[32];
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
  Entry e{when, std::move(target), std::move(result), cached, std::move(log)};
  std::lock_guard<std::mutex> g(mu_);
  auto& list = e.result == "up" ? succeeded_ : failed_;
  // The failed ones have a list of their own, so a stream of good probes cannot push
  // the last failure out of sight.
  list.push_front(std::move(e));
  if (list.size() > kKept) list.pop_back();
}

std::string RecentProbes::page() const {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Recent "
      "probes</title></head>\n<body><h1>Recent probes</h1>\n<p>The last " +
      std::to_string(kKept) + " failed probes and the last " + std::to_string(kKept) +
      " successful ones, newest first; each with its debug log (as "
      "<code>&amp;debug=true</code> shows it).</p>\n";
  std::lock_guard<std::mutex> g(mu_);
  for (const auto* list : {&failed_, &succeeded_}) {
    html += list == &failed_ ? "<h2>Failed</h2>\n" : "<h2>Successful</h2>\n";
    if (list->empty()) html += "<p>None yet.</p>\n";
    for (const Entry& e : *list)
      html += "<details><summary>" + e.when + " " + html_escape(e.target) + " " + e.result +
              (e.cached ? " (cached)" : "") + "</summary><pre>" + html_escape(e.log) +
              "</pre></details>\n";
  }
  return html + "</body></html>\n";
}

// The library's callbacks, with its own signatures, forwarding to the service.
struct Glue {
  static void* on_uri(void* self, const char* uri, MHD_Connection* c) {
    (void)self;
    auto* r = new HttpService::Request;
    r->uri = uri ? uri : "";
    const std::size_t q = r->uri.find('?');
    r->path = r->uri.substr(0, q);
    if (q != std::string::npos) r->query = r->uri.substr(q + 1);
    const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info) r->remote = address_text(info->client_addr);
    return r;
  }

  static MHD_Result on_request(void* self, MHD_Connection* c, const char* url, const char* method,
                               const char* version, const char* upload, std::size_t* upload_size,
                               void** req_cls) {
    (void)url, (void)version, (void)upload;
    auto* s = static_cast<HttpService*>(self);
    if (!*req_cls) *req_cls = on_uri(self, "", c);
    auto* r = static_cast<HttpService::Request*>(*req_cls);
    if (r->method.empty()) r->method = method ? method : "";
    return s->handle(c, *r, upload_size) ? MHD_YES : MHD_NO;
  }

  static void on_completed(void* self, MHD_Connection* c, void** req_cls,
                           MHD_RequestTerminationCode) {
    auto* s = static_cast<HttpService*>(self);
    delete static_cast<HttpService::Request*>(*req_cls);
    *req_cls = nullptr;
    std::lock_guard<std::mutex> g(s->mu_);
    const auto it = s->conns_.find(c);
    if (it != s->conns_.end()) {
      it->second.waiting = true;
      it->second.since = Clock::now();
      ++it->second.requests;
    }
  }

  static void on_connection(void* self, MHD_Connection* c, void** socket_ctx,
                            MHD_ConnectionNotificationCode code) {
    (void)socket_ctx;
    auto* s = static_cast<HttpService*>(self);
    std::lock_guard<std::mutex> g(s->mu_);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const auto* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      const auto* peer = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      HttpService::Conn conn{fd ? fd->connect_fd : -1, Clock::now(), true, 0,
                             peer ? address_text(peer->client_addr) : ""};
      // At the library's own limit it would stop accepting and leave the excess waiting
      // in the kernel's queue; below it, the excess is closed at once.
      if (s->conns_.size() >= static_cast<std::size_t>(s->options_.max_connections) &&
          conn.fd >= 0) {
        ::shutdown(conn.fd, SHUT_RDWR);
        log_refusal({{"reason", "too many connections"}, {"remote", conn.remote}});
        conn.fd = -1;
      }
      s->conns_[c] = std::move(conn);
    } else {
      s->conns_.erase(c);
    }
  }

  // The library's messages through the exporter's log: a request it refused on its own
  // (headers too large, a malformed request line) as a refusal with its status, anything
  // else (a client gone, a TLS handshake that failed) at debug.
  static void on_library_message(void* self, const char* fmt, va_list ap) {
    auto* s = static_cast<HttpService*>(self);
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::string text = buf;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    constexpr std::string_view kCode = "HTTP response code is ";
    const std::size_t at = text.find(kCode);
    if (at == std::string::npos) {
      if (log_enabled(LogLevel::kDebug)) log(LogLevel::kDebug, "HTTP library", {{"detail", text}});
      return;
    }
    const int status = std::atoi(text.c_str() + at + kCode.size());
    s->metrics_.count_response(status);
    const char* reason = status == 431   ? "request headers too large"
                         : status == 414 ? "request line too long"
                         : status == 413 ? "request body too large"
                                         : "malformed request";
    log_refusal({{"status", std::to_string(status)}, {"reason", reason}});
  }
};

std::string parse_listen_address(const std::string& text, std::string& host, int& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return "'" + text + "' is not HOST:PORT";
  std::string h = text.substr(0, colon);
  const std::string p = text.substr(colon + 1);
  int value = 0;
  const auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), value);
  if (p.empty() || ec != std::errc() || end != p.data() + p.size() || value < 0 || value > 65535)
    return "'" + text + "': the port must be 0 to 65535";
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  if (h.find_first_of("[]") != std::string::npos) return "'" + text + "' is not HOST:PORT";
  host = h.empty() ? "0.0.0.0" : h;
  port = value;
  return {};
}

double probe_timeout_s(const std::string& header, double offset_s, double max_s) {
  double t = max_s;
  if (!header.empty()) {
    double v = 0;
    const auto [end, ec] = std::from_chars(header.data(), header.data() + header.size(), v);
    if (ec == std::errc() && end == header.data() + header.size() && std::isfinite(v) && v > 0)
      t = std::min(v - offset_s, max_s);
  }
  return std::max(t, 0.1);
}

HttpService::HttpService(ServiceOptions options, Prober& prober, const AccessPolicy& access,
                         const ServiceDiscovery& discovery, ExporterMetrics& metrics)
    : options_(std::move(options)),
      prober_(prober),
      access_(access),
      discovery_(discovery),
      metrics_(metrics) {
  auth_ = std::make_unique<BasicAuth>(options_.web.users);
}

HttpService::~HttpService() {
  if (daemon_) {
    stop();
    run();
  }
}

std::string HttpService::bind() {
  const bool tls = options_.web.tls();
  if (tls) {
    std::shared_ptr<TlsKeys> keys;
    if (auto why = load_tls_keys(options_.web.cert_file, options_.web.key_file, keys); !why.empty())
      return "the TLS certificate or key cannot be used: " + why;
    {
      std::lock_guard<std::mutex> g(g_keys_mu);
      if (g_keys) g_retired.push_back(g_keys);
      g_keys = keys;
    }
    stamps_ = {file_stamp(options_.web.cert_file), file_stamp(options_.web.key_file)};
    if (options_.web.client_certs() && !read_whole(options_.web.client_ca_file, client_ca_pem_))
      return options_.web.client_ca_file + " cannot be read";
    tls_priorities_ = options_.web.min_version == "TLS13"
                          ? "NORMAL:-VERS-ALL:+VERS-TLS1.3"
                          : "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
  }
  const std::string where = options_.host + ":" + std::to_string(options_.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  if (getaddrinfo(options_.host.c_str(), std::to_string(options_.port).c_str(), &hints, &res) !=
          0 ||
      !res)
    return "cannot listen on " + where + ": unknown host";
  const int fd = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // SO_REUSEADDR only: with SO_REUSEPORT a second exporter on the same port would
  // silently share it.
  int yes = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (fd < 0 || ::bind(fd, res->ai_addr, res->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    const std::string why = std::strerror(errno);
    freeaddrinfo(res);
    if (fd >= 0) ::close(fd);
    return "cannot listen on " + where + ": " + why;
  }
  freeaddrinfo(res);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  bound_port_ =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  probes_ = std::make_unique<WorkQueue>(options_.probe_threads,
                                        static_cast<std::size_t>(options_.max_connections));
  auth_queue_ = std::make_unique<WorkQueue>(1, kPasswordQueue);

  const std::size_t pool = options_.connection_memory;
  const unsigned idle_s = static_cast<unsigned>(std::ceil(options_.request_timeout_s));
  std::vector<MHD_OptionItem> opts = {
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&Glue::on_library_message), this},
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, options_.max_connections + 64, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, options_.max_connections_per_address, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(pool), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(idle_s), nullptr},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Glue::on_uri), this},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Glue::on_completed), this},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Glue::on_connection), this},
  };
  if (tls) {
    opts.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0, reinterpret_cast<void*>(&present_keys)});
    if (options_.web.client_certs())
      opts.push_back({MHD_OPTION_HTTPS_MEM_TRUST, 0, client_ca_pem_.data()});
    opts.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, tls_priorities_.data()});
  }
  opts.push_back({MHD_OPTION_END, 0, nullptr});
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME |
                   MHD_USE_ERROR_LOG;
  if (tls) flags |= MHD_USE_TLS;
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Glue::on_request, this, MHD_OPTION_ARRAY,
                             opts.data(), MHD_OPTION_END);
  if (!daemon_) {
    ::close(fd);
    probes_.reset();
    auth_queue_.reset();
    return tls ? "TLS cannot be set up with " + options_.web.cert_file + ", " +
                     options_.web.key_file +
                     (options_.web.client_certs() ? " and " + options_.web.client_ca_file : "")
               : "cannot serve on " + where;
  }
  sweeper_ = std::thread([this] { sweep(); });
  return {};
}

// Closes connections whose request has not come in whole within the deadline (a client
// trickling its headers, or a kept-alive connection left idle). The library's own
// time-out counts from the last byte, which a trickling client keeps fresh.
void HttpService::sweep() {
  const auto deadline =
      std::chrono::milliseconds(static_cast<int64_t>(options_.request_timeout_s * 1000));
  std::unique_lock<std::mutex> lk(mu_);
  auto next_look = Clock::now();
  while (!stop_) {
    cv_.wait_for(lk, std::chrono::milliseconds(100));
    const auto now = Clock::now();
    if (options_.web.tls() && now >= next_look) {
      next_look = now + std::chrono::seconds(1);
      const decltype(stamps_) stamps = {file_stamp(options_.web.cert_file),
                                        file_stamp(options_.web.key_file)};
      if (stamps != stamps_) {
        stamps_ = stamps;
        lk.unlock();
        reload_tls("files changed");
        lk.lock();
      }
    }
    for (auto& [c, conn] : conns_) {
      if (!conn.waiting || conn.fd < 0 || now - conn.since < deadline) continue;
      // The library still owns the descriptor (a closed connection leaves conns_ under
      // mu_ before its descriptor is closed); the shutdown makes it end the connection.
      // An idle kept-alive connection ends as a matter of course; a connection that
      // never brought a whole request is a client to know about.
      if (conn.requests == 0)
        log_refusal({{"reason", "no complete request within the request time-out"},
                     {"remote", conn.remote}});
      else if (log_enabled(LogLevel::kDebug))
        log(LogLevel::kDebug, "idle connection closed", {{"remote", conn.remote}});
      ::shutdown(conn.fd, SHUT_RDWR);
      conn.since = Clock::time_point::max() - std::chrono::hours(24 * 365);
    }
  }
}

bool HttpService::run() {
  if (!daemon_) return false;
  {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [this] { return stop_; });
  }
  const MHD_socket listen_fd = MHD_quiesce_daemon(daemon_);
  if (listen_fd != MHD_INVALID_SOCKET) ::close(listen_fd);
  // Every suspended connection is resumed before the library may stop.
  probes_->finish();
  auth_queue_->finish();
  if (sweeper_.joinable()) sweeper_.join();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  return true;
}

bool HttpService::reload_tls(const char* why) {
  if (!options_.web.tls()) return true;
  std::shared_ptr<TlsKeys> keys;
  if (auto err = load_tls_keys(options_.web.cert_file, options_.web.key_file, keys); !err.empty()) {
    log(LogLevel::kError, "TLS certificate not reloaded; the previous one stays",
        {{"why", why}, {"err", err}});
    return false;
  }
  {
    std::lock_guard<std::mutex> g(g_keys_mu);
    g_retired.push_back(g_keys);
    g_keys = keys;
  }
  log(LogLevel::kInfo, "TLS certificate reloaded",
      {{"why", why}, {"cert_file", options_.web.cert_file}});
  return true;
}

void HttpService::stop() {
  {
    std::lock_guard<std::mutex> g(mu_);
    stop_ = true;
  }
  cv_.notify_all();
}

bool HttpService::handle(MHD_Connection* c, Request& r, std::size_t* upload_size) {
  using Stage = Request::Stage;
  if (*upload_size) {  // a body that fits the cap: read and dropped
    *upload_size = 0;
    return true;
  }
  switch (r.stage) {
    case Stage::kNew: {
      {
        std::lock_guard<std::mutex> g(mu_);
        const auto it = conns_.find(c);
        if (it != conns_.end()) it->second.waiting = false;
      }
      r.stage = Stage::kAnswer;
      if (options_.web.client_certs() && !client_verified(c)) {
        r.refuse(403, "client certificate missing or not verified");
        return answer(c, r);
      }
      if (r.uri.size() > kMaxUriBytes) {
        r.refuse(414, "request line too long");
        return answer(c, r);
      }
      if (r.method != "GET" && r.method != "HEAD") {
        r.refuse(405, "method not allowed");
        r.headers.emplace_back("Allow", "GET, HEAD");
        return answer(c, r);
      }
      const std::string length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
      if (!header(c, MHD_HTTP_HEADER_TRANSFER_ENCODING).empty() ||
          std::strtoull(length.c_str(), nullptr, 10) > kMaxBodyBytes) {
        r.refuse(413, "request body too large");
        return answer(c, r);
      }
      r.scrape_timeout = header(c, "X-Prometheus-Scrape-Timeout-Seconds");
      if (auth_->enabled()) {
        const std::string value = header(c, MHD_HTTP_HEADER_AUTHORIZATION);
        std::string user, password;
        if (value.empty() && !MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization")) {
          r.refuse(401, "authentication required");
        } else if (!BasicAuth::parse_header(value, user, password)) {
          r.refuse(401, "malformed Authorization header");
        } else if (!auth_->remembered(user, password)) {
          // bcrypt is slow on purpose: one at a time, on its own thread.
          r.stage = Stage::kPassword;
          MHD_suspend_connection(c);
          const bool queued = auth_queue_->submit([this, c, &r, user, password] {
            bool stopping;
            {
              std::lock_guard<std::mutex> g(mu_);
              stopping = stop_;
            }
            if (stopping)
              r.refuse(503, "shutting down");
            else
              r.password_ok = auth_->check(user, password);
            MHD_resume_connection(c);
          });
          if (!queued) {
            r.refuse(503, "too many password checks waiting");
            r.stage = Stage::kAnswer;
            MHD_resume_connection(c);
          }
          return true;
        }
        if (!r.reason.empty()) {
          r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"tavrix-exporter\"");
          return answer(c, r);
        }
      }
      route(r);
      break;
    }
    case Stage::kPassword:
      r.stage = Stage::kAnswer;
      if (!r.reason.empty()) return answer(c, r);
      if (!r.password_ok) {
        r.refuse(401, "wrong user name or password");
        r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"tavrix-exporter\"");
        return answer(c, r);
      }
      route(r);
      break;
    case Stage::kProbe:
    case Stage::kAnswer:
      return answer(c, r);
  }
  if (r.stage != Stage::kProbe) return answer(c, r);
  MHD_suspend_connection(c);
  if (!probes_->submit([this, c, &r] {
        probe(r);
        MHD_resume_connection(c);
      })) {
    metrics_.count_probe(ExporterMetrics::kBusy);
    r.refuse(503, "too many probes waiting");
    MHD_resume_connection(c);
  }
  return true;
}

bool HttpService::client_verified(MHD_Connection* c) {
  const auto* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  if (!info || !info->tls_session) return false;
  auto session = static_cast<gnutls_session_t>(info->tls_session);
  unsigned status = 0;
  return gnutls_certificate_type_get(session) == GNUTLS_CRT_X509 &&
         gnutls_certificate_get_peers(session, nullptr) != nullptr &&
         gnutls_certificate_verify_peers2(session, &status) == 0 && status == 0;
}

// Answers the pages at once; leaves a valid probe request in kProbe for a queue thread.
void HttpService::route(Request& r) {
  r.stage = Request::Stage::kAnswer;
  if (r.path == "/probe") {
    const Outcome<ProbeQuery> pq = parse_probe_query(r.query);
    if (!pq) return r.refuse(400, pq.reason());
    const Outcome<uint32_t> checked = check_device_target(pq->target);
    if (!checked) return r.refuse(400, "target: " + checked.reason());
    const uint32_t target = *checked;
    uint32_t lan2 = 0;
    if (!pq->lan2.empty()) {
      const Outcome<uint32_t> second = check_device_target(pq->lan2);
      if (!second) return r.refuse(400, "lan2: " + second.reason());
      lan2 = *second;
      if (lan2 == target) return r.refuse(400, "lan2 is the target's own address");
    }
    for (const uint32_t a : {target, lan2})
      if (a)
        if (auto why = access_.broadcast_reason(a); !why.empty())
          return r.refuse(400, std::string(a == target ? "target" : "lan2") + ": " + why);
    if (!access_.allowed(target) || (lan2 && !access_.allowed(lan2)))
      return r.refuse(403, "target not allowed: not in the server-list file or an --allow range");
    r.stage = Request::Stage::kProbe;
    return;
  }
  if (r.path == "/metrics") {
    r.body = metrics_.render(prober_.in_flight(), prober_.targets());
    r.type = kTextFormat;
  } else if (r.path == "/probes") {
    r.body = recent_.page();
    r.type = "text/html; charset=utf-8";
  } else if (r.path == "/sd") {
    r.body = discovery_.json();
    r.type = "application/json";
  } else if (r.path == "/") {
    r.body = kLandingPage;
    r.body.replace(r.body.find("@VERSION@"), 9, std::string(kVersion) + " (" + kVersionText + ")");
    r.type = "text/html; charset=utf-8";
  } else {
    r.refuse(404, "no such page");
  }
}

// On a probe thread: the probe's answer into the request, for the event thread to send.
void HttpService::probe(Request& r) {
  r.stage = Request::Stage::kAnswer;
  // route() let only a query through whose addresses pass these checks.
  const ProbeQuery pq = parse_probe_query(r.query).value();
  const uint32_t target = check_device_target(pq.target).value();
  const uint32_t lan2 = pq.lan2.empty() ? 0 : check_device_target(pq.lan2).value();
  const double timeout =
      probe_timeout_s(r.scrape_timeout, options_.timeout_offset_s, options_.max_timeout_s);
  const auto deadline =
      Clock::now() + std::chrono::microseconds(static_cast<int64_t>(timeout * 1e6));
  std::shared_ptr<const ProbeOutcome> outcome;
  bool cached = false;
  switch (prober_.probe(target, lan2, deadline, outcome)) {
    case Prober::Status::kBusy:
      metrics_.count_probe(ExporterMetrics::kBusy);
      return r.refuse(503, "too many probes in flight, or this target's probe still runs");
    case Prober::Status::kCancelled:
      return r.refuse(503, "shutting down");
    case Prober::Status::kCached:
      metrics_.count_probe(ExporterMetrics::kCached);
      cached = true;
      break;
    case Prober::Status::kDone:
      metrics_.count_probe(static_cast<ExporterMetrics::Probe>(outcome->result));
      metrics_.observe_duration(outcome->duration_s);
      break;
  }
  const std::string account = describe_probe(*outcome, pq.target, pq.lan2, cached);
  const bool failed = outcome->result != ProbeOutcome::Result::kUp;
  recent_.add(pq.target + (pq.lan2.empty() ? "" : " / " + pq.lan2), result_name(outcome->result),
              cached, account);
  if (failed && !cached) {
    const LogLevel level =
        outcome->result == ProbeOutcome::Result::kError ? LogLevel::kError : LogLevel::kInfo;
    std::string lans;
    for (int i = 0; i < 2; ++i)
      if (outcome->lan[static_cast<std::size_t>(i)].polled)
        lans += (lans.empty() ? "" : ",") + std::to_string(i + 1) +
                (outcome->lan[static_cast<std::size_t>(i)].up ? "=up" : "=down");
    log(level, "probe failed",
        {{"target", pq.target},
         {"lan2", pq.lan2},
         {"result", result_name(outcome->result)},
         {"lans", lans},
         {"reason", failure_reason(*outcome)}});
  }
  // A fault of the exporter's own is not a dead device: Prometheus sees the scrape fail.
  if (outcome->result == ProbeOutcome::Result::kError && !pq.debug)
    return r.refuse(500, failure_reason(*outcome));
  r.body = render_probe(*outcome, cached, options_.state_sets);
  r.type = kTextFormat;
  if (pq.debug) {
    r.body = account + "\n" + r.body;
    r.type = "text/plain; charset=utf-8";
  }
}

bool HttpService::answer(MHD_Connection* c, Request& r) {
  MHD_Response* res =
      MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
  if (!res) return false;
  MHD_add_response_header(res, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
  for (const auto& [name, value] : r.headers)
    MHD_add_response_header(res, name.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(r.status), res);
  MHD_destroy_response(res);
  metrics_.count_response(r.status);
  // The path alone, cut: a refused request may carry anything.
  const std::string path = r.path.substr(0, 128);
  if (r.status >= 400) {
    log_refusal({{"status", std::to_string(r.status)},
                 {"method", r.method.substr(0, 16)},
                 {"path", path},
                 {"reason", r.reason},
                 {"remote", r.remote}});
  } else if (log_enabled(LogLevel::kDebug)) {
    log(LogLevel::kDebug, "request",
        {{"status", std::to_string(r.status)}, {"path", path}, {"remote", r.remote}});
  }
  return queued == MHD_YES;
}

}  // namespace tavrix::exporter
