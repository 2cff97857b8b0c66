#include "fuzz_decoder.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/errors.h"
#include "container/container.h"
#include "fuzz_common.h"
#include "huffman/huffman.h"
#include "pack/pack.h"
#include "sarnveld_decode.h"
#include "support.h"
#include "unpack/decoder.h"

namespace fuzz {
namespace {

// The first byte: bits 0-1 choose what the rest is; bit 6 lets repeated data grow to LongSize
// instead of ShortSize; bit 7 decodes once more with a worker, over windows as small as 64
// bytes.
//   Container:  the rest is a container, as it is;
//   Payload:    the rest is a payload, given a header with the right size and checksum;
//   Recoded:    bytes 1-2 are a length n (little-endian, at most what follows), bits 0-6 of
//               byte 3 a repeat count r, the n bytes after it an image that only chooses
//               the codes; the rest is data, coded with those codes r + 1 times over and
//               closed by the end marker's code, the header made to match. Bit 7 of byte 3
//               puts the data in as raw bits instead of codes;
//   FlippedBit: byte 1 is a repeat count r, bytes 2-3 which bit of the packed payload to
//               flip (the header is then made to match), the rest an image, packed r + 1
//               times over.
// Repeated data make payloads long enough for the decoder's lanes, which small inputs never
// reach; recoded data put rare codes next to each other, as no packed image would.
enum class TMode { Container, Payload, Recoded, FlippedBit };

// Repeated data, at most: enough for the decoder's lanes; for the inputs that ask, more than a
// block (32 KiB) of raw bits or 8-bit codes, so that its buffer is refilled. Long data slow a
// run down tenfold: the lanes' widest rounds are left to the unit tests.
constexpr std::size_t ShortSize = 4 * 1024;
constexpr std::size_t LongSize = 40 * 1024;

struct TRecoded {
  Bytes Container;
  Bytes Image;  // what it decodes to, when its data are codes
};

// A container whose codes are those the packer gives `chooser`, and whose data are `data`:
// each byte coded as itself when it has a code, else as one of the values that have one; or,
// when `raw`, the bytes' own bits. The end marker's code closes the data either way.
TRecoded Recode(const Bytes& chooser, const Bytes& data, bool raw) {
  // The packer's own steps up to the codes; the state is kept for the next.
  static const auto state = std::make_unique<huff::TCompressorState>();
  state->Input = {.Memory = chooser, .Name = "fuzz.bin"};
  huff::InitNodes(state->Coder);
  huff::CountSymbols(*state);
  huff::BuildTree(state->Coder);
  huff::AssignCodes(state->Coder);
  std::array<std::string, huff::SymbolCount> codes;
  std::map<int, std::string> table;
  Bytes present;
  for (int symbol = 0; symbol < huff::SymbolCount; ++symbol) {
    const huff::TCodeEntry& entry = state->Coder.CodeTable[symbol];
    if (!entry.Present())
      continue;
    std::string& code = codes[static_cast<std::size_t>(symbol)];
    for (std::uint32_t i = entry.Length; i > 0; --i)
      code += static_cast<char>('0' + (entry.Bits >> (i - 1) & 1));
    table[symbol] = code;
    if (symbol != huff::EndMarker)
      present.push_back(static_cast<std::uint8_t>(symbol));
  }
  std::string bits = testing_support::Table(table);
  TRecoded recoded;
  for (const std::uint8_t byte : data) {
    if (raw) {
      bits += std::bitset<8>(byte).to_string();
    } else if (!present.empty()) {
      const std::uint8_t value = codes[byte].empty() ? present[byte % present.size()] : byte;
      bits += codes[value];
      recoded.Image.push_back(value);
    }
  }
  bits += codes[huff::EndMarker];  // none for an empty chooser
  recoded.Container = testing_support::Container(bits);
  return recoded;
}

// What decoding gave: the image and the summary's numbers, or the rejection's message.
struct TOutcome {
  std::unique_ptr<Bytes> Image;  // none when rejected
  std::string Said;
};

TOutcome Decode(const Bytes& container, const huff::TDecodeOptions& options) {
  auto image = std::make_unique<Bytes>();
  try {
    const sarnveld::Summary summary = testing_support::Unpack(container, *image, options);
    if (summary.CodedByteValues > 0 &&
        (summary.ShortestCode < 1 || summary.ShortestCode > summary.LongestCode ||
         summary.LongestCode > 32))
      Fault("impossible code lengths in the summary");
    return {std::move(image), std::to_string(summary.CodedByteValues) + " " +
                                  std::to_string(summary.ShortestCode) + " " +
                                  std::to_string(summary.LongestCode)};
  } catch (const huff::EBadContainer& error) {
    if (error.Message().empty())
      Fault("a rejection without a message");
    return {nullptr, error.Message()};
  } catch (const sarnveld::Error& error) {
    Fault("a failure of another kind than a damaged container: " + error.Kind() + " " +
          error.Message());
  }
}

// The decoder on one thread and, when the input asks, with a worker over small windows (the
// input's size picks one), which must change nothing: not the image, the summary or the
// message; and the device reader, the reference, must accept and decode alike.
std::unique_ptr<Bytes> Compare(const TFuzzContainer& made) {
  TOutcome one = Decode(made.Container, {.Threads = 1});
  if (made.Worker) {
    const TOutcome two =
        Decode(made.Container,
               {.Threads = 2, .WindowBytes = std::size_t{64} << made.Container.size() % 6});
    if (one.Said != two.Said)
      Fault("one thread and two differ: \"" + one.Said + "\" and \"" + two.Said + "\"");
    if (!one.Image != !two.Image || (one.Image && *one.Image != *two.Image))
      Fault("one thread and two decode different images");
  }
  const testing_support::TDeviceOutcome device = testing_support::DeviceDecode(made.Container);
  if ((device.Status == SARNVELD_DECODE_OK) != (one.Image != nullptr))
    Fault(one.Image ? "accepted what the device reader rejects: " + std::to_string(device.Status)
                    : "rejected what the device reader accepts: " + one.Said);
  if (one.Image && device.Image != *one.Image)
    Fault("decoded another image than the device reader");
  return std::move(one.Image);
}

}  // namespace

std::optional<TFuzzContainer> MakeContainer(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return std::nullopt;
  const auto mode = static_cast<TMode>(data[0] & 3);
  TFuzzContainer made;
  made.Worker = data[0] >> 7;
  const std::size_t longest = data[0] & 0x40 ? LongSize : ShortSize;
  Bytes rest(data + 1, data + size);
  switch (mode) {
    case TMode::Container:
      made.Container = std::move(rest);
      break;
    case TMode::Payload:
      made.Container = testing_support::Container(rest);
      break;
    case TMode::Recoded: {
      if (rest.size() < 3)
        return std::nullopt;
      const std::size_t length = std::min<std::size_t>(rest[0] | rest[1] << 8, rest.size() - 3);
      const auto chooser = rest.begin() + 3;
      const std::span<const std::uint8_t> coded(chooser + static_cast<std::ptrdiff_t>(length),
                                                rest.end());
      const bool raw = rest[2] >> 7;
      const std::size_t times = (rest[2] & 0x7F) + 1u;
      TRecoded recoded = Recode(Bytes(chooser, chooser + static_cast<std::ptrdiff_t>(length)),
                                Repeated(coded, std::min(coded.size() * times, longest)), raw);
      made.Container = std::move(recoded.Container);
      if (!raw)
        made.Image = std::make_unique<Bytes>(std::move(recoded.Image));
      break;
    }
    case TMode::FlippedBit: {
      if (rest.size() < 3)
        return std::nullopt;
      const std::size_t which = rest[1] | static_cast<std::size_t>(rest[2]) << 8;
      const std::span<const std::uint8_t> image(rest.begin() + 3, rest.end());
      made.Container =
          testing_support::Pack(Repeated(image, std::min(image.size() * (rest[0] + 1u), longest)));
      const std::size_t bits = (made.Container.size() - huff::HeaderSize) * 8;
      const std::size_t bit = huff::HeaderSize * 8 + which * 97 % bits;
      made.Container[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
      testing_support::FixHeader(made.Container);
      break;
    }
  }
  return made;
}

void FuzzDecoder(const std::uint8_t* data, std::size_t size) {
  const std::optional<TFuzzContainer> made = MakeContainer(data, size);
  if (!made)
    return;
  const std::unique_ptr<Bytes> image = Compare(*made);
  if (made->Image && (!image || *image != *made->Image))
    Fault("did not decode the recoded data");
}

}  // namespace fuzz
