// What the fuzz functions share beside tests/support: a container stream whose reads return
// few bytes at a time, and the device reader fed in pieces.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/stream.h"
#include "support.h"

namespace fuzz {

using testing_support::Bytes;

// A finding: prints what went wrong and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fault(const std::string& what);

// `pattern` over and over, `size` bytes of it; empty when the pattern is.
Bytes Repeated(std::span<const std::uint8_t> pattern, std::size_t size);

// A container stream that returns at most `most` bytes per read (0: any number), so that
// block boundaries fall anywhere.
class TTrickle final : public huff::TMemoryStream {
 public:
  TTrickle(Bytes bytes, std::size_t most)
      : TMemoryStream(std::move(bytes), "fuzz.hex"), Most(most) {}
  std::size_t Read(std::span<std::uint8_t> data) override {
    return TMemoryStream::Read(Most == 0 ? data : data.first(std::min(data.size(), Most)));
  }

 private:
  std::size_t Most;
};

// What the device reader made of a container: the status of its last call (finish, or the first
// error) and the image its sink took; Broken names a promise of its interface that it broke.
struct TDeviceOutcome {
  int Status = 0;
  Bytes Image;
  std::string Broken;
  bool operator==(const TDeviceOutcome&) const = default;
};

// Feeds `container` to the device reader in pieces of pieces[0], pieces[1], ... bytes, over and
// over (empty pieces included; no pieces: all at once), and goes on from a copy of its state
// after piece number `copyAfter`. A sink that answers `stopAfter` calls later with nonzero (0:
// never) is called no more.
TDeviceOutcome DeviceDecode(const Bytes& container, std::span<const std::uint8_t> pieces = {},
                            std::size_t copyAfter = 0, std::size_t stopAfter = 0);

}  // namespace fuzz
