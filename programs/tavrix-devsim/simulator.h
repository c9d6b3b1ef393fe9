// The running simulator: one UDP socket per request family, a server thread that
// answers for every device of the fleet from the device's own address, and a
// thread-safe control surface for tests (modes, connections, faults, counters).
//
// In-process use on loopback (tests/support/loopback_sim.h wraps exactly this):
//   devsim::Fleet fleet = ...;               // devices with ip1 = 127.0.0.2, ...
//   devsim::SimConfig cfg;                   // ephemeral ports
//   cfg.bind = "0.0.0.0";                    // so that 127.0.0.2, 127.0.0.3, ... all arrive
//   cfg.loopback_only = true;                // ... and nothing from outside 127/8 does
//   cfg.broadcast_alias = "127.0.0.1";       // a search aimed there reaches every device
//   devsim::Simulator sim(fleet, cfg);
//   std::string err;
//   if (!sim.start(err)) ...;
//   qeld::set_device_ports(sim.port_4800(), sim.port_1029());
//   ... sim.set_port_mode(0, 1, 15); sim.request_count(0, 0x41); ...
//   sim.stop();                              // also done by the destructor
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fleet.h"

namespace devsim {

struct SimConfig {
  // Wildcard ("0.0.0.0") whenever devices own several addresses: each reply still leaves
  // from its device's address. A single address receives only datagrams sent to it.
  std::string bind = "127.0.0.1";
  uint16_t port_4800 = 0;          // 0 = ephemeral
  uint16_t port_1029 = 0;
  uint64_t seed = 1;
  // A unicast to this address is treated as a broadcast arriving on its interface
  // (loopback tests cannot broadcast). Empty = none.
  std::string broadcast_alias;
  std::ostream* log = nullptr;  // one line per request when set (-v)
  // Ignore every datagram not addressed to 127.0.0.0/8, so a wildcard-bound test
  // simulator never answers anything from outside this machine's loopback.
  bool loopback_only = false;
};

class Simulator {
 public:
  Simulator(Fleet fleet, SimConfig config);
  ~Simulator();  // stops and joins
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds both sockets and starts the server thread. False with a message when a socket
  // cannot be made or bound. Calling it twice is an error.
  bool start(std::string& error);
  // Stops and joins the server thread, closes the sockets. Idempotent.
  void stop();
  bool running() const { return thread_.joinable(); }

  // The bound ports (after start).
  uint16_t port_4800() const { return port_4800_; }
  uint16_t port_1029() const { return port_1029_; }

  // --- run-time control, safe from any thread -----------------------------------
  std::size_t device_count() const;
  // Index of the device with that name or address (ip1 or ip2), or -1.
  int find_device(const std::string& name_or_ip) const;
  // A copy of a device as it is now (ports, faults, ...). Index must be valid.
  Device device(std::size_t index) const;
  // port is 1-based; false when index or port is out of range.
  bool set_port_mode(std::size_t index, int port, int mode);
  // conn 1..8, lan 1..2; peer in network byte order.
  bool set_connection(std::size_t index, int port, int conn, int lan, uint8_t state, uint32_t peer);
  bool set_faults(std::size_t index, const Faults& faults);
  // Any other change, made under the simulator's lock; the device's list index stays.
  bool update_device(std::size_t index, const std::function<void(Device&)>& change);

  // Requests addressed to a device (broadcasts it saw included), by request code,
  // counted whether or not it answered.
  uint64_t request_count(std::size_t index, uint8_t code) const;
  // Datagrams queued for the device (foreign replies and copies included); a reply
  // still waiting out its delay when the simulator stops is never sent.
  uint64_t replies_sent(std::size_t index) const;
  uint64_t malformed_requests() const;
  void reset_counts();

  // Seconds since start, on the clock that scripts and silence windows use.
  double elapsed() const;

 private:
  struct Outgoing {
    int64_t due_ns = 0;
    uint64_t serial = 0;  // keeps send order among datagrams due at the same time
    int fd = -1;
    sockaddr_in to{};
    uint32_t source = 0;  // network order; 0 = the kernel's choice
    int ifindex = 0;
    std::vector<uint8_t> data;
  };
  struct Arrival {
    sockaddr_in from{};
    uint32_t dst = 0;  // destination address of the datagram (network order)
    int ifindex = 0;
  };
  struct Subnet {
    int ifindex;
    uint32_t addr, mask, broadcast;  // network order
  };
  void run(std::stop_token stop);
  void handle_datagram(int fd, Family family, const uint8_t* data, std::size_t len, const Arrival& arrival);
  void advance_time_locked(double now);
  void queue_reply_locked(std::size_t dev, std::vector<uint8_t> reply, Family family, bool is_search, int fd,
                          const Arrival& arrival, uint32_t source, int64_t now_ns);
  void flush_due(int64_t now_ns);
  void refresh_subnets(int64_t now_ns, bool force);
  int64_t now_ns() const;

  // Guards fleet_, devices' run-time state, counters and the random generator. Taken
  // by the server thread per datagram and per tick, and by the control calls.
  mutable std::mutex mutex_;
  Fleet fleet_;
  std::vector<std::map<uint8_t, uint64_t>> counts_;
  std::vector<uint64_t> sent_;
  std::vector<uint64_t> reply_serial_;      // for reorder_ms
  std::vector<std::size_t> script_next_;    // next step per device
  std::vector<double> script_epoch_;        // start of the current script pass
  std::vector<double> walk_next_;
  uint64_t malformed_ = 0;
  std::mt19937_64 rng_;

  SimConfig config_;
  int fd_4800_ = -1;
  int fd_1029_ = -1;
  uint16_t port_4800_ = 0;
  uint16_t port_1029_ = 0;
  uint32_t alias_ = 0;
  std::atomic<int64_t> start_ns_{0};
  // Server thread only: replies waiting for their send time, the interface table.
  std::vector<Outgoing> queue_;
  uint64_t queue_serial_ = 0;
  std::vector<Subnet> subnets_;
  int64_t subnets_ns_ = -1;
  std::jthread thread_;
};

}  // namespace devsim
