// Maps the library's internal result codes to the public values its calls return.
#include "result_codes.h"

namespace qeld {

int map_result_code(int internal) {
  switch (internal) {
    case kOk:
      return kOk;
    case kErrTimeout:
      return kPubTimeout;
    case kErrSocket:
      return kPubSocket;
    case kErrStopped:
      return kPubStopped;
    case kErrBadArgument:
      return kPubBadArgument;
    case kErrReserved15:
      return kPubReserved7;
    case kErrReserved17:
      return kPubReserved9;
    case kErrNoHandle:
      return kPubNoHandle;
    case kErrRefused:
      return kPubRefused;
    default:
      break;
  }
  return internal >= 2 ? internal : kPubFailure;
}

}  // namespace qeld
