// The two passes over the input as the packer runs them: the input is cut into segments
// that are counted, and then coded, on all cores at once. Each segment's place in the
// payload follows from the counts and the code lengths, so segments are coded
// independently; the bytes that two segments share are joined at the end. The container
// is the same, bit for bit, whatever the number of segments.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "huffman/huffman.h"
#include "pack/fast_coder.h"
#include "pack/histogram.h"

namespace huff {

struct TCompressorState;

// A byte of the payload that a range of bits fills only in part. Its neighbours fill the
// rest: it is written once all of them are known, as the OR of their parts.
struct TSharedByte {
  std::uint64_t Offset = 0;  // within the container
  std::uint8_t Value = 0;
};

struct TSegment {
  std::uint64_t Begin = 0;  // input offsets; the last segment's End is found by reading
  std::uint64_t End = 0;
  THistogram Counts{};
  std::uint64_t StartBit = 0;  // where the segment's codes begin in the payload
  std::uint64_t BitLength = 0;
  std::uint32_t Checksum = 0;  // of the bytes the segment filled whole
  std::vector<TSharedByte> SharedBytes;
};

// How the passes may split the work. The defaults take one thread per core (one more when
// writing a file, for a coder that waits for its turn to write).
struct TParallelism {
  int Threads = 0;                          // 0: as many as the processors, at most MaxThreads
  std::uint64_t MinSegmentSize = 1u << 18;  // smaller inputs get fewer segments
};

inline constexpr std::size_t MaxThreads = 16;

// How many threads the passes run on, writing to a file or to memory.
std::size_t ThreadCount(const TParallelism& parallelism, bool toFile);

// The segments for an input of `size` bytes: consecutive, on ChunkSize boundaries, of at
// least MinSegmentSize bytes but the last, and smaller towards the end.
std::vector<TSegment> PlanSegments(std::uint64_t size, std::size_t threads,
                                   const TParallelism& parallelism);

// Inputs from this size on are coded through the pair table: building it takes about 80 us
// and saves about 0.2 ns a byte (micro_bench: PairTable, EncodeFast with and without pairs).
inline constexpr std::uint64_t PairTableMinInput = 384 * 1024;

// How a run splits the passes, and what the first pass found.
struct TPassPlan {
  TParallelism Parallelism;        // set by the caller
  std::vector<TSegment> Segments;  // set by the first pass
  std::uint64_t InputLength = 0;   // bytes counted by the first pass
  std::uint64_t PayloadBits = 0;   // set once the segments are placed
};

// First pass: counts every segment and sets the leaf weights, the end marker weighing 1.
void CountSegments(TCompressorState& state);
// Once the codes are known: where each segment's codes begin; returns the container's size.
std::uint64_t PlaceSegments(TCompressorState& state);
// Second pass: writes the whole container, header last.
void EncodeSegments(TCompressorState& state);

}  // namespace huff
