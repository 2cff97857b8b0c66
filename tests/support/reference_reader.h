// Reads a container back, checking every rule of the format on the way: the oracle of the
// decoder tests and the decoder fuzz target. It is written from the format's description, not
// from the decoder, and is slow and plain on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace reference {

// The image, or nothing when the bytes break a rule.
std::optional<std::vector<std::uint8_t>> ReadImage(const std::vector<std::uint8_t>& file);

}  // namespace reference
