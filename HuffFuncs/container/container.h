// The container's header: 40 bytes, the two names and the payload's size and byte sum.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace huff {

inline constexpr int HeaderSize = 40;
inline constexpr int NameFieldSize = 16;

struct TContainerHeader {
  std::array<std::uint8_t, NameFieldSize> NameID{};        // at most 15 bytes, zero-filled
  std::array<std::uint8_t, NameFieldSize> Manufacturer{};  // at most 15 bytes, zero-filled
  std::uint32_t PayloadSize = 0;                           // bytes after the header
  std::uint32_t Checksum = 0;                              // sum of the payload bytes, modulo 2^32
};

// A header with these names, each cut to 15 bytes; a name that holds a zero byte raises EError.
TContainerHeader NamedHeader(std::string_view nameId, std::string_view manufacturer);
// The 40 bytes as they stand in the file, integers little-endian, and back, unchecked.
std::array<std::uint8_t, HeaderSize> EncodeHeader(const TContainerHeader& header);
TContainerHeader DecodeHeader(std::span<const std::uint8_t, HeaderSize> bytes);

}  // namespace huff
