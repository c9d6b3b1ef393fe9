// logfmt lines on stderr.
#include "log.h"

#include "core/clock.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace tavrix::exporter {

namespace {

std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};
std::atomic<bool> g_json{false};

// A quoted string for JSON (control bytes as \u00XX) or for logfmt (\n, others as \xXX).
// Anything a terminal or a log shipper could misread is escaped, so a request can never
// forge a second line.
void append_quoted(std::string& out, std::string_view v, bool json) {
  out += '"';
  for (unsigned char c : v) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n' && !json) {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, json ? "\\u%04x" : "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

void append_json_string(std::string& out, std::string_view v) {
  append_quoted(out, v, true);
}

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return "debug";
    case LogLevel::kInfo:
      return "info";
    case LogLevel::kWarn:
      return "warn";
    case LogLevel::kError:
      return "error";
  }
  return "info";
}

void append_value(std::string& out, std::string_view v) {
  bool quote = v.empty();
  for (unsigned char c : v)
    if (c <= ' ' || c == '"' || c == '=' || c == '\\' || c >= 0x7F) quote = true;
  if (!quote) {
    out += v;
    return;
  }
  append_quoted(out, v, false);
}

}  // namespace

bool parse_log_level(std::string_view text, LogLevel& out) {
  for (LogLevel l : {LogLevel::kDebug, LogLevel::kInfo, LogLevel::kWarn, LogLevel::kError})
    if (text == level_name(l)) {
      out = l;
      return true;
    }
  return false;
}

void set_log_level(LogLevel level) {
  g_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

bool log_enabled(LogLevel level) {
  return static_cast<int>(level) >= g_level.load(std::memory_order_relaxed);
}

std::string logfmt_line(std::string_view ts, LogLevel level, std::string_view msg,
                        std::initializer_list<LogField> fields) {
  std::string line = "ts=";
  line += ts;
  line += " level=";
  line += level_name(level);
  line += " msg=";
  append_value(line, msg);
  for (const auto& [key, value] : fields) {
    line += ' ';
    line += key;
    line += '=';
    append_value(line, value);
  }
  line += '\n';
  return line;
}

void set_log_json(bool json) {
  g_json.store(json, std::memory_order_relaxed);
}

std::string json_line(std::string_view ts, LogLevel level, std::string_view msg,
                      std::initializer_list<LogField> fields) {
  std::string line = "{\"ts\":";
  append_json_string(line, ts);
  line += ",\"level\":";
  append_json_string(line, level_name(level));
  line += ",\"msg\":";
  append_json_string(line, msg);
  for (const auto& [key, value] : fields) {
    line += ',';
    append_json_string(line, key);
    line += ':';
    append_json_string(line, value);
  }
  return line + "}\n";
}

void log(LogLevel level, std::string_view msg, std::initializer_list<LogField> fields) {
  if (!log_enabled(level)) return;
  const std::string line = g_json.load(std::memory_order_relaxed)
                               ? json_line(tavrix::timestamp_now(), level, msg, fields)
                               : logfmt_line(tavrix::timestamp_now(), level, msg, fields);
  // One write per line: stderr is unbuffered and shared by every thread.
  const ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
  (void)n;
}

}  // namespace tavrix::exporter
