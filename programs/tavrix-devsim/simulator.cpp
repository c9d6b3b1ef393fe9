// The simulator's server loop: receives on the two family sockets with IP_PKTINFO,
// picks the devices that a datagram reaches (broadcast: every device with an address
// in the arrival interface's subnets; unicast: the owner of the destination address),
// applies faults and sends each reply from the device's own address.
#include "simulator.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>

#include "protocol.h"

namespace devsim {

namespace {

constexpr int kTickMs = 20;               // longest sleep of the loop: stop and script latency
constexpr int kMaxDrainPerPass = 512;     // bounded receive burst per wake-up
constexpr int64_t kSubnetRefreshNs = 1'000'000'000;

int open_family_socket(uint32_t bind_addr, uint16_t port, uint16_t& bound_port, std::string& error) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  // Broadcast requests are received through the wildcard socket; pktinfo tells which
  // address and interface they arrived for, and lets the reply pick its source.
  if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) < 0 ||
      setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) < 0) {
    error = std::string("setsockopt: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  // One socket serves a whole fleet: a 1,024-poller burst overflows the default buffer.
  // FORCE passes the system limit as root; elsewhere the plain request is capped.
  int rcvbuf = 8 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) < 0)
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = bind_addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    error = "bind " + ipv4_text(bind_addr) + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  bound_port = ntohs(a.sin_port);
  return fd;
}

bool is_search(const Request& r) {
  return r.family == Family::k4800 ? r.code == 0x01 : (r.code == 0x49 || r.code == 0x02);
}

bool fault_applies(const Faults& f, bool search) {
  return f.scope == FaultScope::kAll || (search ? f.scope == FaultScope::kSearch : f.scope == FaultScope::kCommands);
}

// Makes a wrongly accepted foreign reply visible: commands get 0xEE entries, search
// replies a MAC that no device has.
void corrupt(std::vector<uint8_t>& r, Family family, bool search) {
  auto flip = [&](std::size_t from, std::size_t n) {
    for (std::size_t i = from; i < from + n && i < r.size(); ++i) r[i] ^= 0xFF;
  };
  if (family == Family::k4800) {
    if (!search) {
      for (std::size_t i = 24; i < r.size(); ++i) r[i] = 0xEE;
    } else {
      flip(14, 6);
      if (r.size() >= 40) flip(24, 6);
    }
  } else {
    flip(r.size() >= 38 ? 26 : 18, 6);
  }
}

}  // namespace

Simulator::Simulator(Fleet fleet, SimConfig config) : fleet_(std::move(fleet)), config_(std::move(config)) {
  const std::size_t n = fleet_.devices.size();
  counts_.resize(n);
  sent_.assign(n, 0);
  reply_serial_.assign(n, 0);
  script_next_.assign(n, 0);
  script_epoch_.assign(n, 0);
  walk_next_.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    auto& steps = fleet_.devices[i].script.steps;
    std::stable_sort(steps.begin(), steps.end(), [](const ScriptStep& a, const ScriptStep& b) { return a.at < b.at; });
    walk_next_[i] = fleet_.devices[i].walk.period;
  }
  rng_.seed(fleet_.seed.value_or(config_.seed));
}

Simulator::~Simulator() { stop(); }

int64_t Simulator::now_ns() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Simulator::elapsed() const { return double(now_ns() - start_ns_.load()) / 1e9; }

bool Simulator::start(std::string& error) {
  if (thread_.joinable() || fd_4800_ >= 0) {
    error = "already started";
    return false;
  }
  uint32_t bind_addr = 0;
  if (!parse_ipv4(config_.bind, bind_addr)) {
    error = "--bind: '" + config_.bind + "' is not an IPv4 address";
    return false;
  }
  if (!config_.broadcast_alias.empty() && !parse_ipv4(config_.broadcast_alias, alias_)) {
    error = "broadcast alias '" + config_.broadcast_alias + "' is not an IPv4 address";
    return false;
  }
  fd_4800_ = open_family_socket(bind_addr, config_.port_4800, port_4800_, error);
  if (fd_4800_ < 0) return false;
  fd_1029_ = open_family_socket(bind_addr, config_.port_1029, port_1029_, error);
  if (fd_1029_ < 0) {
    ::close(fd_4800_);
    fd_4800_ = -1;
    return false;
  }
  start_ns_ = now_ns();
  thread_ = std::jthread([this](std::stop_token st) { run(st); });
  return true;
}

void Simulator::stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  if (fd_4800_ >= 0) ::close(fd_4800_);
  if (fd_1029_ >= 0) ::close(fd_1029_);
  fd_4800_ = fd_1029_ = -1;
}

void Simulator::refresh_subnets(int64_t now, bool force) {
  if (!force && subnets_ns_ >= 0 && now - subnets_ns_ < kSubnetRefreshNs) return;
  subnets_ns_ = now;
  subnets_.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
    Subnet s{};
    s.ifindex = int(if_nametoindex(i->ifa_name));
    s.addr = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    s.mask = reinterpret_cast<sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
    s.broadcast = (s.addr & s.mask) | ~s.mask;
    subnets_.push_back(s);
  }
  freeifaddrs(list);
}

void Simulator::run(std::stop_token stop) {
  std::vector<uint8_t> buf(65536);
  while (!stop.stop_requested()) {
    int64_t now = now_ns();
    int timeout = kTickMs;
    for (const Outgoing& o : queue_) {
      const int64_t wait_ms = (o.due_ns - now) / 1'000'000;
      timeout = int(std::clamp<int64_t>(wait_ms, 0, timeout));
    }
    pollfd fds[2] = {{fd_4800_, POLLIN, 0}, {fd_1029_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    now = now_ns();
    {
      std::lock_guard lock(mutex_);
      advance_time_locked(double(now - start_ns_.load()) / 1e9);
    }
    if (ready > 0) {
      for (int k = 0; k < 2; ++k) {
        if (!(fds[k].revents & POLLIN)) continue;
        const Family family = k == 0 ? Family::k4800 : Family::k1029;
        for (int n = 0; n < kMaxDrainPerPass; ++n) {
          iovec iov{buf.data(), buf.size()};
          alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
          Arrival arrival;
          msghdr msg{};
          msg.msg_name = &arrival.from;
          msg.msg_namelen = sizeof arrival.from;
          msg.msg_iov = &iov;
          msg.msg_iovlen = 1;
          msg.msg_control = control;
          msg.msg_controllen = sizeof control;
          const ssize_t got = ::recvmsg(fds[k].fd, &msg, MSG_DONTWAIT);
          if (got < 0) break;  // EAGAIN (drained) or a transient error: back to poll
          if (msg.msg_flags & MSG_TRUNC) {
            std::lock_guard lock(mutex_);
            ++malformed_;
            continue;
          }
          for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
              in_pktinfo info;
              std::memcpy(&info, CMSG_DATA(c), sizeof info);
              arrival.dst = info.ipi_addr.s_addr;
              arrival.ifindex = info.ipi_ifindex;
            }
          }
          handle_datagram(fds[k].fd, family, buf.data(), std::size_t(got), arrival);
        }
      }
    }
    flush_due(now_ns());
  }
  queue_.clear();
}

void Simulator::handle_datagram(int fd, Family family, const uint8_t* data, std::size_t len,
                                const Arrival& arrival) {
  if (config_.loopback_only && (ntohl(arrival.dst) >> 24) != 127) return;
  Request req;
  const ParseStatus st = parse_request(data, len, family, req);
  const int64_t now = now_ns();
  const char* fam = family == Family::k4800 ? "4800" : "1029";
  if (st != ParseStatus::kOk) {
    std::lock_guard lock(mutex_);
    ++malformed_;
    if (config_.log)
      *config_.log << "devsim: " << fam << " malformed request (" << len << " bytes) from "
                   << ipv4_text(arrival.from.sin_addr.s_addr) << "\n"
                   << std::flush;
    return;
  }

  refresh_subnets(now, false);
  bool broadcast = arrival.dst == INADDR_BROADCAST || (alias_ != 0 && arrival.dst == alias_);
  for (const Subnet& s : subnets_)
    if (s.broadcast == arrival.dst && s.mask != INADDR_BROADCAST) broadcast = true;
  std::vector<Subnet> here;
  if (broadcast) {
    if (std::none_of(subnets_.begin(), subnets_.end(), [&](const Subnet& s) { return s.ifindex == arrival.ifindex; }))
      refresh_subnets(now, true);
    for (const Subnet& s : subnets_)
      if (s.ifindex == arrival.ifindex) here.push_back(s);
  }

  std::lock_guard lock(mutex_);
  int answered = 0;
  for (std::size_t i = 0; i < fleet_.devices.size(); ++i) {
    const Device& d = fleet_.devices[i];
    uint32_t source = 0;
    if (broadcast) {
      for (uint32_t ip : {d.ip1, d.ip2}) {
        if (ip == 0 || source) continue;
        for (const Subnet& s : here)
          if ((ip & s.mask) == (s.addr & s.mask)) source = ip;
      }
    } else if (arrival.dst != 0 && (d.ip1 == arrival.dst || d.ip2 == arrival.dst)) {
      source = arrival.dst;
    }
    if (!source) continue;
    ++counts_[i][req.code];
    const bool search = is_search(req);
    if (search && d.listed_silent && device_listed(d, req)) continue;
    const Faults& f = d.faults;
    // A LAN that is down answers nothing, whatever the fault scope says.
    if (f.silent_lan != 0 && source == (f.silent_lan == 1 ? d.ip1 : d.ip2)) continue;
    if (fault_applies(f, search) &&
        std::find(f.silent_codes.begin(), f.silent_codes.end(), req.code) != f.silent_codes.end())
      continue;
    std::vector<uint8_t> reply = search ? search_reply(d, req) : command_reply(d, req);
    if (reply.empty()) continue;
    ++answered;
    queue_reply_locked(i, std::move(reply), family, search, fd, arrival, source, now);
  }
  if (config_.log)
    *config_.log << "devsim: " << fam << " code 0x" << std::hex << int(req.code) << std::dec << " len " << len
                 << " from " << ipv4_text(arrival.from.sin_addr.s_addr) << ":" << ntohs(arrival.from.sin_port)
                 << " to " << ipv4_text(arrival.dst) << (broadcast ? " (broadcast)" : "") << " -> " << answered
                 << " repl" << (answered == 1 ? "y" : "ies") << "\n"
                 << std::flush;
}

void Simulator::queue_reply_locked(std::size_t dev, std::vector<uint8_t> reply, Family family, bool search, int fd,
                                   const Arrival& arrival, uint32_t source, int64_t now) {
  const Device& d = fleet_.devices[dev];
  const Faults& f = d.faults;
  int64_t delay_ms = 0;
  int copies = 1;
  std::vector<std::pair<std::vector<uint8_t>, uint32_t>> out;  // (datagram, source) in send order

  if (fault_applies(f, search)) {
    const double t = double(now - start_ns_.load()) / 1e9;
    if (f.silent || (f.silent_after >= 0 && t >= f.silent_after)) return;
    for (auto& [a, b] : f.silent_between)
      if (t >= a && t < b) return;
    if (f.loss > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < f.loss) return;

    const int status = family == Family::k4800 ? f.status_4800 : f.status_1029;
    if (status) reply[1] = uint8_t(status);
    if (f.wrong_id) {
      if (family == Family::k4800) {
        const uint8_t id[4] = {0xDE, 0xAD, 0xBE, 0xEF};
        std::memcpy(&reply[4], id, 4);
      } else {
        reply[4] = 0xBE;
        reply[5] = 0xEF;
      }
    }
    for (Foreign kind : f.foreign) {
      std::vector<uint8_t> x = reply;
      uint32_t from = source;
      switch (kind) {
        case Foreign::kWrongCode:
          x[0] = family == Family::k4800 ? uint8_t(x[0] ^ 0x01) : uint8_t(0x81);
          if (family == Family::k4800 && !search) corrupt(x, family, search);
          break;
        case Foreign::kWrongId:
          if (family == Family::k4800) {
            x[4] = 0x01;
            corrupt(x, family, search);
          } else {
            x[4] = 0x01;  // the 1029 family does not match ids: this one is a genuine answer
          }
          break;
        case Foreign::kStatus:
          x[1] = 3;
          corrupt(x, family, search);
          break;
        case Foreign::kOtherAddress:
          from = f.foreign_from;
          break;
      }
      out.emplace_back(std::move(x), from);
    }
    if (f.length_field >= 0) {
      reply[2] = uint8_t(f.length_field >> 8);
      reply[3] = uint8_t(f.length_field);
    }
    if (f.oversize_length > int(reply.size())) reply.resize(std::size_t(f.oversize_length), 0);
    if (f.short_length >= 0 && f.short_length < int(reply.size())) reply.resize(std::size_t(f.short_length));
    if (f.delay_max_ms > 0)
      delay_ms = std::uniform_int_distribution<int>(f.delay_min_ms, f.delay_max_ms)(rng_);
    if (f.reorder_ms > 0 && reply_serial_[dev]++ % 2 == 0) delay_ms += f.reorder_ms;
    copies += f.duplicate;
  }
  // Foreign datagrams first, then the genuine reply and its copies.
  for (int k = 0; k < copies; ++k) out.emplace_back(reply, source);

  for (auto& [data, from] : out) {
    Outgoing o;
    o.due_ns = now + delay_ms * 1'000'000;
    o.serial = queue_serial_++;
    o.fd = fd;
    o.to = arrival.from;
    // A box outside the asker's subnet may answer a search to everyone on the wire.
    if (search && d.reply_broadcast) o.to.sin_addr.s_addr = INADDR_BROADCAST;
    o.source = from;
    o.ifindex = arrival.ifindex;
    o.data = std::move(data);
    queue_.push_back(std::move(o));
    ++sent_[dev];
  }
}

void Simulator::flush_due(int64_t now) {
  std::stable_sort(queue_.begin(), queue_.end(), [](const Outgoing& a, const Outgoing& b) {
    return a.due_ns != b.due_ns ? a.due_ns < b.due_ns : a.serial < b.serial;
  });
  std::size_t sent = 0;
  for (; sent < queue_.size() && queue_[sent].due_ns <= now; ++sent) {
    Outgoing& o = queue_[sent];
    iovec iov{o.data.data(), o.data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &o.to;
    msg.msg_namelen = sizeof o.to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (o.source != 0 || o.ifindex != 0) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_ifindex = o.ifindex;
      info.ipi_spec_dst.s_addr = o.source;
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    // A failed send is a lost datagram, as on a real network.
    (void)::sendmsg(o.fd, &msg, MSG_DONTWAIT);
  }
  queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(sent));
}

void Simulator::advance_time_locked(double now) {
  for (std::size_t i = 0; i < fleet_.devices.size(); ++i) {
    Device& d = fleet_.devices[i];
    const Script& s = d.script;
    // Bounded: a short repeat period cannot keep the loop here.
    for (int guard = 0; guard < 10000 && !s.steps.empty(); ++guard) {
      if (script_next_[i] < s.steps.size()) {
        const ScriptStep& step = s.steps[script_next_[i]];
        if (script_epoch_[i] + step.at > now) break;
        if (step.port >= 1 && std::size_t(step.port) <= d.ports.size()) {
          Port& p = d.ports[std::size_t(step.port - 1)];
          if (step.mode) p.mode = *step.mode;
          if (step.conn >= 1 && step.conn <= kMaxConnections) {
            LanConn& c = p.conns[std::size_t(step.conn - 1)].lan[step.lan == 2 ? 1 : 0];
            if (step.state) c.state = *step.state;
            if (step.peer) c.peer = *step.peer;
          }
        }
        ++script_next_[i];
      } else if (s.repeat > 0 && now >= script_epoch_[i] + s.repeat) {
        script_epoch_[i] += s.repeat;
        script_next_[i] = 0;
      } else {
        break;
      }
    }
    if (d.walk.period > 0) {
      for (int guard = 0; guard < 1000 && now >= walk_next_[i]; ++guard) {
        walk_next_[i] += d.walk.period;
        std::vector<std::size_t> redundant;
        for (std::size_t p = 0; p < d.ports.size(); ++p)
          if (d.ports[p].mode == d.redundant_mode()) redundant.push_back(p);
        if (redundant.empty()) continue;
        Port& p = d.ports[redundant[std::uniform_int_distribution<std::size_t>(0, redundant.size() - 1)(rng_)]];
        const int lan = d.ip2 ? std::uniform_int_distribution<int>(0, 1)(rng_) : 0;
        LanConn& c = p.conns[std::uniform_int_distribution<std::size_t>(0, 3)(rng_)].lan[lan];
        const int pick = std::uniform_int_distribution<int>(0, 2)(rng_);
        if (pick == 0) {
          // A peer on the device's own LAN, never the device itself.
          const uint32_t own = lan ? d.ip2 : d.ip1;
          const uint32_t host = 1 + std::uniform_int_distribution<uint32_t>(0, 252)(rng_);
          uint32_t peer = htonl((ntohl(own) & 0xFFFFFF00u) | host);
          if (peer == own) peer = htonl((ntohl(own) & 0xFFFFFF00u) | 254);
          c = {uint8_t(d.connected_state()), peer};
        } else {
          c = {uint8_t(pick == 1 ? 1 : 0), 0};  // Listen or Closed
        }
      }
    }
  }
}

std::size_t Simulator::device_count() const {
  std::lock_guard lock(mutex_);
  return fleet_.devices.size();
}

int Simulator::find_device(const std::string& key) const {
  uint32_t ip = 0;
  const bool is_ip = parse_ipv4(key, ip);
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < fleet_.devices.size(); ++i) {
    const Device& d = fleet_.devices[i];
    if (d.name == key || (is_ip && (d.ip1 == ip || d.ip2 == ip))) return int(i);
  }
  return -1;
}

Device Simulator::device(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return fleet_.devices.at(index);
}

bool Simulator::update_device(std::size_t index, const std::function<void(Device&)>& change) {
  std::lock_guard lock(mutex_);
  if (index >= fleet_.devices.size()) return false;
  change(fleet_.devices[index]);
  return true;
}

bool Simulator::set_port_mode(std::size_t index, int port, int mode) {
  std::lock_guard lock(mutex_);
  if (index >= fleet_.devices.size()) return false;
  auto& ports = fleet_.devices[index].ports;
  if (port < 1 || std::size_t(port) > ports.size()) return false;
  ports[std::size_t(port - 1)].mode = mode;
  return true;
}

bool Simulator::set_connection(std::size_t index, int port, int conn, int lan, uint8_t state, uint32_t peer) {
  std::lock_guard lock(mutex_);
  if (index >= fleet_.devices.size() || conn < 1 || conn > kMaxConnections || lan < 1 || lan > 2) return false;
  auto& ports = fleet_.devices[index].ports;
  if (port < 1 || std::size_t(port) > ports.size()) return false;
  ports[std::size_t(port - 1)].conns[std::size_t(conn - 1)].lan[lan - 1] = {state, peer};
  return true;
}

bool Simulator::set_faults(std::size_t index, const Faults& faults) {
  std::lock_guard lock(mutex_);
  if (index >= fleet_.devices.size()) return false;
  fleet_.devices[index].faults = faults;
  return true;
}

uint64_t Simulator::request_count(std::size_t index, uint8_t code) const {
  std::lock_guard lock(mutex_);
  if (index >= counts_.size()) return 0;
  auto it = counts_[index].find(code);
  return it == counts_[index].end() ? 0 : it->second;
}

uint64_t Simulator::replies_sent(std::size_t index) const {
  std::lock_guard lock(mutex_);
  return index < sent_.size() ? sent_[index] : 0;
}

uint64_t Simulator::malformed_requests() const {
  std::lock_guard lock(mutex_);
  return malformed_;
}

void Simulator::reset_counts() {
  std::lock_guard lock(mutex_);
  for (auto& m : counts_) m.clear();
  std::fill(sent_.begin(), sent_.end(), 0);
  malformed_ = 0;
}

}  // namespace devsim
