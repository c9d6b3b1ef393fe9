// The server list object: servers and their poller slots, the search results and
// the search worker, the settings and the flags that stop the threads.
#include "core/server_list.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "core/poller.h"
#include "core/search_worker.h"
#include "qeld/library.h"
#include "qeld/model_map.h"

// ---------------------------------------------------------------------------
// tavrix::ServerList

struct tavrix::ServerList::Impl {
  // Guards changes of the running-poller count; taken by poller_enter/poller_leave.
  // The count itself is atomic so that waiters may read it without the lock.
  std::mutex lock;
  std::atomic<int> running{0};

  std::atomic<bool> stop_all{false};
  std::atomic<bool> abort{false};

  // Guards nothing but the hand-over of a stop request to a sleeping poller: taken by
  // a poller around its pause and by whoever wakes the pollers, so no wake-up is lost.
  std::mutex wake_mu;
  std::condition_variable wake_cv;

  // Window thread only.
  std::vector<std::shared_ptr<tavrix::ServerRecord>> servers;
  std::array<std::array<std::unique_ptr<tavrix::Poller>, 2>, tavrix::kMaxServers> slots;
  std::vector<std::unique_ptr<tavrix::Poller>> retired;  // pollers out of their slot, maybe running
  std::unique_ptr<tavrix::SearchWorker> worker;
  std::vector<std::unique_ptr<tavrix::SearchWorker>> old_workers;  // replaced while still searching
  int last_result = 0;

  // Result list: one writer (the worker's callback) appends entry `result_count` and
  // then publishes the count; the reader only reads entries below the published count.
  // results_mu guards the append against clear_results and a change of generation.
  std::mutex results_mu;
  std::array<qeld::DeviceIdentity, tavrix::kMaxResults> results{};
  std::atomic<int> result_count{0};
  std::atomic<uint32_t> generation{0};
};

tavrix::ServerList::ServerList() : impl_(std::make_unique<Impl>()) {}

tavrix::ServerList::~ServerList() {
  // Every search ends at its next callback, every poller at its next check.
  impl_->abort.store(true);
  impl_->generation.fetch_add(1);
  impl_->stop_all.store(true);
  // Set every stop request first and wake the sleepers once: a wake per poller would
  // make a thousand pollers wake each other a million times.
  for (auto& pair : impl_->slots)
    for (auto& t : pair)
      if (t) t->stop.store(1, std::memory_order_relaxed);
  for (auto& t : impl_->retired) t->stop.store(1, std::memory_order_relaxed);
  wake_pollers();
  wake_pollers();
  for (auto& pair : impl_->slots)
    for (auto& t : pair) t.reset();
  impl_->retired.clear();
  impl_->worker.reset();
  impl_->old_workers.clear();
}

// --- server list -------------------------------------------------------------

int tavrix::ServerList::server_count() const {
  return static_cast<int>(impl_->servers.size());
}

tavrix::ServerRecord* tavrix::ServerList::server_at(int index) const {
  return server_ptr(index).get();
}

std::shared_ptr<tavrix::ServerRecord> tavrix::ServerList::server_ptr(int index) const {
  if (index < 0 || index >= server_count()) return nullptr;
  return impl_->servers[index];
}

int tavrix::ServerList::add_server(std::shared_ptr<tavrix::ServerRecord> record) {
  // The tree's node array and the poller slots hold 512 servers.
  if (!record || server_count() >= tavrix::kMaxServers) return 0;
  impl_->servers.push_back(std::move(record));
  return 1;
}

void tavrix::ServerList::delete_server(int index) {
  const int n = server_count();
  if (index < 0 || index >= n) return;
  reap();
  for (auto& t : impl_->slots[index]) {
    if (t) {
      t->request_stop();
      impl_->retired.push_back(std::move(t));
    }
  }
  for (int i = index; i + 1 < n; ++i) impl_->slots[i] = std::move(impl_->slots[i + 1]);
  impl_->servers.erase(impl_->servers.begin() + index);
}

void tavrix::ServerList::clear_servers() {
  reap();
  for (int i = 0; i < tavrix::kMaxServers; ++i) {
    for (auto& t : impl_->slots[i]) {
      if (t) {
        t->request_stop();
        impl_->retired.push_back(std::move(t));
      }
    }
  }
  impl_->servers.clear();
}

bool tavrix::ServerList::server_exists(const qeld::DeviceIdentity& reply) const {
  for (const auto& s : impl_->servers) {
    if (s->ip1 == reply.ip1 && std::memcmp(s->mac1, reply.mac1, 6) == 0) return true;
    if (s->ip2 == reply.ip1 && std::memcmp(s->mac2, reply.mac1, 6) == 0) return true;
  }
  return false;
}

std::shared_ptr<tavrix::ServerRecord> tavrix::ServerList::make_server_record(
    const qeld::DeviceIdentity& reply) {
  return tavrix::make_server_record(reply);
}

// --- pollers -----------------------------------------------------------------

void tavrix::ServerList::start_poller(int index, int lan) {
  if (index < 0 || index >= server_count() || lan < 0 || lan > 1) return;
  reap();
  auto& slot = impl_->slots[index][lan];
  if (slot) {
    // A poller of an earlier run may still be finishing a query; it must not block us.
    slot->request_stop();
    impl_->retired.push_back(std::move(slot));
  }
  slot = std::make_unique<tavrix::Poller>(static_cast<tavrix::PollerHost&>(*this),
                                          impl_->servers[index], index, lan);
  // Counted before it runs, so a wait for the count to reach 0 cannot miss it.
  poller_enter();
  slot->start();
}

void tavrix::ServerList::stop_poller(int index, int lan) {
  if (index < 0 || index >= tavrix::kMaxServers || lan < 0 || lan > 1) return;
  if (auto& slot = impl_->slots[index][lan]) slot->request_stop();
}

bool tavrix::ServerList::stop_all_pollers(int timeout_ms) {
  // Set every stop request first and wake the sleepers once: a wake per poller would
  // make a thousand pollers wake each other a million times.
  for (auto& pair : impl_->slots)
    for (auto& t : pair)
      if (t) t->stop.store(1, std::memory_order_relaxed);
  for (auto& t : impl_->retired) t->stop.store(1, std::memory_order_relaxed);
  wake_pollers();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (poller_count() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return poller_count() == 0;
}

void tavrix::ServerList::set_stop_all(int value) {
  impl_->stop_all.store(value != 0, std::memory_order_relaxed);
  if (value) wake_pollers();
}

bool tavrix::ServerList::stop_all() const {
  return impl_->stop_all.load(std::memory_order_relaxed);
}

void tavrix::ServerList::poller_enter() {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->running.fetch_add(1, std::memory_order_relaxed);
}

void tavrix::ServerList::poller_leave() {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->running.fetch_sub(1, std::memory_order_release);
}

int tavrix::ServerList::poller_count() const {
  return impl_->running.load(std::memory_order_acquire);
}

bool tavrix::ServerList::pause(const std::atomic<int>& stop, int ms) {
  auto stopped = [&] { return stop.load(std::memory_order_relaxed) != 0 || stop_all(); };
  std::unique_lock<std::mutex> g(impl_->wake_mu);
  return impl_->wake_cv.wait_for(g, std::chrono::milliseconds(ms), stopped);
}

int tavrix::ServerList::refresh_seconds() const {
  return refresh_rate.load(std::memory_order_relaxed);
}

void tavrix::ServerList::wake_pollers() {
  // Taking the mutex orders the flag change before a sleeper's predicate check.
  { std::lock_guard<std::mutex> g(impl_->wake_mu); }
  impl_->wake_cv.notify_all();
}

void tavrix::ServerList::reap() {
  auto& r = impl_->retired;
  for (auto it = r.begin(); it != r.end();) {
    if ((*it)->ended()) {
      it = r.erase(it);  // joins a thread that has left its loop
    } else {
      ++it;
    }
  }
  auto& w = impl_->old_workers;
  for (auto it = w.begin(); it != w.end();) {
    if ((*it)->is_finished()) {
      it = w.erase(it);
    } else {
      ++it;
    }
  }
}

// --- search results ------------------------------------------------------------

int tavrix::ServerList::result_count() const {
  return impl_->result_count.load(std::memory_order_acquire);
}

const qeld::DeviceIdentity* tavrix::ServerList::result_at(int index) const {
  if (index < 0 || index >= result_count()) return nullptr;
  return &impl_->results[index];
}

void tavrix::ServerList::clear_results() {
  std::lock_guard<std::mutex> g(impl_->results_mu);
  impl_->result_count.store(0, std::memory_order_release);
}

namespace {
// The drop rule: a broadcast reply of a two-LAN model must name its second MAC.
bool keep_reply(const qeld::DeviceIdentity& reply, int by_ip) {
  return by_ip || !tavrix::requires_second_mac(reply) || tavrix::has_mac(reply.mac2);
}
}  // namespace

void tavrix::ServerList::add_result(const qeld::DeviceIdentity& reply, int by_ip) {
  if (!keep_reply(reply, by_ip)) return;
  std::lock_guard<std::mutex> g(impl_->results_mu);
  const int n = impl_->result_count.load(std::memory_order_relaxed);
  if (n >= tavrix::kMaxResults) return;
  impl_->results[n] = reply;
  impl_->result_count.store(n + 1, std::memory_order_release);
}

// --- search worker -------------------------------------------------------------

bool tavrix::ServerList::listed_already(const qeld::DeviceIdentity& reply, int count) const {
  // A device that answers in both request families makes one record per family in the
  // engine (a 4800-family record carries no unit id to match a 0x82 reply by); a
  // broadcast list shows it once. A directed search keeps both: the two-reply models'
  // choice needs them.
  for (int i = 0; i < count; ++i) {
    const qeld::DeviceIdentity& r = impl_->results[i];
    if (r.model_id == reply.model_id && r.ip1 == reply.ip1 &&
        std::memcmp(r.mac1, reply.mac1, 6) == 0)
      return true;
  }
  return false;
}

int tavrix::ServerList::on_reply(const qeld::DeviceIdentity* reply, int by_ip,
                                 uint32_t generation) {
  if (impl_->abort.load(std::memory_order_relaxed)) return 0;
  // A search that a newer one replaced ends as soon as it calls back.
  if (impl_->generation.load(std::memory_order_relaxed) != generation) return 0;
  if (!reply) return 1;
  std::lock_guard<std::mutex> g(impl_->results_mu);
  if (impl_->generation.load(std::memory_order_relaxed) != generation) return 0;
  const int n = impl_->result_count.load(std::memory_order_relaxed);
  if (n >= tavrix::kMaxResults) return 0;
  if (qeld::find_model(reply->model_key, reply->model_id) >= 0 && keep_reply(*reply, by_ip) &&
      (by_ip || !listed_already(*reply, n))) {
    impl_->results[n] = *reply;
    impl_->result_count.store(n + 1, std::memory_order_release);
  }
  return 1;
}

int tavrix::ServerList::on_reply_by_ip(const qeld::DeviceIdentity* reply) {
  return on_reply(reply, 1, impl_->generation.load(std::memory_order_relaxed));
}

int tavrix::ServerList::on_reply_broadcast(const qeld::DeviceIdentity* reply) {
  return on_reply(reply, 0, impl_->generation.load(std::memory_order_relaxed));
}

void tavrix::ServerList::start_search(int kind, uint32_t address) {
  uint32_t gen;
  {
    std::lock_guard<std::mutex> g(impl_->results_mu);
    // A new generation first, so a late reply of the previous search cannot land here.
    gen = impl_->generation.fetch_add(1, std::memory_order_relaxed) + 1;
    impl_->result_count.store(0, std::memory_order_release);
  }
  impl_->abort.store(false, std::memory_order_relaxed);
  reap();
  if (impl_->worker) {
    // Never join a worker that is still searching: the window thread must not block.
    if (impl_->worker->is_finished())
      impl_->worker.reset();
    else
      impl_->old_workers.push_back(std::move(impl_->worker));
  }
  auto w = std::make_unique<tavrix::SearchWorker>();
  w->by_ip = kind == 1 ? 1 : 0;
  w->target = kind == 1 ? address : 0;
  w->timeout_seconds = search_timeout.load(std::memory_order_relaxed);
  const int by_ip = w->by_ip;
  w->reply_callback = [this, by_ip, gen](const qeld::DeviceIdentity* reply) {
    return on_reply(reply, by_ip, gen);
  };
  impl_->worker = std::move(w);
  impl_->worker->start();
}

bool tavrix::ServerList::search_finished() {
  reap();
  if (!impl_->worker || !impl_->worker->is_finished()) return false;
  impl_->last_result = impl_->worker->search_result();
  impl_->worker.reset();
  return true;
}

int tavrix::ServerList::last_search_result() const {
  return impl_->last_result;
}

void tavrix::ServerList::abort_search() {
  impl_->abort.store(true, std::memory_order_relaxed);
}

bool tavrix::ServerList::search_running() const {
  return impl_->worker && !impl_->worker->is_finished();
}
