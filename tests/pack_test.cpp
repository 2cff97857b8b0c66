// The pack side: the tree's tie-breaks, and the fast passes held against the straightforward
// ones, which define the container: the same bits and containers, and the same failures.
#include "pack/pack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "pack/bit_writer.h"
#include "support.h"

namespace {

using namespace testing_support;
using huff::ChunkSize;
using huff::EndMarker;

// Among equal weights the lower slot is taken first, and so reached by bit 1: a byte value
// before the end marker ("B"), a leaf before an internal node ('r' in "abracadabra"), an older
// internal node before a newer one ("abc"). A lone end marker gets no code.
TEST(BuildTree, TiesGiveTheKnownCodes) {
  const std::pair<std::string, std::map<int, std::string>> cases[] = {
      {"", {}},
      {"abc", {{'a', "11"}, {'b', "10"}, {'c', "01"}, {EndMarker, "00"}}},
      {"abracadabra",
       {{'a', "1"}, {'b', "010"}, {'c', "0001"}, {'d', "0000"}, {'r', "001"}, {EndMarker, "011"}}},
      {"B", {{'B', "1"}, {EndMarker, "0"}}},
      {std::string(1000, 'B'), {{'B', "0"}, {EndMarker, "1"}}},
  };
  for (const auto& [input, expected] : cases)
    EXPECT_EQ(CodesOf(Text(input)), expected) << input.substr(0, 11);
}

// Runs of values 0 to 7, of 1 to 600 bytes, between random bytes: they begin and end anywhere.
Bytes Runs(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    bytes.insert(bytes.end(), random() % 600 + 1, static_cast<std::uint8_t>(random() % 8));
    for (std::uint32_t k = random() % 12; k > 0; --k)
      bytes.push_back(static_cast<std::uint8_t>(random()));
  }
  return bytes;
}

// The kernel, with codes no tree gives, with pairs and without, watching for bytes without a
// code or not: the longest codes fill the accumulator after any pending bits, runs of one value
// take a path of their own, and a byte without a code (a changed input) is noticed anywhere.
TEST(EncodeBytes, WritesWhatWriteBitWritesAndNoticesBytesWithoutACode) {
  for (std::uint32_t longest = 1; longest <= 32; ++longest) {
    huff::TCodeTable codes;  // none for 0x77
    for (std::uint32_t value = 0; value < 256; ++value) {
      const std::uint32_t length = value == 255 ? longest : 1 + value % longest;
      codes[value] = {value == 0x77 ? 0 : value * 2654435761u >> (32 - length),
                      value == 0x77 ? 0 : length};
    }
    Bytes input = Runs(15000, longest);
    input.insert(input.end(), 1000, 0xFF);
    std::replace(input.begin(), input.end(), std::uint8_t{0x77}, std::uint8_t{0x78});
    Bytes out((7 + input.size() * longest) / 8 + 8);  // all the room the coder may take
    for (bool pairs : {false, true}) {
      huff::TFastCodeTable table = huff::FastCodes(codes, pairs);
      table.SomeAbsent = longest % 2 == 0;
      for (unsigned pending = 0; pending < 8; ++pending) {
        Bytes reference;
        huff::TBitWriter writer(reference);
        huff::WriteCode(writer, {0, pending});
        for (const std::uint8_t byte : input)
          huff::WriteCode(writer, codes[byte]);
        writer.FlushBits();
        huff::TBitAccumulator acc{0, pending};
        bool missing = false;
        auto* end = huff::EncodeBytes(table, input, out.data(), acc, missing);
        end = huff::StoreWholeBytes(acc, end) + (acc.Count > 0 ? 1 : 0);
        ASSERT_TRUE(!missing && Bytes(out.data(), end) == reference) << longest << " " << pending;
      }
      // First or second of a pair, in the last few bytes, or all of them with no bits pending.
      table.SomeAbsent = true;
      const std::size_t size = input.size();
      for (const std::size_t at :
           {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{8},
            std::size_t{9}, std::size_t{15000}, size - 1, size}) {
        Bytes changed = at < input.size() ? input : Bytes(16, 0x77);
        changed[std::min(at, changed.size() - 1)] = 0x77;
        huff::TBitAccumulator acc;
        bool missing = false;
        huff::EncodeBytes(table, changed, out.data(), acc, missing);
        ASSERT_TRUE(missing) << longest << " bits, byte " << at;
      }
    }
  }
}

// FibonacciImage(n) has a longest code of n bits: every grouping of codes per store meets segment
// ends; other shapes end segments and chunks anywhere, and take the pair table or not. Segments
// of 1 MiB, of one chunk each, and past the end of a small input.
TEST(Compress, TheFastPassWritesWhatWriteBitWritesForEveryCodeLengthAndSegmentCount) {
  std::vector<Bytes> inputs = {
      {}, {0x42}, Bytes(7, 0xFF), Bytes(huff::PairTableMinInput, 0), Runs(3 * ChunkSize, 6)};
  for (const std::size_t size : {std::size_t{ChunkSize} + 1, huff::PairTableMinInput - 1,
                                 huff::PairTableMinInput, std::size_t{600000}}) {
    inputs.push_back(RandomBytes(size, static_cast<unsigned>(size)));
    inputs.push_back(RandomBytes(size / 3, 5, 0.05));  // then erased flash
    inputs.back().resize(size, 0xFF);
  }
  for (int longest = 1; longest <= 32; ++longest) {
    inputs.push_back(FibonacciImage(longest));
    std::shuffle(inputs.back().begin(), inputs.back().end(), std::mt19937(longest));
  }
  for (const Bytes& input : inputs)
    for (const huff::TParallelism split : {huff::TParallelism{2, 1u << 20}, {1, 1}, {2, 1}, {7, 1}})
      ASSERT_TRUE(Pack(input, split) == PackBitByBit(input))
          << input.size() << " " << split.Threads;
}

// A file that reads differently in the second pass than it did in the first: a byte value not
// counted, or two bytes swapped between segments, so that each segment's codes would no longer
// end where the next one's begin; and a code too long for a container, which both passes refuse.
TEST(Compress, ChangedFilesAndTooLongCodesAreRefused) {
  const Bytes counted = Text("b" + std::string(2 * ChunkSize - 1, 'a'));
  Bytes moved = counted;
  std::swap(moved[0], moved[ChunkSize]);
  const std::string changed = " changed while it was being packed: byte value 0x64 at offset ";
  const std::tuple<Bytes, Bytes, std::string> cases[] = {
      // After "File <path>"; empty: any EInputChanged.
      {Text("abcabc"), Text("abcabd"), changed + "5 was not there when it was counted"},
      {Bytes(100, 'a'), Text("aaad" + std::string(96, 'a')),
       changed + "3 was not there when it was counted"},
      {counted, moved, ""},
  };
  TTempDir dir;
  for (const auto& [before, after, message] : cases) {
    WriteWholeFile(dir / "image.bin", before);
    huff::TCompressorState state;
    state.Parallelism = {1, 1};  // one thread, a segment per chunk, taken in order
    huff::OpenInput(state, dir / "image.bin");
    Bytes container(huff::PrepareContainer(state));
    state.Output.Memory = container;
    WriteWholeFile(dir / "image.bin", after);
    try {
      huff::EncodeSegments(state);
      ADD_FAILURE() << "no error: " << message;
    } catch (const huff::EInputChanged& error) {
      EXPECT_TRUE(message.empty() || error.Message() == "File " + (dir / "image.bin") + message)
          << error.Message();
    }
  }
  for (auto* pack : {+[](const Bytes& image) { return Pack(image); }, &PackBitByBit})
    try {
      pack(FibonacciImage(33));  // 32 bits is the longest a table states
      ADD_FAILURE() << "no error";
    } catch (const huff::ECodeTooLong& error) {
      EXPECT_EQ(error.Message(),
                "File memory needs a code of 33 bits for byte value 0x00, longer "
                "than the 32 bits a container can state");
    }
}

}  // namespace
