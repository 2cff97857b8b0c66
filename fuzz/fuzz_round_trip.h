// The round trip's fuzz function, shared by the libFuzzer target and the corpus replay that
// the normal test run includes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Takes its parameters from the first two bytes (see fuzz_round_trip.cpp) and aborts when
// the fast and the bit-at-a-time passes write different containers, when either raises
// (unless both refuse the input alike, as too skewed for 32-bit codes), or when the decoder
// does not give the image back.
void FuzzRoundTrip(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
