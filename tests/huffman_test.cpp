// The coder: the tree's selection order and tie-break, the codes, and the whole pass that
// writes a container, checked against golden bytes.
#include "huffman/huffman.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/errors.h"
#include "support.h"

namespace {

using huff::EndMarker;
using huff::TCompressorState;
using huff::TMemoryStream;
using testing_support::Bytes;
using testing_support::Pack;
using testing_support::Text;

std::unique_ptr<TCompressorState> CodedState(const Bytes& input) {
  auto state = std::make_unique<TCompressorState>();
  state->Input = std::make_unique<TMemoryStream>(input, "image.bin");
  huff::InitNodes(*state);
  huff::CountSymbols(*state);
  huff::BuildTree(*state);
  huff::AssignCodes(*state);
  return state;
}

std::string CodeOf(const TCompressorState& state, int symbol) {
  const huff::TCodeEntry& entry = state.CodeTable[symbol];
  std::string code;
  for (int i = 0; i < entry.Length; ++i)
    code += static_cast<char>('0' + entry.Bits[i]);
  return code;
}

// Child1 is the first (lightest) node selected, Child0 the second; ties go to the lowest
// slot, so leaves before internal nodes.
TEST(BuildTree, NodesMergeInSlotOrderAndGiveTheKnownCodes) {
  const struct {
    std::string Input;
    std::vector<std::pair<int, int>> Merges;  // {Child1, Child0} of nodes 257, 258, ...
    std::map<int, std::string> Codes;
  } cases[] = {
      {"abc",
       {{'a', 'b'}, {'c', EndMarker}, {257, 258}},
       {{'a', "11"}, {'b', "10"}, {'c', "01"}, {EndMarker, "00"}}},
      {"abracadabra",
       {{'c', 'd'}, {EndMarker, 'b'}, {'r', 257}, {258, 259}, {'a', 260}},
       {{'a', "1"}, {'b', "010"}, {'c', "0001"}, {'d', "0000"}, {'r', "001"}, {EndMarker, "011"}}},
      // With one occurrence the tie goes to the byte value's lower slot, taken first.
      {"B", {{'B', EndMarker}}, {{'B', "1"}, {EndMarker, "0"}}},
      {std::string(1000, 'B'), {{EndMarker, 'B'}}, {{'B', "0"}, {EndMarker, "1"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Input.substr(0, 11));
    const auto state = CodedState(Text(c.Input));
    EXPECT_EQ(state->Root, 256 + static_cast<int>(c.Merges.size()));
    for (std::size_t i = 0; i < c.Merges.size(); ++i) {
      EXPECT_EQ(state->NodePool[257 + i].Child1, c.Merges[i].first) << i;
      EXPECT_EQ(state->NodePool[257 + i].Child0, c.Merges[i].second) << i;
    }
    for (int symbol = 0; symbol <= EndMarker; ++symbol) {
      const auto code = c.Codes.find(symbol);
      EXPECT_EQ(state->CodeTable[symbol].Present, code != c.Codes.end()) << symbol;
      EXPECT_EQ(CodeOf(*state, symbol), code == c.Codes.end() ? "" : code->second);
    }
  }
}

// Whatever the input, the present codes form a complete prefix code.
TEST(AssignCodes, CodesAreCompleteAndPrefixFreeOnManyInputs) {
  std::mt19937 random(12345);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    std::geometric_distribution<int> skewed(0.02 + round * 0.02);
    Bytes input(1 + random() % 5000);
    for (auto& byte : input)
      byte = static_cast<std::uint8_t>(skewed(random));
    auto state = CodedState(input);
    double kraft = 0;
    std::vector<std::string> codes;
    for (int symbol = 0; symbol <= EndMarker; ++symbol) {
      const bool occurs = symbol == EndMarker || state->NodePool[symbol].Weight > 0;
      ASSERT_EQ(state->CodeTable[symbol].Present, occurs);
      if (!occurs)
        continue;
      codes.push_back(CodeOf(*state, symbol));
      kraft += std::ldexp(1.0, -state->CodeTable[symbol].Length);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0);
    for (const auto& a : codes)
      for (const auto& b : codes)
        ASSERT_TRUE(&a == &b || !b.starts_with(a)) << a << " prefixes " << b;
  }
}

// 32 bits is the longest a code entry can state.
TEST(CheckCodeLengths, A33BitCodeIsRefusedAndA32BitCodeIsNot) {
  const auto fits = CodedState(testing_support::FibonacciImage(32));
  EXPECT_EQ(fits->CodeTable[EndMarker].Length, 32);
  EXPECT_NO_THROW(huff::CheckCodeLengths(*fits));
  const auto deep = CodedState(testing_support::FibonacciImage(33));
  EXPECT_EQ(deep->CodeTable[0].Length, 33);
  try {
    huff::CheckCodeLengths(*deep);
    ADD_FAILURE() << "no error";
  } catch (const huff::ECodeTooLong& error) {
    EXPECT_EQ(error.Message(),
              "File image.bin needs a code of 33 bits for byte value 0x00, longer than the 32 "
              "bits a container can state");
  }
}

// Worked out by hand from the container's layout: for "abc" the start bit, the presence map
// with bits for 0x61 to 0x63 (0x38 at payload offset 12), four entries of 0, 00001 and two
// code bits, the data 11 10 01, the end marker 00 and the fill; for nothing the start bit,
// an empty map and the fill.
TEST(Compress, AbcAndTheEmptyInputGiveTheHandWorkedContainers) {
  Bytes header = Text(std::string("ZRQ-705\0\0\0\0\0\0\0\0\0Sarnveld\0\0\0\0\0\0\0\0", 32));
  Bytes abc = header;
  abc.insert(abc.end(), {38, 0, 0, 0, 0x34, 0x02, 0, 0, 0x80});
  abc.insert(abc.end(), 11, 0);
  abc.push_back(0x38);
  abc.insert(abc.end(), 19, 0);
  abc.insert(abc.end(), {0x03, 0x83, 0x02, 0x82, 0x72, 0x00});
  EXPECT_EQ(Pack(Text("abc")), abc);
  Bytes empty = header;
  empty.insert(empty.end(), {33, 0, 0, 0, 128, 0, 0, 0, 0x80});
  empty.insert(empty.end(), 32, 0);
  EXPECT_EQ(Pack({}), empty);
}

// A stream whose contents change when it is read from the start a second time.
class TChangingStream final : public testing_support::TStubStream {
 public:
  TChangingStream(Bytes first, Bytes second)
      : TStubStream("image.bin"),
        Passes{TMemoryStream(std::move(first)), TMemoryStream(std::move(second))} {}
  std::size_t Read(std::span<std::uint8_t> data) override { return Passes[Pass].Read(data); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (offset == 0 && StartedOnce)
      Pass = 1;
    StartedOnce = StartedOnce || offset == 0;
    return Passes[Pass].ReadAt(offset, data);
  }
  void Rewind() override {
    Pass = 1;
    Passes[Pass].Rewind();
  }
  std::uint64_t Size() override { return Passes[Pass].Size(); }

 private:
  TMemoryStream Passes[2];
  int Pass = 0;
  bool StartedOnce = false;
};

TEST(Compress, AnInputThatChangesBetweenThePassesFails) {
  // The same byte counts, but two bytes swapped between segments: each segment's codes would
  // no longer end where the next one's begin.
  Bytes counted(2 * huff::ChunkSize, 'a');
  counted[0] = 'b';
  Bytes moved = counted;
  std::swap(moved[0], moved[huff::ChunkSize]);
  const struct {
    Bytes Counted, Encoded;
    std::string Message;  // empty: any; fast pass only, a single pass cannot tell
  } cases[] = {
      {Text("abcabc"), Text("abcabcabc"),
       "File image.bin grew while it was being packed: 6 bytes were counted"},
      {Text("abcabc"), Text("abc"),
       "File image.bin shrank while it was being packed: 6 bytes were counted, 3 read"},
      {Text("abcabc"), Text("abcabd"),
       "File image.bin changed while it was being packed: byte value 0x64 at offset 5 was not "
       "there when it was counted"},
      {Bytes(100, 'a'), Text("aaad" + std::string(96, 'a')),
       "File image.bin changed while it was being packed: byte value 0x64 at offset 3 was not "
       "there when it was counted"},
      {counted, moved, ""},
  };
  for (const auto& c : cases) {
    for (auto* compress : {&huff::Compress, &huff::CompressBitByBit}) {
      if (c.Message.empty() && compress != &huff::Compress)
        continue;
      SCOPED_TRACE(c.Message + (compress == &huff::Compress ? " (fast)" : " (bit by bit)"));
      auto state = std::make_unique<TCompressorState>();
      state->Parallelism = {1, 1};  // one thread, a segment per chunk, taken in order
      state->Input = std::make_unique<TChangingStream>(c.Counted, c.Encoded);
      state->Output = std::make_unique<TMemoryStream>();
      try {
        compress(*state);
        ADD_FAILURE() << "no error";
      } catch (const huff::EInputChanged& error) {
        EXPECT_TRUE(c.Message.empty() || error.Message() == c.Message) << error.Message();
      }
    }
  }
}

}  // namespace
