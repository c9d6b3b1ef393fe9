// Rendering the exporter's metrics in the Prometheus text format.
#include "metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "core/address_text.h"
#include "core/port_texts.h"
#include "core/string_table.h"
#include "core/version.h"
#include "qeld/ds_info.h"
#include "qeld/qnsock/quiet_ports.h"
#include "qeld/result_codes.h"

namespace tavrix::exporter {

namespace {

// Appends families: HELP and TYPE once, then the samples.
class Writer {
 public:
  void family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // labels: "" or `a="x",b="y"` (values already escaped).
  void sample(const char* name, const std::string& labels, double value) {
    out_ += name;
    if (!labels.empty()) {
      out_ += '{';
      out_ += labels;
      out_ += '}';
    }
    out_ += ' ';
    out_ += number(value);
    out_ += '\n';
  }
  void raw(const std::string& lines) { out_ += lines; }
  std::string take() { return std::move(out_); }

  static std::string number(double v) {
    char buf[32];
    if (v == static_cast<double>(static_cast<int64_t>(v)) && v < 1e15 && v > -1e15)
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
    else
      std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
  }

 private:
  std::string out_;
};

std::string label(const char* name, std::string_view value) {
  return std::string(name) + "=\"" + escape_label_value(value) + "\"";
}

std::string hex(uint32_t v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
  return buf;
}

const char* kResultLabels[] = {"up", "down", "not_found", "error", "cached", "busy"};

// The fields of /proc/self/stat, numbered as proc(5) numbers them (field 3 first; fields
// 1 and 2 are left empty); empty when the file does not read.
std::vector<std::string> self_stat() {
  std::ifstream stat("/proc/self/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::vector<std::string> fields(3);
  std::istringstream rest(text.substr(close + 2));
  for (std::string f; rest >> f;) fields.push_back(std::move(f));
  return fields;
}

// Process figures from /proc, as the standard process collector names them.
void process_metrics(Writer& w) {
  static const double start_time = [] {
    const std::vector<std::string> stat = self_stat();
    if (stat.size() <= 22) return 0.0;
    const unsigned long long start_ticks = std::stoull(stat[22]);
    // The boot time from the clocks, not /proc/uptime: the service's ProcSubset=pid
    // hides that file. CLOCK_BOOTTIME counts from boot as the start ticks do.
    timespec real{}, boot{};
    clock_gettime(CLOCK_REALTIME, &real);
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double since_boot = static_cast<double>(boot.tv_sec) + boot.tv_nsec / 1e9;
    const double now = static_cast<double>(real.tv_sec) + real.tv_nsec / 1e9;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return now - since_boot + static_cast<double>(start_ticks) / ticks;
  }();
  double cpu = 0, vsize = 0, rss = 0;
  if (const std::vector<std::string> stat = self_stat(); stat.size() > 24) {
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    cpu = (std::stod(stat[14]) + std::stod(stat[15])) / ticks;
    vsize = std::stod(stat[23]);
    rss = std::stod(stat[24]) * static_cast<double>(sysconf(_SC_PAGESIZE));
  }
  int fds = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++fds;
    closedir(d);
    --fds;  // the directory stream's own
  }
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);

  w.family("process_cpu_seconds_total", "counter",
           "Total user and system CPU time spent in seconds.");
  w.sample("process_cpu_seconds_total", "", cpu);
  w.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
  w.sample("process_resident_memory_bytes", "", rss);
  w.family("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
  w.sample("process_virtual_memory_bytes", "", vsize);
  w.family("process_start_time_seconds", "gauge",
           "Start time of the process since unix epoch in seconds.");
  w.sample("process_start_time_seconds", "", start_time);
  w.family("process_open_fds", "gauge", "Number of open file descriptors.");
  w.sample("process_open_fds", "", fds);
  w.family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
  w.sample("process_max_fds", "", static_cast<double>(lim.rlim_cur));
}

// The library's public result codes in words, for the probe's debug log.
const char* result_code_text(int code) {
  switch (code) {
    case qeld::kPubFailure:
      return "failed";
    case qeld::kPubTimeout:
      return "no answer in time";
    case qeld::kPubSocket:
      return "socket fault";
    case qeld::kPubStopped:
      return "stopped";
    case qeld::kPubBadArgument:
      return "bad argument";
    case qeld::kPubNoHandle:
      return "no handle";
    case qeld::kPubRefused:
      return "refused";
    default:
      return code > 0 ? "success" : "unknown code";
  }
}

}  // namespace

std::string escape_label_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

std::string failure_reason(const ProbeOutcome& o) {
  switch (o.result) {
    case ProbeOutcome::Result::kUp:
      return {};
    case ProbeOutcome::Result::kDown:
      return "no LAN answered its poll in time";
    case ProbeOutcome::Result::kNotFound:
      return "no search reply: the server is unknown or silent";
    case ProbeOutcome::Result::kError:
      return "local fault: the probe's socket could not be opened or used";
  }
  return {};
}

std::string describe_probe(const ProbeOutcome& o, const std::string& target,
                           const std::string& lan2, bool cached) {
  std::string out =
      "probe of " + target + (lan2.empty() ? "" : " (second LAN " + lan2 + ")") + "\n";
  out += cached ? "answer: the target's last result, queried within --probe.min-interval "
                  "(cached; no datagram sent for this scrape)\n"
                : "answer: queried for this scrape\n";
  if (o.found) {
    char ids[64];
    std::snprintf(ids, sizeof ids, "model_key 0x%08X, model_id 0x%04X", o.identity.model_key,
                  o.identity.model_id);
    out += "identity: " + (o.model.empty() ? std::string("unknown model") : o.model) + " (" + ids +
           "), " + (o.dual_lan ? "two LANs" : "one LAN") + ", text set " +
           std::string(1, o.text_set) + ", " + std::to_string(o.port_count) + " ports\n";
    out += "identity from: ";
    switch (o.identity_source) {
      case ProbeOutcome::IdentitySource::kSearch:
        out += "search (a reply to this probe's search)\n";
        break;
      case ProbeOutcome::IdentitySource::kCache:
        out += "cache (found by an earlier probe, within --probe.identity-ttl)\n";
        break;
      case ProbeOutcome::IdentitySource::kFile:
        out += "file (no search reply; the identity listed in --servers)\n";
        break;
      case ProbeOutcome::IdentitySource::kNone:
        out += "unknown\n";
        break;
    }
  } else {
    out += "identity: none (no listed or cached identity, and no search reply)\n";
  }
  for (int lan = 0; lan < 2; ++lan) {
    const LanOutcome& l = o.lan[static_cast<std::size_t>(lan)];
    out += "lan " + std::to_string(lan + 1) + ": ";
    if (!l.polled) {
      out += "not polled\n";
      continue;
    }
    out += std::string(l.up ? "up" : "down") + "; mode read result " +
           std::to_string(l.modes_result) + " (" + result_code_text(l.modes_result) + ") in " +
           std::to_string(l.elapsed_ms) + " ms\n";
  }
  int records = 0;
  for (int i = 0; i < o.port_count; ++i) records += o.conn_read[static_cast<std::size_t>(i)];
  if (o.ports_known)
    out += "ports: modes read, " + std::to_string(records) + " connection records read\n";
  out += "result: " + std::string(result_name(o.result));
  const std::string why = failure_reason(o);
  if (!why.empty()) out += " (" + why + ")";
  char took[48];
  std::snprintf(took, sizeof took, "\nduration: %.3f s\n", o.duration_s);
  return out + took;
}

std::string snake_case(std::string_view text) {
  std::string out;
  bool gap = false;
  for (unsigned char c : text) {
    if (std::isalnum(c)) {
      if (gap && !out.empty()) out += '_';
      gap = false;
      out += static_cast<char>(std::tolower(c));
    } else {
      gap = true;
    }
  }
  return out;
}

std::string render_probe(const ProbeOutcome& o, bool cached, bool state_sets) {
  Writer w;
  w.family(
      "tavrix_up", "gauge",
      "Whether the server answered on this LAN in time (1) or not (0), as On Line / Off Line.");
  const bool two = o.dual_lan || o.lan2_requested;
  w.sample("tavrix_up", label("lan", "1"), o.lan[0].up ? 1 : 0);
  if (two) w.sample("tavrix_up", label("lan", "2"), o.lan[1].up ? 1 : 0);
  w.family("tavrix_probe_duration_seconds", "gauge", "How long the probe took.");
  w.sample("tavrix_probe_duration_seconds", "", o.duration_s);
  w.family("tavrix_probe_success", "gauge",
           "Whether the probe found the server up (1) or not (0).");
  w.sample("tavrix_probe_success", "", o.result == ProbeOutcome::Result::kUp ? 1 : 0);
  w.family("tavrix_probe_result", "gauge",
           "The probe's result as a state set: up, down (no LAN answered in time), not_found "
           "(no identity, no search reply), error (a local fault).");
  for (const auto r : {ProbeOutcome::Result::kUp, ProbeOutcome::Result::kDown,
                       ProbeOutcome::Result::kNotFound, ProbeOutcome::Result::kError})
    w.sample("tavrix_probe_result", label("result", result_name(r)), o.result == r ? 1 : 0);
  w.family("tavrix_probe_cached", "gauge",
           "1 when this answer is the target's last result (queried within the floor interval), "
           "0 when it was queried for this scrape.");
  w.sample("tavrix_probe_cached", "", cached ? 1 : 0);
  if (!o.found) return w.take();

  const qeld::DeviceIdentity& id = o.identity;
  w.family("tavrix_device_info", "gauge", "The server's identity; the value is always 1.");
  const std::string info =
      label("model", o.model) + "," + label("model_key", hex(id.model_key, 8)) + "," +
      label("model_id", hex(id.model_id, 4)) + "," + label("text_set", std::string(1, o.text_set)) +
      "," + label("ip1", ip_text(id.ip1, true)) + "," + label("mac1", mac_text(id.mac1)) + "," +
      label("ip2", o.dual_lan ? ip_text(id.ip2, true) : "") + "," +
      label("mac2", o.dual_lan ? mac_text(id.mac2) : "");
  w.sample("tavrix_device_info", info, 1);
  w.family("tavrix_ports", "gauge", "Serial ports of the server's model.");
  w.sample("tavrix_ports", "", o.port_count);
  // Port series only from answers of this probe.
  if (!o.ports_known) return w.take();

  // The outcome's own text set, fixed when it was made, decides: not a second look at the map.
  const TextSet set = text_set_named(o.text_set);
  const NamedCodes modes = mode_names(set);
  const NamedCodes states = state_names(set);
  if (state_sets) {
    w.family("tavrix_port_mode", "gauge",
             "The port's operation mode as a state set: 1 for the current mode, 0 for the "
             "others (mode: the name in snake_case).");
    for (int i = 0; i < o.port_count; ++i)
      for (const auto& [code, name] : modes)
        w.sample("tavrix_port_mode",
                 label("port", std::to_string(i + 1)) + "," + label("mode", snake_case(name)),
                 o.mode[i] == code ? 1 : 0);
  }
  w.family("tavrix_port_mode_code", "gauge",
           "The port's operation-mode code as the server reports it (-1 = not reported).");
  for (int i = 0; i < o.port_count; ++i)
    w.sample("tavrix_port_mode_code", label("port", std::to_string(i + 1)), o.mode[i]);
  w.family("tavrix_port_mode_info", "gauge",
           "The port's current mode by name (mode) and as the program shows it (text); "
           "always 1.");
  for (int i = 0; i < o.port_count; ++i) {
    const std::string name = mode_name(set, o.mode[i]);
    if (!name.empty())
      w.sample("tavrix_port_mode_info",
               label("port", std::to_string(i + 1)) + "," + label("mode", snake_case(name)) + "," +
                   label("text", name),
               1);
  }

  std::string peers, codes, infos, sets;
  for (int i = 0; i < o.port_count; ++i) {
    if (o.mode[i] != set.supported_mode || !o.conn_read[i]) continue;
    const uint8_t* rec = o.conn[i].data();
    for (int lan = 0; lan < (o.dual_lan ? 2 : 1); ++lan) {
      for (int n = 1; n <= 4; ++n) {
        const uint8_t state = rec[64 + 2 * (n - 1) + lan];
        const std::string base = label("port", std::to_string(i + 1)) + "," +
                                 label("lan", std::to_string(lan + 1)) + "," +
                                 label("connection", std::to_string(n));
        codes += "tavrix_connection_state_code{" + base + "} " + std::to_string(state) + "\n";
        const std::string name = state_name(set, state);
        if (!name.empty())
          infos += "tavrix_connection_state_info{" + base + "," + label("state", snake_case(name)) +
                   "," + label("text", name) + "} 1\n";
        if (state_sets)
          for (const auto& [code, nm] : states)
            sets += "tavrix_connection_state{" + base + "," + label("state", snake_case(nm)) +
                    "} " + (state == code ? "1" : "0") + "\n";
        uint32_t peer;
        std::memcpy(&peer, rec + 8 * (n - 1) + 4 * lan, 4);
        const std::string peer_text = ip_text(peer, true);
        if (state == set.connected_state && !peer_text.empty())
          peers += "tavrix_connection_peer_info{" + base + "," + label("peer", peer_text) + "} 1\n";
      }
    }
  }
  if (state_sets) {
    w.family("tavrix_connection_state", "gauge",
             "State of a Redundant COM connection as a state set: 1 for the current state "
             "(state: the name in snake_case).");
    w.raw(sets);
  }
  w.family("tavrix_connection_state_code", "gauge",
           "State code of a Redundant COM connection as the server reports it.");
  w.raw(codes);
  w.family("tavrix_connection_state_info", "gauge",
           "A Redundant COM connection's current state by name (state) and as the program "
           "shows it (text); always 1.");
  w.raw(infos);
  std::string text = w.take();
  text +=
      "# HELP tavrix_connection_peer_info The peer of a connected Redundant COM connection; "
      "the value is always 1.\n# TYPE tavrix_connection_peer_info gauge\n";
  text += peers;
  return text;
}

void ExporterMetrics::count_probe(Probe kind) {
  probes_[kind].fetch_add(1, std::memory_order_relaxed);
}

void ExporterMetrics::observe_duration(double seconds) {
  std::lock_guard<std::mutex> g(histogram_mu_);
  for (std::size_t i = 0; i < kBuckets.size(); ++i)
    if (seconds <= kBuckets[i]) ++bucket_counts_[i];
  ++duration_count_;
  duration_sum_ += seconds;
}

void ExporterMetrics::count_response(int status) {
  if (status >= 100 && status < 600)
    responses_[status - 100].fetch_add(1, std::memory_order_relaxed);
}

std::string ExporterMetrics::render(int in_flight, std::size_t targets) const {
  Writer w;
  w.family("tavrix_exporter_build_info", "gauge", "The exporter's version; the value is always 1.");
  w.sample("tavrix_exporter_build_info",
           label("version", kVersion) + "," + label("program_version", kVersionText), 1);
  w.family("tavrix_exporter_probes_total", "counter",
           "Probe requests by result: up, down, not_found, error, cached (answered from the last "
           "result within the floor interval), busy (no slot before the deadline).");
  for (int k = 0; k < kProbeKinds; ++k)
    w.sample("tavrix_exporter_probes_total", label("result", kResultLabels[k]),
             static_cast<double>(probes_[k].load(std::memory_order_relaxed)));
  {
    std::lock_guard<std::mutex> g(histogram_mu_);
    w.family("tavrix_exporter_probe_duration_seconds", "histogram",
             "Duration of the probes that queried devices.");
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
      w.sample("tavrix_exporter_probe_duration_seconds_bucket",
               label("le", Writer::number(kBuckets[i])), static_cast<double>(bucket_counts_[i]));
    w.sample("tavrix_exporter_probe_duration_seconds_bucket", label("le", "+Inf"),
             static_cast<double>(duration_count_));
    w.sample("tavrix_exporter_probe_duration_seconds_sum", "", duration_sum_);
    w.sample("tavrix_exporter_probe_duration_seconds_count", "",
             static_cast<double>(duration_count_));
  }
  w.family("tavrix_exporter_probes_in_flight", "gauge", "Probes querying devices right now.");
  w.sample("tavrix_exporter_probes_in_flight", "", in_flight);
  // Lets a reader of the process's descriptor count tell these from a leak.
  w.family("tavrix_exporter_parked_sockets", "gauge",
           "Sockets of finished queries kept open a few seconds for their late answers.");
  w.sample("tavrix_exporter_parked_sockets", "", qeld::parked_socket_count());
  w.family("tavrix_exporter_cache_entries", "gauge",
           "Targets whose identity and last result the exporter keeps (the cache size).");
  w.sample("tavrix_exporter_cache_entries", "", static_cast<double>(targets));
  w.family("tavrix_exporter_http_responses_total", "counter", "HTTP responses by status code.");
  for (int s = 0; s < 500; ++s) {
    const uint64_t n = responses_[s].load(std::memory_order_relaxed);
    if (n)
      w.sample("tavrix_exporter_http_responses_total", label("code", std::to_string(s + 100)),
               static_cast<double>(n));
  }
  process_metrics(w);
  return w.take();
}

}  // namespace tavrix::exporter
