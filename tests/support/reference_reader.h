// Reads a container back, checking every rule of the format on the way. The oracle of the
// decoder tests and the decoder fuzz target: it is written from the format's description, not
// from the decoder, and is slow and plain on purpose.
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

// The image, or nothing when the bytes break a rule.
std::optional<std::vector<std::uint8_t>> ReadImage(const std::vector<std::uint8_t>& file);

}  // namespace reference
