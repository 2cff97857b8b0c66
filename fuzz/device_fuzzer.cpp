// The device reader fed a container in pieces, its state copied on the way, against the same
// reader given it whole: the same outcome, and no promise of its interface broken.
//
// Byte 0: bits 0-3 how many piece sizes follow (0: the container comes whole), bits 4-7 after
// which piece the state is copied. Then the piece sizes; the rest is the decoder's input.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::size_t count = std::min<std::size_t>(data[0] & 15, size - 1);
  const auto made = fuzz::MakeContainer(data + 1 + count, size - 1 - count);
  if (!made)
    return 0;
  const auto device = fuzz::DeviceDecode(made->Container, {data + 1, count}, data[0] >> 4);
  if (!device.Broken.empty())
    fuzz::Fault("the device reader broke a promise: " + device.Broken);
  if (!(fuzz::DeviceDecode(made->Container) == device))
    fuzz::Fault("the device reader gave another outcome for the container whole");
  return 0;
}
