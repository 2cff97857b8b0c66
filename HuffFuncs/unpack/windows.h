// Reading the payload in windows, and the worker: a second thread that decodes windows ahead
// of the true position, from a guessed start, for the true decode to meet.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "base/stream.h"
#include "unpack/decoder.h"
#include "unpack/kernels.h"

namespace huff {

// Writes the image in blocks of ChunkSize whatever the pieces it is given, so that the writes
// are the same whichever thread decoded which window. Whole blocks go to the stream straight
// from the piece; only a piece's ragged ends are gathered.
class TImageWriter {
 public:
  explicit TImageWriter(TStream* image) : Image(image) {}
  void Write(std::span<const std::uint8_t> piece);
  // Writes the last, partial block.
  void Finish();

 private:
  TStream* Image;
  std::unique_ptr<std::uint8_t[]> Block;  // made for the first ragged end
  std::size_t Pending = 0;
};

// Room before a window for the few bytes of the one before it that the true position still
// needs.
inline constexpr std::size_t WindowHead = 8;

// A window of the payload in a slot of its own: WindowHead bytes of room, the bytes read, eight
// zero bytes. With a worker, also what it made of the window.
struct TWindow {
  // Read: waiting for whoever comes first; Claimed and Decoded: the worker's; True: the true
  // position's. Changes under the lock while there is a worker.
  enum class TState { Free, Read, Claimed, Decoded, True };
  std::unique_ptr<std::uint8_t[]> Bytes;
  std::uint64_t Start = 0;  // the payload offset of the first byte read
  std::size_t Size = 0;
  TState State = TState::Free;
  // The worker's guess from the window's first bit: GuessCount byte values from codes that end
  // at bit GuessEnd of the window.
  std::unique_ptr<std::uint8_t[]> Out;
  std::uint64_t GuessEnd = 0;
  std::size_t GuessCount = 0;
};

// The payload, read from the container in windows: one of ChunkSize on one thread, as blocks
// were always read; with a worker, several larger ones. Never more than the payload needs.
// Keeps the payload's byte sum.
class TWindows {
 public:
  TWindows(TStream& container, std::uint64_t payloadBytes, const TDecodeOptions& options);
  ~TWindows() { StopWorker(); }
  TWindows(const TWindows&) = delete;
  TWindows& operator=(const TWindows&) = delete;

  // Leaves the true position's window and gives it the next one. `guessed`: the worker has
  // taken that window, and TakeGuess must come before the true decode goes on in it. A read
  // that failed on the way is raised here, where reading it on one thread would have.
  TWindow& Next(bool& guessed);
  // Once the worker is done with the true position's window: whether it left a guess there.
  bool TakeGuess();

  // Starts the worker when the payload is large enough for it to pay.
  void StartWorker(const TFastTables& tables);
  // Lets the worker finish the window it decodes, and ends it.
  void StopWorker() noexcept;

  // After a fault: reads the rest of the payload, which still counts towards the checksum.
  void Drain();
  // Raises EBadContainer when the file goes on past the payload.
  void ExpectEnd();
  // Raises EBadContainer when the payload's sum is not `checksum`.
  void CheckSum(std::uint32_t checksum) const;
  // The file's length changed while it was read: the checksum then says nothing.
  bool SizeChanged() const { return Changed; }

 private:
  TWindow& Slot(std::uint64_t window) { return Windows[window % Windows.size()]; }
  std::uint64_t Unread() const { return PayloadBytes - BytesRead; }
  void ReadAhead();
  [[noreturn]] void RaiseReadFailure();
  void WorkLoop() noexcept;
  TWindow* Claimable();
  void DecodeWindow(TWindow& window);

  TStream& Container;
  const std::uint64_t PayloadBytes;
  std::uint64_t BytesRead = 0;  // payload bytes taken from the stream so far
  std::uint32_t Sum = 0;        // of those bytes
  bool Changed = false;

  std::size_t Capacity = 0;      // payload bytes of a window
  std::vector<TWindow> Windows;  // window n in slot n % size
  bool InWindow = false;         // once the true position has a window, the one numbered Current
  std::uint64_t Current = 0;
  std::uint64_t WindowsRead = 0;
  bool ReadStopped = false;        // a read failed, or the file ended early
  std::exception_ptr ReadFailure;  // what the failed read raised

  // Lock guards the windows' states, WindowsRead, Current, Stopping and Broken while there is a
  // worker; Changes tells of changes to them.
  std::mutex Lock;
  std::condition_variable Changes;
  bool Stopping = false;
  bool Broken = false;  // the worker ended early
  const TFastTables* Tables = nullptr;
  std::unique_ptr<TFastDecoder> WorkerFast;
  std::thread Worker;
};

}  // namespace huff
