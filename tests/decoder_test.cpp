// The decoder: what the packer writes comes back byte for byte, any complete prefix code is
// read as stored, and every broken rule is rejected with what and where, whatever the bytes.
#include "decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "container.h"
#include "container_reader.h"
#include "errors.h"
#include "huffman.h"

namespace {

using huff::ChunkSize;
using huff::EndMarker;
using huff::TContainerSummary;
using huff::TMemoryStream;
using testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

Bytes Pack(const Bytes& input) {
  auto state = std::make_unique<huff::TCompressorState>();
  huff::ResetState(*state, "ZRQ-705", "Sarnveld");
  state->Input = std::make_unique<TMemoryStream>(input);
  auto output = std::make_unique<TMemoryStream>();
  TMemoryStream& written = *output;
  state->Output = std::move(output);
  huff::Compress(*state);
  return written.Contents();
}

struct TDecoded {
  TContainerSummary Summary;
  Bytes Image;
};

TDecoded Decode(const Bytes& container) {
  TMemoryStream in(container, "c.hex");
  TMemoryStream out;
  TDecoded decoded;
  decoded.Summary = huff::DecodeContainer(in, &out);
  decoded.Image = out.Contents();
  return decoded;
}

// The message of the EBadContainer that decoding raises; fails the test if it raises none.
std::string Rejection(const Bytes& container) {
  try {
    Decode(container);
  } catch (const huff::EBadContainer& error) {
    EXPECT_EQ(error.Kind(), "EBadContainer");
    return error.Message();
  }
  ADD_FAILURE() << "accepted";
  return {};
}

void SetU32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Gives a container whose payload was changed the PayloadSize and Checksum that match it.
void FixHeader(Bytes& container) {
  std::uint32_t sum = 0;
  for (std::size_t i = huff::HeaderSize; i < container.size(); ++i)
    sum += container[i];
  SetU32(container, 32, static_cast<std::uint32_t>(container.size() - huff::HeaderSize));
  SetU32(container, 36, sum);
}

// A payload written bit by bit, for containers the packer would never write.
class TBits {
 public:
  TBits& Add(const std::string& bits) {
    for (const char c : bits)
      if (c == '0' || c == '1')
        Stream += c;
    return *this;
  }
  // The low `count` bits of value, the most significant first; zeros beyond its 32 bits.
  TBits& Add(unsigned value, int count) {
    for (int k = count - 1; k >= 0; --k)
      Stream += static_cast<char>(k < 32 && ((value >> k) & 1) != 0 ? '1' : '0');
    return *this;
  }
  TBits& Entry(const std::string& code) {
    return Add("0").Add(static_cast<unsigned>(code.size() - 1), 5).Add(code);
  }
  // The start bit, the presence map and the entries, ascending: the end marker's last.
  TBits& Table(const std::map<int, std::string>& codes) {
    Add("1");
    for (int value = 0; value < 256; ++value)
      Add(codes.count(value) != 0 ? "1" : "0");
    for (const auto& [symbol, code] : codes)
      Entry(code);
    return *this;
  }
  // Header (right PayloadSize and Checksum), the bits, zero fill.
  Bytes Container() const {
    Bytes container = Text("ZRQ-705");
    container.resize(16);
    const Bytes maker = Text("Sarnveld");
    container.insert(container.end(), maker.begin(), maker.end());
    container.resize(huff::HeaderSize);
    container.resize(huff::HeaderSize + (Stream.size() + 7) / 8);
    for (std::size_t i = 0; i < Stream.size(); ++i)
      if (Stream[i] == '1')
        container[huff::HeaderSize + i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
    FixHeader(container);
    return container;
  }

 private:
  std::string Stream;  // '0' and '1'
};

// Uniform bytes, or with p > 0 geometrically distributed ones: long codes for rare values.
Bytes Sample(std::size_t size, unsigned seed, double p = 0) {
  std::mt19937 random(seed);
  std::geometric_distribution<int> geometric(p > 0 ? p : 0.5);
  Bytes bytes(size);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(p > 0 ? std::min(geometric(random), 255) : random() & 0xFF);
  return bytes;
}

// Regions like a flash image's: erased runs, a small vocabulary, noise.
Bytes FlashLike(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    const std::size_t length = std::min<std::size_t>(size - bytes.size(), 1000 + random() % 60000);
    const unsigned kind = random() % 3;
    for (std::size_t i = 0; i < length; ++i)
      bytes.push_back(kind == 0   ? 0xFF
                      : kind == 1 ? static_cast<std::uint8_t>(0x40 + random() % 24)
                                  : static_cast<std::uint8_t>(random()));
  }
  return bytes;
}

// --- Round trips ------------------------------------------------------------------------

TEST(RoundTrip, EveryShapeOfInputComesBackByteForByteWithItsSummary) {
  Bytes allValues(256);
  for (int i = 0; i < 256; ++i)
    allValues[i] = static_cast<std::uint8_t>(i * 37);
  Bytes mixed = Sample(300000, 1);
  mixed.insert(mixed.end(), 300000, 0xFF);
  const Bytes tail = Sample(300000, 2, 0.05);
  mixed.insert(mixed.end(), tail.begin(), tail.end());
  // Runs of every length of a value with a one-bit code, ending at every bit of a load.
  Bytes runs;
  for (std::size_t length = 1; length <= 400; ++length) {
    runs.insert(runs.end(), length, 0xFF);
    runs.push_back(static_cast<std::uint8_t>(length % 7));
  }
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"empty", {}},
      {"one byte", {0x42}},
      {"one value repeated", Bytes(1000, 0x00)},
      {"all 256 values", allValues},
      {"one chunk", Sample(ChunkSize, 3)},
      {"two chunks", Sample(2 * ChunkSize, 4, 0.3)},
      {"random", Sample(200001, 5)},
      {"skewed", Sample(500000, 6, 0.02)},
      {"flash-like", FlashLike(2000000, 7)},
      {"runs of every length", runs},
      {"noise, erased, skewed", mixed}};
  for (const auto& [name, input] : cases) {
    SCOPED_TRACE(name);
    const Bytes container = Pack(input);
    const TDecoded decoded = Decode(container);
    ASSERT_TRUE(decoded.Image == input);
    // The summary against the codes the independent reader found.
    const auto reference = testing_support::ReadContainer(container);
    std::vector<std::size_t> lengths;
    for (const std::string& code : reference.Codes)
      if (!code.empty())
        lengths.push_back(code.size());
    const TContainerSummary& summary = decoded.Summary;
    EXPECT_EQ(summary.ImageSize, input.size());
    EXPECT_EQ(summary.Header.Checksum, reference.Checksum);
    EXPECT_EQ(summary.CodedByteValues, std::max<int>(0, static_cast<int>(lengths.size()) - 1));
    EXPECT_EQ(summary.ShortestCode,
              lengths.empty() ? 0 : *std::min_element(lengths.begin(), lengths.end()));
    EXPECT_EQ(summary.LongestCode,
              lengths.empty() ? 0 : *std::max_element(lengths.begin(), lengths.end()));
  }
}

TEST(RoundTrip, CodesOfEveryLengthUpTo32BitsDecodeInAnyOrder) {
  Bytes input = testing_support::FibonacciImage(32);
  std::shuffle(input.begin(), input.end(), std::mt19937(8));
  const TDecoded decoded = Decode(Pack(input));
  EXPECT_EQ(decoded.Summary.LongestCode, 32);
  EXPECT_TRUE(decoded.Image == input);  // not EXPECT_EQ: a mismatch would print 9 MB
}

// Codes come from one particular tree, but a reader must not depend on which: any complete
// prefix code, in any order of lengths, reads as stored.
TEST(RoundTrip, AnyCompletePrefixCodeIsReadAsStored) {
  TBits bits;
  bits.Table({{'a', "0"}, {'b', "10"}, {EndMarker, "11"}}).Add("0 0 10 0 11");
  EXPECT_EQ(Decode(bits.Container()).Image, Text("aaba"));

  // A 32-bit code for the end marker, after a chain of ever longer codes.
  std::map<int, std::string> chain;
  std::string prefix;
  for (int value = 0; value < 31; ++value) {
    chain[value] = prefix + "1";
    prefix += "0";
  }
  chain[31] = prefix + "1";
  chain[EndMarker] = prefix + "0";
  ASSERT_EQ(chain[EndMarker].size(), 32u);
  TBits deep;
  deep.Table(chain).Add(chain[30]).Add(chain[0]).Add(chain[31]).Add(chain[EndMarker]);
  const TDecoded decoded = Decode(deep.Container());
  EXPECT_EQ(decoded.Image, (Bytes{30, 0, 31}));
  EXPECT_EQ(decoded.Summary.ShortestCode, 1);
  EXPECT_EQ(decoded.Summary.LongestCode, 32);
}

// A stream that hands out at most `Most` bytes per read, and logs how many were asked for.
class TTrickleStream final : public huff::TStream {
 public:
  TTrickleStream(Bytes bytes, std::size_t most) : Inner(std::move(bytes), "c.hex"), Most(most) {}
  std::size_t Read(std::span<std::uint8_t> data) override {
    Largest = std::max(Largest, data.size());
    return Inner.Read(data.first(std::min(data.size(), Most)));
  }
  void Write(std::span<const std::uint8_t>) override {}
  std::size_t ReadAt(std::uint64_t, std::span<std::uint8_t>) override { return 0; }
  void WriteAt(std::uint64_t, std::span<const std::uint8_t>) override {}
  void Rewind() override {}
  std::uint64_t Size() override { return Inner.Size(); }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return Inner.Name(); }

  TMemoryStream Inner;
  std::size_t Most;
  std::size_t Largest = 0;
};

TEST(Streaming, ReadsInBlocksAndDecodesTheSameWhateverEachReadReturns) {
  const Bytes input = FlashLike(300000, 9);
  const Bytes container = Pack(input);
  for (const std::size_t most : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
    SCOPED_TRACE(most);
    TTrickleStream in(container, most);
    TMemoryStream out;
    huff::DecodeContainer(in, &out);
    EXPECT_TRUE(out.Contents() == input);
    EXPECT_LE(in.Largest, static_cast<std::size_t>(ChunkSize));
  }
}

// --- Rejections -------------------------------------------------------------------------

TEST(Rejects, EachBrokenRuleIsNamedWithWhereItIs) {
  const Bytes abc = Pack(Text("abc"));
  Bytes longer = abc;
  longer.push_back(0);
  Bytes huge = abc;
  SetU32(huge, 32, 0xFFFFFFFF);  // no memory is taken on its word
  Bytes badSum = abc;
  SetU32(badSum, 36, 565);
  Bytes badName = abc;
  badName[15] = 'X';
  Bytes strayName = abc;
  strayName[16 + 10] = 'Z';
  Bytes trailing = abc;
  trailing.push_back(0);
  FixHeader(trailing);

  // The first entry follows the start bit and the map: payload bit 257, byte 72, bit 0x40.
  const struct {
    std::string Rule;
    Bytes Container;
    std::string Message;
  } cases[] = {
      {"an empty file", {}, "File c.hex is not a container: it holds 0 bytes, fewer than the 40"},
      {"a file shorter than a header", Bytes(abc.begin(), abc.begin() + 39),
       "it holds 39 bytes, fewer than the 40 of a header"},
      {"a byte more than PayloadSize", longer, "PayloadSize (byte 32) is 38, but 39 bytes follow"},
      {"a byte less than PayloadSize", Bytes(abc.begin(), abc.end() - 1),
       "PayloadSize (byte 32) is 38, but 37 bytes follow"},
      {"a huge PayloadSize", huge, "PayloadSize (byte 32) is 4294967295, but 38 bytes follow"},
      {"a wrong checksum", badSum, "its payload's bytes sum to 564, but Checksum (byte 36) is 565"},
      {"a name without its zero last byte", badName,
       "the NameID field is not a name of at most 15 bytes followed by zero bytes: byte 15 is "
       "0x58"},
      {"a name with bytes in its zero fill", strayName,
       "the Manufacturer field is not a name of at most 15 bytes followed by zero bytes: byte 26 "
       "is 0x5A"},
      {"an empty payload", TBits().Container(),
       "the payload ends at byte 40, inside the start bit"},
      {"no start bit", TBits().Add("0").Add(0, 256).Add("0000000").Container(),
       "does not begin with its start bit (a 1) at byte 40, bit 0x80"},
      {"a map cut short", TBits().Add("1").Add(0, 100).Container(),
       "the payload ends at byte 53, inside the presence map"},
      {"an entry without its leading 0 bit",
       TBits().Add("1").Add(0, 97).Add("1").Add(0, 158).Add("1 00000 1").Container(),
       "the code entry of byte value 0x61 at byte 72, bit 0x40 does not begin with a 0 bit"},
      {"two byte values' codes clashing",
       TBits().Table({{'a', "1"}, {'b', "10"}, {EndMarker, "0"}}).Container(),
       "the codes of byte value 0x61 (1, entry at byte 72, bit 0x40) and byte value 0x62 (10, "
       "entry at byte 73, bit 0x80) clash"},
      {"the end marker's code clashing",
       TBits().Table({{'a', "1"}, {'b', "01"}, {EndMarker, "0"}}).Add("1 0").Container(),
       "the codes of the end marker (0, entry at byte 74, bit 0x80) and byte value 0x62 (01"},
      {"codes that are not complete",
       TBits().Table({{'a', "1"}, {EndMarker, "01"}}).Add("1 01").Container(),
       "the codes are not complete (the code table ends at byte 74, bit 0x80): no code begins "
       "with 00"},
      {"no room for the end marker",
       TBits().Table({{'a', "1"}, {'b', "0"}}).Add("1 0 1").Container(),
       "the code entry of the end marker is missing at byte 73, bit 0x01: the byte values' "
       "codes leave no room for its code"},
      {"an end-marker entry after an empty map", TBits().Table({}).Entry("1").Add("1").Container(),
       "the presence map names no byte value, so only zero fill may follow it, but the bit at "
       "byte 72, bit 0x01 is 1"},
      {"a zero end-marker entry after an empty map",
       TBits().Table({}).Entry("0").Add("0").Container(),
       "the presence map names no byte value, so only zero fill may follow it: the stream ends at "
       "byte 73, but the payload goes on for 1 more byte"},
      {"data running past the end",
       TBits().Table({{'a', "0"}, {'b', "10"}, {EndMarker, "11"}}).Add("10").Container(),
       "the coded data runs past the end of the payload at byte 76 without the end marker's "
       "code"},
      {"the stream cut inside the table", TBits().Table({{'a', "0"}}).Container(),
       "the payload ends at byte 73, inside the code entry of the end marker"},
      {"a fill bit that is 1",
       TBits().Table({{'a', "0"}, {EndMarker, "1"}}).Add("0 1 001").Container(),
       "after the end marker's code only zero fill may follow, but the bit at byte 74, bit 0x10 "
       "is 1"},
      {"bytes after the end of the stream", trailing,
       "the stream ends at byte 78, but the payload goes on for 1 more byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Rule);
    const std::string message = Rejection(c.Container);
    EXPECT_THAT(message, HasSubstr(c.Message));
    EXPECT_TRUE(message.starts_with("Container c.hex is damaged: ") ||
                message.starts_with("File c.hex is not a container"))
        << message;
  }
}

// Every damage a transfer can do to a small container is caught: a flipped bit by the
// checksum, a cut by the length, and a cut whose header was made to match by the structure.
TEST(Rejects, EveryFlippedBitAndEveryCutIsCaught) {
  const Bytes container = Pack(FlashLike(3000, 10));
  for (std::size_t bit = huff::HeaderSize * 8; bit < container.size() * 8; ++bit) {
    Bytes flipped = container;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    ASSERT_THAT(Rejection(flipped), HasSubstr("its payload's bytes sum to")) << bit;
  }
  for (std::size_t size = 0; size < container.size(); ++size) {
    Bytes cut(container.begin(), container.begin() + static_cast<std::ptrdiff_t>(size));
    Rejection(cut);
    if (size >= huff::HeaderSize) {
      FixHeader(cut);
      Rejection(cut);
    }
  }
}

}  // namespace
