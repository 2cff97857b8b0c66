// Reads a container back, checking every rule of the format on the way. Test use only:
// it is written from the format's description, not from the encoder.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

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

std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// An input whose byte values 0 to count-1 occur 1, 2, 3, 5, 8, ... times: its deepest code
// is `count` bits long (the end marker's and byte value 0's).
std::vector<std::uint8_t> FibonacciImage(int count);

}  // namespace testing_support
