// The readable model list (JSON) that tavrix-gidmap turns into GIdMap.dat, and back.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "qeld/model_map.h"

namespace gidmap {

inline constexpr std::size_t kMaxNameLength = qeld::kModelNameSize - 1;  // 47, NUL after it
inline constexpr unsigned kMaxPorts = 32;

// Parses a model list {"models": [{"key", "id", "attributes", "ports", "name"}, ...]}.
// On failure returns false and sets `error` to one line naming the entry at fault.
bool parse_model_list(const std::string& text, std::vector<qeld::TModelEntry>& out,
                      std::string& error);

// The list in the same shape parse_model_list reads (numbers as hex text).
nlohmann::json model_list_to_json(const std::vector<qeld::TModelEntry>& entries);

// Decrypts and checks file bytes. On failure returns false and a one-line reason.
bool decode_model_map_file(const std::vector<uint8_t>& file, std::vector<qeld::TModelEntry>& out,
                           std::string& error);

}  // namespace gidmap
