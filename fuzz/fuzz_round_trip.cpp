#include "fuzz_round_trip.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>

#include "base/errors.h"
#include "container/container.h"
#include "fuzz_common.h"
#include "huffman/huffman.h"
#include "pack/pack.h"
#include "support.h"
#include "unpack/decoder.h"

namespace fuzz {
namespace {

// Byte 0 says how the passes split the work:
//   bits 0-1  threads, 1 to 4;
//   bits 2-4  the smallest segment (MinSegments), so that small inputs get many segments.
// Byte 1 makes the image longer: the rest of the input, repeated to its own length plus
// Growth(byte 1) bytes: 7 per unit below 0xF0, 10080 per unit of byte 1 - 0xEF from there on,
// at most 8 units. Only images longer than a chunk (32 KiB) have more than one segment with
// bytes in it; 0xF2 (3 * 10080) and a pattern of 2528 bytes make exactly one chunk. A long
// image packs bit by bit ten times slower than a short one, and the fuzzer keeps long ones for
// the segments they reach, until they are most of its corpus: three chunks are enough for a
// segment between two others.
constexpr std::array<std::uint64_t, 8> MinSegments{1,     5,     1000,  32767,
                                                   32768, 40000, 65536, 1u << 20};

std::size_t Growth(std::uint8_t control) {
  return control < 0xF0 ? control * std::size_t{7}
                        : (std::min(control, std::uint8_t{0xF7}) - 0xEFu) * std::size_t{10080};
}

struct TPacked {
  Bytes Container;
  std::optional<sarnveld::Error> Error;  // what it raised instead
};

template <typename TPack>
TPacked TryPack(TPack&& pack) {
  try {
    return {pack(), std::nullopt};
  } catch (const sarnveld::Error& error) {
    return {{}, error};
  }
}

std::string Describe(const sarnveld::Error& error) {
  return error.Kind() + " \"" + error.Message() + "\"";
}

std::string Setting(std::size_t size, huff::TParallelism parallelism) {
  return std::to_string(size) + " bytes on " + std::to_string(parallelism.Threads) +
         " threads, segments of at least " + std::to_string(parallelism.MinSegmentSize);
}

}  // namespace

void FuzzRoundTrip(const std::uint8_t* data, std::size_t size) {
  if (size < 2)
    return;
  const huff::TParallelism parallelism{1 + (data[0] & 3), MinSegments[(data[0] >> 2) & 7]};
  const std::span<const std::uint8_t> pattern(data + 2, size - 2);
  const Bytes image = Repeated(pattern, pattern.size() + Growth(data[1]));
  const std::string setting = Setting(image.size(), parallelism);

  const TPacked fast = TryPack([&] { return testing_support::Pack(image, parallelism); });
  const TPacked slow = TryPack([&] { return testing_support::PackBitByBit(image); });
  if (fast.Error || slow.Error) {
    // Codes longer than 32 bits need megabytes of skewed input; both passes must refuse it
    // alike. Anything else from packing bytes in memory is a fault.
    if (fast.Error && slow.Error && fast.Error->Kind() == "ECodeTooLong" &&
        Describe(*fast.Error) == Describe(*slow.Error))
      return;
    Fault("packing " + setting + " raised " +
          (fast.Error ? "in the fast passes " + Describe(*fast.Error) : std::string()) +
          (slow.Error ? " in the bit-at-a-time passes " + Describe(*slow.Error) : std::string()));
  }
  if (fast.Container != slow.Container) {
    std::size_t at = 0;
    while (at < fast.Container.size() && at < slow.Container.size() &&
           fast.Container[at] == slow.Container[at])
      ++at;
    Fault("the fast and the bit-at-a-time containers of " + setting + " differ from byte " +
          std::to_string(at) + " on (sizes " + std::to_string(fast.Container.size()) + " and " +
          std::to_string(slow.Container.size()) + ")");
  }

  Bytes out;
  sarnveld::Summary summary;
  try {
    summary = testing_support::Unpack(fast.Container, out, {});
  } catch (const sarnveld::Error& error) {
    Fault("the decoder rejects the container of " + setting + ": " + Describe(error));
  }
  if (out != image)
    Fault("the decoder gives back another image than the " + setting + " packed");
  std::array<bool, 256> seen{};
  for (const std::uint8_t byte : image)
    seen[byte] = true;
  if (summary.ImageSize != image.size() ||
      summary.CodedByteValues != std::count(seen.begin(), seen.end(), true) ||
      summary.PayloadSize != fast.Container.size() - huff::HeaderSize ||
      summary.LongestCode > huff::MaxStoredCodeLength)
    Fault("the decoder's summary of " + setting + " disagrees with the image");
}

}  // namespace fuzz
