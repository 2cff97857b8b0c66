#include "fuzz_device.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/errors.h"
#include "container/container.h"
#include "fuzz_common.h"
#include "fuzz_decoder.h"
#include "sarnveld_decode.h"
#include "unpack/decoder.h"

namespace fuzz {

// Byte 0: bits 0-3 how many piece sizes follow (0: the container comes whole), bits 4-7 after
// which piece the state is copied and the copy goes on. Then the piece sizes, taken in turn
// over and over; the rest is FuzzDecoder's input, which describes the container.
void FuzzDevice(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return;
  const std::size_t count = std::min<std::size_t>(data[0] & 15, size - 1);
  const std::span<const std::uint8_t> pieces(data + 1, count);
  const std::optional<TFuzzContainer> made = MakeContainer(data + 1 + count, size - 1 - count);
  if (!made)
    return;
  const Bytes& container = made->Container;

  std::unique_ptr<Bytes> expected = std::make_unique<Bytes>();
  bool badSum = false;
  try {
    testing_support::Unpack(container, *expected, {.Threads = 1});
  } catch (const huff::EBadContainer& error) {
    expected.reset();
    badSum = error.Message().find("its payload's bytes sum to") != std::string::npos;
  }

  const testing_support::TDeviceOutcome device =
      testing_support::DeviceDecode(container, pieces, data[0] >> 4);
  if (!device.Broken.empty())
    Fault("the device reader broke a promise: " + device.Broken);
  if (!(testing_support::DeviceDecode(container) == device))
    Fault("the device reader gave another outcome for the container whole");
  if ((device.Status == SARNVELD_DECODE_OK) != (expected != nullptr))
    Fault(expected ? "the device reader rejected what hex2plain accepts: " +
                         std::to_string(device.Status)
                   : "the device reader accepted what hex2plain rejects");
  if (expected && device.Image != *expected)
    Fault("the device reader decoded another image than hex2plain");

  // Where the two can be compared: hex2plain finds a wrong size or checksum before anything
  // else, the device reader once the container has ended.
  const bool sizeRight =
      container.size() >= huff::HeaderSize &&
      (container[32] | container[33] << 8 | container[34] << 16 |
       static_cast<std::size_t>(container[35]) << 24) == container.size() - huff::HeaderSize;
  if (device.Status == SARNVELD_DECODE_BAD_SIZE && sizeRight)
    Fault("the device reader found a wrong size in a container of the right size");
  if (device.Status == SARNVELD_DECODE_BAD_CHECKSUM && !badSum)
    Fault("the device reader found a wrong checksum that hex2plain does not");
}

}  // namespace fuzz
