#include "fuzz_common.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "container/container.h"
#include "sarnveld_decode.h"

namespace fuzz {

void Fault(const std::string& what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
  std::abort();
}

Bytes Repeated(std::span<const std::uint8_t> pattern, std::size_t size) {
  Bytes bytes(pattern.empty() ? 0 : size);
  std::size_t done = std::min(pattern.size(), bytes.size());
  std::copy_n(pattern.begin(), done, bytes.begin());
  // Whole patterns so far: copying them goes on with the pattern, in ever larger copies (a byte
  // at a time took a twentieth of a run).
  for (std::size_t count; done < bytes.size(); done += count) {
    count = std::min(done, bytes.size() - done);
    std::copy_n(bytes.begin(), count, bytes.begin() + static_cast<std::ptrdiff_t>(done));
  }
  return bytes;
}

namespace {

struct TSink {
  Bytes Image;
  std::size_t Calls = 0;
  std::size_t StopAfter = 0;
  std::string Broken;
};

int TakeImage(void* user, const std::uint8_t* bytes, std::size_t size) {
  auto& sink = *static_cast<TSink*>(user);
  if (size == 0)
    sink.Broken = "the sink was given an empty piece";
  if (sink.StopAfter != 0 && sink.Calls >= sink.StopAfter)
    sink.Broken = "the sink was called after it answered nonzero";
  sink.Image.insert(sink.Image.end(), bytes, bytes + size);
  return ++sink.Calls == sink.StopAfter;
}

}  // namespace

TDeviceOutcome DeviceDecode(const Bytes& container, std::span<const std::uint8_t> pieces,
                            std::size_t copyAfter, std::size_t stopAfter) {
  TSink sink;
  sink.StopAfter = stopAfter;
  sarnveld_decoder states[2];
  sarnveld_decoder* decoder = &states[0];
  sarnveld_decoder_init(decoder, &TakeImage, &sink);
  int error = SARNVELD_DECODE_OK;
  std::size_t at = 0;
  if (std::all_of(pieces.begin(), pieces.end(), [](std::uint8_t size) { return size == 0; }))
    pieces = {};  // only empty pieces would never end
  for (std::size_t piece = 0; at < container.size() || piece == 0; ++piece) {
    const std::size_t size = pieces.empty() ? container.size()
                                            : std::min<std::size_t>(pieces[piece % pieces.size()],
                                                                    container.size() - at);
    const int status = sarnveld_decoder_feed(decoder, container.data() + at, size);
    at += size;
    if (error != SARNVELD_DECODE_OK && status != error)
      sink.Broken = "a call after an error returned another status";
    if (status != SARNVELD_DECODE_OK)
      error = status;
    if ((sarnveld_decoder_header(decoder) != nullptr) != (at >= huff::HeaderSize))
      sink.Broken = "the header came before its 40 bytes, or not with them";
    if (piece == copyAfter) {
      // Plain data: its bytes, copied elsewhere, go on as the state would; the old ones are
      // spoilt, so that nothing can point back into them.
      sarnveld_decoder* const copy = &states[1 - (decoder - states)];
      std::memcpy(copy, decoder, sizeof *copy);
      std::memset(decoder, 0xA5, sizeof *decoder);
      decoder = copy;
    }
  }
  const int status = sarnveld_decoder_finish(decoder);
  if (error != SARNVELD_DECODE_OK && status != error)
    sink.Broken = "finish after an error returned another status";
  return {status, std::move(sink.Image), std::move(sink.Broken)};
}

}  // namespace fuzz
