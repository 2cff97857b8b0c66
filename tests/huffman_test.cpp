// The tree's tie-breaks, through the codes they give.
#include "huffman/huffman.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using huff::EndMarker;

// Among equal weights the lower slot is taken first, and so reached by bit 1: a byte value
// before the end marker ("B"), a leaf before an internal node ('r' in "abracadabra"), an older
// internal node before a newer one ("abc"). A lone end marker gets no code.
TEST(BuildTree, TiesGiveTheKnownCodes) {
  const struct {
    std::string Input;
    std::map<int, std::string> Codes;  // every other symbol has none
  } cases[] = {
      {"", {}},
      {"abc", {{'a', "11"}, {'b', "10"}, {'c', "01"}, {EndMarker, "00"}}},
      {"abracadabra",
       {{'a', "1"}, {'b', "010"}, {'c', "0001"}, {'d', "0000"}, {'r', "001"}, {EndMarker, "011"}}},
      {"B", {{'B', "1"}, {EndMarker, "0"}}},
      {std::string(1000, 'B'), {{'B', "0"}, {EndMarker, "1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Input.substr(0, 11));
    huff::TCoder coder;
    huff::InitNodes(coder);
    for (const char byte : c.Input)
      ++coder.NodePool[static_cast<std::uint8_t>(byte)].Weight;
    coder.NodePool[EndMarker].Weight = 1;
    huff::BuildTree(coder);
    huff::AssignCodes(coder);
    for (int symbol = 0; symbol <= EndMarker; ++symbol) {
      const huff::TCodeEntry& entry = coder.CodeTable[symbol];
      std::string code;
      for (std::uint32_t i = entry.Length; i > 0; --i)
        code += static_cast<char>('0' + (entry.Bits >> (i - 1) & 1));
      const auto known = c.Codes.find(symbol);
      EXPECT_EQ(code, known == c.Codes.end() ? "" : known->second) << symbol;
    }
  }
}

}  // namespace
