#include "pack/passes.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "base/errors.h"
#include "container/bit_writer.h"
#include "container/container.h"
#include "pack/pack.h"

namespace huff {
namespace {

// A thread keeps its buffers' memory from one segment to the next, and the caller's thread
// up to KeptScratchSize of it from one pack to the next: memory given back was returned to
// the system and taken again, and touching it afresh cost a small input more than packing
// it. Under AddressSanitizer every buffer has its own size, so that a store past its end is
// seen, and is given back at once.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SARNVELD_EXACT_BUFFERS
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(SARNVELD_EXACT_BUFFERS)
inline constexpr bool ExactBuffers = true;
#else
inline constexpr bool ExactBuffers = false;
#endif
inline constexpr std::size_t KeptScratchSize = 256 * 1024;

// Memory for one pass's buffers on this thread, not cleared; one at a time per thread. It
// starts on a page, as the input's pages in the system's cache do: a read copied into a
// buffer 16 bytes off took three times as long.
class TScratch {
 public:
  explicit TScratch(std::size_t size) {
    assert(!Taken);
    if (ExactBuffers || size > Capacity) {
      Release();  // first, so that the two are never held at once
      Kept = std::make_unique_for_overwrite<std::uint8_t[]>(size + Page);
      Capacity = size;
    }
    Taken = true;
    std::uint8_t* const memory = Kept.get();
    Data = memory + (Page - reinterpret_cast<std::uintptr_t>(memory) % Page) % Page;
  }
  ~TScratch() {
    Taken = false;
    if (ExactBuffers)
      Release();
  }
  TScratch(const TScratch&) = delete;
  TScratch& operator=(const TScratch&) = delete;

  // After a pass, on the caller's thread: keeps no more than KeptScratchSize.
  static void Trim() {
    if (Capacity > KeptScratchSize)
      Release();
  }

  std::uint8_t* Data;

 private:
  static void Release() {
    Kept.reset();
    Capacity = 0;
  }

  static constexpr std::size_t Page = 4096;
  static thread_local bool Taken;
  static thread_local std::unique_ptr<std::uint8_t[]> Kept;
  static thread_local std::size_t Capacity;
};
thread_local bool TScratch::Taken = false;
thread_local std::unique_ptr<std::uint8_t[]> TScratch::Kept;
thread_local std::size_t TScratch::Capacity = 0;

// Runs job(i) for every segment on up to `workers` threads, the caller's among them; each
// takes the next segment not yet taken, so that a core slowed by other work takes fewer.
// A failure stops the others at their next chunk; the first segment's failure is raised.
void RunSegments(std::size_t count, std::size_t workers,
                 const std::function<void(std::size_t, const std::atomic<bool>&)>& job) {
  std::atomic<bool> stop = false;
  std::atomic<std::size_t> next = 0;
  std::vector<std::exception_ptr> failures(count);
  auto work = [&] {
    for (std::size_t index; !stop && (index = next++) < count;) {
      try {
        job(index, stop);
      } catch (...) {
        failures[index] = std::current_exception();
        stop = true;
      }
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < std::min(workers, count); ++i) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the threads there are take every segment between them
    }
  }
  work();
  TScratch::Trim();
  for (std::thread& thread : threads)
    thread.join();
  for (const std::exception_ptr& failure : failures)
    if (failure)
      std::rethrow_exception(failure);
}

// A run of bits placed at a known bit of the payload. The bytes it fills whole are written
// at once; its first byte (when it starts inside a byte) and its last (when it ends inside
// one) are kept as partial bytes, to be joined with its neighbours'.
class TPlacedRun {
 public:
  TPlacedRun(TStream& output, std::uint64_t startBit, TSegment& segment)
      : Output(output),
        Segment(segment),
        Offset(HeaderSize + startBit / 8),
        SharedHead(startBit % 8 != 0) {
    Acc.Count = static_cast<unsigned>(startBit % 8);  // zero bits stand for the earlier runs'
  }

  TBitAccumulator Acc;

  // Sums and writes the whole bytes in [begin, end), which follow those written before.
  void Emit(const std::uint8_t* begin, const std::uint8_t* end) {
    Sum(begin, end);
    Write(begin, end);
  }

  // The two halves of Emit, for a coder that sums its bytes as it makes them and writes them
  // later: every whole byte is summed once, and written once.
  void Sum(const std::uint8_t* begin, const std::uint8_t* end) {
    Segment.Checksum += SumBytes(std::span(begin, end));
  }
  void Write(const std::uint8_t* begin, const std::uint8_t* end) {
    if (begin != end && SharedHead) {
      // A byte shared with the run before is summed once it is joined.
      Segment.Checksum -= *begin;
      Segment.Partials.push_back({Offset++, *begin++});
      SharedHead = false;
    }
    if (begin == end)
      return;
    const std::span<const std::uint8_t> bytes(begin, end);
    Output.WriteAt(Offset, bytes);
    Offset += bytes.size();
  }

  // The payload bit after the last one added so far.
  std::uint64_t EndBit() const { return (Offset - HeaderSize) * 8 + Acc.Count; }

  // After the last code: the bits left over fill part of one more byte.
  void Finish() {
    if (Acc.Count > 0)
      Segment.Partials.push_back({Offset, static_cast<std::uint8_t>(Acc.Bits >> 56)});
    Acc = {};
  }

 private:
  TStream& Output;
  TSegment& Segment;
  std::uint64_t Offset;  // file offset of the next byte to emit
  bool SharedHead;
};

// The bits each segment's codes take, and so where each begins.
void PlaceSegments(std::vector<TSegment>& segments, const TCodeTable& codes,
                   std::uint64_t firstBit) {
  std::uint64_t bit = firstBit;
  for (TSegment& segment : segments) {
    segment.StartBit = bit;
    segment.BitLength = 0;
    for (int value = 0; value < 256; ++value)
      segment.BitLength += std::uint64_t{segment.Counts[value]} * codes[value].Length;
    bit += segment.BitLength;
  }
}

// The code table, through the bit-at-a-time writer: it is a few hundred bytes.
void WriteCodeTableAt(const TCompressorState& state, TStream& output, TSegment& run) {
  TMemoryStream bytes;
  {
    TBitWriter writer(bytes);
    WriteCodeTable(state.Coder.CodeTable, writer);
    writer.FlushBits();
  }
  const std::uint64_t bits = CodeTableBits(state.Coder.CodeTable);
  TPlacedRun placed(output, 0, run);
  const std::uint8_t* begin = bytes.Contents().data();
  placed.Emit(begin, begin + bits / 8);
  if (bits % 8 != 0)
    run.Partials.push_back({HeaderSize + bits / 8, bytes.Contents()[bits / 8]});
}

// Counts one segment. The last reads on to the end of the file, which may have grown since
// its size was taken: the count is of what is there.
void CountSegment(TStream& input, TSegment& segment, bool last, const std::atomic<bool>& stop) {
  const TScratch scratch(ChunkSize);
  std::uint8_t* const buffer = scratch.Data;
  std::uint64_t offset = segment.Begin;
  while (!stop && (last || offset < segment.End)) {
    const std::size_t want =
        last ? ChunkSize
             : static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, segment.End - offset));
    const std::size_t count = input.ReadAt(offset, std::span(buffer, want));
    if (count == 0) {
      if (last)
        break;
      throw EInputChanged("File " + input.Name() + " shrank while it was being counted");
    }
    offset += count;
    if (offset > MaxInputSize)
      throw InputTooLarge(input.Name(), "more than " + std::to_string(MaxInputSize));
    CountBytes(std::span(buffer, count), segment.Counts);
  }
  segment.End = offset;
}

// The coded bytes go to the file in blocks of WriteBlock bytes, counted from the segment's
// first: the same writes on every run, whichever coder waits for which.
inline constexpr std::size_t WriteBlock = std::size_t{1} << 17;

// Codes one segment into the payload at its place, in fixed buffers.
void EncodeSegment(TStream& input, TStream& output, const TFastCodeTable& fast,
                   std::uint64_t counted, TSegment& segment, std::mutex& writing,
                   const std::atomic<bool>& stop) {
  // Room for one read at the longest code plus the eight bytes a store may spill, after a
  // few blocks waiting to be written; for a small segment, room for all of its codes. Nothing
  // is cleared: only what the coder stored is read.
  const auto codedSize = [&](std::uint64_t bytes) {
    return static_cast<std::size_t>((7 + bytes * static_cast<std::uint64_t>(fast.MaxLength)) / 8 +
                                    8);
  };
  const std::uint64_t size = segment.End - segment.Begin;
  const auto chunkIn = static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, size));
  const std::size_t chunkOut = codedSize(chunkIn);
  const std::size_t capacity = std::min(4 * WriteBlock + chunkOut, codedSize(size));
  const TScratch scratch(chunkIn + capacity);
  std::uint8_t* const in = scratch.Data;
  TPlacedRun run(output, segment.StartBit, segment);
  std::uint8_t* const buffer = scratch.Data + chunkIn;
  std::uint8_t* begin = buffer;  // the first byte not yet written
  std::uint8_t* end = buffer;
  // Writes the whole blocks held, and with last the rest too.
  const auto writeBlocks = [&](bool last) {
    while (static_cast<std::size_t>(end - begin) >= WriteBlock || (last && begin != end)) {
      const std::size_t size = std::min(static_cast<std::size_t>(end - begin), WriteBlock);
      run.Write(begin, begin + size);
      begin += size;
    }
  };
  for (std::uint64_t offset = segment.Begin; offset < segment.End && !stop;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, segment.End - offset));
    const std::size_t count = input.ReadAt(offset, std::span(in, want));
    if (count == 0)
      throw InputShrank(input.Name(), counted, offset);
    bool missing = false;
    std::uint8_t* const coded = end;
    end = EncodeBytes(fast, std::span(in, count), end, run.Acc, missing);
    run.Sum(coded, end);  // while they are in the cache, and not during a turn at writing
    if (missing) {
      const auto* bad = std::find_if(
          in, in + count, [&](std::uint8_t byte) { return fast.Codes[byte].Length == 0; });
      throw ByteNotCounted(input.Name(), *bad, offset + static_cast<std::uint64_t>(bad - in));
    }
    offset += count;
    // Coders take turns at writing: the file system lets one write into a file at a time, and
    // a second writer waits, spinning while the first one copies. A coder with a whole block writes
    // when no other is writing and codes on otherwise; only when another chunk might not fit does
    // it wait.
    const bool full = static_cast<std::size_t>(buffer + capacity - end) < chunkOut;
    std::unique_lock turn(writing, std::defer_lock);
    if (full)
      turn.lock();
    else if (static_cast<std::size_t>(end - begin) >= WriteBlock)
      static_cast<void>(turn.try_lock());
    if (turn.owns_lock()) {
      writeBlocks(false);
      turn.unlock();
    }
    if (full) {  // less than a block is left: it moves to the front
      std::memmove(buffer, begin, static_cast<std::size_t>(end - begin));
      end = buffer + (end - begin);
      begin = buffer;
    }
  }
  if (!stop) {  // after another coder's failure the container is abandoned anyway
    const std::lock_guard turn(writing);
    writeBlocks(true);
  }
  // Bytes that moved between segments since they were counted change where each segment's
  // codes end, and would overwrite a neighbour's.
  if (!stop && run.EndBit() != segment.StartBit + segment.BitLength)
    throw EInputChanged("File " + input.Name() +
                        " changed while it was being packed: the bytes from offset " +
                        std::to_string(segment.Begin) + " to " + std::to_string(segment.End) +
                        " no longer hold what was counted");
  run.Finish();
}

// Writes the shared bytes, every run's parts of one byte ORed together; returns their sum.
std::uint32_t WriteJoined(TStream& output, std::vector<TPartialByte>& partials) {
  std::sort(partials.begin(), partials.end(),
            [](const TPartialByte& a, const TPartialByte& b) { return a.Offset < b.Offset; });
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < partials.size();) {
    TPartialByte joined = partials[i];
    for (++i; i < partials.size() && partials[i].Offset == joined.Offset; ++i)
      joined.Value |= partials[i].Value;
    output.WriteAt(joined.Offset, std::span(&joined.Value, 1));
    sum += joined.Value;
  }
  return sum;
}

}  // namespace

std::size_t ThreadCount(const TParallelism& parallelism) {
  if (parallelism.Threads > 0)
    return static_cast<std::size_t>(parallelism.Threads);
  // One thread more than the cores: a coder whose buffer is full waits for its turn at
  // writing, and the spare thread keeps its core busy meanwhile. Each thread holds about
  // 700 KiB of buffers: more than MaxThreads would take memory for little gain, the passes
  // being bound by memory bandwidth by then.
  // The cores are counted once: each count reads a file of the system, which would cost a
  // small input more than packing it.
  static const std::size_t cores = std::thread::hardware_concurrency();
  return std::clamp<std::size_t>(cores + 1, 1, MaxThreads);
}

std::vector<TSegment> PlanSegments(std::uint64_t size, const TParallelism& parallelism) {
  // Each segment is a share of what is left, so that segments shrink towards the end: the
  // threads take the large ones first and finish close together on the small ones, whatever
  // speed each core runs at. Segments start on chunk boundaries, so that every read but a
  // segment's last is whole.
  const std::uint64_t shares = 2 * ThreadCount(parallelism);
  const std::uint64_t chunks = (size + ChunkSize - 1) / ChunkSize;
  const std::uint64_t minChunks =
      std::max<std::uint64_t>((parallelism.MinSegmentSize + ChunkSize - 1) / ChunkSize, 1);
  std::vector<TSegment> segments;
  for (std::uint64_t begin = 0; begin < chunks;) {
    const std::uint64_t end =
        std::min(chunks, begin + std::max(minChunks, (chunks - begin) / shares));
    TSegment& segment = segments.emplace_back();
    segment.Begin = begin * ChunkSize;
    segment.End = std::min(size, end * ChunkSize);
    begin = end;
  }
  if (segments.empty())
    segments.emplace_back();  // an empty input is one empty segment
  return segments;
}

void CountSegments(TCompressorState& state) {
  TStream& input = *state.Input;
  state.Plan.Segments = PlanSegments(input.Size(), state.Plan.Parallelism);
  const std::size_t last = state.Plan.Segments.size() - 1;
  RunSegments(state.Plan.Segments.size(), ThreadCount(state.Plan.Parallelism),
              [&](std::size_t index, const std::atomic<bool>& stop) {
                CountSegment(input, state.Plan.Segments[index], index == last, stop);
              });
  state.Plan.InputLength = state.Plan.Segments.back().End;
  for (const TSegment& segment : state.Plan.Segments)
    for (int value = 0; value < 256; ++value)
      state.Coder.NodePool[value].Weight += static_cast<std::int32_t>(segment.Counts[value]);
  state.Coder.NodePool[EndMarker].Weight = 1;  // assigned: the end marker occurs exactly once
}

void EncodeSegments(TCompressorState& state) {
  TStream& input = *state.Input;
  TStream& output = *state.Output;
  std::vector<TSegment>& segments = state.Plan.Segments;
  const TCodeTable& codes = state.Coder.CodeTable;
  const TFastCodeTable fast = FastCodes(codes, state.Plan.InputLength >= PairTableMinInput);
  PlaceSegments(segments, codes, CodeTableBits(codes));

  // The code table and the end marker are runs of their own, placed around the segments.
  TSegment table;
  WriteCodeTableAt(state, output, table);

  std::mutex writing;
  RunSegments(segments.size(), ThreadCount(state.Plan.Parallelism),
              [&](std::size_t index, const std::atomic<bool>& stop) {
                EncodeSegment(input, output, fast, state.Plan.InputLength, segments[index], writing,
                              stop);
              });

  // Anything past what was counted means the file grew.
  std::uint8_t probe = 0;
  if (input.ReadAt(state.Plan.InputLength, std::span(&probe, 1)) != 0)
    throw InputGrew(input.Name(), state.Plan.InputLength);

  const std::uint64_t dataEnd = segments.back().StartBit + segments.back().BitLength;
  TSegment marker;
  {
    TPlacedRun run(output, dataEnd, marker);
    std::uint8_t bytes[16];
    AddBits(run.Acc, fast.Codes[EndMarker].Bits, fast.Codes[EndMarker].Length);
    run.Emit(bytes, StoreWholeBytes(run.Acc, bytes));
    run.Finish();
  }
  const std::uint64_t totalBits = dataEnd + fast.Codes[EndMarker].Length;

  std::vector<TPartialByte> partials = table.Partials;
  std::uint32_t checksum = table.Checksum + marker.Checksum;
  for (const TSegment& segment : segments) {
    partials.insert(partials.end(), segment.Partials.begin(), segment.Partials.end());
    checksum += segment.Checksum;
  }
  partials.insert(partials.end(), marker.Partials.begin(), marker.Partials.end());
  checksum += WriteJoined(output, partials);

  const std::uint64_t payloadSize = (totalBits + 7) / 8;
  state.Header.PayloadSize = static_cast<std::uint32_t>(payloadSize);
  state.Header.Checksum = checksum;
  output.WriteAt(0, EncodeHeader(state.Header));
}

}  // namespace huff
