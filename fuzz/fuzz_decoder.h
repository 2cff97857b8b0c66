// The decoder's fuzz function, shared by the libFuzzer target and the corpus replay that the
// normal test run includes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Takes its parameters from the first byte (see fuzz_decoder.cpp) and aborts when the
// decoder misbehaves: it accepts what the independent reader rejects or the other way
// round, or decodes a different image.
void FuzzDecoder(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
