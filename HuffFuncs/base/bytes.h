// What every pass over a file shares: the block size of its reads and writes, and the byte
// sum that is the container's checksum.
#pragma once

#include <cstdint>
#include <span>

namespace huff {

inline constexpr int ChunkSize = 32768;

// The sum of the bytes, modulo 2^32: the container's checksum over one block.
std::uint32_t SumBytes(std::span<const std::uint8_t> bytes);
// The same, one byte at a time: the definition SumBytes is held against.
std::uint32_t SumBytesOneByOne(std::span<const std::uint8_t> bytes);

}  // namespace huff
