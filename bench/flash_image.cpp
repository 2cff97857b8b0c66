// flash_image SIZE FILE: writes SIZE bytes of the deterministic flash-like image to FILE.
#include "flash_image.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: flash_image SIZE FILE\n");
    return 2;
  }
  std::uint64_t left = std::strtoull(argv[1], nullptr, 10);
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  bench::TFlashImage image;
  std::vector<std::uint8_t> block(1 << 20);
  while (left > 0) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
    image.Fill(std::span(block.data(), size));
    if (std::fwrite(block.data(), 1, size, out) != size) {
      std::perror(argv[2]);
      return 1;
    }
    left -= size;
  }
  if (std::fclose(out) != 0) {
    std::perror(argv[2]);
    return 1;
  }
  return 0;
}
