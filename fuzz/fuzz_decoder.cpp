#include "fuzz_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "container.h"
#include "decoder.h"
#include "errors.h"
#include "huffman.h"
#include "reference_reader.h"
#include "stream.h"

namespace fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The first byte: bits 0-1 choose what the rest is, bits 2-7 how many bytes a read of the
// container may return at most (0: any number), so that block boundaries fall anywhere.
//   Container:  the rest is a container, as it is;
//   Payload:    the rest is a payload, given a header with the right size and checksum;
//   RoundTrip:  byte 1 is a repeat count r, the rest an image, packed r + 1 times over;
//   FlippedBit: byte 1 as above, bytes 2-3 which bit of the packed payload to flip (the
//               header is then made to match), the rest the image.
// Repeated images make payloads long enough for the decoder's lanes, which small inputs
// never reach.
enum class TMode { Container, Payload, RoundTrip, FlippedBit };

Bytes Repeated(const std::uint8_t* begin, const std::uint8_t* end, std::size_t times) {
  Bytes image;
  for (std::size_t k = 0; k < times; ++k)
    image.insert(image.end(), begin, end);
  return image;
}

[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "decoder fault: %s\n", what.c_str());
  std::abort();
}

// A container stream that returns at most `most` bytes per read.
class TTrickle final : public huff::TStream {
 public:
  TTrickle(Bytes bytes, std::size_t most) : Inner(std::move(bytes), "fuzz.hex"), Most(most) {}
  std::size_t Read(std::span<std::uint8_t> data) override {
    return Inner.Read(Most == 0 ? data : data.first(std::min(data.size(), Most)));
  }
  void Write(std::span<const std::uint8_t> data) override { Inner.Write(data); }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    return Inner.ReadAt(offset, data);
  }
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    Inner.WriteAt(offset, data);
  }
  void Rewind() override { Inner.Rewind(); }
  std::uint64_t Size() override { return Inner.Size(); }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return Inner.Name(); }

 private:
  huff::TMemoryStream Inner;
  std::size_t Most;
};

void FixHeader(Bytes& container) {
  std::uint32_t sum = 0;
  for (std::size_t i = huff::HeaderSize; i < container.size(); ++i)
    sum += container[i];
  const auto size = static_cast<std::uint32_t>(container.size() - huff::HeaderSize);
  for (int i = 0; i < 4; ++i) {
    container[32 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    container[36 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
  }
}

Bytes Pack(const Bytes& image) {
  auto state = std::make_unique<huff::TCompressorState>();
  huff::ResetState(*state, "FUZZ", "Sarnveld");
  state->Parallelism.Threads = 1;
  state->Input = std::make_unique<huff::TMemoryStream>(image);
  auto output = std::make_unique<huff::TMemoryStream>();
  huff::TMemoryStream& written = *output;
  state->Output = std::move(output);
  huff::Compress(*state);
  return written.Contents();
}

// Decodes `container`; the image, or nothing when it is rejected.
std::unique_ptr<Bytes> Decode(const Bytes& container, std::size_t most) {
  TTrickle in(container, most);
  huff::TMemoryStream out;
  try {
    const huff::TContainerSummary summary = huff::DecodeContainer(in, &out);
    if (summary.ImageSize != out.Contents().size())
      Fault("the summary's image size differs from what was written");
    if (summary.CodedByteValues > 0 &&
        (summary.ShortestCode < 1 || summary.ShortestCode > summary.LongestCode ||
         summary.LongestCode > 32))
      Fault("impossible code lengths in the summary");
  } catch (const huff::EBadContainer& error) {
    if (error.Message().empty())
      Fault("a rejection without a message");
    return nullptr;
  }
  return std::make_unique<Bytes>(out.Contents());
}

// The decoder and the independent reader must agree.
void Compare(const Bytes& container, std::size_t most) {
  std::unique_ptr<Bytes> expected;
  try {
    expected = std::make_unique<Bytes>(reference::ReadContainer(container).Image);
  } catch (const std::runtime_error&) {
  }
  const std::unique_ptr<Bytes> image = Decode(container, most);
  if (!expected != !image)
    Fault(image ? "accepted what the reader rejects" : "rejected what the reader accepts");
  if (image && *image != *expected)
    Fault("decoded another image than the reader");
}

}  // namespace

void FuzzDecoder(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return;
  const auto mode = static_cast<TMode>(data[0] & 3);
  const std::size_t most = data[0] >> 2;
  Bytes rest(data + 1, data + size);
  switch (mode) {
    case TMode::Container:
      Compare(rest, most);
      break;
    case TMode::Payload: {
      Bytes container(huff::HeaderSize + rest.size(), 0);
      std::copy(rest.begin(), rest.end(), container.begin() + huff::HeaderSize);
      FixHeader(container);
      Compare(container, most);
      break;
    }
    case TMode::RoundTrip: {
      if (rest.empty())
        return;
      const Bytes image = Repeated(rest.data() + 1, rest.data() + rest.size(), rest[0] + 1u);
      const std::unique_ptr<Bytes> decoded = Decode(Pack(image), most);
      if (!decoded || *decoded != image)
        Fault("a round trip through the packer did not give the input back");
      break;
    }
    case TMode::FlippedBit: {
      if (rest.size() < 3)
        return;
      const std::size_t which = rest[1] | static_cast<std::size_t>(rest[2]) << 8;
      Bytes container = Pack(Repeated(rest.data() + 3, rest.data() + rest.size(), rest[0] + 1u));
      const std::size_t bits = (container.size() - huff::HeaderSize) * 8;
      const std::size_t bit = huff::HeaderSize * 8 + which * 97 % bits;
      container[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
      FixHeader(container);
      Compare(container, most);
      break;
    }
  }
}

}  // namespace fuzz
