// Writes the test firmware's images into a directory: codes of 22 bits, one byte value, an empty
// image, and a flash-like image for the instruction count. The example image comes from
// examples/.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support.h"

namespace {

bool Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr)
    return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: device_inputs DIRECTORY\n");
    return 2;
  }
  const std::string directory = argv[1];
  // Byte values 0 to 21 occurring 1, 1, 2, 3, 5, ... times: value 0 and the end marker get
  // codes of 22 bits.
  std::vector<std::uint8_t> deep;
  std::size_t previous = 0, current = 1;
  for (int value = 0; value < 22; ++value) {
    deep.insert(deep.end(), current, static_cast<std::uint8_t>(value));
    const std::size_t next = previous + current;
    previous = current;
    current = next;
  }
  const bool written = Write(directory + "/deep.bin", deep) &&
                       Write(directory + "/one-value.bin", std::vector<std::uint8_t>(4096, 0xFF)) &&
                       Write(directory + "/empty.bin", {}) &&
                       Write(directory + "/flash.bin", testing_support::FlashImage(1 << 20));
  if (!written)
    std::perror(directory.c_str());
  return written ? 0 : 1;
}
