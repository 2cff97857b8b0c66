// A pack run: its state, its files, and the passes on all cores or the straightforward ones
// that define the container. Segments are counted, then coded at once, each at the place the
// counts give it, the bytes they share joined at the end: the same container whatever they are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "container/container.h"
#include "file/file.h"
#include "huffman/huffman.h"
#include "pack/fast_coder.h"
#include "pack/histogram.h"

namespace huff {

// A payload byte that a segment fills in part, its neighbours the rest: the OR, written last.
struct TSharedByte {
  std::uint64_t Offset = 0;  // within the container
  std::uint8_t Value = 0;
};

struct TSegment {
  std::uint64_t Begin = 0;  // input offsets; the last segment's End is found by reading
  std::uint64_t End = 0;
  TByteCounts Counts{};
  std::uint64_t StartBit = 0;  // where the segment's codes begin in the payload
  std::uint64_t BitLength = 0;
  std::uint32_t Checksum = 0;  // of the bytes the segment filled whole
  std::vector<TSharedByte> SharedBytes;
};

// By default a thread per core, one more writing a file (a coder waiting to write leaves its core).
struct TParallelism {
  int Threads = 0;                          // 0: as many as the processors, at most 16
  std::uint64_t MinSegmentSize = 1u << 18;  // smaller inputs get fewer segments
};

struct TCompressorState {
  TContainerHeader Header;
  TSource Input{};  // the image: memory, or InputFile
  TSink Output{};   // the container: memory of its size, or OutputFile
  std::unique_ptr<TFile> InputFile{};
  std::unique_ptr<TFile> OutputFile{};
  TCodeTable Codes{};
  TParallelism Parallelism{};  // set by the caller
  std::size_t Threads = 1;     // set by the first pass, as are the rest
  std::vector<TSegment> Segments{};
};

// Raises EError "Invalid Filename" for a missing path or a directory, EFOpenError for a file
// not opened or not regular, and, before any write, EInputTooLarge for one too large to count.
void OpenInput(TCompressorState& state, const std::string& path);

// The passes: the first counts, builds the codes, places the segments and returns the
// container's size, for memory to be made before the second writes it, header last.
std::uint64_t PrepareContainer(TCompressorState& state);
void EncodeSegments(TCompressorState& state);

// Consecutive, on ChunkSize boundaries, at least minSize bytes but the last, smaller at the end.
std::vector<TSegment> PlanSegments(std::uint64_t size, std::size_t threads, std::uint64_t minSize);
std::size_t ThreadCount(const TParallelism& parallelism, bool toFile);

// From this size on, through the pair table: it costs about 16 us and saves 0.1 ns a byte
// (micro_bench: PairTable, EncodeFast with and without pairs).
inline constexpr std::uint64_t PairTableMinInput = 384 * 1024;

// The straightforward passes, a byte and a bit at a time, over memory: they define the container.
std::vector<std::uint8_t> CompressBitByBit(TCompressorState& state);

}  // namespace huff
