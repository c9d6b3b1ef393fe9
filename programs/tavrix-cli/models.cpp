// tavrix-cli models: the model map as the program loads it (same file search path).
#include <algorithm>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "commands.h"
#include "output.h"
#include "qeld/model_map.h"

namespace tavrix::cli {

int run_models_command(const ModelsArgs& args) {
  qeld::load_model_map();
  const int count = qeld::model_entry_count();
  Table table{{"No", "Key", "Id", "Attributes", "Set", "Second MAC", "Ports", "Name"}, {}};
  nlohmann::ordered_json models = nlohmann::ordered_json::array();
  for (int i = 0; i < count; ++i) {
    const std::optional<qeld::TModelEntry> entry = qeld::model_entry(i);
    if (!entry) break;
    const qeld::TModelEntry& e = *entry;
    const bool set_a = (e.attr_byte() & qeld::kAttrModeSetA) != 0;
    const bool second_mac = (e.attr_byte() & qeld::kAttrSecondMac) != 0;
    const std::string name(e.name, std::find(e.name, e.name + sizeof e.name, '\0'));
    table.rows.push_back({std::to_string(i + 1), hex(e.model_key, 8), hex(e.model_id, 4),
                          hex(e.attr_byte(), 2), set_a ? "A" : "B", second_mac ? "yes" : "no",
                          std::to_string(e.port_count), name});
    models.push_back({{"no", i + 1},
                      {"model_key", e.model_key},
                      {"model_id", e.model_id},
                      {"attributes", e.attr_byte()},
                      {"text_set", set_a ? "A" : "B"},
                      {"second_mac", second_mac},
                      {"ports", e.port_count},
                      {"name", name}});
  }
  if (args.format == "json") {
    std::cout << nlohmann::ordered_json{{"count", count}, {"models", models}}.dump(2) << '\n';
  } else if (args.format == "csv") {
    table.header = {"no",       "model_key",  "model_id", "attributes",
                    "text_set", "second_mac", "ports",    "name"};
    print_csv(std::cout, table);
  } else {
    print_table(std::cout, table);
  }
  std::cout.flush();
  if (count == 0) {
    print_error(model_map_missing());
    return kExitNone;
  }
  return kExitOk;
}

}  // namespace tavrix::cli
