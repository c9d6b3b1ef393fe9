// The protocol library's front: start and stop, the host's IPv4 addresses, the
// library lock and search options, the device-handle table, and test seams.
// Every call returns an int result code (result_codes.h; kOk = 1 = success) unless
// stated otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "ds_info.h"
#include "result_codes.h"
#include "timeout_block.h"

struct ifaddrs;

namespace qeld {

// Two per server (one per LAN) for a full list of 512 servers.
inline constexpr int kMaxHandles = 1024;
inline constexpr int kMaxLocalAddresses = 16;
inline constexpr uint16_t kPort4800 = 4800;
inline constexpr uint16_t kPort1029 = 1029;

// --- start and stop -------------------------------------------------------
// kOk when ready; kNotDone when the socket layer could not be started (see the seam below).
// A second call while started is a no-op returning kOk: open handles and the map stay.
// Also raises the open-file limit (see raise_open_file_limit) and says once in the log
// when it stays too low for every handle to poll at once.
int library_start();
// Tears the library down; handles are reset. Safe to call when not started.
void library_stop();
bool library_started();

// --- host addresses --------------------------------------------------------
inline constexpr int kInterfaceNameSize = 16;  // IF_NAMESIZE, terminator included

// A complete list of the host's IPv4 addresses (network byte order), at most 16, with
// the interface each sits on (index 0 and an empty name where not known, as from a seam).
struct AddressList {
  int count = 0;
  uint32_t addr[kMaxLocalAddresses] = {};
  int32_t ifindex[kMaxLocalAddresses] = {};
  char ifname[kMaxLocalAddresses][kInterfaceNameSize] = {};
};

// The filter the host listing applies to a getifaddrs list: AF_INET entries of
// interfaces that are up, in list order, at most 16, each with its interface's name
// (an alias label "eth0:1" named by its interface "eth0") and index (0 when the name
// is unknown to the kernel). Returns kOk when any was kept, else kNotDone.
int addresses_from_ifaddrs(const ::ifaddrs* list, AddressList& out);
int local_address_count();
// Address at index, or 0xFFFFFFFF for an index outside 0..count-1.
uint32_t local_address_at(int index);
// Refreshes the shared list as a socket-set opening does and copies the result into `out`, so each
// opening works on its own complete snapshot. Returns kOk when at least one address was listed,
// else kNotDone.
int refresh_local_addresses(AddressList& out);

// --- library lock and search options -------------------------------------
// Held by search_servers for the whole of one search; nothing else takes it.
std::mutex& library_lock();
// A value >= 0 replaces timeout_ms / attempts; a negative value leaves it.
void set_search_options(int timeout_ms, int attempts);
TimeoutBlock search_options();

// --- device handles ---------------------------------------------------------
// kOk and *out = slot; kPubBadArgument when reply or out is null (nothing written);
// kPubNoHandle when no slot is free (*out = -2); kPubNoMemory when the copy cannot be
// allocated (*out = -1).
int open_handle(const DeviceIdentity* reply, int* out);
// kOk, or kPubBadArgument when the handle is outside 0..1023 or its slot is not in use.
int close_handle(int handle);
// Every opening gets a new serial (never 0): 0 for a handle that is not open.
uint64_t handle_serial(int handle);
// close_handle, but only while the slot still holds the opening with that serial, so an
// owner whose handle was already closed (a library stop, a test's sweep) never closes
// the slot's next holder.
int close_handle_opened_as(int handle, uint64_t serial);
// Copies a handle's reply and time-out block under the table's lock, so a query never
// reads memory that a concurrent close_handle frees. False when the handle is not open.
bool handle_snapshot(int handle, DeviceIdentity& reply, TimeoutBlock& timeouts);
// Changes a handle's time-out block (timeout_ms, attempts); false when not open.
bool handle_set_timeouts(int handle, uint32_t timeout_ms, int32_t attempts);
int open_handle_count();

// --- seams for tests and tools ----------------------------------------------
// Makes the next library_start fail as if the socket layer could not start.
void set_library_start_failure(bool fail);
// Replaces the host address source (nullptr restores getifaddrs). The function fills
// the list and returns kOk, or kNotDone to report a failure.
void set_address_source(std::function<int(AddressList&)> source);
// True while a replaced source is in use: kernel address notifications say nothing about it.
bool address_source_replaced();
// The device ports that requests are sent to (4800 and 1029 unless a test moves them).
void set_device_ports(uint16_t port_4800, uint16_t port_1029);
uint16_t device_port_4800();
uint16_t device_port_1029();

// Raises the soft open-file limit to the hard limit (a poller keeps four sockets open for
// its whole run). Returns the new soft limit, -1 when it cannot be read.
long raise_open_file_limit();
// Descriptors that every handle polling at once needs: four kept sockets each, a search's
// set and room for the program's own files.
inline constexpr long kOpenFilesNeeded = 4L * kMaxHandles + 2 * 32 + 192;

// --- diagnostics ------------------------------------------------------------
// One line for the program's log: stderr, unless a test or tool replaced the sink.
void log_line(const std::string& text);
// nullptr restores stderr.
void set_log_sink(std::function<void(const std::string&)> sink);

}  // namespace qeld
