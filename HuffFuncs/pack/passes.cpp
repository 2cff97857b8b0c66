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
#include "base/thread_buffer.h"
#include "container/bit_writer.h"
#include "container/container.h"
#include "pack/pack.h"

namespace huff {
namespace {

inline constexpr std::size_t KeptBufferSize = 256 * 1024;

// The ways a file can change between the passes.
EInputChanged InputGrew(const std::string& path, std::uint64_t counted) {
  return EInputChanged("File " + path + " grew while it was being packed: " +
                       std::to_string(counted) + " bytes were counted");
}

EInputChanged InputShrank(const std::string& path, std::uint64_t counted, std::uint64_t read) {
  return EInputChanged("File " + path +
                       " shrank while it was being packed: " + std::to_string(counted) +
                       " bytes were counted, " + std::to_string(read) + " read");
}

EInputChanged ByteNotCounted(const std::string& path, std::uint8_t value, std::uint64_t offset) {
  return EInputChanged("File " + path + " changed while it was being packed: byte value " +
                       HexByte(value) + " at offset " + std::to_string(offset) +
                       " was not there when it was counted");
}

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
  TThreadBuffer::Trim(KeptBufferSize);
  for (std::thread& thread : threads)
    thread.join();
  for (const std::exception_ptr& failure : failures)
    if (failure)
      std::rethrow_exception(failure);
}

// Bits placed at a known bit of the payload. The bytes they fill whole are written at once;
// the first (when they start inside a byte) and the last (when they end inside one) are
// shared with the neighbours' bits, and kept, to be joined with theirs.
class TPlacedBits {
 public:
  TPlacedBits(const TSink& output, std::uint64_t startBit, TSegment& segment)
      : Output(output),
        Segment(segment),
        Offset(HeaderSize + startBit / 8),
        SharedHead(startBit % 8 != 0) {
    Acc.Count = static_cast<unsigned>(startBit % 8);  // zero bits stand for the earlier ones
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
      // A byte shared with the bits before is summed once it is joined.
      Segment.Checksum -= *begin;
      Segment.SharedBytes.push_back({Offset++, *begin++});
      SharedHead = false;
    }
    if (begin == end)
      return;
    const std::span<const std::uint8_t> bytes(begin, end);
    Output.WriteAt(Offset, bytes);
    Offset += bytes.size();
  }

  // The container offset of the next byte to write.
  std::uint64_t NextOffset() const { return Offset; }
  // The payload bit after the last one added so far.
  std::uint64_t EndBit() const { return (Offset - HeaderSize) * 8 + Acc.Count; }

  // After the last code: the bits left over fill part of one more byte.
  void Finish() {
    if (Acc.Count > 0)
      Segment.SharedBytes.push_back({Offset, static_cast<std::uint8_t>(Acc.Bits >> 56)});
    Acc = {};
  }

 private:
  const TSink& Output;
  TSegment& Segment;
  std::uint64_t Offset;  // container offset of the next byte to write
  bool SharedHead;
};

// The code table, through the bit-at-a-time writer: it is a few hundred bytes.
void WriteCodeTableAt(const TCodeTable& codes, const TSink& output, TSegment& table) {
  std::vector<std::uint8_t> bytes;
  {
    TBitWriter writer(bytes);
    WriteCodeTable(codes, writer);
    writer.FlushBits();
  }
  const std::uint64_t bits = CodeTableBits(codes);
  TPlacedBits placed(output, 0, table);
  placed.Emit(bytes.data(), bytes.data() + bits / 8);
  if (bits % 8 != 0)
    table.SharedBytes.push_back({HeaderSize + bits / 8, bytes[bits / 8]});
}

// Counts one segment. The last reads on to the end of the file, which may have grown since
// its size was taken: the count is of what is there.
void CountSegment(const TSource& input, TSegment& segment, bool last,
                  const std::atomic<bool>& stop) {
  // Memory is counted where it lies, a segment at a time.
  const std::size_t most = input.InMemory() ? static_cast<std::size_t>(segment.End - segment.Begin)
                                            : std::size_t{ChunkSize};
  const TThreadBuffer buffer(input.InMemory() ? 0 : most);
  std::uint64_t offset = segment.Begin;
  while (!stop && (last || offset < segment.End)) {
    const std::size_t want =
        last ? most : static_cast<std::size_t>(std::min<std::uint64_t>(most, segment.End - offset));
    const auto block = input.Block(offset, want, buffer.Data);
    if (block.empty()) {
      if (last)
        break;
      throw EInputChanged("File " + input.Name + " shrank while it was being counted");
    }
    offset += block.size();
    if (offset > MaxInputSize)
      throw InputTooLarge(input.Name, "more than " + std::to_string(MaxInputSize));
    CountBytes(block, segment.Counts);
  }
  segment.End = offset;
}

// The coded bytes go to a file in blocks of WriteBlock bytes, counted from the segment's
// first: the same writes on every run, whichever coder waits for which. Memory takes them
// after each chunk.
inline constexpr std::size_t WriteBlock = std::size_t{1} << 17;

// Codes one segment into the payload at its place, in fixed buffers.
void EncodeSegment(const TSource& input, const TSink& output, const TFastCodeTable& fast,
                   std::uint64_t counted, TSegment& segment, std::mutex& writing,
                   const std::atomic<bool>& stop) {
  // Room for one read at the longest code plus the eight bytes a store may spill, after a
  // few blocks waiting to be written; for a small segment, room for all of its codes. Nothing
  // is cleared: only what the coder stored is read.
  const auto codedSize = [&](std::uint64_t bytes) {
    return static_cast<std::size_t>((7 + bytes * static_cast<std::uint64_t>(fast.MaxLength)) / 8 +
                                    8);
  };
  const std::size_t block = output.File != nullptr ? WriteBlock : 1;
  const std::uint64_t size = segment.End - segment.Begin;
  const auto chunkIn = static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, size));
  const std::size_t chunkOut = codedSize(chunkIn);
  const std::size_t capacity = std::min(4 * block + chunkOut, codedSize(size));
  const std::size_t inSize = input.InMemory() ? 0 : chunkIn;
  const TThreadBuffer buffers(inSize + capacity);
  std::uint8_t* const in = buffers.Data;
  std::uint8_t* const buffer = buffers.Data + inSize;
  TPlacedBits placed(output, segment.StartBit, segment);
  // Bytes that moved between segments since they were counted change where each segment's
  // codes end, and would overwrite a neighbour's.
  const auto changed = [&] {
    return EInputChanged("File " + input.Name +
                         " changed while it was being packed: the bytes from offset " +
                         std::to_string(segment.Begin) + " to " + std::to_string(segment.End) +
                         " no longer hold what was counted");
  };
  const std::uint64_t endBit = segment.StartBit + segment.BitLength;
  const std::uint64_t endByte = HeaderSize + endBit / 8;  // past the last byte it fills whole
  std::uint8_t* begin = buffer;                           // the first byte not yet written
  std::uint8_t* end = buffer;
  // Writes the whole blocks held, and with last the rest too.
  const auto writeBlocks = [&](bool last) {
    std::size_t ready = static_cast<std::size_t>(end - begin);
    if (!last)
      ready -= ready % block;
    if (placed.NextOffset() + ready > endByte)
      throw changed();
    for (std::size_t size; ready > 0; begin += size, ready -= size) {
      size = std::min(ready, WriteBlock);
      placed.Write(begin, begin + size);
    }
  };
  for (std::uint64_t offset = segment.Begin; offset < segment.End && !stop;) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, segment.End - offset));
    const auto chunk = input.Block(offset, want, in);
    if (chunk.empty())
      throw InputShrank(input.Name, counted, offset);
    bool missing = false;
    std::uint8_t* const coded = end;
    end = EncodeBytes(fast, chunk, end, placed.Acc, missing);
    placed.Sum(coded, end);  // while they are in the cache, and not during a turn at writing
    if (missing) {
      const auto bad = std::find_if(chunk.begin(), chunk.end(), [&](std::uint8_t byte) {
        return fast.Codes[byte].Length == 0;
      });
      throw ByteNotCounted(input.Name, *bad,
                           offset + static_cast<std::uint64_t>(bad - chunk.begin()));
    }
    offset += chunk.size();
    // Coders take turns at writing: the file system lets one write into a file at a time, and
    // a second writer waits, spinning while the first one copies. A coder with a whole block
    // writes when no other is writing and codes on otherwise; only when another chunk might not
    // fit does it wait.
    const bool full = static_cast<std::size_t>(buffer + capacity - end) < chunkOut;
    std::unique_lock turn(writing, std::defer_lock);
    if (full)
      turn.lock();
    else if (static_cast<std::size_t>(end - begin) >= block)
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
  if (!stop && placed.EndBit() != endBit)
    throw changed();
  placed.Finish();
}

// Writes the shared bytes, every part of one byte ORed together; returns their sum.
std::uint32_t WriteJoined(const TSink& output, std::vector<TSharedByte>& shared) {
  std::sort(shared.begin(), shared.end(),
            [](const TSharedByte& a, const TSharedByte& b) { return a.Offset < b.Offset; });
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < shared.size();) {
    TSharedByte joined = shared[i];
    for (++i; i < shared.size() && shared[i].Offset == joined.Offset; ++i)
      joined.Value |= shared[i].Value;
    output.WriteAt(joined.Offset, std::span(&joined.Value, 1));
    sum += joined.Value;
  }
  return sum;
}

}  // namespace

std::size_t ThreadCount(const TParallelism& parallelism, bool toFile) {
  if (parallelism.Threads > 0)
    return static_cast<std::size_t>(parallelism.Threads);
  // Writing a file, one thread more than the cores: a coder whose buffer is full waits for
  // its turn at writing, and the spare thread keeps its core busy meanwhile. Each thread holds
  // about 700 KiB of buffers: more than MaxThreads would take memory for little gain, the
  // passes being bound by memory bandwidth by then. The processors are counted once: asking
  // the system costs a small input more than packing it.
  static const std::size_t cores = ProcessorCount();
  return std::clamp<std::size_t>(cores + (toFile ? 1 : 0), 1, MaxThreads);
}

std::vector<TSegment> PlanSegments(std::uint64_t size, std::size_t threads,
                                   const TParallelism& parallelism) {
  // Each segment is a share of what is left, so that segments shrink towards the end: the
  // threads take the large ones first and finish close together on the small ones, whatever
  // speed each core runs at. Segments start on chunk boundaries, so that every read but a
  // segment's last is whole.
  const std::uint64_t shares = 2 * threads;
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
  const TSource& input = state.Input;
  std::vector<TSegment>& segments = state.Plan.Segments;
  const std::size_t threads = ThreadCount(state.Plan.Parallelism, state.Output.File != nullptr);
  segments = PlanSegments(input.Size(), threads, state.Plan.Parallelism);
  const std::size_t last = segments.size() - 1;
  RunSegments(segments.size(), threads, [&](std::size_t index, const std::atomic<bool>& stop) {
    CountSegment(input, segments[index], index == last, stop);
  });
  state.Plan.InputLength = segments.back().End;
  for (const TSegment& segment : segments)
    for (int value = 0; value < 256; ++value)
      state.Coder.NodePool[value].Weight += static_cast<std::int32_t>(segment.Counts[value]);
  state.Coder.NodePool[EndMarker].Weight = 1;  // assigned: the end marker occurs exactly once
}

std::uint64_t PlaceSegments(TCompressorState& state) {
  const TCodeTable& codes = state.Coder.CodeTable;
  std::uint64_t bit = CodeTableBits(codes);
  for (TSegment& segment : state.Plan.Segments) {
    segment.StartBit = bit;
    segment.BitLength = 0;
    for (int value = 0; value < 256; ++value)
      segment.BitLength += std::uint64_t{segment.Counts[value]} * codes[value].Length;
    bit += segment.BitLength;
  }
  state.Plan.PayloadBits = bit + codes[EndMarker].Length;
  return HeaderSize + (state.Plan.PayloadBits + 7) / 8;
}

void EncodeSegments(TCompressorState& state) {
  const TSource& input = state.Input;
  const TSink& output = state.Output;
  std::vector<TSegment>& segments = state.Plan.Segments;
  const TCodeTable& codes = state.Coder.CodeTable;
  const TFastCodeTable fast = FastCodes(codes, state.Plan.InputLength >= PairTableMinInput);

  // The code table and the end marker are bits of their own, placed around the segments.
  TSegment table;
  WriteCodeTableAt(codes, output, table);

  std::mutex writing;
  RunSegments(segments.size(), ThreadCount(state.Plan.Parallelism, state.Output.File != nullptr),
              [&](std::size_t index, const std::atomic<bool>& stop) {
                EncodeSegment(input, output, fast, state.Plan.InputLength, segments[index], writing,
                              stop);
              });

  // Anything past what was counted means the file grew.
  std::uint8_t probe = 0;
  if (!input.Block(state.Plan.InputLength, 1, &probe).empty())
    throw InputGrew(input.Name, state.Plan.InputLength);

  const std::uint64_t dataEnd = segments.back().StartBit + segments.back().BitLength;
  TSegment marker;
  {
    TPlacedBits placed(output, dataEnd, marker);
    std::uint8_t bytes[16];
    AddBits(placed.Acc, fast.Codes[EndMarker].Bits, fast.Codes[EndMarker].Length);
    placed.Emit(bytes, StoreWholeBytes(placed.Acc, bytes));
    placed.Finish();
  }

  std::vector<TSharedByte> shared = table.SharedBytes;
  std::uint32_t checksum = table.Checksum + marker.Checksum;
  for (const TSegment& segment : segments) {
    shared.insert(shared.end(), segment.SharedBytes.begin(), segment.SharedBytes.end());
    checksum += segment.Checksum;
  }
  shared.insert(shared.end(), marker.SharedBytes.begin(), marker.SharedBytes.end());
  checksum += WriteJoined(output, shared);
  WriteHeader(state, static_cast<std::uint32_t>((state.Plan.PayloadBits + 7) / 8), checksum);
}

}  // namespace huff
