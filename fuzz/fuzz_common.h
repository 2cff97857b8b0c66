// What the fuzz targets share beside tests/support: reporting a finding, and the containers
// that the decoder's and the device reader's inputs describe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "support.h"

namespace fuzz {

using testing_support::Bytes;

// A finding: prints what went wrong and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fault(const std::string& what);

// The container that an input describes (its first byte says how: see fuzz_common.cpp), and the
// image it must decode to when that is known; nothing when the input is too short for one.
struct TFuzzContainer {
  Bytes Container;
  std::unique_ptr<Bytes> Image;
};
std::optional<TFuzzContainer> MakeContainer(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
