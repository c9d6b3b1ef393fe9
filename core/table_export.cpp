// CSV and JSON writing of a text table, and the file write that never leaves half a
// file behind.
#include "core/table_export.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

namespace tavrix {

namespace {

// The cell of column c, or the empty text past the end of a short row.
const std::string& cell(const std::vector<std::string>& row, std::size_t c) {
  static const std::string kEmpty;
  return c < row.size() ? row[c] : kEmpty;
}

// Captions made unique: a repeat gets " (n)", counted per caption.
std::vector<std::string> unique_captions(const std::vector<std::string>& headers) {
  std::vector<std::string> out;
  std::set<std::string> used;
  for (const std::string& h : headers) {
    std::string name = h;
    for (int n = 2; used.count(name); ++n) name = h + " (" + std::to_string(n) + ")";
    used.insert(name);
    out.push_back(name);
  }
  return out;
}

}  // namespace

std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string to_csv(const TextTable& table) {
  std::string out;
  const std::size_t columns = table.headers.size();
  const auto line = [&](const std::vector<std::string>& row) {
    for (std::size_t c = 0; c < columns; ++c) {
      if (c) out += ',';
      out += csv_field(cell(row, c));
    }
    out += "\r\n";
  };
  line(table.headers);
  for (const auto& row : table.rows) line(row);
  return out;
}

bool is_absent_mark(const std::string& text) {
  return text.empty() || text == "-" || text == "---";
}

namespace {
nlohmann::ordered_json json_cell(const std::string& text, CellKind kind) {
  if (kind == CellKind::kText) return text;
  if (is_absent_mark(text)) return nullptr;
  if (kind == CellKind::kNumber) {
    long long value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error == std::errc() && at == end) return value;
  }
  return text;
}
}  // namespace

std::string to_json(const TextTable& table) {
  const std::vector<std::string> names = unique_captions(table.headers);
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (const auto& row : table.rows) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (std::size_t c = 0; c < names.size(); ++c)
      object[names[c]] =
          json_cell(cell(row, c), c < table.kinds.size() ? table.kinds[c] : CellKind::kText);
    rows.push_back(std::move(object));
  }
  return rows.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string export_text(const TextTable& table, ExportFormat format) {
  return format == ExportFormat::kJson ? to_json(table) : to_csv(table);
}

std::optional<ExportFormat> format_from_path(const std::string& path) {
  const auto dot = path.rfind('.');
  const auto slash = path.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  if (ext == "csv") return ExportFormat::kCsv;
  if (ext == "json") return ExportFormat::kJson;
  return std::nullopt;
}

bool write_table_file(const std::string& path, const TextTable& table, ExportFormat format,
                      std::string& error) {
  const std::string text = export_text(table, format);
  const std::string temp = path + ".tmp-" + std::to_string(::getpid());
  {
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    if (!f.is_open()) {
      error = std::strerror(errno);
      return false;
    }
    f.write(text.data(), static_cast<std::streamsize>(text.size()));
    f.flush();
    if (!f) {
      error = "the file could not be written completely";
      f.close();
      std::remove(temp.c_str());
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    error = std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

std::string to_tab_separated(const std::vector<std::vector<std::string>>& rows) {
  std::string out;
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (c) out += '\t';
      for (char ch : row[c]) out += (ch == '\t' || ch == '\r' || ch == '\n') ? ' ' : ch;
    }
    out += '\n';
  }
  return out;
}

}  // namespace tavrix
