#include "unpack/windows.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>

#include "base/bytes.h"
#include "container/container.h"
#include "unpack/code_table.h"

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

std::size_t ReadFully(TStream& stream, std::span<std::uint8_t> into) {
  std::size_t total = 0;
  while (total < into.size()) {
    const std::size_t count = stream.Read(into.subspan(total));
    if (count == 0)
      break;
    total += count;
  }
  return total;
}

}  // namespace

void TImageWriter::Write(std::span<const std::uint8_t> piece) {
  if (Image == nullptr)
    return;
  if (Pending > 0) {
    const std::size_t take = std::min(piece.size(), std::size_t{ChunkSize} - Pending);
    std::memcpy(Block.get() + Pending, piece.data(), take);
    Pending += take;
    piece = piece.subspan(take);
    if (Pending < ChunkSize)
      return;
    Image->Write(std::span(Block.get(), ChunkSize));
    Pending = 0;
  }
  for (; piece.size() >= ChunkSize; piece = piece.subspan(ChunkSize))
    Image->Write(piece.first(ChunkSize));
  if (piece.empty())
    return;
  if (!Block)
    Block = std::make_unique_for_overwrite<std::uint8_t[]>(ChunkSize);
  std::memcpy(Block.get(), piece.data(), piece.size());
  Pending = piece.size();
}

void TImageWriter::Finish() {
  if (Image != nullptr && Pending > 0)
    Image->Write(std::span(Block.get(), Pending));
  Pending = 0;
}

TWindows::TWindows(TStream& container, std::uint64_t payloadBytes, const TDecodeOptions& options)
    : Container(container), PayloadBytes(payloadBytes) {
  const std::size_t window = std::max(options.WindowBytes, MinWindowBytes);
  // Asking the system for its threads costs more than decoding a short payload.
  const bool worker =
      payloadBytes >= std::max<std::uint64_t>(MinWorkerBytes, 2 * window) &&
      (options.Threads > 0 ? options.Threads
                           : static_cast<int>(std::thread::hardware_concurrency())) > 1;
  Capacity = static_cast<std::size_t>(
      std::min<std::uint64_t>(worker ? window : std::size_t{ChunkSize}, payloadBytes));
  const std::uint64_t needed = Capacity == 0 ? 1 : (payloadBytes + Capacity - 1) / Capacity;
  Windows.resize(worker ? static_cast<std::size_t>(std::min<std::uint64_t>(WindowSlots, needed))
                        : 1);
  for (TWindow& slot : Windows)
    slot.Bytes = std::make_unique_for_overwrite<std::uint8_t[]>(WindowHead + Capacity + 8);
}

// Reads windows into the free slots, in blocks of at most ChunkSize. A read that fails is kept,
// and raised only where the true position comes to it, as reading there would have.
void TWindows::ReadAhead() {
  while (!ReadStopped && Unread() > 0 && WindowsRead < Current + Windows.size()) {
    TWindow& window = Slot(WindowsRead);
    std::uint8_t* const data = window.Bytes.get() + WindowHead;
    window.Start = BytesRead;
    window.Size = 0;
    try {
      while (window.Size < Capacity && Unread() > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(
            std::min<std::size_t>(ChunkSize, Capacity - window.Size), Unread()));
        const std::size_t got = ReadFully(Container, std::span(data + window.Size, want));
        Sum += SumBytes(std::span(data + window.Size, got));
        BytesRead += got;
        if (got < want) {
          ReadStopped = true;  // the file ended early
          break;
        }
        window.Size += got;
      }
    } catch (...) {
      ReadFailure = std::current_exception();
      ReadStopped = true;
    }
    std::memset(data + window.Size, 0, 8);
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

TWindow& TWindows::Next(bool& guessed) {
  if (InWindow) {
    // Frees the window for the next read, once the worker no longer reads it.
    TWindow& left = Slot(Current);
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
  TWindow& window = Slot(Current);
  std::unique_lock<std::mutex> lock(Lock, std::defer_lock);
  if (Worker.joinable())
    lock.lock();
  guessed = window.State != TWindow::TState::Read;
  if (!guessed)
    window.State = TWindow::TState::True;
  return window;
}

bool TWindows::TakeGuess() {
  TWindow& window = Slot(Current);
  std::unique_lock<std::mutex> lock(Lock);
  Changes.wait(lock, [&] { return window.State != TWindow::TState::Claimed || Broken; });
  const bool decoded = window.State == TWindow::TState::Decoded;
  window.State = TWindow::TState::True;
  return decoded;
}

// The true position has come to where a read failed ahead of it.
void TWindows::RaiseReadFailure() {
  if (ReadFailure)
    std::rethrow_exception(ReadFailure);
  if (!ReadStopped)
    throw std::logic_error("decoder: a window is missing, but no read failed");
  Changed = true;
  Damaged(Container.Name(), "the file ended after " + std::to_string(BytesRead) +
                                " payload bytes, but PayloadSize (byte 32) is " +
                                std::to_string(PayloadBytes) + ": it shrank while it was read");
}

// Requires the worker stopped: any window's bytes will do as scratch. A read that failed ahead
// of the true position fails here, where it would have been made.
void TWindows::Drain() {
  if (ReadFailure)
    std::rethrow_exception(ReadFailure);
  std::uint8_t* const scratch = Windows[0].Bytes.get() + WindowHead;
  while (!ReadStopped && Unread() > 0) {
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::min<std::size_t>(ChunkSize, Capacity), Unread()));
    const std::size_t got = ReadFully(Container, std::span(scratch, want));
    if (got == 0)
      return;
    Sum += SumBytes(std::span(scratch, got));
    BytesRead += got;
  }
}

void TWindows::ExpectEnd() {
  std::uint8_t probe = 0;
  if (Container.Read(std::span(&probe, 1)) != 0) {
    Changed = true;
    Damaged(Container.Name(), "the file grew while it was read, past the " +
                                  std::to_string(PayloadBytes) +
                                  " payload bytes of PayloadSize (byte 32)");
  }
}

void TWindows::CheckSum(std::uint32_t checksum) const {
  if (Sum != checksum || Unread() > 0)
    Damaged(Container.Name(), "its payload's bytes sum to " + std::to_string(Sum) +
                                  ", but Checksum (byte 36) is " + std::to_string(checksum));
}

// --- The worker -------------------------------------------------------------------------

// Without a thread to spare (the system has none to give), the true position decodes every
// window itself.
void TWindows::StartWorker(const TFastTables& tables) {
  if (Windows.size() < 2)
    return;
  for (TWindow& window : Windows)
    window.Out = std::make_unique_for_overwrite<std::uint8_t[]>(WorkerOutPerByte * Capacity + 64);
  Tables = &tables;
  WorkerFast = std::make_unique<TFastDecoder>();
  try {
    Worker = std::thread(&TWindows::WorkLoop, this);
  } catch (const std::system_error&) {
  }
}

void TWindows::StopWorker() noexcept {
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
void TWindows::WorkLoop() noexcept {
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
TWindow* TWindows::Claimable() {
  for (std::uint64_t window = WindowsRead; window > Current + 1; --window)
    if (Slot(window - 1).State == TWindow::TState::Read)
      return &Slot(window - 1);
  return nullptr;
}

// The worker's guess: the window decoded from its first bit, as if a code began there, until
// its last eight bytes, a code that is no byte value's, or a full output buffer. Reads only the
// window's bytes and writes only its output; raises nothing.
void TWindows::DecodeWindow(TWindow& window) {
  const std::uint8_t* const data = window.Bytes.get() + WindowHead;
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
