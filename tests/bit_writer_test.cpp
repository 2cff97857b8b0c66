// The bit writer: bit order, fill and checksum.
#include "container/bit_writer.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/stream.h"

namespace {

// Only the lowest bit of each value counts; the last byte is filled with zeros.
TEST(BitWriter, PacksTheLowestBitsMostSignificantFirstAndSumsTheBytes) {
  huff::TMemoryStream sink;
  huff::TBitWriter writer(sink);
  for (std::uint8_t bit : {2, 3, 0xFE, 0xFF, 4, 5, 6, 7, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1})
    writer.WriteBit(bit);
  writer.FlushBits();
  writer.FlushBits();  // a second flush adds nothing
  EXPECT_EQ(sink.Contents(), (std::vector<std::uint8_t>{0x55, 0xFF, 0xA0}));
  EXPECT_EQ(writer.GetChecksum(), 0x55u + 0xFF + 0xA0);
  EXPECT_EQ(writer.GetBytesWritten(), 3u);
}

}  // namespace
