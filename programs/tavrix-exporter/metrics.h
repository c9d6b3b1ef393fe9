// The exporter's metrics in the Prometheus text format: what one probe found (for
// /probe) and the exporter's own counters, histogram and process figures (for
// /metrics). Names are frozen in docs/exporter.md.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "prober.h"

namespace tavrix::exporter {

inline constexpr const char* kTextFormat = "text/plain; version=0.0.4; charset=utf-8";

// A label value with '\', '"' and newline escaped as the text format asks.
std::string escape_label_value(std::string_view value);

// The /probe answer for one outcome; `cached` when it was the last result of the target
// rather than this scrape's own query.
// Without `state_sets` the StateSets tavrix_port_mode and tavrix_connection_state are
// left out (the codes and the info series stay).
std::string render_probe(const ProbeOutcome& outcome, bool cached = false, bool state_sets = true);

// A display text as a stable label value: lower case, runs of anything but letters and
// digits as one '_' ("TCP Connected" and "TCP connected" -> "tcp_connected").
std::string snake_case(std::string_view text);

// The probe's own account in plain text, one step a line: the target, where the
// identity came from, each LAN's poll with its result code and time, the result and why.
std::string describe_probe(const ProbeOutcome& outcome, const std::string& target,
                           const std::string& lan2, bool cached);

// Why a probe did not come out up, in a few words ("" when it did).
std::string failure_reason(const ProbeOutcome& outcome);

// The exporter's own counters; safe from every request thread.
class ExporterMetrics {
 public:
  // Upper bounds of the probe-duration histogram, in seconds.
  static constexpr std::array<double, 10> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1,
                                                      0.25,  0.5,  1,     2.5,  5};
  enum Probe { kUp, kDown, kNotFound, kError, kCached, kBusy, kProbeKinds };

  void count_probe(Probe kind);
  void observe_duration(double seconds);
  void count_response(int status);

  // The /metrics answer; in_flight and targets are read from the prober by the caller.
  std::string render(int in_flight, std::size_t targets) const;

 private:
  std::array<std::atomic<uint64_t>, kProbeKinds> probes_{};
  // Guards the histogram, whose buckets, sum and count must agree in one exposition.
  mutable std::mutex histogram_mu_;
  std::array<uint64_t, kBuckets.size()> bucket_counts_{};
  uint64_t duration_count_ = 0;
  double duration_sum_ = 0;
  // Responses by status code, 100..599.
  std::array<std::atomic<uint64_t>, 500> responses_{};
};

}  // namespace tavrix::exporter
