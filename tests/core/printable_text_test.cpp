// Untrusted text in messages: one line, bounded, UTF-8 never cut inside a character.
#include "core/printable_text.h"

#include <gtest/gtest.h>

namespace {

TEST(PrintableText, EscapesControlsAndCutsAtACharacter) {
  struct Case {
    std::string in;
    std::size_t max;
    std::string out;
  };
  const Case cases[] = {
      {"192.0.2.10", 64, "192.0.2.10"},
      {"C:\\path \"x\"", 64, "C:\\path \"x\""},  // printable text stays as it is
      {"a\nb\rc\td", 64, "a\\nb\\rc\\td"},
      {std::string("\x01\x1b[2J\x7f", 6), 64, "\\x01\\x1B[2J\\x7F"},
      {std::string("a\0b", 3), 64, "a\\x00b"},
      {"abcdef", 6, "abcdef"},
      {"abcdefg", 6, "abcdef..."},
      {"ab\ncd", 3, "ab..."},                      // an escape is not split
      {"ab\xC3\xA9\xC3\xA9", 3, "ab\xC3\xA9..."},  // é finished, the next not begun
      {"ab\xE2\x82\xAC", 2, "ab..."},
      {std::string(100, '\x80'), 4, std::string(7, '\x80') + "..."},  // stray bytes still cut
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tavrix::printable_text(c.in, c.max), c.out) << c.in;
    EXPECT_EQ(tavrix::printable_text(c.in, c.max).find_first_of("\r\n"), std::string::npos);
  }
}

}  // namespace
