// The fast passes against the straightforward ones: the same counts, the same checksum and,
// for every code length and any number of segments, the same container byte for byte.
#include "passes.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "bit_writer.h"
#include "container.h"
#include "container_reader.h"
#include "histogram.h"

namespace {

using huff::ChunkSize;
using huff::TCompressorState;
using huff::TMemoryStream;
using Bytes = std::vector<std::uint8_t>;

Bytes RandomBytes(std::size_t size, std::mt19937& random, double skew = 0) {
  Bytes bytes(size);
  std::geometric_distribution<int> geometric(skew > 0 ? skew : 0.5);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(skew > 0 ? geometric(random) : random());
  return bytes;
}

Bytes PackWith(void (*compress)(TCompressorState&), const Bytes& input, int threads = 0,
               std::uint64_t minSegment = 1u << 20) {
  auto state = std::make_unique<TCompressorState>();
  huff::ResetState(*state, "ZRQ-705", "Sarnveld");
  state->Parallelism = {threads, minSegment};
  state->Input = std::make_unique<TMemoryStream>(input);
  auto output = std::make_unique<TMemoryStream>();
  TMemoryStream& written = *output;
  state->Output = std::move(output);
  compress(*state);
  return written.Contents();
}

TEST(CountBytes, FourHistogramsCountAsOneDoesAtAnyLengthAndAlignment) {
  std::mt19937 random(1);
  const Bytes noise = RandomBytes(5000, random);
  const Bytes runs(5000, 0xFF);
  for (const Bytes* input : {&noise, &runs}) {
    for (std::size_t start = 0; start < 9; ++start) {
      for (std::size_t size : {0, 1, 7, 8, 9, 63, 64, 4000}) {
        const std::span<const std::uint8_t> bytes(input->data() + start, size);
        huff::THistogram fast{}, plain{};
        fast[3] = plain[3] = 5;  // counts are added to what is there
        huff::CountBytes(bytes, fast);
        huff::CountBytesOneByOne(bytes, plain);
        ASSERT_EQ(fast, plain) << start << " " << size;
      }
    }
  }
}

TEST(SumBytes, TheVectorSumEqualsTheByteByByteSum) {
  std::mt19937 random(2);
  const Bytes noise = RandomBytes(70000, random);
  for (std::size_t start = 0; start < 17; ++start)
    for (std::size_t size : {0, 1, 15, 16, 17, 31, 33, 1000, 69000})
      ASSERT_EQ(huff::SumBytes(std::span(noise.data() + start, size)),
                huff::SumBytesOneByOne(std::span(noise.data() + start, size)))
          << start << " " << size;
  // 0xFF bytes sum past 2^32 and wrap.
  const Bytes full(16843010 + 5, 0xFF);
  EXPECT_EQ(huff::SumBytes(full), huff::SumBytesOneByOne(full));
}

TEST(PlanSegments, SegmentsTileTheInputOnChunkBoundaries) {
  for (std::uint64_t size : {0ull, 1ull, 32768ull, 32769ull, 1000000ull, 2147483646ull}) {
    for (int threads : {1, 2, 3, 7}) {
      for (std::uint64_t minimum : {1ull, 1ull << 20}) {
        const auto segments = huff::PlanSegments(size, {threads, minimum});
        ASSERT_GE(segments.size(), 1u);
        ASSERT_LE(segments.size(), threads * huff::SegmentsPerThread);
        EXPECT_EQ(segments.front().Begin, 0u);
        EXPECT_EQ(segments.back().End, size);
        for (std::size_t i = 0; i < segments.size(); ++i) {
          EXPECT_LE(segments[i].Begin, segments[i].End);
          if (i > 0) {
            EXPECT_EQ(segments[i].Begin, segments[i - 1].End);
          }
          if (segments[i].Begin < size) {
            EXPECT_EQ(segments[i].Begin % ChunkSize, 0u);
          }
        }
      }
    }
  }
}

// The kernel on its own, with tables that no tree would give: runs of the longest code fill
// the accumulator to the brim, after any number of bits already pending.
TEST(EncodeBytes, PacksTheBitsWriteBitWouldForEveryLongestLengthAndOffset) {
  std::mt19937 random(4);
  for (int longest = 1; longest <= 32; ++longest) {
    huff::TFastCodeTable table;
    for (int value = 0; value < 256; ++value) {
      const int length = value == 255 ? longest : 1 + value % longest;
      table.Codes[value] = {static_cast<std::uint32_t>(random()) >> (32 - length),
                            static_cast<std::uint32_t>(length)};
    }
    huff::FinishFastCodes(table);
    table.SomeAbsent = longest % 2 == 0;  // both loops: watching for absent codes or not
    // Runs of one value take a path of their own when eight codes fit one store.
    Bytes input = RandomBytes(3000, random);
    input.insert(input.end(), 1000, 0xFF);
    input.insert(input.end(), 999, 0x00);
    input.insert(input.end(), 13, 0x01);
    input.insert(input.end(), 5, 0x02);
    for (int pending = 0; pending < 8; ++pending) {
      SCOPED_TRACE(testing::Message() << longest << " bits, " << pending << " pending");
      TMemoryStream sink;
      huff::TBitWriter writer(sink);
      for (int i = 0; i < pending; ++i)
        writer.WriteBit(0);
      for (std::uint8_t byte : input)
        for (int k = static_cast<int>(table.Codes[byte].Length) - 1; k >= 0; --k)
          writer.WriteBit(static_cast<std::uint8_t>(table.Codes[byte].Code >> k));
      writer.FlushBits();

      Bytes out(input.size() * 4 + 16);
      huff::TBitAccumulator acc;
      acc.Count = static_cast<unsigned>(pending);
      bool missing = false;
      std::uint8_t* end = huff::EncodeBytes(table, input, out.data(), acc, missing);
      const std::uint8_t* last = huff::StoreWholeBytes(acc, end);
      out.resize(static_cast<std::size_t>(last - out.data()) + (acc.Count > 0 ? 1 : 0));
      ASSERT_FALSE(missing);
      ASSERT_TRUE(out == sink.Contents());
    }
  }
}

TEST(EncodeBytes, AByteWithoutCodeIsReportedWhereverItStands) {
  huff::TFastCodeTable table;
  table.MaxLength = 3;
  for (int value = 0; value < 256; ++value)
    table.Codes[value] = {5, 3};
  table.Codes[0x42] = {};
  for (std::size_t at : {0, 1, 2, 3, 4, 99}) {
    Bytes input(100, 7);
    input[at] = 0x42;
    Bytes out(100);
    huff::TBitAccumulator acc;
    bool missing = false;
    huff::EncodeBytes(table, input, out.data(), acc, missing);
    EXPECT_TRUE(missing) << at;
  }
}

// Byte values occurring 1, 2, 3, 5, ... times make the longest code exactly as long as there
// are values: every length from 1 to 32, and so every grouping of codes per store.
TEST(Compress, TheFastPassWritesWhatWriteBitWritesForEveryCodeLength) {
  for (int longest = 1; longest <= 32; ++longest) {
    SCOPED_TRACE(longest);
    Bytes input = testing_support::FibonacciImage(longest);
    std::mt19937 random(static_cast<unsigned>(longest));
    std::shuffle(input.begin(), input.end(), random);
    const Bytes reference = PackWith(&huff::CompressBitByBit, input);
    ASSERT_EQ(testing_support::ReadContainer(reference).Codes[huff::EndMarker].size(),
              static_cast<std::size_t>(longest));
    for (int threads : {1, 2})
      ASSERT_TRUE(PackWith(&huff::Compress, input, threads) == reference);
    // Many segments: every grouping of codes per store meets segment boundaries.
    ASSERT_TRUE(PackWith(&huff::Compress, input, 3, 1) == reference);
  }
}

TEST(Compress, TheContainerIsTheSameForAnyNumberOfSegments) {
  std::mt19937 random(3);
  std::vector<Bytes> inputs = {{}, {0x42}, Bytes(7, 0xFF)};
  for (std::size_t size :
       {std::size_t{ChunkSize} - 1, std::size_t{ChunkSize}, std::size_t{ChunkSize} + 1,
        std::size_t{3} * ChunkSize + 3, std::size_t{600000}}) {
    inputs.push_back(RandomBytes(size, random));
    inputs.push_back(RandomBytes(size, random, 0.2));
    Bytes flash = RandomBytes(size, random, 0.05);
    std::fill(flash.begin() + static_cast<std::ptrdiff_t>(size / 3), flash.end(), 0xFF);
    inputs.push_back(flash);
  }
  for (const Bytes& input : inputs) {
    SCOPED_TRACE(input.size());
    const Bytes reference = PackWith(&huff::CompressBitByBit, input);
    for (int threads : {1, 2, 3, 7}) {
      // Segments of one chunk each, and segments past the end of a small input.
      ASSERT_TRUE(PackWith(&huff::Compress, input, threads, 1) == reference) << threads;
    }
  }
}

}  // namespace
