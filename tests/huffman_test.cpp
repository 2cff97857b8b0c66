// The coder: counting, the tree's selection order and tie-break, the codes, and the whole
// pass that writes a container, checked against golden bytes and an independent reader.
#include "huffman.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "container.h"
#include "container_reader.h"
#include "errors.h"

namespace {

using huff::EndMarker;
using huff::TCompressorState;
using huff::TMemoryStream;
using Bytes = std::vector<std::uint8_t>;

Bytes FromString(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

std::unique_ptr<TCompressorState> CodedState(const Bytes& input) {
  auto state = std::make_unique<TCompressorState>();
  state->Input = std::make_unique<TMemoryStream>(input);
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

// A stream whose contents change when it is read from the start a second time.
class TChangingStream final : public huff::TStream {
 public:
  TChangingStream(Bytes first, Bytes second)
      : Passes{TMemoryStream(std::move(first)), TMemoryStream(std::move(second))} {}
  std::size_t Read(std::span<std::uint8_t> data) override {
    ReadSizes.push_back(data.size());
    return Current().Read(data);
  }
  void Write(std::span<const std::uint8_t>) override {}
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (offset == 0 && StartedOnce)
      Pass = 1;
    StartedOnce = StartedOnce || offset == 0;
    ReadSizes.push_back(data.size());
    return Current().ReadAt(offset, data);
  }
  void WriteAt(std::uint64_t, std::span<const std::uint8_t>) override {}
  void Rewind() override {
    Pass = 1;
    Current().Rewind();
  }
  std::uint64_t Size() override { return Current().Size(); }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return Label; }

  std::vector<std::size_t> ReadSizes;

 private:
  TMemoryStream& Current() { return Passes[Pass]; }
  TMemoryStream Passes[2];
  int Pass = 0;
  bool StartedOnce = false;
  std::string Label = "image.bin";
};

Bytes Pack(std::unique_ptr<huff::TStream> input, const std::string& nameId = "ZRQ-705",
           const std::string& manufacturer = "Sarnveld") {
  auto state = std::make_unique<TCompressorState>();
  huff::ResetState(*state, nameId, manufacturer);
  state->Input = std::move(input);
  auto output = std::make_unique<TMemoryStream>();
  TMemoryStream& written = *output;
  state->Output = std::move(output);
  huff::Compress(*state);
  return written.Contents();
}

Bytes Pack(const Bytes& input) {
  return Pack(std::make_unique<TMemoryStream>(input));
}

Bytes Header(std::uint8_t size0, std::uint8_t size1, std::uint8_t sum0, std::uint8_t sum1) {
  Bytes header = FromString(std::string("ZRQ-705\0\0\0\0\0\0\0\0\0Sarnveld\0\0\0\0\0\0\0\0", 32));
  header.insert(header.end(), {size0, size1, 0, 0, sum0, sum1, 0, 0});
  return header;
}

// --- Counting ---------------------------------------------------------------------------

TEST(CountSymbols, ReadsInChunksUntilAReadReturnsNothing) {
  Bytes input(2 * huff::ChunkSize, 7);
  input[5] = 9;
  auto stream = std::make_unique<TChangingStream>(input, input);
  TChangingStream& log = *stream;
  TCompressorState state;
  state.Input = std::move(stream);
  huff::InitNodes(state);
  huff::CountSymbols(state);
  EXPECT_EQ(log.ReadSizes, (std::vector<std::size_t>(3, huff::ChunkSize)));
  EXPECT_EQ(state.NodePool[7].Weight, 2 * huff::ChunkSize - 1);
  EXPECT_EQ(state.NodePool[9].Weight, 1);
  EXPECT_EQ(state.InputLength, 2u * huff::ChunkSize);
}

// --- Tree and codes ---------------------------------------------------------------------

TEST(BuildTree, ThreeEqualBytesMergeInSlotOrder) {
  auto state = CodedState(FromString("abc"));
  const auto& pool = state->NodePool;
  EXPECT_EQ(state->Root, 259);
  // Child1 is the first (lightest) node selected, Child0 the second.
  EXPECT_EQ(pool[257].Child1, 0x61);
  EXPECT_EQ(pool[257].Child0, 0x62);
  EXPECT_EQ(pool[258].Child1, 0x63);
  EXPECT_EQ(pool[258].Child0, EndMarker);
  EXPECT_EQ(pool[259].Child1, 257);
  EXPECT_EQ(pool[259].Child0, 258);
  EXPECT_EQ(CodeOf(*state, 0x61), "11");
  EXPECT_EQ(CodeOf(*state, 0x62), "10");
  EXPECT_EQ(CodeOf(*state, 0x63), "01");
  EXPECT_EQ(CodeOf(*state, EndMarker), "00");
  int present = 0;
  for (const auto& entry : state->CodeTable)
    present += entry.Present;
  EXPECT_EQ(present, 4);
  EXPECT_EQ(state->CodeTable[0x61].Symbol, 0x61);
  EXPECT_EQ(state->CodeTable[0x64].Symbol, 0);
}

TEST(BuildTree, TiesGoToTheLowestSlotLeavesBeforeInternalNodes) {
  auto state = CodedState(FromString("abracadabra"));
  const auto& pool = state->NodePool;
  const std::vector<std::pair<int, int>> merges = {
      {0x63, 0x64}, {EndMarker, 0x62}, {0x72, 257}, {258, 259}, {0x61, 260}};
  for (std::size_t i = 0; i < merges.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pool[257 + i].Child1, merges[i].first);
    EXPECT_EQ(pool[257 + i].Child0, merges[i].second);
  }
  EXPECT_EQ(state->Root, 261);
  EXPECT_EQ(CodeOf(*state, 'a'), "1");
  EXPECT_EQ(CodeOf(*state, 'b'), "010");
  EXPECT_EQ(CodeOf(*state, 'c'), "0001");
  EXPECT_EQ(CodeOf(*state, 'd'), "0000");
  EXPECT_EQ(CodeOf(*state, 'r'), "001");
  EXPECT_EQ(CodeOf(*state, EndMarker), "011");
}

TEST(BuildTree, OneRepeatedValueAndTheEndMarkerGetOneBitEach) {
  auto many = CodedState(Bytes(1000, 0x42));
  EXPECT_EQ(CodeOf(*many, 0x42), "0");
  EXPECT_EQ(CodeOf(*many, EndMarker), "1");
  // With one occurrence the tie goes to the byte value's lower slot, which is taken first.
  auto once = CodedState(Bytes(1, 0x42));
  EXPECT_EQ(CodeOf(*once, 0x42), "1");
  EXPECT_EQ(CodeOf(*once, EndMarker), "0");
}

TEST(BuildTree, AnEmptyInputLeavesTheEndMarkerAsARootWithoutCode) {
  auto state = CodedState({});
  EXPECT_EQ(state->Root, EndMarker);
  for (const auto& entry : state->CodeTable)
    EXPECT_FALSE(entry.Present);
}

TEST(BuildTree, AllByteValuesFillEverySlotUpTo512) {
  Bytes input;
  for (int i = 0; i < 256 * 3; ++i)
    input.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
  auto state = CodedState(input);
  EXPECT_EQ(state->Root, 512);
  EXPECT_EQ(state->NodePool[512].SymbolCount, 257);
  for (const auto& entry : state->CodeTable)
    EXPECT_TRUE(entry.Present);
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
        if (&a != &b) {
          ASSERT_NE(b.compare(0, a.size(), a), 0) << a << " prefixes " << b;
        }
  }
}

// Byte values that occur 1, 2, 3, 5, 8, ... times chain the tree: the deepest code is as
// long as there are byte values. 32 bits is the longest a code entry can state.
TEST(CheckCodeLengths, A33BitCodeIsRefusedAndA32BitCodeIsNot) {
  for (int count : {32, 33}) {
    SCOPED_TRACE(count);
    auto state = std::make_unique<TCompressorState>();
    huff::InitNodes(*state);
    std::int32_t previous = 1, current = 1;
    for (int value = 0; value < count; ++value) {
      state->NodePool[value].Weight = current;
      const std::int32_t next = previous + current;
      previous = current;
      current = next;
    }
    state->NodePool[EndMarker].Weight = 1;
    state->Input = std::make_unique<TMemoryStream>(Bytes{}, "fib.bin");
    huff::BuildTree(*state);
    huff::AssignCodes(*state);
    EXPECT_EQ(state->CodeTable[EndMarker].Length, count);
    EXPECT_EQ(state->CodeTable[0].Length, count);
    if (count == 32) {
      EXPECT_NO_THROW(huff::CheckCodeLengths(*state));
    } else {
      try {
        huff::CheckCodeLengths(*state);
        ADD_FAILURE() << "no error";
      } catch (const huff::ECodeTooLong& error) {
        EXPECT_EQ(error.Message(),
                  "File fib.bin needs a code of 33 bits for byte value 0x00, longer than the "
                  "32 bits a container can state");
      }
    }
  }
}

// --- The whole pass ---------------------------------------------------------------------

// The bytes below were worked out by hand from the container's layout: the start bit, the
// presence map with bits for 0x61 to 0x63 (0x38 at payload offset 12), four entries of
// 0, 00001 and two code bits, the data 11 10 01, the end marker 00 and the fill.
TEST(Compress, ThreeBytesGiveTheHandWorkedContainer) {
  Bytes expected = Header(38, 0, 0x34, 0x02);
  expected.push_back(0x80);
  expected.insert(expected.end(), 11, 0);
  expected.push_back(0x38);
  expected.insert(expected.end(), 19, 0);
  expected.insert(expected.end(), {0x03, 0x83, 0x02, 0x82, 0x72, 0x00});
  EXPECT_EQ(Pack(FromString("abc")), expected);
}

// Start bit, 256 zero presence bits, no entries, no end marker, seven fill bits.
TEST(Compress, AnEmptyInputGivesAStartBitAnEmptyMapAndFill) {
  Bytes expected = Header(33, 0, 128, 0);
  expected.push_back(0x80);
  expected.insert(expected.end(), 32, 0);
  EXPECT_EQ(Pack(Bytes{}), expected);
}

// The same byte counts, but two bytes swapped between segments: each segment's codes would
// no longer end where the next one's begin.
TEST(Compress, BytesThatMoveBetweenSegmentsFail) {
  Bytes counted(2 * huff::ChunkSize, 'a');
  counted[0] = 'b';
  Bytes encoded = counted;
  std::swap(encoded[0], encoded[huff::ChunkSize]);
  auto state = std::make_unique<TCompressorState>();
  state->Parallelism = {1, 1};  // one thread, a segment per chunk, taken in order
  state->Input = std::make_unique<TChangingStream>(counted, encoded);
  state->Output = std::make_unique<TMemoryStream>();
  EXPECT_THROW(huff::Compress(*state), huff::EInputChanged);
}

TEST(Compress, AnInputThatChangesBetweenThePassesFails) {
  const Bytes counted = FromString("abcabc");
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {FromString("abcabcabc"),
       "File image.bin grew while it was being packed: 6 bytes were counted"},
      {FromString("abc"),
       "File image.bin shrank while it was being packed: 6 bytes were counted, 3 read"},
      {FromString("abcabd"),
       "File image.bin changed while it was being packed: byte value 0x64 at offset 5 was not "
       "there when it was counted"},
  };
  for (const auto& [encoded, message] : cases) {
    for (auto* compress : {&huff::Compress, &huff::CompressBitByBit}) {
      auto state = std::make_unique<TCompressorState>();
      state->Input = std::make_unique<TChangingStream>(counted, encoded);
      state->Output = std::make_unique<TMemoryStream>();
      try {
        compress(*state);
        ADD_FAILURE() << "no error for " << message;
      } catch (const huff::EInputChanged& error) {
        EXPECT_EQ(error.Message(), message);
      }
    }
  }
}

}  // namespace
