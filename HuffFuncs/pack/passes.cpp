// A pack run: its passes on all cores, and the straightforward ones (see pack.h).
#include <algorithm>
#include <atomic>
#include <cassert>
#include <exception>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/thread_buffer.h"
#include "pack/bit_writer.h"
#include "pack/pack.h"

namespace huff {
namespace {

constexpr std::size_t KeptBufferSize = 256 * 1024;  // kept by the caller's thread
// Blocks to a file, counted from a segment's first byte: the same writes whoever waits for whom.
constexpr std::size_t WriteBlock = std::size_t{1} << 17;
// In memory, a thread costs more than it saves below this (micro_bench InProcess/pack).
constexpr std::uint64_t MemoryThreadsFrom = 2 << 20;

// Runs job for every segment on up to state.Threads threads, the caller's too, each taking the
// next (a slowed core takes fewer). A failure stops the others; the first segment's is raised.
void RunSegments(TCompressorState& state,
                 const std::function<void(TSegment&, std::size_t, const std::atomic<bool>&)>& job) {
  const std::size_t count = state.Segments.size();
  std::atomic<bool> stop = false;
  std::atomic<std::size_t> next = 0;
  std::vector<std::exception_ptr> failures(count);
  auto work = [&] {
    for (std::size_t index; !stop && (index = next++) < count;) {
      try {
        job(state.Segments[index], index, stop);
      } catch (...) {
        failures[index] = std::current_exception();
        stop = true;
      }
    }
  };
  std::vector<std::thread> threads;
  for (std::size_t i = 1; i < std::min(state.Threads, count); ++i) {
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

// Counts one segment in place, or in ChunkSize reads of a file; the last reads on to its end.
void CountSegment(const TSource& input, TSegment& segment, bool last,
                  const std::atomic<bool>& stop) {
  const std::size_t most = input.InMemory() ? static_cast<std::size_t>(segment.End - segment.Begin)
                                            : std::size_t{ChunkSize};
  const TThreadBuffer buffer(input.InMemory() ? 0 : most);
  std::uint64_t offset = segment.Begin;
  while (!stop && (last || offset < segment.End)) {
    const auto block = input.Block(
        offset, last ? most : std::min<std::size_t>(most, segment.End - offset), buffer.Data);
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

// Codes one segment at its place, in fixed buffers; the first begins with the code table.
void EncodeSegment(const TCompressorState& state, const TFastCodeTable& fast, TSegment& segment,
                   bool first, bool last, std::mutex& writing, const std::atomic<bool>& stop) {
  const TSource& input = state.Input;
  // Room for one read's codes and a store's spill after a few blocks waiting for a file, or for
  // a small segment's all and the code table. Not cleared: only what the coder stored is read.
  const auto codedSize = [&](std::uint64_t bytes) {
    return static_cast<std::size_t>((7 + bytes * static_cast<unsigned>(fast.MaxLength)) / 8 + 8);
  };
  const std::size_t block = state.Output.File != nullptr ? WriteBlock : 1;
  const std::uint64_t size = segment.End - segment.Begin;
  const auto chunkIn = static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, size));
  const std::size_t chunkOut = codedSize(chunkIn);
  const std::size_t tableBytes = first ? segment.StartBit / 8 : 0;
  const std::size_t capacity = std::min(4 * block + chunkOut, codedSize(size)) + tableBytes;
  const std::size_t inSize = input.InMemory() ? 0 : chunkIn;
  const TThreadBuffer buffers(inSize + capacity);
  std::uint8_t* const in = buffers.Data;
  std::uint8_t* const buffer = buffers.Data + inSize;
  std::uint8_t* begin = buffer;  // the first byte not yet written
  std::uint8_t* end = buffer;
  const std::uint64_t startBit = first ? 0 : segment.StartBit;
  std::uint64_t at = HeaderSize + startBit / 8;  // where begin goes in the container
  TBitAccumulator acc;
  acc.Count = static_cast<unsigned>(startBit % 8);  // zero bits stand for the earlier ones
  // A first byte shared with the bits before, and the last, go to SharedBytes to be joined with
  // the neighbours'; the others are summed as the coder makes them (in the cache).
  bool sharedHead = acc.Count != 0;
  const auto stored = [&](std::uint8_t* to) {  // the coder stored from end to `to`
    segment.Checksum += SumBytes(std::span<const std::uint8_t>(end, to));
    end = to;
  };
  if (first) {
    std::vector<std::uint8_t> table;  // a few hundred bytes: through the bit-at-a-time writer
    TBitWriter writer(table);
    WriteCodeTable(fast.Codes, writer);
    writer.FlushBits();
    stored(std::copy_n(table.begin(), tableBytes, end));
    AddBits(acc, table.back() >> (8 - segment.StartBit % 8), segment.StartBit % 8);
  }
  const std::uint64_t endBit =
      segment.StartBit + segment.BitLength + (last ? fast.Codes[EndMarker].Length : 0);
  // Bytes that moved between segments since they were counted would overwrite a neighbour's.
  const auto changed = [&] {
    return EInputChanged("File " + input.Name +
                         " changed while it was being packed: the bytes from offset " +
                         std::to_string(segment.Begin) + " to " + std::to_string(segment.End) +
                         " no longer hold what was counted");
  };
  const auto writeBlocks = [&](bool all) {
    std::size_t ready = static_cast<std::size_t>(end - begin);
    ready -= all ? 0 : ready % block;
    if (at + ready > HeaderSize + endBit / 8)
      throw changed();
    for (std::size_t size; ready > 0; begin += size, ready -= size) {
      size = std::min(ready, WriteBlock);
      const std::uint8_t* from = begin;
      if (std::exchange(sharedHead, false)) {
        segment.Checksum -= *from;  // summed once it is joined
        segment.SharedBytes.push_back({at++, *from++});
      }
      state.Output.WriteAt(at, std::span(from, begin + size));
      at += static_cast<std::uint64_t>(begin + size - from);
    }
  };
  for (std::uint64_t offset = segment.Begin; offset < segment.End && !stop;) {
    const auto chunk = input.Block(
        offset, static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, segment.End - offset)),
        in);
    if (chunk.empty())
      throw EInputChanged("File " + input.Name + " shrank while it was being packed: " +
                          std::to_string(state.Segments.back().End) + " bytes were counted, " +
                          std::to_string(offset) + " read");
    bool missing = false;
    stored(EncodeBytes(fast, chunk, end, acc, missing));
    if (missing) {
      const auto bad = std::find_if(chunk.begin(), chunk.end(), [&](std::uint8_t byte) {
        return fast.Codes[byte].Length == 0;
      });
      throw EInputChanged("File " + input.Name + " changed while it was being packed: byte value " +
                          HexByte(*bad) + " at offset " +
                          std::to_string(offset + static_cast<std::uint64_t>(bad - chunk.begin())) +
                          " was not there when it was counted");
    }
    offset += chunk.size();
    // Coders take turns at writing (a file takes one write at a time, a second one spins): with a
    // whole block, when no other writes; they wait only when another chunk might not fit.
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
      end = std::copy(begin, end, buffer);
      begin = buffer;
    }
  }
  if (stop)  // after another coder's failure the container is abandoned anyway
    return;
  if (last) {
    AddBits(acc, fast.Codes[EndMarker].Bits, fast.Codes[EndMarker].Length);
    stored(StoreWholeBytes(acc, end));
  }
  const std::lock_guard turn(writing);
  writeBlocks(true);
  if ((at - HeaderSize) * 8 + acc.Count != endBit)
    throw changed();
  if (acc.Count > 0)
    segment.SharedBytes.push_back({at, static_cast<std::uint8_t>(acc.Bits << (8 - acc.Count))});
}

}  // namespace

void OpenInput(TCompressorState& state, const std::string& path) {
  if (!NamesNonDirectory(path))
    throw EError("Invalid Filename");
  state.InputFile = TFile::OpenForReading(path);
  state.Input = {.File = state.InputFile.get(), .Name = path};
  if (const std::uint64_t size = state.InputFile->Size(); size > MaxInputSize)
    throw InputTooLarge(path, std::to_string(size));
}

std::size_t ThreadCount(const TParallelism& parallelism, bool toFile) {
  if (parallelism.Threads > 0)
    return static_cast<std::size_t>(parallelism.Threads);
  // Past 16 threads of 700 KiB buffers the passes are bound by memory. Counted once: asking
  // costs a small input more than packing.
  static const std::size_t cores = ProcessorCount();
  return std::clamp<std::size_t>(cores + (toFile ? 1 : 0), 1, 16);
}

std::vector<TSegment> PlanSegments(std::uint64_t size, std::size_t threads, std::uint64_t minSize) {
  // Each segment a share of what is left: the threads finish close together on the small ones,
  // whatever speed each core runs at. On chunk boundaries: every read but a segment's last whole.
  const std::uint64_t chunks = (size + ChunkSize - 1) / ChunkSize;
  const std::uint64_t minChunks = std::max<std::uint64_t>((minSize + ChunkSize - 1) / ChunkSize, 1);
  std::vector<TSegment> segments(1);  // an empty input is one empty segment
  for (std::uint64_t begin = 0, end; begin < chunks; begin = end) {
    end = std::min(chunks, begin + std::max(minChunks, (chunks - begin) / (2 * threads)));
    TSegment& segment = begin == 0 ? segments[0] : segments.emplace_back();
    segment.Begin = begin * ChunkSize;
    segment.End = std::min(size, end * ChunkSize);
  }
  return segments;
}

std::uint64_t PrepareContainer(TCompressorState& state) {
  const TSource& input = state.Input;
  const std::uint64_t size = input.Size();
  state.Threads = ThreadCount(state.Parallelism, state.Output.File != nullptr);
  if (state.Parallelism.Threads == 0 && input.InMemory() && size < MemoryThreadsFrom)
    state.Threads = 1;
  state.Segments = PlanSegments(size, state.Threads, state.Parallelism.MinSegmentSize);
  std::vector<TSegment>& segments = state.Segments;
  RunSegments(state, [&](TSegment& segment, std::size_t index, const std::atomic<bool>& stop) {
    CountSegment(input, segment, index + 1 == segments.size(), stop);
  });
  TByteCounts counts{};
  for (const TSegment& segment : segments)
    std::ranges::transform(counts, segment.Counts, counts.begin(), std::plus<>());
  const TCodeTable& codes = state.Codes = BuildCodes(counts, input.Name);
  std::uint64_t bit = CodeTableBits(codes);
  for (TSegment& segment : segments) {
    segment.StartBit = bit;
    for (int value = 0; value < 256; ++value)
      segment.BitLength += std::uint64_t{segment.Counts[value]} * codes[value].Length;
    bit += segment.BitLength;
  }
  state.Header.PayloadSize = static_cast<std::uint32_t>((bit + codes[EndMarker].Length + 7) / 8);
  return HeaderSize + state.Header.PayloadSize;
}

void EncodeSegments(TCompressorState& state) {
  std::vector<TSegment>& segments = state.Segments;
  const TFastCodeTable fast = FastCodes(state.Codes, segments.back().End >= PairTableMinInput);
  std::mutex writing;
  RunSegments(state, [&](TSegment& segment, std::size_t index, const std::atomic<bool>& stop) {
    EncodeSegment(state, fast, segment, index == 0, index + 1 == segments.size(), writing, stop);
  });
  // Anything past what was counted means the file grew.
  std::uint8_t probe = 0;
  if (!state.Input.Block(segments.back().End, 1, &probe).empty())
    throw EInputChanged("File " + state.Input.Name + " grew while it was being packed: " +
                        std::to_string(segments.back().End) + " bytes were counted");
  std::vector<TSharedByte> shared;
  std::uint32_t checksum = 0;
  for (const TSegment& segment : segments) {
    checksum += segment.Checksum;
    for (const TSharedByte& part : segment.SharedBytes)
      if (!shared.empty() && shared.back().Offset == part.Offset)
        shared.back().Value |= part.Value;
      else
        shared.push_back(part);
  }
  for (TSharedByte& byte : shared) {
    state.Output.WriteAt(byte.Offset, std::span(&byte.Value, 1));
    checksum += byte.Value;
  }
  state.Header.Checksum = checksum;
  state.Output.WriteAt(0, EncodeHeader(state.Header));
}

std::vector<std::uint8_t> CompressBitByBit(TCompressorState& state) {
  const TCodeTable& codes = state.Codes =
      BuildCodes(CountSymbols(state.Input.Memory), state.Input.Name);
  std::vector<std::uint8_t> container(HeaderSize);
  TBitWriter writer(container);
  WriteCodeTable(codes, writer);
  for (const std::uint8_t byte : state.Input.Memory)
    WriteCode(writer, codes[byte]);
  WriteCode(writer, codes[EndMarker]);
  writer.FlushBits();
  // At most about 9 bits a byte: the payload of MaxInputSize bytes stays far below 2^32 bytes.
  assert(container.size() - HeaderSize <= 0xFFFFFFFFu);
  state.Header.PayloadSize = static_cast<std::uint32_t>(container.size() - HeaderSize);
  state.Header.Checksum = SumBytes(std::span(container).subspan(HeaderSize));
  std::ranges::copy(EncodeHeader(state.Header), container.begin());
  return container;
}

}  // namespace huff
