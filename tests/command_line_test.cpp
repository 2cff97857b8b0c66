// How the Windows programs split their command line into words: quotes group and vanish, an
// empty quoted word vanishes (or stays, for hex2plain), backslashes are ordinary bytes.
#include "console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SplitCommandLine, FollowsTheQuoteAndSeparatorRules) {
  using Words = std::vector<std::string>;
  const struct {
    std::string Line;
    Words Expected;
    bool KeepEmpty = false;
  } cases[] = {
      {" \t\r\n", {}},
      {"  prog\ta\001\037b  ", {"prog", "a", "b"}},
      {"prog \"a b\" c", {"prog", "a b", "c"}},
      {"prog a\"b c\"d", {"prog", "ab cd"}},
      {"prog \" -\" \"- \"", {"prog", " -", "- "}},
      // A pair of quotes that begins a word is skipped, however many there are.
      {"prog \"\" a \"\"\"\" b \"\"", {"prog", "a", "b"}},
      {"prog \"\"x \"\"\"y z\"", {"prog", "x", "y z"}},
      // Inside a word an empty group adds nothing; the word goes on.
      {"prog a\"\"b", {"prog", "ab"}},
      // An unclosed quote groups up to the end of the line.
      {"prog \"a b", {"prog", "a b"}},
      {"prog a \"", {"prog", "a"}},
      // hex2plain keeps the empty words that quotes make.
      {"prog \"\" a \"\"\"\" b \"\"", {"prog", "", "a", "", "b", ""}, true},
      {"prog \"\"x a\"\"b \"", {"prog", "x", "ab", ""}, true},
      // Backslashes are ordinary bytes, before quotes too.
      {"prog C:\\dir\\ \"C:\\my dir\\\" x\\\"y\"", {"prog", "C:\\dir\\", "C:\\my dir\\", "x\\y"}},
      {"\"C:\\Program Files\\sarnveld2hex.exe\" in out - -",
       {"C:\\Program Files\\sarnveld2hex.exe", "in", "out", "-", "-"}},
      // Bytes above 0x7F are text, control characters inside quotes too.
      {"prog \xFF\xC3\xA9 \"\x01\"", {"prog", "\xFF\xC3\xA9", "\x01"}},
      // DEL is a control character, and separates.
      {"prog\x7F"
       "a\x7F",
       {"prog", "a"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(app::SplitCommandLine(c.Line, c.KeepEmpty), c.Expected)
        << ::testing::PrintToString(c.Line);
}

}  // namespace
