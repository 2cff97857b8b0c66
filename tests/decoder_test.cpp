// The decoder: what the packer writes comes back byte for byte, any complete prefix code is
// read as stored, and every broken rule is rejected with what and where, whatever the bytes.
// The device reader is held against it on every container here.
#include "unpack/decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "../bench/flash_image.h"
#include "base/errors.h"
#include "fuzz_common.h"
#include "reference_reader.h"
#include "sarnveld_decode.h"
#include "support.h"

namespace {

using huff::EndMarker;
using testing::HasSubstr;
using testing_support::Bytes;
using testing_support::Container;
using testing_support::Entry;
using testing_support::FixHeader;
using testing_support::Pack;
using testing_support::RandomBytes;
using testing_support::Table;
using testing_support::Text;
using testing_support::Unpack;

// The message of the EBadContainer that decoding raises; fails the test if it raises none.
std::string Rejection(const Bytes& container) {
  try {
    Unpack(container);
  } catch (const huff::EBadContainer& error) {
    EXPECT_EQ(error.Kind(), "EBadContainer");
    return error.Message();
  }
  ADD_FAILURE() << "accepted";
  return {};
}

// Codes of every length: byte value k's is k 0 bits and a 1, the end marker's 32 0 bits.
std::map<int, std::string> Chain() {
  std::map<int, std::string> chain{{EndMarker, std::string(32, '0')}};
  for (int value = 0; value < 32; ++value)
    chain[value] = std::string(static_cast<std::size_t>(value), '0') + "1";
  return chain;
}

// Random piece sizes, empty pieces among them.
std::vector<std::uint8_t> RandomPieces(unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> pieces(97);
  for (auto& size : pieces)
    size = static_cast<std::uint8_t>(random() % 4 == 0 ? 0 : random() % 256);
  return pieces;
}

// The independent reader and the device reader accept
// what hex2plain's decoder accepts, with the same image; the device reader with the same
// outcome fed whole, a byte at a time and in random pieces, going on from a copy of its
// state. Returns the device reader's status.
int ExpectReadersAgree(const Bytes& container) {
  std::unique_ptr<Bytes> expected;
  try {
    expected = std::make_unique<Bytes>(Unpack(container).Image);
  } catch (const huff::EBadContainer&) {
  }
  const auto reference = reference::ReadImage(container);
  EXPECT_EQ(reference.has_value(), expected != nullptr);
  EXPECT_TRUE(!reference || !expected || *reference == *expected);
  const fuzz::TDeviceOutcome whole = fuzz::DeviceDecode(container);
  EXPECT_EQ(whole.Broken, "");
  EXPECT_EQ(whole.Status == SARNVELD_DECODE_OK, expected != nullptr) << whole.Status;
  EXPECT_TRUE(!expected || whole.Image == *expected);
  const std::vector<std::uint8_t> byteByByte = {1};
  for (const auto& pieces : {byteByByte, RandomPieces(static_cast<unsigned>(container.size()))})
    EXPECT_TRUE(fuzz::DeviceDecode(container, pieces, container.size() % 53) == whole);
  return whole.Status;
}

TEST(RoundTrip, EveryShapeOfInputComesBackByteForByteWithItsSummary) {
  Bytes allValues(256);
  for (int i = 0; i < 256; ++i)
    allValues[i] = static_cast<std::uint8_t>(i * 37);
  // Runs of every length of a value with a one-bit code, ending at every bit of a load.
  Bytes runs;
  for (std::size_t length = 1; length <= 400; ++length) {
    runs.insert(runs.end(), length, 0xFF);
    runs.push_back(static_cast<std::uint8_t>(length % 7));
  }
  Bytes mixed = RandomBytes(300000, 1);
  mixed.insert(mixed.end(), 300000, 0xFF);
  const Bytes skewed = RandomBytes(300000, 2, 0.05);
  mixed.insert(mixed.end(), skewed.begin(), skewed.end());
  // Nearly every code of one length: 8 bits (noise) and 4 bits (sixteen values).
  Bytes sixteen = RandomBytes(3 * huff::ChunkSize + 5, 9);
  for (auto& byte : sixteen)
    byte %= 16;
  Bytes deep = testing_support::FibonacciImage(32);
  std::shuffle(deep.begin(), deep.end(), std::mt19937(8));
  // Short regions of erased, skewed and noisy bytes: the decoder's lanes reach their ends at
  // different times, in runs and in long codes.
  Bytes regions;
  std::mt19937 sizes(11);
  for (unsigned region = 0; region < 90; ++region) {
    const std::size_t size = 500 + sizes() % 20000;
    const Bytes bytes = region % 3 == 0   ? Bytes(size, 0xFF)
                        : region % 3 == 1 ? RandomBytes(size, region, 0.03)
                                          : RandomBytes(size, region);
    regions.insert(regions.end(), bytes.begin(), bytes.end());
  }
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"empty", {}},
      {"one byte", {0x42}},
      {"one value repeated", Bytes(1000, 0x00)},
      {"all 256 values", allValues},
      {"two chunks", RandomBytes(2 * huff::ChunkSize, 4, 0.3)},
      {"skewed", RandomBytes(500000, 6, 0.02)},
      {"noise, erased, skewed", mixed},
      {"runs of every length", runs},
      {"short regions of erased, skewed and noisy bytes", regions},
      {"noise", RandomBytes(3 * huff::ChunkSize + 3, 7)},
      {"sixteen values", sixteen},
      {"codes of every length up to 32, shuffled", deep}};
  for (const auto& [name, input] : cases) {
    SCOPED_TRACE(name);
    const Bytes container = Pack(input);
    const auto [summary, image] = Unpack(container);
    ASSERT_TRUE(image == input);  // not EXPECT_EQ: a mismatch would print megabytes
    ExpectReadersAgree(container);
    EXPECT_EQ(summary.ImageSize, input.size());
    EXPECT_EQ(static_cast<std::size_t>(summary.CodedByteValues),
              std::set<std::uint8_t>(input.begin(), input.end()).size());
  }
  EXPECT_EQ(Unpack(Pack(deep)).Summary.LongestCode, 32);
}

// Codes come from one particular tree, but a reader must not depend on which: any complete
// prefix code, in any order of lengths, reads as stored.
TEST(RoundTrip, AnyCompletePrefixCodeIsReadAsStored) {
  const auto abc = Table({{'a', "0"}, {'b', "10"}, {EndMarker, "11"}});
  EXPECT_EQ(Unpack(Container(abc + "0 0 10 0 11")).Image, Text("aaba"));
  ExpectReadersAgree(Container(abc + "0 0 10 0 11"));

  // A 32-bit code for the end marker, after a chain of ever longer codes.
  auto chain = Chain();
  const Bytes longest =
      Container(Table(chain) + chain[30] + chain[0] + chain[31] + chain[EndMarker]);
  ExpectReadersAgree(longest);
  const auto [summary, image] = Unpack(longest);
  EXPECT_EQ(image, (Bytes{30, 0, 31}));
  EXPECT_EQ(summary.ShortestCode, 1);
  EXPECT_EQ(summary.LongestCode, 32);
}

TEST(Rejects, EachBrokenRuleIsNamedWithWhereItIs) {
  const auto codes = Table({{'a', "0"}, {'b', "10"}, {EndMarker, "11"}});
  const Bytes abc = Pack(Text("abc"));
  Bytes longer = abc;
  longer.push_back(0);
  Bytes huge = abc;
  std::fill_n(huge.begin() + 32, 4, 0xFF);  // no memory is taken on its word
  Bytes badSum = abc;
  badSum[36] = 0x35;  // 565
  Bytes badName = abc;
  badName[15] = 'X';
  Bytes strayName = abc;
  strayName[16 + 10] = 'Z';
  Bytes trailing = longer;
  FixHeader(trailing);

  enum {
    BadHeader = SARNVELD_DECODE_BAD_HEADER,
    BadTable = SARNVELD_DECODE_BAD_TABLE,
    BadStream = SARNVELD_DECODE_BAD_STREAM,
    BadSize = SARNVELD_DECODE_BAD_SIZE,
    BadChecksum = SARNVELD_DECODE_BAD_CHECKSUM
  };
  // The first entry follows the start bit and the map: payload bit 257, byte 72, bit 0x40.
  const struct {
    std::string Rule;
    Bytes Container;
    std::string Message;
    int Device;  // the device reader's status
  } cases[] = {
      {"an empty file",
       {},
       "File c.hex is not a container: it holds 0 bytes, fewer than the 40",
       BadSize},
      {"a file shorter than a header", Bytes(abc.begin(), abc.begin() + 39),
       "it holds 39 bytes, fewer than the 40 of a header", BadSize},
      {"a byte more than PayloadSize", longer, "PayloadSize (byte 32) is 38, but 39 bytes follow",
       BadSize},
      {"a byte less than PayloadSize", Bytes(abc.begin(), abc.end() - 1),
       "PayloadSize (byte 32) is 38, but 37 bytes follow", BadSize},
      {"a huge PayloadSize", huge, "PayloadSize (byte 32) is 4294967295, but 38 bytes follow",
       BadSize},
      {"a wrong checksum", badSum, "its payload's bytes sum to 564, but Checksum (byte 36) is 565",
       BadChecksum},
      {"a name without its zero last byte", badName,
       "the NameID field is not a name of at most 15 bytes followed by zero bytes: byte 15 is "
       "0x58",
       BadHeader},
      {"a name with bytes in its zero fill", strayName,
       "the Manufacturer field is not a name of at most 15 bytes followed by zero bytes: byte 26 "
       "is 0x5A",
       BadHeader},
      {"an empty payload", Container(""), "the payload ends at byte 40, inside the start bit",
       BadStream},
      {"no start bit", Container(std::string(264, '0')),
       "does not begin with its start bit (a 1) at byte 40, bit 0x80", BadTable},
      {"a map cut short", Container("1" + std::string(100, '0')),
       "the payload ends at byte 53, inside the presence map", BadStream},
      {"an entry without its leading 0 bit",
       Container("1" + std::string(97, '0') + "1" + std::string(158, '0') + "1 00000 1"),
       "the code entry of byte value 0x61 at byte 72, bit 0x40 does not begin with a 0 bit",
       BadTable},
      // In code order the clash of 'c' and the end marker comes first; in the stream, a's and b's.
      {"two byte values' codes clashing",
       Container(Table({{'a', "1"}, {'b', "11"}, {'c', "0"}, {EndMarker, "00"}})),
       "the codes of byte value 0x61 (1, entry at byte 72, bit 0x40) and byte value 0x62 (11, "
       "entry at byte 73, bit 0x80) clash",
       BadTable},
      {"the end marker's code clashing",
       Container(Table({{'a', "1"}, {'b', "01"}, {EndMarker, "0"}}) + "1 0"),
       "the codes of byte value 0x62 (01, entry at byte 73, bit 0x80) and the end marker (0, entry "
       "at byte 74, bit 0x80) clash",
       BadTable},
      {"codes that are not complete", Container(Table({{'a', "1"}, {EndMarker, "01"}}) + "1 01"),
       "the codes are not complete (the code table ends at byte 74, bit 0x80): no code begins "
       "with 00",
       BadTable},
      {"no room for the end marker", Container(Table({{'a', "1"}, {'b', "0"}}) + "1 0 1"),
       "the code entry of the end marker is missing at byte 73, bit 0x01: the byte values' "
       "codes leave no room for its code",
       BadTable},
      {"an end-marker entry after an empty map", Container(Table({}) + Entry("1") + "1"),
       "the presence map names no byte value, so only zero fill may follow it, but the bit at "
       "byte 72, bit 0x01 is 1",
       BadStream},
      {"a zero end-marker entry after an empty map", Container(Table({}) + Entry("0") + "0"),
       "the presence map names no byte value, so only zero fill may follow it: the stream ends at "
       "byte 73, but the payload goes on for 1 more byte",
       BadStream},
      {"data running past the end", Container(codes + "10"),
       "the coded data runs past the end of the payload at byte 76 without the end marker's "
       "code",
       BadStream},
      {"the stream cut inside the table", Container(Table({{'a', "0"}})),
       "the payload ends at byte 73, inside the code entry of the end marker", BadStream},
      {"a fill bit that is 1", Container(Table({{'a', "0"}, {EndMarker, "1"}}) + "0 1 001"),
       "after the end marker's code only zero fill may follow, but the bit at byte 74, bit 0x10 "
       "is 1",
       BadStream},
      {"bytes after the end of the stream", trailing,
       "the stream ends at byte 78, but the payload goes on for 1 more byte", BadStream},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Rule);
    const std::string message = Rejection(c.Container);
    EXPECT_THAT(message, HasSubstr(c.Message));
    EXPECT_EQ(ExpectReadersAgree(c.Container), c.Device);
    EXPECT_TRUE(message.starts_with("Container c.hex is damaged: ") ||
                message.starts_with("File c.hex is not a container"))
        << message;
  }
}

// Every damage a transfer can do to a small container is caught: a flipped bit by the
// checksum, a cut by the length, and a cut whose header was made to match by the structure.
TEST(Rejects, EveryFlippedBitAndEveryCutIsCaught) {
  const Bytes container = Pack(RandomBytes(3000, 10, 0.1));
  const auto pieces = RandomPieces(5);
  for (std::size_t bit = huff::HeaderSize * 8; bit < container.size() * 8; ++bit) {
    Bytes flipped = container;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    ASSERT_THAT(Rejection(flipped), HasSubstr("its payload's bytes sum to")) << bit;
    ASSERT_NE(fuzz::DeviceDecode(flipped, pieces, bit % 7).Status, SARNVELD_DECODE_OK) << bit;
  }
  for (std::size_t size = 0; size < container.size(); ++size) {
    Bytes cut(container.begin(), container.begin() + static_cast<std::ptrdiff_t>(size));
    Rejection(cut);
    ASSERT_EQ(fuzz::DeviceDecode(cut, pieces).Status, SARNVELD_DECODE_BAD_SIZE) << size;
    if (size >= huff::HeaderSize) {
      FixHeader(cut);
      Rejection(cut);
      ASSERT_NE(fuzz::DeviceDecode(cut, pieces).Status, SARNVELD_DECODE_OK) << size;
    }
  }
}

TEST(Device, TheSinkIsCalledNoMoreOnceItAnswersNonzero) {
  const Bytes image = bench::TFlashImage::Make(100000);
  const Bytes container = Pack(image);
  for (const std::size_t stopAfter : {1, 2, 300}) {
    SCOPED_TRACE(stopAfter);
    const auto outcome = fuzz::DeviceDecode(container, RandomPieces(5), 3, stopAfter);
    EXPECT_EQ(outcome.Status, SARNVELD_DECODE_STOPPED);
    EXPECT_EQ(outcome.Broken, "");
    EXPECT_TRUE(!outcome.Image.empty() &&
                std::equal(outcome.Image.begin(), outcome.Image.end(), image.begin()));
  }
}

// --- One thread and two: the same image, summary and error, whatever the input ----------

// A container whose reads go wrong at byte `at`: they raise, or find that the file ended.
class TFailingReads final : public testing_support::TStubStream {
 public:
  TFailingReads(const Bytes& bytes, std::size_t at, bool raise)
      : TStubStream("c.hex"), Inner(bytes, "c.hex"), At(at), Raise(raise) {}
  std::size_t Read(std::span<std::uint8_t> data) override {
    if (Position < At) {
      const std::size_t count = Inner.Read(data.first(std::min(data.size(), At - Position)));
      Position += count;
      return count;
    }
    if (Raise)
      throw huff::EInOutError("Cannot read c.hex: Input/output error");
    return 0;
  }
  std::uint64_t Size() override { return Inner.Size(); }

 private:
  huff::TMemoryStream Inner;
  std::size_t Position = 0;
  const std::size_t At;
  const bool Raise;
};

// Takes the image, and the size of each write: whichever thread decoded what, the image must
// come in whole blocks, the last one shorter.
class TRecordedWrites final : public testing_support::TStubStream {
 public:
  TRecordedWrites() : TStubStream("image") {}
  Bytes Contents;
  std::vector<std::size_t> Sizes;

  void Write(std::span<const std::uint8_t> data) override {
    Contents.insert(Contents.end(), data.begin(), data.end());
    Sizes.push_back(data.size());
  }
};

// The image and summary, or what was raised, as one comparable text and the image.
std::pair<std::string, Bytes> Outcome(huff::TStream& in, const huff::TDecodeOptions& options) {
  TRecordedWrites out;
  try {
    const huff::TContainerSummary s = huff::DecodeContainer(in, &out, options);
    for (std::size_t i = 0; i < out.Sizes.size(); ++i)
      EXPECT_TRUE(out.Sizes[i] == huff::ChunkSize ||
                  (i + 1 == out.Sizes.size() && out.Sizes[i] > 0 && out.Sizes[i] < huff::ChunkSize))
          << "write " << i << " of " << out.Sizes[i] << " bytes";
    return {"image " + std::to_string(s.ImageSize) + ", " + std::to_string(s.CodedByteValues) +
                " values, codes " + std::to_string(s.ShortestCode) + "-" +
                std::to_string(s.LongestCode),
            out.Contents};
  } catch (const huff::EError& error) {
    return {error.Kind() + ": " + error.Message(), {}};
  }
}

// Windows of the smallest size, of an odd one and of the default size: many meetings with the
// worker, and many failures to meet.
const std::size_t WindowSizes[] = {64, 1000, huff::TDecodeOptions{}.WindowBytes};

// `make` gives a fresh stream of the same container each time.
template <typename TMake>
void ExpectOneAndTwoThreadsAgree(TMake make) {
  auto one = make();
  const auto expected = Outcome(*one, {.Threads = 1});
  for (const std::size_t window : WindowSizes) {
    auto two = make();
    const auto [summary, image] = Outcome(*two, {.Threads = 2, .WindowBytes = window});
    EXPECT_EQ(summary, expected.first) << "window " << window;
    EXPECT_TRUE(image == expected.second) << "window " << window;
  }
}

void ExpectOneAndTwoThreadsAgree(const Bytes& container) {
  ExpectReadersAgree(container);
  ExpectOneAndTwoThreadsAgree(
      [&] { return std::make_unique<huff::TMemoryStream>(container, "c.hex"); });
}

TEST(Threads, TwoDecodeEveryShapeOfInputAsOneDoes) {
  // Codes of every length up to 32 bits, side by side, as no packed image puts them.
  auto chain = Chain();
  std::string bits = Table(chain);
  std::mt19937 random(3);
  std::geometric_distribution<int> lengths(0.3);
  for (int code = 0; code < 200000; ++code)
    bits += chain[std::min(lengths(random), 31)];
  Bytes sixteen = RandomBytes(300000, 9);
  for (auto& byte : sixteen)
    byte %= 16;
  Bytes erased(1 << 20, 0xFF);
  for (std::size_t at = 0; at < erased.size(); at += 4099 + at % 17)
    erased[at] = static_cast<std::uint8_t>(at);
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"flash", Pack(bench::TFlashImage::Make(1 << 20))},
      {"noise", Pack(RandomBytes(300000, 7))},
      {"sixteen values", Pack(sixteen)},
      {"skewed", Pack(RandomBytes(500000, 6, 0.02))},
      {"erased, a few other bytes", Pack(erased)},
      {"codes of every length up to 32 bits", Container(bits)},
      {"a window's worth", Pack(RandomBytes(huff::TDecodeOptions{}.WindowBytes * 5 / 4, 4, 0.2))},
      {"tiny", Pack(Text("abc"))}};
  for (const auto& [name, container] : cases) {
    SCOPED_TRACE(name);
    ExpectOneAndTwoThreadsAgree(container);
  }
}

TEST(Threads, TwoRaiseWhatOneRaisesForEveryDamage) {
  const Bytes container = Pack(bench::TFlashImage::Make(200000));
  const std::size_t payloadBits = (container.size() - huff::HeaderSize) * 8;
  for (std::size_t n = 1; n < 40; ++n) {
    SCOPED_TRACE(n);
    // A flipped bit, caught by the checksum, or by the structure once the header matches.
    Bytes flipped = container;
    const std::size_t bit = huff::HeaderSize * 8 + payloadBits * n / 40 + n % 8;
    flipped[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    ExpectOneAndTwoThreadsAgree(flipped);
    FixHeader(flipped);
    ExpectOneAndTwoThreadsAgree(flipped);
    // A cut, with the header made to match.
    Bytes cut(container.begin(),
              container.begin() +
                  static_cast<std::ptrdiff_t>(huff::HeaderSize + payloadBits / 8 * n / 40 + n % 7));
    FixHeader(cut);
    ExpectOneAndTwoThreadsAgree(cut);
    // Reads that fail, or find the file shrunk, before or after a damage that the header
    // hides.
    for (const bool raise : {true, false})
      for (const Bytes* bytes : {&container, static_cast<const Bytes*>(&flipped)})
        ExpectOneAndTwoThreadsAgree(
            [&] { return std::make_unique<TFailingReads>(*bytes, bytes->size() * n / 40, raise); });
  }
}

}  // namespace
