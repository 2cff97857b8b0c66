// The fuzz targets, an executable each, SARNVELD_FUZZ_TARGET naming the one it runs: libFuzzer
// drives it in the fuzz preset; in every other build main() below replays a committed corpus
// through it, so that the normal test run keeps every seed and every past finding passing.
#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <utility>

#include "base/errors.h"
#include "sarnveld_decode.h"
#include "support.h"

using namespace testing_support;

// Prints what went wrong and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

// The container, and the image it must decode to when that is known.
struct TFuzzContainer {
  Bytes Container;
  std::optional<Bytes> Image{};
};

// Bits 0-1 of the first byte choose what the rest is (nothing when too short for it):
//   0: a container; 1: a payload, given a matching header;
//   2: bytes 1-2 a length n (little-endian), byte 3's bit 7 raw bits instead of codes, n bytes
//      of an image that chooses the codes, then data, each byte coded as itself or as a value
//      with a code, and the end marker's code: rare codes side by side, as no packed image has;
//   3: bytes 1-2 which bit of the packed payload to flip (header matched), then the image.
std::optional<TFuzzContainer> MakeContainer(const std::uint8_t* data, std::size_t size) {
  const int mode = size == 0 ? -1 : data[0] & 3;
  const Bytes rest(data + (size > 0), data + size);
  if (mode == 0 || mode == 1)
    return TFuzzContainer{mode == 0 ? rest : Container(rest)};
  if (mode == 2 && rest.size() >= 3) {
    const std::size_t length = std::min<std::size_t>(rest[0] | rest[1] << 8, rest.size() - 3);
    const auto codes = CodesOf({rest.data() + 3, length});
    std::array<std::string, huff::SymbolCount> code;  // by symbol, not by a map: fuzzing's speed
    Bytes present;                                    // the byte values with a code
    for (const auto& [symbol, its] : codes) {
      code[static_cast<std::size_t>(symbol)] = its;
      if (symbol != huff::EndMarker)
        present.push_back(static_cast<std::uint8_t>(symbol));
    }
    std::string bits = Table(codes);
    TFuzzContainer made{{}, rest[2] >> 7 ? std::nullopt : std::optional(Bytes{})};
    for (std::size_t at = 3 + length; at < rest.size(); ++at) {
      if (!made.Image) {
        bits += std::bitset<8>(rest[at]).to_string();
      } else if (!present.empty()) {
        made.Image->push_back(!code[rest[at]].empty() ? rest[at]
                                                      : present[rest[at] % present.size()]);
        bits += code[made.Image->back()];
      }
    }
    made.Container = Container(bits + code[huff::EndMarker]);
    return made;
  }
  if (mode == 3 && rest.size() >= 2) {
    Bytes container = Pack(Bytes(rest.begin() + 2, rest.end()));
    const std::size_t bits = (container.size() - huff::HeaderSize) * 8;
    const std::size_t bit =
        huff::HeaderSize * 8 + (rest[0] | std::size_t{rest[1]} << 8) * 97 % bits;
    container[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    FixHeader(container);
    return TFuzzContainer{container};
  }
  return std::nullopt;
}

// The decoder, on one thread, against the device reader, the reference, given the container
// whole: both accept or both reject, and they decode the same image. The input describes the
// container (see MakeContainer).
int DecoderTarget(const std::uint8_t* data, std::size_t size) {
  const auto made = MakeContainer(data, size);
  if (!made)
    return 0;
  // Into room for the most a payload can code, not through an allocator: under ASan that
  // takes a fresh megabyte for every decode.
  Bytes image(made->Container.size() * 8);
  // Any failure but a damaged container's escapes: uncaught, it aborts as a finding does.
  std::string rejection;
  try {
    const sarnveld::Summary summary = huff::DecodeContainer(
        {.Memory = made->Container, .Name = "c.hex"}, {.Into = std::span(image)});
    image.resize(static_cast<std::size_t>(summary.ImageSize));
  } catch (const huff::EBadContainer& error) {
    rejection = error.Message();
  }
  const auto device = DeviceDecode(made->Container);
  if ((device.Status == SARNVELD_DECODE_OK) != rejection.empty())
    Fault("the device reader's status " + std::to_string(device.Status) + " after " + rejection);
  if (rejection.empty() && device.Image != image)
    Fault("decoded another image than the device reader");
  if (made->Image && (!rejection.empty() || image != *made->Image))
    Fault("did not decode the recoded data");
  return 0;
}

// The device reader fed a container in pieces, its state copied on the way, against the same
// reader given it whole: the same outcome, and no promise of its interface broken.
//
// Byte 0: bits 0-3 how many piece sizes follow (0: the container comes whole), bits 4-7 after
// which piece the state is copied. Then the piece sizes; the rest is MakeContainer's input.
int DeviceTarget(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::size_t count = std::min<std::size_t>(data[0] & 15, size - 1);
  const auto made = MakeContainer(data + 1 + count, size - 1 - count);
  if (!made)
    return 0;
  const auto device = DeviceDecode(made->Container, {data + 1, count}, data[0] >> 4);
  if (!device.Broken.empty())
    Fault("the device reader broke a promise: " + device.Broken);
  if (!(DeviceDecode(made->Container) == device))
    Fault("the device reader gave another outcome for the container whole");
  return 0;
}

// The input packed by the packer's passes and by the straightforward bit-at-a-time ones: the
// same container, which the decoder gives back as the input, its summary agreeing. Images of
// more than one chunk, split over threads, are tests/pack_test.cpp's.
int RoundTripTarget(const std::uint8_t* data, std::size_t size) {
  const Bytes image(data, data + size);
  // Codes longer than 32 bits need megabytes of skewed input: here nothing raises, and what
  // does escapes, uncaught, and aborts as a finding does.
  const Bytes container = Pack(image);
  if (container != PackBitByBit(image))
    Fault("the fast and the bit-at-a-time passes write different containers");
  Bytes out(image.size());  // room of the image's size exactly
  const sarnveld::Summary summary =
      huff::DecodeContainer({.Memory = container, .Name = "c.hex"}, {.Into = std::span(out)});
  if (out != image || summary.ImageSize != image.size() ||
      std::cmp_not_equal(summary.CodedByteValues, std::set(image.begin(), image.end()).size()) ||
      summary.PayloadSize != container.size() - huff::HeaderSize ||
      summary.LongestCode > huff::MaxStoredCodeLength)
    Fault("the decoder gives back another image, or its summary disagrees with it");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return SARNVELD_FUZZ_TARGET(data, size);
}

#ifdef SARNVELD_REPLAY
int main(int, char** argv) {
  std::vector<std::filesystem::path> files(std::filesystem::directory_iterator(argv[1]), {});
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const auto bytes = testing_support::ReadWholeFile(file.string());
    std::printf("%s\n", file.filename().string().c_str());
    std::fflush(stdout);  // a finding aborts: the last name printed is the input's
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;  // an empty corpus would prove nothing
}
#endif
