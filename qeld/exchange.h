// Request/response exchange: packet headers, the three search requests, the
// wait-and-match loop and the send-with-retries step of the commands.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "ds_info.h"
#include "qnsock/socket_set.h"
#include "timeout_block.h"

namespace qeld {

inline constexpr int kMaxEntries01 = 256;
inline constexpr int kMaxEntries1029 = 32;

// Fills bytes 8-19 of a 4800-family request: model_key, model_id and mac1 of the record.
void build_identity_header(uint8_t* request, const DeviceIdentity& record);

// Waits for one matching reply. kOk, kErrTimeout, kErrSocket or kErrRefused (status 6 on group 0).
// code 0xFF accepts any reply code. out_length (may be null) gets the bytes stored.
int udp_wait_reply(UdpSocketSet& set, uint8_t code, int max_length, uint8_t* reply,
                   sockaddr_in* out_sender, uint32_t* out_local, const TimeoutBlock& timeouts,
                   int* out_group, int* out_length = nullptr);

// Sends a 4800-family request to dest:4800 from group 1 and waits, resending on time-out.
// kOk, kErrTimeout, kErrSocket or kErrRefused. First drops what already waits on the set; with
// set.hooks it also counts resends and stops resending when the hook's stop check says so (-11).
int udp_exchange(uint8_t code, UdpSocketSet& set, uint32_t dest, const uint8_t* request,
                 int request_length, uint8_t* reply, int max_length, const TimeoutBlock& timeouts,
                 int* out_length = nullptr);

// Build and send one search request each, naming the first 256 (0x01) or 32 (0x49, 0x02)
// records of found[0..count-1]. 1 or -12. They do not wait.
int send_search_01(UdpSocketSet& set, uint32_t dest, const DeviceIdentity* const* found, int count);
int send_search_49(UdpSocketSet& set, uint32_t dest, const DeviceIdentity* const* found, int count);
int send_search_02(UdpSocketSet& set, uint32_t dest, const DeviceIdentity* const* found, int count);

}  // namespace qeld
