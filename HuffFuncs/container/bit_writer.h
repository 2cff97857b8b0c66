// Packs the payload's bits, most significant first, into blocks of ChunkSize bytes and
// keeps the byte sum that becomes the header's Checksum.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "base/stream.h"

namespace huff {

inline constexpr int ChunkSize = 32768;

class TBitWriter {
 public:
  explicit TBitWriter(TStream& stream);
  TBitWriter(const TBitWriter&) = delete;
  TBitWriter& operator=(const TBitWriter&) = delete;

  // Appends one bit; only the lowest bit of the argument counts. Inline: the code table and
  // the straightforward passes call it for every bit.
  void WriteBit(std::uint8_t bit) {
    Current = static_cast<std::uint8_t>((Current << 1) | (bit & 1));
    if (++BitCount == 8)
      CompleteByte();
  }
  // Completes the last byte with zero bits and writes everything buffered. Called once,
  // after the last bit.
  void FlushBits();
  // The sum of every completed byte, modulo 2^32.
  std::uint32_t GetChecksum() const noexcept { return Checksum; }
  // How many bytes have reached the stream.
  std::uint64_t GetBytesWritten() const noexcept { return BytesWritten; }

 private:
  void CompleteByte();
  void WriteBuffer();

  TStream& Stream;
  std::array<std::uint8_t, ChunkSize> Buffer;  // only the completed bytes are read
  std::int32_t ByteCount = 0;
  std::int32_t BitCount = 0;
  std::uint32_t Checksum = 0;
  std::uint8_t Current = 0;
  std::uint64_t BytesWritten = 0;
};

// The sum of the bytes, modulo 2^32: the container's checksum over one block.
std::uint32_t SumBytes(std::span<const std::uint8_t> bytes);
// The same, one byte at a time: the definition SumBytes is held against.
std::uint32_t SumBytesOneByOne(std::span<const std::uint8_t> bytes);

}  // namespace huff
