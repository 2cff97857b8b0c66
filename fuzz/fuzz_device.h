// The device reader's fuzz function, shared by the libFuzzer target and the corpus replay that
// the normal test run includes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Takes how to split the container from the first bytes (see fuzz_device.cpp), the container
// itself as FuzzDecoder does, and aborts when the device reader and hex2plain's decoder
// disagree: one accepts what the other rejects, or they decode different images.
void FuzzDevice(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
