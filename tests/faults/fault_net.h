// A private network namespace for one fault test: the test's thread (and every thread
// or command it starts afterwards) gets its own loopback, where nftables rules can drop
// and the link can go down without touching this machine's own network.
#pragma once

#include <cstddef>
#include <string>

namespace tavrix_faults {

// Moves the calling thread into a new network namespace with its loopback up. Returns
// an empty text on success, else why it could not (not root, namespaces refused).
std::string enter_private_network();

// Loads an nftables script into the current namespace (`nft -f -`); true on success,
// the tool's output in *out.
bool nft(const std::string& script, std::string* out = nullptr);
// Drops `percent` % of the datagrams to and from one address, each way on its own.
bool drop_percent(const char* address, int percent);
// Removes every rule that drop_percent loaded.
bool clear_drops();

// Sets the loopback link down (false) or up (true).
bool set_loopback_up(bool up);

// Open file descriptors, threads and heap bytes in use of this process (the heap from
// the sanitizer's allocator in sanitizer builds, else from malloc's own figures).
int open_fd_count();
int thread_count();
std::size_t heap_in_use();

}  // namespace tavrix_faults
