// What the fuzz functions share beside tests/support: reporting a finding, and repeated data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "support.h"

namespace fuzz {

using testing_support::Bytes;

// A finding: prints what went wrong and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fault(const std::string& what);

// `pattern` over and over, `size` bytes of it; empty when the pattern is.
Bytes Repeated(std::span<const std::uint8_t> pattern, std::size_t size);

}  // namespace fuzz
