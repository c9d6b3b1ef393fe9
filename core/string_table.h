// The string table: user-visible texts loaded by number, the empty text for a
// number without a string.
#pragma once

#include <string>

namespace tavrix {

inline constexpr int kStrIdle = 100;
inline constexpr int kStrOnLine = 101;
inline constexpr int kStrOffLine = 102;
inline constexpr int kStrExitQuestion = 154;
inline constexpr int kStrAlreadyExists = 155;
inline constexpr int kModeBaseA = 4096;
inline constexpr int kModeBaseB = 4352;
inline constexpr int kStateBaseA = 4608;
inline constexpr int kStateBaseB = 4864;
inline constexpr int kStrProductName = 36864;
inline constexpr int kStrVersion = 36865;
inline constexpr int kStrCopyright = 36866;

std::string load_str(int id);

}  // namespace tavrix
