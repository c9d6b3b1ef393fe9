// Output formatting of tavrix-cli: aligned text tables and RFC 4180 CSV from one
// row model; JSON goes through nlohmann::json in the commands themselves.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "core/table_export.h"

namespace tavrix::cli {

struct Table {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
};

// Columns padded to their widest cell, two spaces apart, no trailing blanks.
void print_table(std::ostream& out, const Table& table);
// Header line, then one line per row (LF-ended); fields quoted as the window's
// exported files quote them.
void print_csv(std::ostream& out, const Table& table);
using tavrix::csv_field;

// "0x" and upper-case hexadecimal with at least `digits` digits.
std::string hex(unsigned long value, int digits);

}  // namespace tavrix::cli
