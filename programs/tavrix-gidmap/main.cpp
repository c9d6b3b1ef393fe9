// tavrix-gidmap: builds the encrypted model map GIdMap.dat from the readable JSON
// model list, and dumps a map file back as a table or as JSON.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "model_list.h"

namespace {

int fail(const std::string& message) {
  std::cerr << "tavrix-gidmap: " << message << '\n';
  return 1;
}

bool read_file(const std::string& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// Writes beside the target and renames, so a failed run never leaves a partial map.
bool write_atomically(const std::string& path, const std::vector<uint8_t>& bytes,
                      std::string& error) {
  std::string tmpl = path + ".XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      error = std::string("write failed: ") + std::strerror(errno);
      close(fd);
      unlink(name.data());
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  // mkstemp makes the file 0600; a data file is read by everyone.
  (void)fchmod(fd, 0644);
  if (close(fd) != 0 || std::rename(name.data(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(name.data());
    return false;
  }
  return true;
}

int run_build(const std::string& list_path, const std::string& out_path) {
  std::string text;
  if (!read_file(list_path, text)) return fail(list_path + ": cannot read");
  std::vector<qeld::TModelEntry> entries;
  std::string error;
  if (!gidmap::parse_model_list(text, entries, error)) return fail(list_path + ": " + error);
  std::string werr;
  if (!write_atomically(out_path, qeld::build_model_map_file(entries), werr)) return fail(werr);
  return 0;
}

int run_dump(const std::string& path, bool as_json) {
  std::string text;
  if (!read_file(path, text)) return fail(path + ": cannot read");
  const std::vector<uint8_t> bytes(text.begin(), text.end());
  std::vector<qeld::TModelEntry> entries;
  std::string error;
  if (!gidmap::decode_model_map_file(bytes, entries, error)) return fail(path + ": " + error);
  if (as_json) {
    std::cout << gidmap::model_list_to_json(entries).dump(2) << '\n';
    return 0;
  }
  std::printf("%-5s %-10s %-6s %-5s %-5s %s\n", "#", "key", "id", "attr", "ports", "name");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& e = entries[i];
    std::printf("%-5zu 0x%08X 0x%04X 0x%02X  %-5u %.*s\n", i, e.model_key, e.model_id,
                e.attr_byte(), e.port_count, static_cast<int>(qeld::kModelNameSize), e.name);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Builds and reads the Tavrix model map GIdMap.dat"};
  app.require_subcommand(1);

  std::string list_path, out_path;
  CLI::App* build = app.add_subcommand("build", "Encrypt a JSON model list into a map file");
  build->add_option("LIST", list_path, "the JSON model list")->required();
  build->add_option("-o,--output", out_path, "the map file to write")->required();

  std::string dump_path;
  bool as_json = false;
  CLI::App* dump = app.add_subcommand("dump", "Decrypt, check and print a map file");
  dump->add_option("FILE", dump_path, "the map file")->required();
  dump->add_flag("--json", as_json, "print the list as JSON, in the form build reads");

  CLI11_PARSE(app, argc, argv);
  if (*build) return run_build(list_path, out_path);
  return run_dump(dump_path, as_json);
}
