// Escaping and bounding of untrusted text for messages.
#include "core/printable_text.h"

namespace tavrix {

std::string printable_text(std::string_view text, std::size_t max_bytes) {
  std::string out;
  out.reserve(text.size() < max_bytes ? text.size() : max_bytes);
  bool cut = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::string piece;
    if (c == '\n') {
      piece = "\\n";
    } else if (c == '\r') {
      piece = "\\r";
    } else if (c == '\t') {
      piece = "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      piece = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    } else {
      piece.assign(1, static_cast<char>(c));
    }
    // A cut falls before a character, never inside a UTF-8 sequence; a run of stray
    // continuation bytes is cut all the same a few bytes later.
    const bool continuation = (c & 0xC0) == 0x80;
    if (out.size() + piece.size() > max_bytes + (continuation ? 3 : 0)) {
      cut = true;
      break;
    }
    out += piece;
  }
  if (cut) out += "...";
  return out;
}

}  // namespace tavrix
