// Reads a container back: checks every rule of the format and, on request, writes the image.
// Any bytes may come in; a broken rule is an EBadContainer naming the container, fault and place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "file/file.h"
#include "sarnveld.hpp"

namespace huff {

// Where a decoded image goes: nowhere (a check), a file, the caller's memory, or Allocate's.
struct TImageOut {
  TFile* File = nullptr;
  std::optional<std::span<std::uint8_t>> Into{};
  const sarnveld::Allocate* Allocate = nullptr;
};

// How the data are decoded; the result is the same whatever the choice.
struct TDecodeOptions {
  // The fast decode's ways, off only in the benchmarks: lanes, one-bit runs, one-length strides.
  bool Lanes = true;
  bool Runs = true;
  bool Stride = true;
  // Sums the whole payload first: a run that writes a file checks what it can before it does.
  bool SumFirst = false;
  // 2: a worker decodes windows of WindowBytes ahead, from a guessed start, for this thread to
  // meet. 0: so for a file of two windows, or memory of 16, where two processors run. 1: this
  // thread alone.
  int Threads = 0;
  std::size_t WindowBytes = 128 * 1024;  // at least 16
};

// Reads `container` from start to end and writes the image to `image`, in memory that does not
// grow with what the header says. Raises EBadContainer for a broken rule (an image longer than
// sarnveld::MaxImageSize too), a wrong checksum over a malformed payload (it says best what
// happened); the files' errors pass through. On failure part of the image may have been written.
sarnveld::Summary DecodeContainer(const TSource& container, const TImageOut& image,
                                  const TDecodeOptions& options = {});

}  // namespace huff
