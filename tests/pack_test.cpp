// The fast passes against the straightforward ones, which define the container: the same
// counts, sums, bits and containers; and the failures both raise.
#include "pack/pack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "container/bit_writer.h"
#include "support.h"

namespace {

using huff::ChunkSize;
using huff::TMemoryStream;
using testing_support::Bytes;
using testing_support::Pack;
using testing_support::RandomBytes;
using testing_support::Text;

// Runs of values 0 to 7, of 1 to 600 bytes, between random bytes: runs begin and end anywhere
// within a word and a block of 64.
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

TEST(CountAndSumBytes, TheFastKernelsAgreeWithTheOneByOneOnesAtAnyLengthAndAlignment) {
  for (const Bytes& input : {RandomBytes(5000, 1), Bytes(5000, 0xFF), Runs(5000, 2)})
    for (std::size_t start = 0; start < 17; ++start)
      for (std::size_t size : {0, 1, 7, 8, 9, 15, 16, 17, 31, 33, 63, 64, 4000}) {
        const std::span<const std::uint8_t> bytes(input.data() + start, size);
        huff::THistogram fast{}, plain{};
        fast[3] = plain[3] = 5;  // counts are added to what is there
        huff::CountBytes(bytes, fast);
        huff::CountBytesOneByOne(bytes, plain);
        ASSERT_EQ(fast, plain) << start << " " << size;
        ASSERT_EQ(huff::SumBytes(bytes), huff::SumBytesOneByOne(bytes)) << start << " " << size;
      }
  const Bytes full(16843010 + 5, 0xFF);  // sums past 2^32, and wraps
  EXPECT_EQ(huff::SumBytes(full), huff::SumBytesOneByOne(full));
}

// The kernel on its own, with codes no tree would give, through the pair table and without:
// runs of the longest code fill the accumulator to the brim after any number of pending bits,
// and a byte without a code (the input changed after it was counted) is noticed anywhere.
TEST(EncodeBytes, WritesWhatWriteBitWritesAndNoticesBytesWithoutACode) {
  std::mt19937 random(4);
  for (std::uint32_t longest = 1; longest <= 32; ++longest) {
    huff::TCodeTable codes;
    for (std::uint32_t value = 0; value < 256; ++value) {
      const std::uint32_t length = value == 255 ? longest : 1 + value % longest;
      codes[value] = {random() >> (32 - length), length};
    }
    // Runs of one value take a path of their own when eight codes fit one store.
    Bytes input = Runs(15000, longest);
    input.insert(input.end(), 1000, 0xFF);
    Bytes clean = RandomBytes(40, longest);
    std::replace(clean.begin(), clean.end(), std::uint8_t{0x77}, std::uint8_t{0x78});
    for (bool pairs : {false, true}) {
      huff::TFastCodeTable table = huff::FastCodes(codes, pairs);
      table.SomeAbsent = longest % 2 == 0;  // both loops: watching for absent codes or not
      for (unsigned pending = 0; pending < 8; ++pending) {
        SCOPED_TRACE(testing::Message() << longest << " bits, " << pending << " pending");
        TMemoryStream sink;
        huff::TBitWriter writer(sink);
        for (unsigned i = 0; i < pending; ++i)
          writer.WriteBit(0);
        for (const std::uint8_t byte : input)
          huff::WriteCode(writer, codes[byte]);
        writer.FlushBits();
        // Exactly the room the coder may take, so that AddressSanitizer sees any store past it.
        Bytes out((7 + input.size() * longest) / 8 + 8);
        huff::TBitAccumulator acc{0, pending};
        bool missing = false;
        auto* end = huff::EncodeBytes(table, input, out.data(), acc, missing);
        out.resize(static_cast<std::size_t>(huff::StoreWholeBytes(acc, end) - out.data()) +
                   (acc.Count > 0 ? 1 : 0));
        ASSERT_FALSE(missing);
        ASSERT_TRUE(out == sink.Contents());
      }
      // A byte without a code: first or second of a pair, in the last few bytes, a run of eight
      // (at 40) and all of them (at 41).
      huff::TCodeTable without = codes;
      without[0x77] = {};
      table = huff::FastCodes(without, pairs);
      for (std::size_t at = 0; at < 42; ++at) {
        Bytes changed = clean;
        if (at < 40)
          changed[at] = 0x77;
        else
          std::fill_n(changed.begin() + (at == 40 ? 8 : 0), at == 40 ? 8 : 40, 0x77);
        huff::TBitAccumulator acc{0, static_cast<unsigned>(at % 8)};
        bool missing = false;
        Bytes out(40 * 4 + 16);
        huff::EncodeBytes(table, changed, out.data(), acc, missing);
        ASSERT_TRUE(missing) << longest << " bits, byte " << at;
      }
    }
  }
}

// FibonacciImage(n) has a longest code of exactly n bits: every length from 1 to 32, and so
// every grouping of codes per store, meets segment boundaries; other shapes end segments and
// chunks anywhere, and take the pair table or not.
TEST(Compress, TheFastPassWritesWhatWriteBitWritesForEveryCodeLengthAndSegmentCount) {
  std::mt19937 random(3);
  std::vector<Bytes> inputs = {
      {}, {0x42}, Bytes(7, 0xFF), Bytes(huff::PairTableMinInput, 0), Runs(3 * ChunkSize, 6)};
  for (const std::size_t size : {std::size_t{ChunkSize} + 1, huff::PairTableMinInput - 1,
                                 huff::PairTableMinInput, std::size_t{600000}}) {
    inputs.push_back(RandomBytes(size, static_cast<unsigned>(size)));
    inputs.push_back(RandomBytes(size, 5, 0.05));
    std::fill(inputs.back().begin() + static_cast<std::ptrdiff_t>(size / 3), inputs.back().end(),
              0xFF);
  }
  for (int longest = 1; longest <= 32; ++longest) {
    inputs.push_back(testing_support::FibonacciImage(longest));
    std::shuffle(inputs.back().begin(), inputs.back().end(), random);
  }
  for (const Bytes& input : inputs) {
    const Bytes reference = Pack(input, {1, 1}, &huff::CompressBitByBit);
    ASSERT_TRUE(Pack(input, {2, 1u << 20}) == reference) << input.size();
    // Segments of one chunk each, and segments past the end of a small input.
    for (int threads : {1, 2, 3, 7})
      ASSERT_TRUE(Pack(input, {threads, 1}) == reference) << input.size() << " " << threads;
  }
}

// An input that reads differently from the start of the second pass on.
class TChangingStream final : public testing_support::TStubStream {
 public:
  TChangingStream(Bytes first, Bytes second)
      : TStubStream("image.bin"), Passes{TMemoryStream(first), TMemoryStream(second)} {}
  std::size_t Read(std::span<std::uint8_t> data) override { return Passes[Pass].Read(data); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    Pass = offset == 0 && Started ? 1 : Pass;
    Started = Started || offset == 0;
    return Passes[Pass].ReadAt(offset, data);
  }
  void Rewind() override { Passes[Pass = 1].Rewind(); }
  std::uint64_t Size() override { return Passes[Pass].Size(); }

 private:
  TMemoryStream Passes[2];
  int Pass = 0;
  bool Started = false;
};

TEST(Compress, BothPassesRefuseAChangedInputAndATooLongCode) {
  // The same byte counts, but two bytes swapped between segments: each segment's codes would
  // no longer end where the next one's begin.
  Bytes counted(2 * ChunkSize, 'a');
  counted[0] = 'b';
  Bytes moved = counted;
  std::swap(moved[0], moved[ChunkSize]);
  const Bytes deep = testing_support::FibonacciImage(33);  // 32 bits is the longest a table states
  const std::string changed = "File image.bin changed while it was being packed: byte value 0x64";
  const struct {
    Bytes Counted, Encoded;
    std::string Message;  // empty: any; fast pass only, a single pass cannot tell
  } cases[] = {
      {Text("abcabc"), Text("abcabcabc"),
       "File image.bin grew while it was being packed: 6 bytes were counted"},
      {Text("abcabc"), Text("abc"),
       "File image.bin shrank while it was being packed: 6 bytes were counted, 3 read"},
      {Text("abcabc"), Text("abcabd"), changed + " at offset 5 was not there when it was counted"},
      {Bytes(100, 'a'), Text("aaad" + std::string(96, 'a')),
       changed + " at offset 3 was not there when it was counted"},
      {counted, moved, ""},
      {deep, deep,
       "File image.bin needs a code of 33 bits for byte value 0x00, longer than the 32 bits a "
       "container can state"},
  };
  for (const auto& c : cases) {
    for (auto* compress : {&huff::Compress, &huff::CompressBitByBit}) {
      if (c.Message.empty() && compress != &huff::Compress)
        continue;
      huff::TCompressorState state;
      state.Plan.Parallelism = {1, 1};  // one thread, a segment per chunk, taken in order
      state.Input = std::make_unique<TChangingStream>(c.Counted, c.Encoded);
      state.Output = std::make_unique<TMemoryStream>();
      try {
        compress(state);
        ADD_FAILURE() << "no error: " << c.Message;
      } catch (const huff::EError& error) {
        EXPECT_TRUE(c.Message.empty() ? error.Kind() == "EInputChanged"
                                      : error.Message() == c.Message)
            << error.Message();
      }
    }
  }
}

// For "abc" the start bit, the presence map with bits for 0x61 to 0x63 (0x38 at payload offset
// 12), four entries of 0, 00001 and two code bits, the data 11 10 01, the end marker 00 and the
// fill; for nothing the start bit, an empty map and the fill.
TEST(Compress, AbcAndTheEmptyInputGiveTheHandWorkedContainersWhoseHeadersReadBack) {
  const Bytes header = Text(std::string("ZRQ-705\0\0\0\0\0\0\0\0\0Sarnveld\0\0\0\0\0\0\0\0", 32));
  Bytes abc = header, empty = header;
  abc.insert(abc.end(), {38, 0, 0, 0, 0x34, 0x02, 0, 0, 0x80});
  abc.insert(abc.end(), 11, 0);
  abc.push_back(0x38);
  abc.insert(abc.end(), 19, 0);
  abc.insert(abc.end(), {0x03, 0x83, 0x02, 0x82, 0x72, 0x00});
  empty.insert(empty.end(), {33, 0, 0, 0, 128, 0, 0, 0, 0x80});
  empty.insert(empty.end(), 32, 0);
  for (const Bytes& container : {abc, empty}) {
    for (auto* compress : {&huff::Compress, &huff::CompressBitByBit})
      EXPECT_EQ(Pack(Text(container == abc ? "abc" : ""), {}, compress), container);
    const std::span<const std::uint8_t, huff::HeaderSize> bytes(container.data(), huff::HeaderSize);
    const huff::TContainerHeader read = huff::DecodeHeader(bytes);
    EXPECT_EQ(read.PayloadSize, container.size() - huff::HeaderSize);
    EXPECT_TRUE(std::ranges::equal(huff::EncodeHeader(read), bytes));
  }
}

}  // namespace
