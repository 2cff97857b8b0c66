// The input packed by the packer's passes and by the straightforward bit-at-a-time ones: the
// same container, which the decoder gives back as the input, its summary agreeing. Images of
// more than one chunk, split over threads, are tests/pack_test.cpp's.
#include <set>
#include <utility>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using fuzz::Fault;
  const fuzz::Bytes image(data, data + size);
  fuzz::Bytes container, out(image.size());  // room of the image's size exactly
  sarnveld::Summary summary;
  try {  // codes longer than 32 bits need megabytes of skewed input: here nothing raises
    container = fuzz::Pack(image);
    if (container != fuzz::PackBitByBit(image))
      Fault("the fast and the bit-at-a-time passes write different containers");
    summary =
        huff::DecodeContainer({.Memory = container, .Name = "c.hex"}, {.Into = std::span(out)});
  } catch (const sarnveld::Error& error) {
    Fault("a round trip raised " + error.Kind() + " \"" + error.Message() + "\"");
  }
  if (out != image || summary.ImageSize != image.size() ||
      std::cmp_not_equal(summary.CodedByteValues, std::set(image.begin(), image.end()).size()) ||
      summary.PayloadSize != container.size() - huff::HeaderSize ||
      summary.LongestCode > huff::MaxStoredCodeLength)
    Fault("the decoder gives back another image, or its summary disagrees with it");
  return 0;
}
