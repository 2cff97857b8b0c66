// The input, as it is, packed by the packer's passes and by the straightforward bit-at-a-time
// ones: the same container, which the decoder gives back as the input, its summary agreeing.
// Images of more than one chunk, split over threads, are the unit tests' (tests/pack_test.cpp).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/errors.h"
#include "container/container.h"
#include "fuzz_common.h"

namespace {

std::string Describe(const sarnveld::Error& error) {
  return error.Kind() + " \"" + error.Message() + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Fault;
  const fuzz::Bytes image(data, data + size);
  const std::string what = "the container of " + std::to_string(size) + " bytes";
  // Codes longer than 32 bits need megabytes of skewed input: here, packing never raises.
  fuzz::Bytes fast, slow;
  try {
    fast = testing_support::Pack(image);
    slow = testing_support::PackBitByBit(image);
  } catch (const sarnveld::Error& error) {
    Fault("packing raised " + Describe(error));
  }
  if (fast != slow) {
    const auto at = std::mismatch(fast.begin(), fast.end(), slow.begin(), slow.end()).first;
    Fault("the fast and the bit-at-a-time passes differ in " + what + " from byte " +
          std::to_string(at - fast.begin()) + " on (sizes " + std::to_string(fast.size()) +
          " and " + std::to_string(slow.size()) + ")");
  }
  fuzz::Bytes out;
  sarnveld::Summary summary;
  try {
    summary = testing_support::Unpack(fast, out, {});
  } catch (const sarnveld::Error& error) {
    Fault("the decoder rejects " + what + ": " + Describe(error));
  }
  if (out != image)
    Fault("the decoder gives back another image than " + what + " was packed from");
  std::array<bool, 256> seen{};
  for (const std::uint8_t byte : image)
    seen[byte] = true;
  if (summary.ImageSize != image.size() ||
      summary.CodedByteValues != std::count(seen.begin(), seen.end(), true) ||
      summary.PayloadSize != fast.size() - huff::HeaderSize ||
      summary.LongestCode > huff::MaxStoredCodeLength)
    Fault("the decoder's summary of " + what + " disagrees with the image");
  return 0;
}
