// Tables written as files that people keep and other programs read: CSV (RFC 4180) and
// JSON, from a header row and rows of strings. No toolkit here, so the windows, the
// events view and the command line write the same files.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavrix {

// How a column's cells go into JSON (CSV writes every cell as its text). kNumber: a
// whole decimal number as a number; kNumber and kOptional: a mark of nothing ("", "-",
// "---", as the tables show a missing LAN2 or a LAN2 row) as null; anything else, and
// every kText cell, as its text.
enum class CellKind { kText, kNumber, kOptional };

// True for the texts the tables show where there is no value: "", "-" and "---".
bool is_absent_mark(const std::string& text);

// A table as text: the column captions and the rows, each a list of cell texts.
// A row shorter than the header is read as ending in empty cells; cells past the
// last caption are not written. `kinds` runs parallel to the captions; a column
// without one is kText.
struct TextTable {
  std::vector<std::string> headers;
  std::vector<std::vector<std::string>> rows;
  std::vector<CellKind> kinds = {};
};

enum class ExportFormat { kCsv, kJson };

// RFC 4180: the header line, then one line per row; lines end in CRLF; a field that
// holds a comma, a double quote, CR or LF is quoted, with its quotes doubled.
std::string to_csv(const TextTable& table);
// One field as to_csv writes it.
std::string csv_field(const std::string& text);

// JSON: an array with one object per row, its members named by the captions in column
// order and holding the cells as their column's kind says. A caption that repeats an earlier one
// gets " (2)", " (3)", ... so that no cell is lost. Text that is not valid UTF-8 is
// written with U+FFFD in place of the bad bytes.
std::string to_json(const TextTable& table);

std::string export_text(const TextTable& table, ExportFormat format);

// The format a file name asks for by its extension (".csv" or ".json", any case).
std::optional<ExportFormat> format_from_path(const std::string& path);

// Writes the table to `path` through a temporary file in the same folder that is then
// renamed over it, so a failed write never leaves half a file under that name.
// False with `error` set (the system's reason) when the file cannot be written.
bool write_table_file(const std::string& path, const TextTable& table, ExportFormat format,
                      std::string& error);

// Tab-separated lines (LF-ended) of the rows alone, for pasting into a spreadsheet or a
// text; tabs and line breaks inside a cell become spaces.
std::string to_tab_separated(const std::vector<std::vector<std::string>>& rows);

}  // namespace tavrix
