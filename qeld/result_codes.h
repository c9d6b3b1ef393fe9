// The library's result codes: internal codes returned inside the library and the
// public values that its calls return, with the mapping between them.
#pragma once

namespace qeld {

inline constexpr int kOk = 1;

// Internal codes.
inline constexpr int kErrTimeout = -11;   // no matching reply in time / directed search found nothing
inline constexpr int kErrSocket = -12;    // socket failure
inline constexpr int kErrStopped = -13;   // the search's reply callback asked to stop
inline constexpr int kErrNoMemory = -19;  // out of memory in the search engine
inline constexpr int kErrRefused = -20;   // a 1029-family reply carried status 6

// Public values.
inline constexpr int kPubFailure = -1;
inline constexpr int kPubTimeout = -2;
inline constexpr int kPubSocket = -3;
inline constexpr int kPubStopped = -4;
inline constexpr int kPubBadArgument = -5;
inline constexpr int kPubNoHandle = -10;
inline constexpr int kPubRefused = -13;

// Internal code -> public value: 1->1, -11->-2, -12->-3, -13->-4, -14->-5, -15->-7,
// -17->-9, -18->-10, -20->-13, >=2 unchanged, anything else -1.
int map_result_code(int internal);

}  // namespace qeld
