// The decoder's fuzz function, shared by the libFuzzer target and the corpus replay that the
// normal test run includes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "fuzz_common.h"

namespace fuzz {

// Takes its parameters from the first byte (see fuzz_decoder.cpp) and aborts when the
// decoder misbehaves: it accepts what the device reader rejects or the other way round, or
// decodes a different image, or decodes differently with a worker.
void FuzzDecoder(const std::uint8_t* data, std::size_t size);

// The container that FuzzDecoder's input describes, and the image it must decode to when that
// is known; nothing when the input is too short to describe one.
struct TFuzzContainer {
  Bytes Container;
  bool Worker = false;  // whether to decode with a worker too
  std::unique_ptr<Bytes> Image;
};
std::optional<TFuzzContainer> MakeContainer(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
