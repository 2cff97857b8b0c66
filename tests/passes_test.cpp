// The fast passes against the straightforward ones: the same counts, the same checksum and,
// for every code length and any number of segments, the same container byte for byte.
#include "pack/passes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "container/bit_writer.h"
#include "pack/histogram.h"
#include "support.h"

namespace {

using huff::ChunkSize;
using testing_support::Bytes;
using testing_support::Pack;
using testing_support::RandomBytes;

// Runs of values 0 to 7, of 1 to 600 bytes, between random bytes: runs begin and end anywhere
// within a word and a block of 64.
Bytes RunsBetweenNoise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    bytes.insert(bytes.end(), random() % 600 + 1, static_cast<std::uint8_t>(random() % 8));
    for (std::uint32_t k = random() % 12; k > 0; --k)
      bytes.push_back(static_cast<std::uint8_t>(random()));
  }
  return bytes;
}

TEST(CountAndSumBytes, TheFastKernelsAgreeWithTheOneByOneOnesAtAnyLengthAndAlignment) {
  const Bytes noise = RandomBytes(70000, 1);
  const Bytes runs(5000, 0xFF);
  const Bytes mixed = RunsBetweenNoise(60000, 2);
  for (const Bytes* input : {&noise, &runs, &mixed})
    for (std::size_t start = 0; start < 17; ++start)
      for (std::size_t size : {0, 1, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 4000}) {
        SCOPED_TRACE(testing::Message() << start << " " << size);
        const std::span<const std::uint8_t> bytes(input->data() + start, size);
        huff::THistogram fast{}, plain{};
        fast[3] = plain[3] = 5;  // counts are added to what is there
        huff::CountBytes(bytes, fast);
        huff::CountBytesOneByOne(bytes, plain);
        ASSERT_EQ(fast, plain);
        ASSERT_EQ(huff::SumBytes(bytes), huff::SumBytesOneByOne(bytes));
      }
  ASSERT_EQ(huff::SumBytes(std::span(noise.data() + 3, 69000)),
            huff::SumBytesOneByOne(std::span(noise.data() + 3, 69000)));
  // 0xFF bytes sum past 2^32 and wrap.
  const Bytes full(16843010 + 5, 0xFF);
  EXPECT_EQ(huff::SumBytes(full), huff::SumBytesOneByOne(full));
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
    // Runs of one value take a path of their own when eight codes fit one store: values 0
    // to 7 have codes of 1 to 8 bits, as far as the longest allows.
    Bytes input = RandomBytes(3000, static_cast<unsigned>(longest));
    const Bytes runs = RunsBetweenNoise(12000, static_cast<unsigned>(longest));
    input.insert(input.end(), runs.begin(), runs.end());
    input.insert(input.end(), 1000, 0xFF);
    input.insert(input.end(), 999, 0x00);
    input.insert(input.end(), 13, 0x01);
    input.insert(input.end(), 5, 0x02);
    for (int pending = 0; pending < 8; ++pending) {
      SCOPED_TRACE(testing::Message() << longest << " bits, " << pending << " pending");
      huff::TMemoryStream sink;
      huff::TBitWriter writer(sink);
      for (int i = 0; i < pending; ++i)
        writer.WriteBit(0);
      for (std::uint8_t byte : input)
        for (int k = static_cast<int>(table.Codes[byte].Length) - 1; k >= 0; --k)
          writer.WriteBit(static_cast<std::uint8_t>(table.Codes[byte].Code >> k));
      writer.FlushBits();

      // Exactly the room the coder may take, so that AddressSanitizer sees any store past it.
      Bytes out((7 + input.size() * static_cast<std::size_t>(longest)) / 8 + 8);
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

// A byte whose value has no code (the input changed after it was counted) is noticed
// wherever it falls: first or second of a pair, in a run, in the last few bytes, after any
// number of pending bits.
TEST(EncodeBytes, NoticesAByteWithoutACodeAnywhere) {
  for (int longest : {4, 12, 13, 14, 20, 32}) {
    huff::TFastCodeTable table;
    for (int value = 0; value < 256; ++value)
      if (value != 0x77)
        table.Codes[value] = {0, static_cast<std::uint32_t>(1 + value % longest)};
    huff::FinishFastCodes(table);
    ASSERT_TRUE(table.SomeAbsent);
    Bytes input = RandomBytes(40, static_cast<unsigned>(longest));
    std::replace(input.begin(), input.end(), std::uint8_t{0x77}, std::uint8_t{0x78});
    Bytes out(input.size() * 4 + 16);
    for (std::size_t at = 0; at <= input.size(); ++at) {
      SCOPED_TRACE(testing::Message() << longest << " bits, byte " << at);
      Bytes changed = input;
      if (at < input.size())
        changed[at] = 0x77;
      else
        std::fill_n(changed.begin() + 8, 8, 0x77);  // a run of eight
      huff::TBitAccumulator acc;
      bool missing = false;
      huff::EncodeBytes(table, changed, out.data(), acc, missing);
      ASSERT_TRUE(missing);
      missing = false;
      huff::EncodeBytes(table, input, out.data(), acc, missing);
      ASSERT_FALSE(missing);
    }
    // Two pairs without a code add no bits: with none pending, a store adds nothing at all.
    for (unsigned pending = 0; pending < 8; ++pending) {
      SCOPED_TRACE(testing::Message() << longest << " bits, " << pending << " pending");
      const Bytes absent(16, 0x77);
      huff::TBitAccumulator acc;
      acc.Count = pending;
      bool missing = false;
      huff::EncodeBytes(table, absent, out.data(), acc, missing);
      ASSERT_TRUE(missing);
    }
  }
}

// FibonacciImage(n) has a longest code of exactly n bits: every length from 1 to 32, and so
// every grouping of codes per store, meets segment boundaries; other shapes end segments
// and chunks anywhere.
TEST(Compress, TheFastPassWritesWhatWriteBitWritesForEveryCodeLengthAndSegmentCount) {
  std::mt19937 random(3);
  std::vector<Bytes> inputs = {{}, {0x42}, Bytes(7, 0xFF)};
  for (std::size_t size : {ChunkSize - 1, ChunkSize + 1, 3 * ChunkSize + 3, 600000}) {
    inputs.push_back(RandomBytes(size, static_cast<unsigned>(size)));
    Bytes flash = RandomBytes(size, 5, 0.05);
    std::fill(flash.begin() + static_cast<std::ptrdiff_t>(size / 3), flash.end(), 0xFF);
    inputs.push_back(flash);
  }
  for (int longest = 1; longest <= 32; ++longest) {
    inputs.push_back(testing_support::FibonacciImage(longest));
    std::shuffle(inputs.back().begin(), inputs.back().end(), random);
  }
  for (const Bytes& input : inputs) {
    SCOPED_TRACE(input.size());
    const Bytes reference = Pack(input, {1, 1}, &huff::CompressBitByBit);
    ASSERT_TRUE(Pack(input, {2, 1u << 20}) == reference);
    // Segments of one chunk each, and segments past the end of a small input.
    for (int threads : {1, 2, 3, 7})
      ASSERT_TRUE(Pack(input, {threads, 1}) == reference) << threads;
  }
}

// Keeps what is written, and every positioned write made; sleeps after some of them, at
// random, to change which coder finds the other writing.
class TRecordingStream final : public testing_support::TStubStream {
 public:
  explicit TRecordingStream(unsigned seed) : TStubStream("out"), Random(seed), Sleeps(seed != 0) {}
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    bool sleep = false;
    {
      const std::lock_guard lock(Recording);
      Writes.emplace_back(offset, data.size());
      sleep = Sleeps && Random() % 2 == 0;
    }
    if (sleep)
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    Kept.WriteAt(offset, data);
  }
  huff::TMemoryStream Kept;
  std::vector<std::pair<std::uint64_t, std::size_t>> Writes;

 private:
  std::mutex Recording;
  std::mt19937 Random;
  bool Sleeps;
};

// The coders take turns at writing as they find each other writing, but the writes are the
// same on every run: each is a whole block of a segment's bytes, or a segment's last piece.
TEST(Compress, MakesTheSameWritesWhicheverCoderWaits) {
  Bytes input = RandomBytes(6u << 20, 9, 0.05);
  for (std::size_t at = 0; at < input.size(); at += 300000)
    std::fill_n(input.begin() + static_cast<std::ptrdiff_t>(at), 150000, 0xFF);
  const Bytes reference = Pack(input, {1, 1u << 30});
  for (const huff::TParallelism parallelism :
       {huff::TParallelism{2, 1u << 20}, huff::TParallelism{3, 1u << 20},
        huff::TParallelism{7, 1}}) {
    std::vector<std::pair<std::uint64_t, std::size_t>> first;
    for (unsigned timing = 0; timing < 3; ++timing) {
      SCOPED_TRACE(testing::Message() << parallelism.Threads << " threads, timing " << timing);
      auto state = std::make_unique<huff::TCompressorState>();
      huff::ResetState(*state, "ZRQ-705", "Sarnveld");
      state->Parallelism = parallelism;
      state->Input = std::make_unique<huff::TMemoryStream>(input);
      auto output = std::make_unique<TRecordingStream>(timing);
      TRecordingStream& recorded = *output;
      state->Output = std::move(output);
      huff::Compress(*state);
      ASSERT_TRUE(recorded.Kept.Contents() == reference);
      std::sort(recorded.Writes.begin(), recorded.Writes.end());
      if (timing == 0)
        first = recorded.Writes;
      else
        ASSERT_EQ(recorded.Writes, first);
    }
  }
}

}  // namespace
