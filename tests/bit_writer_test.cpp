// The bit writer: bit order, the checksum, and when blocks reach the stream.
#include "bit_writer.h"

#include <gtest/gtest.h>

#include <vector>

#include "stream.h"

namespace {

using huff::ChunkSize;
using huff::TBitWriter;

// Remembers the size of every write it receives.
class TWriteLog final : public huff::TStream {
 public:
  std::size_t Read(std::span<std::uint8_t>) override { return 0; }
  void Write(std::span<const std::uint8_t> data) override {
    Sizes.push_back(data.size());
    Bytes.insert(Bytes.end(), data.begin(), data.end());
  }
  std::size_t ReadAt(std::uint64_t, std::span<std::uint8_t>) override { return 0; }
  void WriteAt(std::uint64_t, std::span<const std::uint8_t>) override {}
  void Rewind() override {}
  std::uint64_t Size() override { return Bytes.size(); }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return Label; }

  std::vector<std::size_t> Sizes;
  std::vector<std::uint8_t> Bytes;
  std::string Label = "log";
};

TEST(BitWriter, PacksMostSignificantBitFirstAndFillsWithZeros) {
  TWriteLog log;
  TBitWriter writer(log);
  for (std::uint8_t bit : {1, 0, 1})
    writer.WriteBit(bit);
  writer.FlushBits();
  EXPECT_EQ(log.Bytes, std::vector<std::uint8_t>{0xA0});
  EXPECT_EQ(writer.GetChecksum(), 160u);
}

TEST(BitWriter, OnlyTheLowestBitCountsAndAByteBoundaryAddsNoFill) {
  TWriteLog log;
  TBitWriter writer(log);
  for (std::uint8_t bit : {2, 3, 0xFE, 0xFF, 4, 5, 6, 7, 1, 1, 1, 1, 1, 1, 1, 1})
    writer.WriteBit(bit);
  writer.FlushBits();
  writer.FlushBits();  // a second flush adds nothing
  EXPECT_EQ(log.Bytes, (std::vector<std::uint8_t>{0x55, 0xFF}));
  EXPECT_EQ(writer.GetChecksum(), 0x55u + 0xFF);
}

TEST(BitWriter, FullBlocksAreWrittenWholeAndTheRestAtFlush) {
  TWriteLog log;
  TBitWriter writer(log);
  for (int i = 0; i < 8 * ChunkSize; ++i)
    writer.WriteBit(1);
  EXPECT_EQ(log.Sizes, std::vector<std::size_t>{ChunkSize});
  writer.FlushBits();  // nothing is pending: no empty write
  EXPECT_EQ(log.Sizes, std::vector<std::size_t>{ChunkSize});

  for (int i = 0; i < 8 * ChunkSize + 9; ++i)
    writer.WriteBit(0);
  writer.FlushBits();
  EXPECT_EQ(log.Sizes, (std::vector<std::size_t>{ChunkSize, ChunkSize, 2}));
  EXPECT_EQ(writer.GetBytesWritten(), 2u * ChunkSize + 2);
}

}  // namespace
