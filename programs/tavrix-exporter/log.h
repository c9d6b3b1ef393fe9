// The exporter's log: one logfmt line per event on stderr (ts, level, msg, then the
// event's own keys), filtered by --log.level. Safe to call from any thread.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace tavrix::exporter {

enum class LogLevel { kDebug = 0, kInfo = 1, kWarn = 2, kError = 3 };

// "debug", "info", "warn", "error"; false for anything else.
bool parse_log_level(std::string_view text, LogLevel& out);
void set_log_level(LogLevel level);
// JSON lines ({"ts":...,"level":...,"msg":...,key:value...}) instead of logfmt.
void set_log_json(bool json);
bool log_enabled(LogLevel level);

using LogField = std::pair<std::string_view, std::string_view>;

// One line: ts=... level=... msg="..." key=value ...; values are quoted when needed.
std::string logfmt_line(std::string_view ts, LogLevel level, std::string_view msg,
                        std::initializer_list<LogField> fields);
// The same event as one JSON object on a line.
std::string json_line(std::string_view ts, LogLevel level, std::string_view msg,
                      std::initializer_list<LogField> fields);
// Writes one line to stderr with a single write, so lines of two threads never mix.
void log(LogLevel level, std::string_view msg, std::initializer_list<LogField> fields = {});

}  // namespace tavrix::exporter
