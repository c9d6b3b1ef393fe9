// The program's model of the known device servers: ServerList (the servers, the search
// results, settings, poller slots and flags). No toolkit here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/address_text.h"
#include "core/model_rules.h"
#include "core/poller.h"
#include "core/server_record.h"
#include "qeld/ds_info.h"

namespace tavrix {

class SearchWorker;

inline constexpr int kMaxResults = 512;

// The pollers see it only as their host: the pause, the stop-all flag, the refresh.
class ServerList : private tavrix::PollerHost {
 public:
  ServerList();
  ~ServerList();  // stops and joins every poller and the search worker
  ServerList(const tavrix::ServerList&) = delete;
  tavrix::ServerList& operator=(const tavrix::ServerList&) = delete;

  // Settings: refresh_rate 1..99 s (default 3), search_timeout 3..60 s (default 5).
  std::atomic<int> refresh_rate{3};
  std::atomic<int> search_timeout{5};

  // --- server list (window thread) ---
  int server_count() const;
  tavrix::ServerRecord* server_at(int index) const;  // nullptr outside the list
  std::shared_ptr<tavrix::ServerRecord> server_ptr(int index) const;
  // Appends; 1, or 0 when the list already holds 512 servers (nothing added).
  int add_server(std::shared_ptr<tavrix::ServerRecord> record);
  // Removes index, moving later servers and their poller slots down one place. The
  // record stays alive while its pollers hold it.
  void delete_server(int index);
  // Empties the list; records held by running pollers live until those pollers end.
  void clear_servers();
  bool server_exists(const qeld::DeviceIdentity& reply) const;
  // The seven steps: copy identity, port count, dual-LAN, open handle1 (LAN1 address)
  // and, when dual-LAN, handle2 (LAN2 address). The caller then calls add_server.
  std::shared_ptr<tavrix::ServerRecord> make_server_record(const qeld::DeviceIdentity& reply);

  // --- pollers ---
  void start_poller(int index, int lan);
  void stop_poller(int index, int lan);  // does not wait
  // Stops every poller through its own stop request and waits for them up to
  // timeout_ms; used by a new search before the list is replaced. True when all ended.
  bool stop_all_pollers(int timeout_ms);
  void set_stop_all(int value);
  bool stop_all() const override;
  void poller_enter();
  void poller_leave() override;
  int poller_count() const;

  // --- search results (one writer: the worker; one reader: the window) ---
  int result_count() const;
  const qeld::DeviceIdentity* result_at(int index) const;  // nullptr outside
  void clear_results();
  void add_result(const qeld::DeviceIdentity& reply, int by_ip);

  // --- search worker ---
  int on_reply_by_ip(const qeld::DeviceIdentity* reply);
  int on_reply_broadcast(const qeld::DeviceIdentity* reply);
  // kind 1 = one address (network byte order), otherwise broadcast.
  void start_search(int kind, uint32_t address);
  bool search_finished();
  // The public code of the search that search_finished last reported ended.
  int last_search_result() const;
  void abort_search();
  bool search_running() const;

 private:
  // Sleeps up to ms, returning early (true) once `stop` or the stop-all flag is set.
  bool pause(const std::atomic<int>& stop, int ms) override;
  // Wakes every poller asleep in its pause so that it rechecks its stop flags.
  void wake_pollers() override;
  int refresh_seconds() const override;
  // The reply callbacks of one search: a search whose generation is no longer the
  // current one is told to stop and stores nothing.
  int on_reply(const qeld::DeviceIdentity* reply, int by_ip, uint32_t generation);
  // True when one of the first `count` results is the same device (model, address, MAC).
  bool listed_already(const qeld::DeviceIdentity& reply, int count) const;
  // Joins and frees pollers and search workers that have ended (never blocks on one
  // that is still running).
  void reap();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend class tavrix::SearchWorker;
};
}  // namespace tavrix
