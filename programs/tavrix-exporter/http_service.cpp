// The exporter's HTTP side on cpp-httplib.
#include "http_service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>

#include "core/string_table.h"
#include "log.h"
#include "probe_query.h"

#ifndef TAVRIX_VERSION
#define TAVRIX_VERSION "0"
#endif

namespace tavrix::exporter {

namespace {

// Why the request being answered on this thread was refused; the logger, which runs
// on the same thread right after the handler, writes it in the one line it logs.
thread_local std::string t_reason;

ExporterMetrics* g_tls_metrics = nullptr;

void refuse(httplib::Response& res, int status, std::string reason) {
  res.status = status;
  res.set_content(reason + "\n", "text/plain; charset=utf-8");
  t_reason = std::move(reason);
}

// A client that speaks plain HTTP to the TLS port gets a 400 in plain HTTP, as Go's
// servers answer it, instead of a silently closed connection.
void tls_info_callback(const SSL* ssl, int where, int ret) {
  if (!(where & SSL_CB_ACCEPT_EXIT) || ret > 0) return;
  const unsigned long err = ERR_peek_error();
  if (ERR_GET_REASON(err) != SSL_R_HTTP_REQUEST) return;
  const int fd = SSL_get_fd(ssl);
  static constexpr char kAnswer[] =
      "HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Connection: close\r\n\r\nClient sent an HTTP request to an HTTPS server.\n";
  if (fd >= 0) {
    const ssize_t n = ::send(fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
    (void)n;
  }
  std::string remote;
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (fd >= 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
      peer.sin_family == AF_INET) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, buf, sizeof buf);
    remote = std::string(buf) + ":" + std::to_string(ntohs(peer.sin_port));
  }
  if (g_tls_metrics) g_tls_metrics->count_response(400);
  log(LogLevel::kWarn, "request refused",
      {{"status", "400"},
       {"reason", "plain HTTP request to the TLS listener"},
       {"remote", remote}});
}

const char* kLandingPage = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Tavrix Exporter</title></head>
<body><h1>Tavrix Exporter</h1>
<p>Version @VERSION@. Prometheus metrics of Tavrix device servers.</p>
<ul>
<li><a href="/probe?target=192.0.2.10">/probe?target=ADDR[&amp;lan2=ADDR]</a>: probe one device server</li>
<li><a href="/metrics">/metrics</a>: the exporter's own metrics</li>
<li><a href="/sd">/sd</a>: HTTP service discovery of the known servers</li>
</ul></body></html>
)";

}  // namespace

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
  if (options_.web.tls()) {
    const WebConfig web = options_.web;
    g_tls_metrics = &metrics_;
    server_ = std::make_unique<httplib::SSLServer>([web](SSL_CTX& ctx) {
      if (SSL_CTX_use_certificate_chain_file(&ctx, web.cert_file.c_str()) != 1) return false;
      if (SSL_CTX_use_PrivateKey_file(&ctx, web.key_file.c_str(), SSL_FILETYPE_PEM) != 1)
        return false;
      if (SSL_CTX_check_private_key(&ctx) != 1) return false;
      SSL_CTX_set_min_proto_version(&ctx,
                                    web.min_version == "TLS13" ? TLS1_3_VERSION : TLS1_2_VERSION);
      SSL_CTX_set_info_callback(&ctx, tls_info_callback);
      return true;
    });
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  routes();
}

HttpService::~HttpService() {
  if (g_tls_metrics == &metrics_) g_tls_metrics = nullptr;
}

void HttpService::routes() {
  httplib::Server& s = *server_;
  const int threads = options_.threads;
  s.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  s.set_read_timeout(options_.read_timeout_s, 0);
  s.set_write_timeout(options_.read_timeout_s, 0);
  s.set_keep_alive_timeout(5);
  s.set_payload_max_length(4096);
  // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, with which a second
  // exporter on the same port would silently share it. The socket is kept so that its
  // backlog can be raised after the library's listen().
  s.set_socket_options([this](int fd) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listen_fd_ = fd;
  });

  s.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    metrics_.count_response(res.status);
    const std::string remote = req.remote_addr + ":" + std::to_string(req.remote_port);
    const std::string status = std::to_string(res.status);
    // The path alone, cut: a refused request may carry anything.
    const std::string path = req.path.substr(0, 128);
    if (res.status >= 400) {
      std::string reason = t_reason;
      if (reason.empty())  // refused by the HTTP layer before any handler ran
        reason = res.status == 414 ? "request line too long" : "malformed request";
      log(LogLevel::kWarn, "request refused",
          {{"status", status},
           {"method", req.method.substr(0, 16)},
           {"path", path},
           {"reason", reason},
           {"remote", req.remote_port > 0 ? remote : std::string()}});
    } else if (log_enabled(LogLevel::kDebug)) {
      log(LogLevel::kDebug, "request", {{"status", status}, {"path", path}, {"remote", remote}});
    }
    t_reason.clear();
  });

  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    t_reason.clear();
    if (!auth_->enabled()) return httplib::Server::HandlerResponse::Unhandled;
    std::string user, password;
    if (!req.has_header("Authorization")) {
      refuse(res, 401, "authentication required");
    } else if (!BasicAuth::parse_header(req.get_header_value("Authorization"), user, password)) {
      refuse(res, 401, "malformed Authorization header");
    } else if (!auth_->check(user, password)) {
      refuse(res, 401, "wrong user name or password");
    } else {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    res.set_header("WWW-Authenticate", "Basic realm=\"tavrix-exporter\"");
    return httplib::Server::HandlerResponse::Handled;
  });

  s.Get("/probe", [this](const httplib::Request& req, httplib::Response& res) {
    const std::size_t q = req.target.find('?');
    const std::string_view query =
        q == std::string::npos ? std::string_view() : std::string_view(req.target).substr(q + 1);
    ProbeQuery pq;
    if (auto why = parse_probe_query(query, pq); !why.empty()) return refuse(res, 400, why);
    uint32_t target = 0, lan2 = 0;
    if (auto why = check_device_target(pq.target, target); !why.empty())
      return refuse(res, 400, "target: " + why);
    if (!pq.lan2.empty()) {
      if (auto why = check_device_target(pq.lan2, lan2); !why.empty())
        return refuse(res, 400, "lan2: " + why);
      if (lan2 == target) return refuse(res, 400, "lan2 is the target's own address");
    }
    for (const uint32_t a : {target, lan2})
      if (a)
        if (auto why = access_.broadcast_reason(a); !why.empty())
          return refuse(res, 400, std::string(a == target ? "target" : "lan2") + ": " + why);
    if (!access_.allowed(target) || (lan2 && !access_.allowed(lan2)))
      return refuse(res, 403,
                    "target not allowed: not in the server-list file or an --allow range");
    const double timeout =
        probe_timeout_s(req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds"),
                        options_.timeout_offset_s, options_.max_timeout_s);
    const auto deadline =
        Clock::now() + std::chrono::microseconds(static_cast<int64_t>(timeout * 1e6));
    std::shared_ptr<const ProbeOutcome> outcome;
    switch (prober_.probe(target, lan2, deadline, outcome)) {
      case Prober::Status::kBusy:
        metrics_.count_probe(ExporterMetrics::kBusy);
        return refuse(res, 503, "too many probes in flight, or this target's probe still runs");
      case Prober::Status::kCancelled:
        return refuse(res, 503, "shutting down");
      case Prober::Status::kCached:
        metrics_.count_probe(ExporterMetrics::kCached);
        break;
      case Prober::Status::kDone:
        metrics_.count_probe(static_cast<ExporterMetrics::Probe>(outcome->result));
        metrics_.observe_duration(outcome->duration_s);
        break;
    }
    res.set_content(render_probe(*outcome), kTextFormat);
  });

  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics_.render(prober_.in_flight(), prober_.targets()), kTextFormat);
  });

  s.Get("/sd", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(discovery_.json(), "application/json");
  });

  // Everything here is read-only.
  const auto not_allowed = [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Allow", "GET, HEAD");
    refuse(res, 405, "method not allowed");
  };
  s.Post(".*", not_allowed);
  s.Put(".*", not_allowed);
  s.Patch(".*", not_allowed);
  s.Delete(".*", not_allowed);

  s.Get("/", [](const httplib::Request&, httplib::Response& res) {
    std::string page = kLandingPage;
    page.replace(page.find("@VERSION@"), 9,
                 std::string(TAVRIX_VERSION) + " (" + load_str(kStrVersion) + ")");
    res.set_content(page, "text/html; charset=utf-8");
  });

  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      if (res.status == 404 && t_reason.empty()) t_reason = "no such page";
      res.set_content(std::to_string(res.status) + " " +
                          (t_reason.empty() ? std::string("error") : t_reason) + "\n",
                      "text/plain; charset=utf-8");
    }
  });
}

std::string HttpService::bind() {
  if (!server_->is_valid())
    return "the TLS certificate or key cannot be used (" + options_.web.cert_file + ", " +
           options_.web.key_file + ")";
  if (options_.port == 0) {
    bound_port_ = server_->bind_to_any_port(options_.host);
    if (bound_port_ <= 0) return "cannot listen on " + options_.host + ":0";
  } else {
    if (!server_->bind_to_port(options_.host, options_.port))
      return "cannot listen on " + options_.host + ":" + std::to_string(options_.port) + ": " +
             std::strerror(errno);
    bound_port_ = options_.port;
  }
  // The library listens with a backlog of 5; a Prometheus server opening many scrapes at
  // once would see connections refused or delayed by SYN retries.
  if (listen_fd_ >= 0) ::listen(listen_fd_, SOMAXCONN);
  return {};
}

bool HttpService::run() {
  return server_->listen_after_bind();
}

void HttpService::stop() {
  server_->stop();
}

}  // namespace tavrix::exporter
