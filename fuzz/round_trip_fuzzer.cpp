// libFuzzer's entry point: every input goes through the round trip.
#include <cstddef>
#include <cstdint>

#include "fuzz_round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzRoundTrip(data, size);
  return 0;
}
