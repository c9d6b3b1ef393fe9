// The program's model of the known device servers: _SVRINFO (one server with
// its latest poll results) and TDsList (server list, search results, settings,
// poller slots and flags). No toolkit here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "qeld/ds_info.h"

class TUpdateThread;
class TEnumThread;

namespace tavrix {

inline constexpr int kMaxServers = 512;
inline constexpr int kMaxResults = 512;
inline constexpr int kMaxPorts = 32;
inline constexpr int kConnRecordBytes = 80;

// Text helpers. ip is in network byte order.
std::string ip_text(uint32_t ip, bool blank_broadcast);
std::string mac_text(const uint8_t mac[6]);
inline constexpr const char* kNoMac = "00:00:00:00:00:00";

// Model predicates (scan every map entry, compare the model id only).
bool uses_mode_set_a(uint16_t model_id);
bool requires_second_mac(const qeld::_DS_INFO& reply);
bool expects_two_replies(uint16_t model_id);

}  // namespace tavrix

// One known server. Identity fields are fixed once made; the monitoring fields are
// written by pollers while the window thread reads them, hence relaxed atomics
// (a refresh may show a mix of two poll cycles).
struct _SVRINFO {
  uint32_t model_key = 0;
  uint16_t model_id = 0;
  uint32_t ip1 = 0, ip2 = 0;  // network byte order
  uint8_t mac1[6] = {}, mac2[6] = {};
  int port_count = 0;  // 0..32
  int dual_lan = 0;
  std::atomic<int> monitoring{0};
  std::atomic<int> online{0};  // bit 0 LAN1, bit 1 LAN2
  int handle1 = -1, handle2 = -1;
  std::array<std::array<std::atomic<uint8_t>, tavrix::kConnRecordBytes>, tavrix::kMaxPorts> conn{};
  std::array<std::atomic<int>, tavrix::kMaxPorts> mode{};

  _SVRINFO();
  // Connection record of port index i (0-based), whole.
  void store_conn(int i, const uint8_t* record);
  void load_conn(int i, uint8_t* record) const;
  // Connection n (1..4) of port index i on lan (0 = LAN1, 1 = LAN2).
  uint32_t conn_peer(int i, int n, int lan) const;  // network byte order
  uint8_t conn_state(int i, int n, int lan) const;
  int mode_at(int i) const { return mode[i].load(std::memory_order_relaxed); }
};

class TDsList {
 public:
  TDsList();
  ~TDsList();  // stops and joins every poller and the search worker
  TDsList(const TDsList&) = delete;
  TDsList& operator=(const TDsList&) = delete;

  // Settings: refresh_rate 1..99 s (default 3), search_timeout 3..60 s (default 5).
  std::atomic<int> refresh_rate{3};
  std::atomic<int> search_timeout{5};

  // --- server list (window thread) ---
  int server_count() const;
  _SVRINFO* server_at(int index) const;  // nullptr outside the list
  std::shared_ptr<_SVRINFO> server_ptr(int index) const;
  // Appends; 1, or 0 when the list already holds 512 servers (nothing added).
  int add_server(std::shared_ptr<_SVRINFO> record);
  // Removes index, moving later servers and their poller slots down one place. The
  // record stays alive while its pollers hold it.
  void delete_server(int index);
  // Empties the list; records held by running pollers live until those pollers end.
  void clear_servers();
  bool server_exists(const qeld::_DS_INFO& reply) const;
  // The seven steps: copy identity, port count, dual-LAN, open handle1 (LAN1 address)
  // and, when dual-LAN, handle2 (LAN2 address). The caller then calls add_server.
  std::shared_ptr<_SVRINFO> make_server_record(const qeld::_DS_INFO& reply);

  // --- pollers ---
  void start_poller(int index, int lan);
  void stop_poller(int index, int lan);  // does not wait
  // Stops every poller through its own stop request and waits for them up to
  // timeout_ms; used by a new search before the list is replaced. True when all ended.
  bool stop_all_pollers(int timeout_ms);
  void set_stop_all(int value);
  bool stop_all() const;
  void poller_enter();
  void poller_leave();
  int poller_count() const;

  // --- search results (one writer: the worker; one reader: the window) ---
  int result_count() const;
  const qeld::_DS_INFO* result_at(int index) const;  // nullptr outside
  void clear_results();
  void add_result(const qeld::_DS_INFO& reply, int by_ip);

  // --- search worker ---
  int on_reply_by_ip(const qeld::_DS_INFO* reply);
  int on_reply_broadcast(const qeld::_DS_INFO* reply);
  // kind 1 = one address (network byte order), otherwise broadcast.
  void start_search(int kind, uint32_t address);
  bool search_finished();
  void abort_search();
  bool search_running() const;

 private:
  // Sleeps up to ms, returning early (true) once `stop` or the stop-all flag is set.
  bool pause(const std::atomic<int>& stop, int ms);
  // Wakes every poller asleep in its pause so that it rechecks its stop flags.
  void wake_pollers();
  // The reply callbacks of one search: a search whose generation is no longer the
  // current one is told to stop and stores nothing.
  int on_reply(const qeld::_DS_INFO* reply, int by_ip, uint32_t generation);
  // Joins and frees pollers and search workers that have ended (never blocks on one
  // that is still running).
  void reap();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend class ::TUpdateThread;
  friend class ::TEnumThread;
};

namespace tavrix {
// The program's single instance.
TDsList& ds_list();
}  // namespace tavrix
