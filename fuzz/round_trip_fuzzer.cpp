// The input, as it is, packed by the packer's passes and by the straightforward bit-at-a-time
// ones: the same container, which the decoder gives back as the input, its summary agreeing.
// Images of more than one chunk, split over threads, are the unit tests' (tests/pack_test.cpp).
#include <set>
#include <utility>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Fault;
  const fuzz::Bytes image(data, data + size);
  // Codes longer than 32 bits need megabytes of skewed input: here nothing raises.
  fuzz::Bytes container, out(image.size());
  sarnveld::Summary summary;
  try {
    container = testing_support::Pack(image);
    if (container != testing_support::PackBitByBit(image))
      Fault("the fast and the bit-at-a-time passes write different containers");
    // Into room of the image's size exactly: the decoder must fill it and go no further.
    summary =
        huff::DecodeContainer({.Memory = container, .Name = "c.hex"}, {.Into = std::span(out)});
  } catch (const sarnveld::Error& error) {
    Fault("a round trip raised " + error.Kind() + " \"" + error.Message() + "\"");
  }
  if (out != image)
    Fault("the decoder gives back another image than the container was packed from");
  if (summary.ImageSize != image.size() ||
      std::cmp_not_equal(summary.CodedByteValues, std::set(image.begin(), image.end()).size()) ||
      summary.PayloadSize != container.size() - huff::HeaderSize ||
      summary.LongestCode > huff::MaxStoredCodeLength)
    Fault("the decoder's summary disagrees with the image");
  return 0;
}
