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
      // Control characters separate, DEL among them.
      {"  prog\ta\001\037b\177 ", {"prog", "a", "b"}},
      {"prog \"a b\" c a\"b c\"d", {"prog", "a b", "c", "ab cd"}},
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
      // Bytes above 0x7F are text, control characters inside quotes too.
      {"prog \xFF\xC3\xA9 \"\x01\"", {"prog", "\xFF\xC3\xA9", "\x01"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(app::SplitCommandLine(c.Line, c.KeepEmpty), c.Expected)
        << ::testing::PrintToString(c.Line);
}

}  // namespace
