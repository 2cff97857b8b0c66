// Reads a container back: checks every rule of the format and, on request, writes the memory
// image it holds. Any bytes at all may come in; what breaks a rule is raised as EBadContainer,
// naming the container, the fault and its place.
#pragma once

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
  // The fast decode's ways, which the benchmarks leave out to show what each gives: several
  // lanes at once, runs of a one-bit code, and codes nearly all of one length.
  bool Lanes = true;
  bool Runs = true;
  bool Stride = true;
  // Reads the whole payload for its checksum first: a run that writes a file checks what it
  // can before it makes anything.
  bool SumFirst = false;
};

// Reads `container` from its start to its end, and writes the decoded image to `image`, files
// in blocks of ChunkSize; memory stays the same whatever the header says, and small for a
// small payload. Raises EBadContainer for a container that breaks the format, an image longer
// than sarnveld::MaxImageSize among them, and a wrong checksum over a malformed payload, as
// it says best what happened. The files' own errors pass through. On failure, part of the
// image may have been written.
sarnveld::Summary DecodeContainer(const TSource& container, const TImageOut& image,
                                  const TDecodeOptions& options = {});

}  // namespace huff
