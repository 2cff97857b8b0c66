// Reads a container back: checks every rule of the format and, on request, streams the
// memory image it holds to another stream. Any bytes at all may come in; what breaks a rule
// is raised as EBadContainer, naming the file, the fault and its place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"
#include "base/stream.h"
#include "container/container.h"

namespace huff {

// What a container holds, once all of it has been checked.
struct TContainerSummary {
  TContainerHeader Header;
  std::uint64_t ImageSize = 0;  // bytes the payload decodes to
  int CodedByteValues = 0;      // byte values with a code (the presence map's 1 bits)
  // Over every code, the end marker's included; both 0 for an empty image, which has none.
  int ShortestCode = 0;
  int LongestCode = 0;
};

// How the data are decoded; the result is the same whatever the choice.
struct TDecodeOptions {
  // Threads that decode: 0 takes the hardware's count; with more than 1, one worker decodes
  // windows of the payload ahead, speculatively, while the calling thread decodes the rest,
  // once the payload spans two windows and 16 KiB: below that a thread costs more than it gains.
  int Threads = 0;
  // Payload bytes in one such window (at least 64; read in blocks of at most ChunkSize). A
  // multiple of ChunkSize keeps the container's reads those of one thread.
  std::size_t WindowBytes = 128 * 1024;
  // Decodes the data one bit at a time through the code tree, on one thread: the
  // straightforward decode that defines the format, which the fast one is held against.
  bool BitByBit = false;
};

// Reads `container` from its current position, which must be its start, to its end, and
// writes the decoded image to `image` unless it is null. Reads in blocks of at most ChunkSize
// and writes in blocks of ChunkSize, the last one shorter, whatever the threads; memory stays
// the same whatever the header says, and small for a small payload.
//
// Raises EBadContainer for a container that breaks the format. A wrong checksum is what is
// reported when the payload is also malformed, since it says best what happened: the
// bytes were damaged. Errors of the streams themselves pass through unchanged. On failure,
// part of the image may already have been written.
TContainerSummary DecodeContainer(TStream& container, TStream* image,
                                  const TDecodeOptions& options = {});

}  // namespace huff
