// Reads a container back, checking every rule of the format on the way. The fuzz target's
// reference: it is written from the format's description, not from the decoder.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reference {

struct TDecodedContainer {
  std::string NameID;        // up to the first zero byte
  std::string Manufacturer;  // up to the first zero byte
  std::uint32_t PayloadSize = 0;
  std::uint32_t Checksum = 0;
  // The code of each symbol as a string of '0' and '1'; empty when absent.
  std::array<std::string, 257> Codes;
  std::vector<std::uint8_t> Image;
};

// Throws std::runtime_error naming the first rule the bytes break.
TDecodedContainer ReadContainer(const std::vector<std::uint8_t>& file);

}  // namespace reference
