// libFuzzer's entry point: every input goes through the shared fuzz function.
#include <cstddef>
#include <cstdint>

#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzDevice(data, size);
  return 0;
}
