// What text from a server becomes before it reaches a terminal.
#include <gtest/gtest.h>

#include <string>

#include "util.h"

namespace pelliton {
namespace {

TEST(Printable, ShowsEveryControlCharacterButTabAsAQuestionMark) {
  static const struct {
    const char* what;
    std::string text;
    std::string shown;
  } cases[] = {
      {"plain text", "comp.lang.c 12 3 y", "comp.lang.c 12 3 y"},
      {"tab", "a\tb", "a\tb"},
      {"C0 controls and DEL", std::string("\x00\x01\x1b[2J\r\n\x7f", 9), "???[2J???"},
      {"UTF-8 text", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xb0", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x93\xb0"},
      {"UTF-8 C1 controls", "a\xc2\x9b" "31m\xc2\x80\xc2\x9f" "b", "a?31m??b"},
      {"the first character past them", "\xc2\xa0", "\xc2\xa0"},
      {"single bytes 0x80 to 0x9F", "\x80\x9b" "31m\x9f", "??31m?"},
      {"ISO 8859 letters", "sm\xf6rg\xe5s", "sm\xf6rg\xe5s"},
      {"a sequence cut short", "\xe2\x82", "\xe2?"},
      {"overlong and surrogate forms", "\xc0\x9b\xed\xa0\x80", "\xc0?\xed\xa0?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(printable(c.text), c.shown);
  }
}

}  // namespace
}  // namespace pelliton
