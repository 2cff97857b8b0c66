#include "unpack/payload_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "base/bytes.h"
#include "base/errors.h"
#include "container/container.h"
#include "unpack/code_table.h"
#include "unpack/decoder.h"

namespace huff {
namespace {

// With a worker, the true position's window and those read ahead of it for the worker.
constexpr std::size_t WindowSlots = 8;
constexpr std::size_t MinWindowBytes = 64;
// Below this payload, a thread costs more than it can gain: it starts and ends in about the
// time that decoding this much takes.
constexpr std::uint64_t MinWorkerBytes = 16 * 1024;
// The worker stops decoding a window at this much output per payload byte (erased flash gives
// eight); the true position decodes the rest itself.
constexpr std::size_t WorkerOutPerByte = 2;
// An image of at most this many bytes is gathered in memory the thread keeps, with this much
// room after it that a decode in place needs.
constexpr std::uint64_t KeptImageSize = 1 << 20;
constexpr std::size_t KeptRoom = 256 * 1024;
// A container in memory is read where it lies but for its last bytes, which are read into a
// slot followed by zero bytes: the true decode looks eight bytes ahead.
constexpr std::size_t MemoryTail = 8;

// Fills `into` from the container at offset, in reads of at most ChunkSize; fewer bytes only
// at its end.
std::size_t ReadFully(const TSource& container, std::uint64_t offset,
                      std::span<std::uint8_t> into) {
  std::size_t total = 0;
  while (total < into.size()) {
    const std::size_t want = std::min<std::size_t>(into.size() - total, ChunkSize);
    const auto block = container.Block(offset + total, want, into.data() + total);
    if (block.empty())
      break;
    if (block.data() != into.data() + total)
      std::memcpy(into.data() + total, block.data(), block.size());
    total += block.size();
  }
  return total;
}

}  // namespace

TImageWriter::TImageWriter(const TImageOut& out, const std::string& container)
    : Out(out), Container(container) {
  if (Out.Into)
    Memory = *Out.Into;
}

TImageWriter::~TImageWriter() {
  if (Kept) {
    Kept.reset();
    TThreadBuffer::Trim(KeptImageSize + KeptRoom);
  }
}

void TImageWriter::Start(std::uint64_t bound) {
  if (Out.Allocate == nullptr)
    return;
  Bound = bound;
  Kept = std::make_unique<TThreadBuffer>(KeptImageSize + KeptRoom);
  Memory =
      std::span(Kept->Data, static_cast<std::size_t>(std::min(bound, KeptImageSize)) + KeptRoom);
}

std::span<std::uint8_t> TImageWriter::Room(std::size_t least) {
  if (!Out.Into && Out.Allocate == nullptr)
    return {};
  if (Kept && Memory.data() == Kept->Data && Memory.size() - Written < least && Bound > Written)
    Allocate(Bound);
  if (Memory.size() - Written < least)
    return {};
  return Memory.subspan(static_cast<std::size_t>(Written));
}

void TImageWriter::Allocate(std::uint64_t size) {
  const std::span<std::uint8_t> memory = (*Out.Allocate)(size);
  if (memory.size() < size)
    throw EBufferTooSmall("Container " + Container + " holds an image longer than the " +
                          Count(memory.size(), "byte") + " given for it");
  PrepareLargeBuffer(memory.data(), memory.size());
  if (Written > 0)
    std::memcpy(memory.data(), Memory.data(), static_cast<std::size_t>(Written));
  Memory = memory;
}

void TImageWriter::Write(std::span<const std::uint8_t> piece) {
  if (Out.Into || Out.Allocate != nullptr) {
    if (Kept && Memory.size() - Written < piece.size() && Memory.data() == Kept->Data)
      Allocate(Bound);
    if (Memory.size() - Written < piece.size())
      throw EBufferTooSmall("Container " + Container + " holds an image longer than the " +
                            Count(Memory.size(), "byte") + " given for it");
    if (!piece.empty())
      std::memcpy(Memory.data() + Written, piece.data(), piece.size());
    Written += piece.size();
    return;
  }
  if (Out.File == nullptr)
    return;
  if (Pending > 0) {
    const std::size_t take = std::min(piece.size(), std::size_t{ChunkSize} - Pending);
    std::memcpy(Block.get() + Pending, piece.data(), take);
    Pending += take;
    piece = piece.subspan(take);
    if (Pending < ChunkSize)
      return;
    Out.File->WriteAt(Written, std::span(Block.get(), ChunkSize));
    Written += ChunkSize;
    Pending = 0;
  }
  for (; piece.size() >= ChunkSize; piece = piece.subspan(ChunkSize)) {
    Out.File->WriteAt(Written, piece.first(ChunkSize));
    Written += ChunkSize;
  }
  if (piece.empty())
    return;
  if (!Block)
    Block = std::make_unique_for_overwrite<std::uint8_t[]>(ChunkSize);
  std::memcpy(Block.get(), piece.data(), piece.size());
  Pending = piece.size();
}

void TImageWriter::Finish() {
  if (Kept && Memory.data() == Kept->Data)
    Allocate(Written);
  if (Out.File != nullptr && Pending > 0)
    Out.File->WriteAt(Written, std::span(Block.get(), Pending));
  Pending = 0;
}

TPayloadReader::TPayloadReader(const TSource& container, std::uint64_t payloadBytes,
                               const TDecodeOptions& options)
    : Container(container), PayloadBytes(payloadBytes), Lanes(options.Lanes) {
  const std::size_t window = std::max(options.WindowBytes, MinWindowBytes);
  // The processors are counted once: asking the system costs more than decoding a short
  // payload.
  static const unsigned processors = ProcessorCount();
  const bool worker =
      payloadBytes >= std::max<std::uint64_t>(MinWorkerBytes, 2 * window) &&
      (options.Threads > 0 ? static_cast<unsigned>(options.Threads) : processors) > 1;
  // On one thread, memory is one view, and a file is read in blocks, as always.
  const std::uint64_t alone = container.InMemory() ? payloadBytes : std::uint64_t{ChunkSize};
  Capacity =
      static_cast<std::size_t>(std::min<std::uint64_t>(worker ? window : alone, payloadBytes));
  // In memory, the last bytes are a window of their own.
  const std::uint64_t needed = (Capacity == 0 ? 1 : (payloadBytes + Capacity - 1) / Capacity) +
                               (container.InMemory() ? 1 : 0);
  Windows.resize(worker ? static_cast<std::size_t>(std::min<std::uint64_t>(WindowSlots, needed))
                        : 1);
  const std::size_t slot = container.InMemory() ? MemoryTail : Capacity;
  for (TWindow& window : Windows)
    window.Slot = std::make_unique_for_overwrite<std::uint8_t[]>(WindowHead + slot + 8);
}

// One window's bytes: read into its slot in blocks of at most ChunkSize, or viewed where they
// lie in memory.
void TPayloadReader::ReadWindow(TWindow& window) {
  window.Start = BytesRead;
  const std::uint64_t offset = HeaderSize + BytesRead;
  if (Container.InMemory() && Unread() > MemoryTail) {
    window.View = true;
    window.Size =
        static_cast<std::size_t>(std::min<std::uint64_t>(Capacity, Unread() - MemoryTail));
    window.Data = Container.Memory.data() + offset;
    Sum += SumBytes(std::span(window.Data, window.Size));
    BytesRead += window.Size;
    return;
  }
  window.View = false;
  std::uint8_t* const data = window.Slot.get() + WindowHead;
  window.Data = data;
  const auto want = static_cast<std::size_t>(
      std::min<std::uint64_t>(Container.InMemory() ? MemoryTail : Capacity, Unread()));
  window.Size = ReadFully(Container, offset, std::span(data, want));
  Sum += SumBytes(std::span(data, window.Size));
  BytesRead += window.Size;
  if (window.Size < want)
    ReadStopped = true;  // the file ended early
  std::memset(data + window.Size, 0, 8);
}

// Reads windows into the free slots. A read that fails is kept, and raised only where the true
// position comes to it, as reading there would have.
void TPayloadReader::ReadAhead() {
  while (!ReadStopped && Unread() > 0 && WindowsRead < Current + Windows.size()) {
    TWindow& window = SlotOf(WindowsRead);
    try {
      ReadWindow(window);
    } catch (...) {
      ReadFailure = std::current_exception();
      ReadStopped = true;
      window.Size = 0;
    }
    if (window.Size == 0)
      return;
    {
      std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
      if (Worker.joinable())
        lock.lock();
      window.State = TWindow::TState::Read;
      ++WindowsRead;
    }
    Changes.notify_all();
  }
}

TWindow& TPayloadReader::Next(bool& guessed) {
  if (InWindow) {
    // Frees the window for the next read, once the worker no longer reads it.
    TWindow& left = SlotOf(Current);
    std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
    if (Worker.joinable()) {
      lock.lock();
      Changes.wait(lock, [&] { return left.State != TWindow::TState::Claimed || Broken; });
    }
    left.State = TWindow::TState::Free;
    ++Current;
  }
  InWindow = true;
  ReadAhead();
  if (Current == WindowsRead)
    RaiseReadFailure();
  TWindow& window = SlotOf(Current);
  std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
  if (Worker.joinable())
    lock.lock();
  guessed = window.State != TWindow::TState::Read;
  if (!guessed)
    window.State = TWindow::TState::True;
  return window;
}

bool TPayloadReader::TakeGuess() {
  TWindow& window = SlotOf(Current);
  std::unique_lock<std::mutex> lock(Lock);
  Changes.wait(lock, [&] { return window.State != TWindow::TState::Claimed || Broken; });
  const bool decoded = window.State == TWindow::TState::Decoded;
  window.State = TWindow::TState::True;
  return decoded;
}

// The true position has come to where a read failed ahead of it.
void TPayloadReader::RaiseReadFailure() {
  if (ReadFailure)
    std::rethrow_exception(ReadFailure);
  if (!ReadStopped)
    throw std::logic_error("decoder: a window is missing, but no read failed");
  Changed = true;
  Damaged(Container.Name, "the file ended after " + std::to_string(BytesRead) +
                              " payload bytes, but PayloadSize (byte 32) is " +
                              std::to_string(PayloadBytes) + ": it shrank while it was read");
}

// Requires the worker stopped: any window's slot will do as scratch. A read that failed ahead
// of the true position fails here, where it would have been made.
void TPayloadReader::Drain() {
  if (ReadFailure)
    std::rethrow_exception(ReadFailure);
  if (Container.InMemory()) {
    Sum += SumBytes(Container.Memory.subspan(static_cast<std::size_t>(HeaderSize + BytesRead),
                                             static_cast<std::size_t>(Unread())));
    BytesRead = PayloadBytes;
    return;
  }
  std::uint8_t* const scratch = Windows[0].Slot.get() + WindowHead;
  while (!ReadStopped && Unread() > 0) {
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::min<std::size_t>(ChunkSize, Capacity), Unread()));
    const std::size_t got = ReadFully(Container, HeaderSize + BytesRead, std::span(scratch, want));
    if (got == 0)
      return;
    Sum += SumBytes(std::span(scratch, got));
    BytesRead += got;
  }
}

void TPayloadReader::ExpectEnd() {
  std::uint8_t probe = 0;
  if (!Container.Block(HeaderSize + PayloadBytes, 1, &probe).empty()) {
    Changed = true;
    Damaged(Container.Name, "the file grew while it was read, past the " +
                                std::to_string(PayloadBytes) +
                                " payload bytes of PayloadSize (byte 32)");
  }
}

void TPayloadReader::CheckSum(std::uint32_t checksum) const {
  if (Sum != checksum || Unread() > 0)
    Damaged(Container.Name, "its payload's bytes sum to " + std::to_string(Sum) +
                                ", but Checksum (byte 36) is " + std::to_string(checksum));
}

// --- The worker -------------------------------------------------------------------------

// Without a thread to spare (the system has none to give), the true position decodes every
// window itself.
void TPayloadReader::StartWorker(const TFastTables& tables) {
  if (Windows.size() < 2)
    return;
  for (TWindow& window : Windows)
    window.Out = std::make_unique_for_overwrite<std::uint8_t[]>(WorkerOutPerByte * Capacity + 64);
  Tables = &tables;
  WorkerFast = std::make_unique<TFastDecoder>();
  WorkerFast->UseLanes = Lanes;
  try {
    Worker = std::thread(&TPayloadReader::WorkLoop, this);
  } catch (const std::system_error&) {
  }
}

void TPayloadReader::StopWorker() noexcept {
  if (!Worker.joinable())
    return;
  {
    const std::lock_guard<std::mutex> lock(Lock);
    Stopping = true;
  }
  Changes.notify_all();
  Worker.join();
}

// Takes the window furthest ahead, so that the true position decodes those before it in the
// meantime and finds this one done when it comes.
void TPayloadReader::WorkLoop() noexcept {
  try {
    for (;;) {
      TWindow* window = nullptr;
      {
        std::unique_lock<std::mutex> lock(Lock);
        Changes.wait(lock, [&] { return Stopping || (window = Claimable()) != nullptr; });
        if (Stopping)
          return;
        window->State = TWindow::TState::Claimed;
      }
      DecodeWindow(*window);
      {
        const std::lock_guard<std::mutex> lock(Lock);
        window->State = TWindow::TState::Decoded;
      }
      Changes.notify_all();
    }
  } catch (...) {
    // Not to be expected of a mutex; the true position then decodes every window itself.
    {
      const std::lock_guard<std::mutex> lock(Lock);
      Broken = true;
    }
    Changes.notify_all();
  }
}

// Under Lock: the furthest window read that neither thread has taken yet.
TWindow* TPayloadReader::Claimable() {
  for (std::uint64_t window = WindowsRead; window > Current + 1; --window)
    if (SlotOf(window - 1).State == TWindow::TState::Read)
      return &SlotOf(window - 1);
  return nullptr;
}

// The worker's guess: the window decoded from its first bit, as if a code began there, until
// its last eight bytes, a code that is no byte value's, or a full output buffer. Reads only the
// window's bytes and writes only its output; raises nothing.
void TPayloadReader::DecodeWindow(TWindow& window) {
  const std::uint8_t* const data = window.Data;
  const std::uint64_t stop = window.Size >= 8 ? (window.Size - 7) * 8 : 0;
  std::uint64_t pos = 0;
  std::uint8_t* out = window.Out.get();
  const std::uint8_t* const outLimit = out + WorkerOutPerByte * Capacity;
  while (pos < stop && out < outLimit &&
         !WorkerFast->Decode(*Tables, data, window.Start * 8, stop, pos, out, outLimit,
                             outLimit + 64)) {
  }
  window.GuessEnd = pos;
  window.GuessCount = static_cast<std::size_t>(out - window.Out.get());
}

}  // namespace huff
