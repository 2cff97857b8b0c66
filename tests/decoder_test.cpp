// The decoder: the fast decode gives what the straightforward one (lanes, runs and stride off)
// gives, on generated inputs and on damage; every broken rule is named with what and where, and
// the device reader refuses it too. (The fuzz targets hold the device reader to the decoder.)
#include "unpack/decoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <map>
#include <random>
#include <string>

#include "base/errors.h"
#include "sarnveld_decode.h"
#include "support.h"

namespace {

using namespace testing_support;
using huff::EndMarker;
using testing::AnyOf, testing::HasSubstr, testing::StartsWith;

// What the fast decode says (its summary, or what it raised) and gives, as the straightforward
// one must, and the fast one with a worker over windows of the smallest size, an odd one and
// one large enough for the worker's lanes; and from a file, whose windows have zeros after them.
std::pair<std::string, Bytes> Decode(const Bytes& container) {
  const huff::TDecodeOptions ways[] = {
      {false, false, false, false, 1},      {.Threads = 1},
      {.Threads = 2, .WindowBytes = 16},    {.Threads = 2, .WindowBytes = 1000},
      {.Threads = 2, .WindowBytes = 40000}, {.Threads = 1}};
  const TTempDir dir;
  WriteWholeFile(dir / "c.hex", container);
  const auto file = huff::TFile::OpenForReading(dir / "c.hex");
  std::pair<std::string, Bytes> outcomes[std::size(ways)];
  for (std::size_t way = 0; way < std::size(ways); ++way) {
    auto& [said, image] = outcomes[way];
    try {
      image.resize(container.size() * 8);  // room for the most a payload can code
      const sarnveld::Summary s =
          huff::DecodeContainer({.Memory = container,
                                 .File = way + 1 == std::size(ways) ? file.get() : nullptr,
                                 .Name = "c.hex"},
                                {.Into = std::span(image)}, ways[way]);
      image.resize(static_cast<std::size_t>(s.ImageSize));
      said = "image " + std::to_string(s.ImageSize) + ", " + std::to_string(s.CodedByteValues) +
             " values, codes " + std::to_string(s.ShortestCode) + "-" +
             std::to_string(s.LongestCode);
    } catch (const sarnveld::Error& error) {
      said = error.Kind() + ": " + error.Message();
      image.clear();
    }
    EXPECT_EQ(outcomes[0].first, said) << "way " << way;
    EXPECT_TRUE(outcomes[0].second == image) << "way " << way;  // EXPECT_EQ would print megabytes
  }
  return outcomes[1];
}

// Generated images of regions: runs of 0xFF, ending anywhere in a load; noise; skewed bytes
// (long codes); values below 16. The lanes end at different times. In every other image the
// runs make most of it, and 0xFF gets a one-bit code, decoded in runs.
TEST(Decode, EveryShapeOfInputAndCodeDecodesAlikeEveryWay) {
  std::mt19937 random(9);
  Bytes image, packed;
  for (std::size_t size = 0, n = 0; size < 2 << 20; size = size * 2 + 1000, ++n) {
    for (image.clear(); image.size() < size;) {
      const unsigned kind = random() % 4, most = n % 2 == 0 ? 20000 : 60;
      Bytes region = kind == 0 ? Bytes(random() % 600 + 1, 0xFF)
                               : RandomBytes(random() % most, random(), kind == 1 ? 0.02 : 0);
      for (auto& byte : region)
        byte %= kind == 3 ? 16 : 256;
      region.push_back(static_cast<std::uint8_t>(random() % 7));
      image.insert(image.end(), region.begin(), region.end());
    }
    ASSERT_TRUE(Decode(packed = Pack(image)).second == image) << size;
    // Damage past the checksum anywhere, a flipped bit or a cut, decodes or fails alike every way.
    for (int damage = 0; damage < 4; ++damage) {
      const std::size_t at = huff::HeaderSize + random() % (packed.size() - huff::HeaderSize);
      Bytes flipped = packed, cut(packed.begin(), packed.begin() + at);
      flipped[at] ^= 1 << random() % 8;
      for (Bytes* damaged : {&flipped, &cut}) {
        FixHeader(*damaged);
        Decode(*damaged);
      }
    }
  }
  // Any complete prefix code reads as stored: byte value k's code k 1 bits and a 0, the end
  // marker's 32 1 bits, side by side as no packed image puts them.
  std::map<int, std::string> chain{{EndMarker, std::string(32, '1')}};
  for (int value = 0; value < 32; ++value)
    chain[value] = std::string(static_cast<std::size_t>(value), '1') + "0";
  std::string bits = Table(chain);
  std::geometric_distribution<int> lengths(0.3);
  Bytes chained;
  for (int code = 0; code < 200000; ++code) {
    chained.push_back(static_cast<std::uint8_t>(std::min(lengths(random), 31)));
    bits += chain[chained.back()];
  }
  const Bytes chainedContainer = Container(bits + chain[EndMarker]);
  const auto [said, decoded] = Decode(chainedContainer);
  EXPECT_THAT(said, HasSubstr(", 32 values, codes 1-32"));
  EXPECT_TRUE(decoded == chained && DeviceDecode(chainedContainer).Image == chained);
  // The end marker's code is among the shortest, here the only one of one bit.
  EXPECT_THAT(Decode(Container(Table({{'a', "10"}, {'b', "11"}, {EndMarker, "0"}}) + "10 0")).first,
              HasSubstr("codes 1-2"));
  // After codes of 12 bits (a step of the fast decode takes four), whatever bit they begin at,
  // the end marker's code across the end of a file's first block: only the checked step reads
  // past the bytes loaded. Codes follow it, not fill: where the true decode meets the worker's
  // guess there, the end marker must stop it too.
  for (std::size_t lead = 0; lead < 48; ++lead) {
    std::string twelves = Table(chain) + std::string(lead, '0');
    while (twelves.size() < 8 * huff::ChunkSize - 28)
      twelves += chain[11];
    Decode(Container(twelves + chain[EndMarker] + chain[11] + chain[EndMarker]));
  }
  // An image past the thread's buffer is decoded into memory asked for once, for the most its
  // codes can make: noise's shortest has 7 bits, so not eight bytes for each payload byte. The
  // Allocate may pack and decode: its buffers and tables are not those of the decode that asked.
  std::uint64_t asked = 0;
  Bytes room;
  const sarnveld::Allocate allocate = [&](std::uint64_t size) {
    huff::DecodeContainer({.Memory = Pack(Text("nested")), .Name = "n.hex"}, {});
    room.resize(static_cast<std::size_t>(asked = size));
    return std::span(room);
  };
  const Bytes noise = RandomBytes(3 << 19, 4);
  huff::DecodeContainer({.Memory = Pack(noise), .Name = "c.hex"}, {.Allocate = &allocate});
  EXPECT_TRUE(asked > noise.size() && asked < noise.size() * 3 / 2 &&
              std::equal(noise.begin(), noise.end(), room.begin()));
  // The device reader gives the last image whole, and stops at the call after which its sink
  // answered nonzero.
  EXPECT_TRUE(DeviceDecode(packed) == (TDeviceOutcome{SARNVELD_DECODE_OK, image, ""}));
  const TDeviceOutcome stopped = DeviceDecode(packed, Bytes{100}, 3, 2);
  EXPECT_EQ(stopped.Status, SARNVELD_DECODE_STOPPED);
  EXPECT_TRUE(stopped.Broken.empty() && !stopped.Image.empty() &&
              std::equal(stopped.Image.begin(), stopped.Image.end(), image.begin()));
  // A stop at the bytes before a fault comes first, whether the fault came in the same call.
  const Bytes faulty = Container(Table({{'a', "0"}, {EndMarker, "1"}}) + "0 1 001");
  for (const Bytes& pieces : {Bytes{}, Bytes{1}})
    EXPECT_TRUE(DeviceDecode(faulty, pieces, 0, 1) ==
                (TDeviceOutcome{SARNVELD_DECODE_STOPPED, Text("a"), ""}));
}

TEST(Decode, EachBrokenRuleIsNamedWithWhereItIs) {
  const Bytes abc = Pack(Text("abc"));
  Bytes huge = abc, badSum = abc, badName = abc, strayName = abc;
  std::fill_n(huge.begin() + 32, 4, 0xFF);  // no memory is taken on its word
  badSum[36] = 0x35;                        // 565
  std::fill_n(badName.begin(), 16, 'X');    // a name with no zero after it
  strayName[16] = 0;  // the Manufacturer's first byte: "arnveld" follows a zero
  // Byte value k's code: 13 0 bits, then k in 8 bits, 0's 3 bits longer: 271 inner nodes, more
  // than a tree of 257 codes has. The device reader must stop at the 256th: past the tree,
  // node 270 would lie on its payload count, made as a byte ends.
  std::map<int, std::string> deep;
  for (int value = 0; value < 256; ++value)
    deep[value] = std::string(13, '0') + std::bitset<8>(value).to_string();
  deep[0] += "000";
  const int BadHeader = SARNVELD_DECODE_BAD_HEADER, BadTable = SARNVELD_DECODE_BAD_TABLE,
            BadStream = SARNVELD_DECODE_BAD_STREAM, BadSize = SARNVELD_DECODE_BAD_SIZE;
  // The first entry follows the start bit and the map: payload bit 257, byte 72, bit 0x40.
  const struct {
    int Device;  // the device reader's status
    Bytes Container;
    std::string Message;
  } cases[] = {
      {BadSize, Bytes(abc.begin(), abc.begin() + 39),
       "it holds 39 bytes, fewer than the 40 of a header"},
      {BadSize, Bytes(abc.begin(), abc.begin() + 41),
       "PayloadSize (byte 32) is 38, but 1 byte follows"},
      {BadSize, huge, "PayloadSize (byte 32) is 4294967295, but 38 bytes follow"},
      {SARNVELD_DECODE_BAD_CHECKSUM, badSum,
       "its payload's bytes sum to 564, but Checksum (byte 36) is 565"},
      {BadHeader, badName,
       "the NameID field is not a name of at most 15 bytes followed by zero bytes: byte 15 is "
       "0x58"},
      {BadHeader, strayName,
       "the Manufacturer field is not a name of at most 15 bytes followed by zero bytes: byte 17 "
       "is 0x61"},
      {BadTable, Container(std::string(264, '0')),
       "does not begin with its start bit (a 1) at byte 40, bit 0x80"},
      {BadStream, Container("1" + std::string(100, '0')),
       "the payload ends at byte 53, inside the presence map"},
      {BadTable, Container("1" + std::string(97, '0') + "1" + std::string(158, '0') + "1 00000 1"),
       "the code entry of byte value 0x61 at byte 72, bit 0x40 does not begin with a 0 bit"},
      // In code order the clash of 'c' and the end marker comes first; in the stream, a's and b's.
      {BadTable, Container(Table({{'a', "1"}, {'b', "11"}, {'c', "0"}, {EndMarker, "00"}})),
       "the codes of byte value 0x61 (1, entry at byte 72, bit 0x40) and byte value 0x62 (11, "
       "entry at byte 73, bit 0x80) clash"},
      // a's code begins b's: a reader going on past a's leaf would take b's as 00, and decode.
      {BadTable, Container(Table({{'a', "1"}, {'b', "100"}, {EndMarker, "01"}}) + "1 01"),
       "the codes of byte value 0x61 (1, entry at byte 72, bit 0x40) and byte value 0x62 (100, "
       "entry at byte 73, bit 0x80) clash"},
      // c's code begins a's and b's: the earlier entry is named, though b's code sorts first.
      {BadTable, Container(Table({{'a', "01"}, {'b', "00"}, {'c', "0"}, {EndMarker, "1"}})),
       "the codes of byte value 0x61 (01, entry at byte 72, bit 0x40) and byte value 0x63 (0, "
       "entry at byte 74, bit 0x40) clash"},
      {BadTable, Container(Table({{'a', "1"}, {'b', "01"}, {EndMarker, "0"}}) + "1 0"),
       "the codes of byte value 0x62 (01, entry at byte 73, bit 0x80) and the end marker (0, entry "
       "at byte 74, bit 0x80) clash"},
      // Of the gaps 00 and 11, the first in code order is named.
      {BadTable, Container(Table({{'a', "01"}, {EndMarker, "10"}}) + "01 10"),
       "the codes are not complete (the code table ends at byte 74, bit 0x40): no code begins "
       "with 00"},
      {BadTable, Container(Table({{'a', "1"}, {'b', "0"}})),
       "the code entry of the end marker is missing at byte 73, bit 0x01: the byte values' "
       "codes leave no room for its code"},
      {BadStream, Container(Table({}) + "0 00000 0 0"),
       "the presence map names no byte value, so only zero fill may follow it: the stream ends at "
       "byte 73, but the payload goes on for 1 more byte"},
      {BadStream, Container(Table({}) + "01"),
       "names no byte value, so only zero fill may follow it, but the bit at byte 72, bit 0x20 is "
       "1"},
      {BadTable, Container(Table(deep)),
       "the payload ends at byte 937, inside the code entry of the end marker"},
      {BadStream, Container(Table({{'a', "0"}, {'b', "10"}, {EndMarker, "11"}}) + "10"),
       "the coded data runs past the end of the payload at byte 76 without the end marker's code"},
      {BadStream, Container(Table({{'a', "0"}})),
       "the payload ends at byte 73, inside the code entry of the end marker"},
      {BadStream, Container(Table({{'a', "0"}, {EndMarker, "1"}}) + "0 1 001"),
       "after the end marker's code only zero fill may follow, but the bit at byte 74, bit 0x10 "
       "is 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    const std::string said = Decode(c.Container).first;
    EXPECT_THAT(said, HasSubstr(c.Message));
    const TDeviceOutcome device = DeviceDecode(c.Container);
    EXPECT_EQ(device.Status, c.Device);
    EXPECT_EQ(device.Broken, "");
    EXPECT_THAT(said, AnyOf(StartsWith("EBadContainer: Container c.hex is damaged: "),
                            StartsWith("EBadContainer: File c.hex is not a")));
  }
}

}  // namespace
