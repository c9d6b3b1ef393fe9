// The library's result codes: internal codes returned inside the library and the
// public values that its calls return, with the mapping between them.
#pragma once

namespace qeld {

inline constexpr int kOk = 1;
// Nothing done and nothing more to say: a start that failed, a listing without an address.
inline constexpr int kNotDone = 0;

// Internal codes.
inline constexpr int kErrTimeout =
    -11;                                // no matching reply in time / directed search found nothing
inline constexpr int kErrSocket = -12;  // socket failure
inline constexpr int kErrStopped = -13;      // the search's reply callback asked to stop
inline constexpr int kErrBadArgument = -14;  // a search without a reply callback
// Mapped like the others but made by no path of this library.
inline constexpr int kErrReserved15 = -15;
inline constexpr int kErrReserved17 = -17;
inline constexpr int kErrNoHandle = -18;
inline constexpr int kErrNoMemory = -19;  // out of memory in the search engine
inline constexpr int kErrRefused = -20;   // a 1029-family reply carried status 6

// Public values.
inline constexpr int kPubFailure = -1;
inline constexpr int kPubTimeout = -2;
inline constexpr int kPubSocket = -3;
inline constexpr int kPubStopped = -4;
inline constexpr int kPubBadArgument = -5;
inline constexpr int kPubReserved7 = -7;
inline constexpr int kPubReserved9 = -9;
inline constexpr int kPubNoHandle = -10;  // open_handle: no slot free
inline constexpr int kPubNoMemory = -11;  // open_handle: the reply copy could not be made
inline constexpr int kPubRefused = -13;

// Internal code -> public value: kOk->kOk, kErrTimeout->kPubTimeout, kErrSocket->kPubSocket,
// kErrStopped->kPubStopped, kErrBadArgument->kPubBadArgument, -15->-7, -17->-9,
// kErrNoHandle->kPubNoHandle, kErrRefused->kPubRefused, >=2 (a count) unchanged, anything
// else kPubFailure.
int map_result_code(int internal);

}  // namespace qeld
