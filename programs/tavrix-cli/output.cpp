// Text table and CSV writers of tavrix-cli.
#include "output.h"

#include <algorithm>
#include <cstdio>

namespace tavrix::cli {

void print_table(std::ostream& out, const Table& table) {
  std::vector<std::size_t> width(table.header.size(), 0);
  const auto widen = [&width](const std::vector<std::string>& row) {
    if (row.size() > width.size()) width.resize(row.size(), 0);
    for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  };
  widen(table.header);
  for (const auto& row : table.rows) widen(row);
  const auto line = [&](const std::vector<std::string>& row) {
    std::string text;
    for (std::size_t c = 0; c < row.size(); ++c) {
      text += row[c];
      if (c + 1 < row.size()) text.append(width[c] - row[c].size() + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << '\n';
  };
  line(table.header);
  for (const auto& row : table.rows) line(row);
}

void print_csv(std::ostream& out, const Table& table) {
  const auto line = [&out](const std::vector<std::string>& row) {
    for (std::size_t c = 0; c < row.size(); ++c) out << (c ? "," : "") << csv_field(row[c]);
    out << '\n';
  };
  line(table.header);
  for (const auto& row : table.rows) line(row);
}

std::string hex(unsigned long value, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*lX", digits, value);
  return buf;
}

}  // namespace tavrix::cli
