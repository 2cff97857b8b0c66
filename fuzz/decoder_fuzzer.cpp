// The decoder, on one thread, against the device reader, the reference, given the container
// whole: both accept or both reject, and they decode the same image. The input describes the
// container (see fuzz_common.h).
#include "base/errors.h"
#include "fuzz_common.h"
#include "sarnveld_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Fault;
  const auto made = fuzz::MakeContainer(data, size);
  if (!made)
    return 0;
  // Into room for the most a payload can code, not through an allocator: under ASan that
  // takes a fresh megabyte for every decode.
  fuzz::Bytes image(made->Container.size() * 8);
  std::string rejection;
  try {
    const sarnveld::Summary summary = huff::DecodeContainer(
        {.Memory = made->Container, .Name = "c.hex"}, {.Into = std::span(image)});
    image.resize(static_cast<std::size_t>(summary.ImageSize));
    if (summary.CodedByteValues > 0 &&
        (summary.ShortestCode < 1 || summary.ShortestCode > summary.LongestCode ||
         summary.LongestCode > 32))
      Fault("impossible code lengths in the summary");
  } catch (const huff::EBadContainer& error) {
    rejection = error.Message();
    if (rejection.empty())
      Fault("a rejection without a message");
  } catch (const sarnveld::Error& error) {
    Fault("a failure of another kind than a damaged container: " + error.Kind());
  }
  const auto device = fuzz::DeviceDecode(made->Container);
  if ((device.Status == SARNVELD_DECODE_OK) != rejection.empty())
    Fault("the device reader's status " + std::to_string(device.Status) + " after " + rejection);
  if (rejection.empty() && device.Image != image)
    Fault("decoded another image than the device reader");
  if (made->Image && (!rejection.empty() || image != *made->Image))
    Fault("did not decode the recoded data");
  return 0;
}
