// How the Windows programs split their command line into words: quotes group and vanish, an
// empty quoted word vanishes (or stays, for hex2plain), backslashes are ordinary bytes.
#include "console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SplitCommandLine, FollowsTheQuoteAndSeparatorRules) {
  const std::string quotes = "prog \"\" a \"\"\"\" b \"\"x \"\"\"y z\" a\"\"b \"";
  const struct {
    std::string Line;
    std::vector<std::string> Expected;
    bool KeepEmpty = false;
  } cases[] = {
      {" \t\r\n", {}},
      // Control characters separate, DEL among them, but not inside quotes; bytes above 0x7F
      // are text.
      {"  prog\ta\001\037b\177 \xFF\xC3\xA9 \"\x01\"", {"prog", "a", "b", "\xFF\xC3\xA9", "\x01"}},
      {"prog \"a b\" c a\"b c\"d", {"prog", "a b", "c", "ab cd"}},
      // Quotes that begin a word are skipped, however many there are, and so is an unclosed one
      // at the end; inside a word an empty group adds nothing. hex2plain keeps the empty words.
      {quotes, {"prog", "a", "b", "x", "y z", "ab"}},
      {quotes, {"prog", "", "a", "", "b", "x", "y z", "ab", ""}, true},
      // An unclosed quote groups up to the end of the line.
      {"prog \"a b", {"prog", "a b"}},
      // Backslashes are ordinary bytes, before quotes too.
      {"prog C:\\dir\\ \"C:\\my dir\\\" x\\\"y\"", {"prog", "C:\\dir\\", "C:\\my dir\\", "x\\y"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(app::SplitCommandLine(c.Line, c.KeepEmpty), c.Expected)
        << ::testing::PrintToString(c.Line);
}

}  // namespace
