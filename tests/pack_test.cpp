// The pack side: the tree's tie-breaks, and the packer's passes held against the
// straightforward ones, which define the container: the same containers, and the same failures.
#include "pack/pack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "pack/bit_writer.h"
#include "pack/fast_coder.h"
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

// FibonacciImage(n)'s longest code is n bits: every grouping of codes per store meets segment
// ends; other shapes end segments and chunks anywhere, with the pair table or not. Segments of
// 1 MiB, of one chunk each, and past the end of a small input.
TEST(Compress, TheFastPassWritesWhatWriteBitWritesForEveryCodeLengthAndSegmentCount) {
  std::vector<Bytes> inputs = {{}, {0x42}, Bytes(7, 0xFF), Bytes(huff::PairTableMinInput, 0), {}};
  // Runs of values 0 to 7, of 1 to 600 bytes, between random bytes: they begin and end anywhere.
  std::mt19937 random(6);
  for (Bytes& runs = inputs.back(); runs.size() < 3 * ChunkSize;) {
    runs.insert(runs.end(), random() % 600 + 1, static_cast<std::uint8_t>(random() % 8));
    for (std::uint32_t k = random() % 12; k > 0; --k)
      runs.push_back(static_cast<std::uint8_t>(random()));
  }
  for (const std::uint64_t size : {std::uint64_t{ChunkSize} + 1, huff::PairTableMinInput - 1,
                                   huff::PairTableMinInput, std::uint64_t{600000}}) {
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
  // Every code as long as the longest, after 0 to 7 pending bits: each store as full as the
  // bound on its codes lets it be, with pairs and without.
  for (std::uint32_t length = 1; length <= 32; ++length) {
    huff::TCodeTable codes;
    for (huff::TCodeEntry& code : codes)
      code = {random() & ((std::uint64_t{1} << length) - 1), length};
    const Bytes input = RandomBytes(200, length);
    for (unsigned pending = 0; pending < 8; ++pending) {
      Bytes expected, fast((7 + input.size() * length) / 8 + 8);
      huff::TBitWriter writer(expected);
      huff::WriteCode(writer, {0, pending});
      for (const std::uint8_t byte : input)
        huff::WriteCode(writer, codes[byte]);
      writer.FlushBits();
      for (const bool pairs : {false, true}) {
        huff::TBitAccumulator acc{0, pending};
        bool missing = false;
        std::uint8_t* end =
            huff::EncodeBytes(huff::FastCodes(codes, pairs), input, fast.data(), acc, missing);
        huff::StoreWholeBytes(acc, end);
        EXPECT_TRUE(Bytes(fast.data(), end + (acc.Count > 0)) == expected)
            << length << " " << pending;
      }
    }
  }
}

// A file that reads differently in the second pass: a byte value not counted, anywhere in a
// chunk, with the pair table or not; two bytes swapped between segments, whose codes would no
// longer meet; or fewer bytes. And a code too long for a container, which both passes refuse.
TEST(Compress, ChangedFilesAndTooLongCodesAreRefused) {
  TTempDir dir;
  const std::string path = dir / "image.bin";
  const std::string changed = "File " + path + " changed while it was being packed: ";
  const auto refusal = [&](const Bytes& before, const Bytes& after) {
    WriteWholeFile(path, before);
    huff::TCompressorState state;
    state.Parallelism = {1, 1};  // one thread, a segment per chunk, taken in order
    huff::OpenInput(state, path);
    Bytes container(huff::PrepareContainer(state));
    state.Output.Memory = container;
    WriteWholeFile(path, after);
    try {
      huff::EncodeSegments(state);
    } catch (const huff::EInputChanged& error) {
      return error.Message();
    }
    return std::string("no error");
  };
  // Short codes (and runs) without pairs and with them, then the longest codes of four, three,
  // two and one a store.
  for (const Bytes& before :
       {RandomBytes(100, 1, 0.8), RandomBytes(huff::PairTableMinInput, 2, 0.8), FibonacciImage(17),
        FibonacciImage(24), FibonacciImage(30)}) {
    const std::size_t size = before.size();
    for (const std::size_t at : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{9},
                                 size - ChunkSize % size - 1, size - ChunkSize % size, size - 1}) {
      Bytes after = before;
      after[at] = 0x64;
      EXPECT_EQ(refusal(before, after), changed + "byte value 0x64 at offset " +
                                            std::to_string(at) +
                                            " was not there when it was counted");
    }
  }
  const Bytes counted = Text("b" + std::string(3 * ChunkSize - 1, 'a'));
  Bytes moved = counted;
  std::swap(moved[0], moved[ChunkSize]);
  EXPECT_EQ(refusal(counted, moved), changed + "the bytes from offset 0 to " +
                                         std::to_string(ChunkSize) +
                                         " no longer hold what was counted");
  // Cut inside the middle segment: the count is the whole input's, not the segment's.
  EXPECT_EQ(refusal(counted, Bytes(counted.begin(), counted.begin() + ChunkSize + 5)),
            "File " + path + " shrank while it was being packed: " + std::to_string(3 * ChunkSize) +
                " bytes were counted, " + std::to_string(ChunkSize + 5) + " read");
  // The packer's run pins the fast pass's message; the straightforward pass refuses alike.
  EXPECT_THROW(PackBitByBit(FibonacciImage(33)), huff::ECodeTooLong);
}

}  // namespace
