// flash_image SIZE FILE: writes SIZE bytes of the deterministic flash-like image to FILE.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "support.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: flash_image SIZE FILE\n");
    return 2;
  }
  try {
    const auto size = static_cast<std::size_t>(std::strtoull(argv[1], nullptr, 10));
    testing_support::WriteWholeFile(argv[2], testing_support::FlashImage(size));
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
