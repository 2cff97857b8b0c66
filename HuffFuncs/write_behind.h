// A stream that writes on a second thread: the caller fills one block while the system
// copies the previous one out, so that decoding and writing share two cores.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "stream.h"

namespace huff {

class TWriteBehindStream final : public TStream {
 public:
  // Writes go to target in blocks of blockSize bytes, in order. Memory: two blocks.
  explicit TWriteBehindStream(std::unique_ptr<TStream> target, std::size_t blockSize = 1 << 20);
  ~TWriteBehindStream() override;
  TWriteBehindStream(const TWriteBehindStream&) = delete;
  TWriteBehindStream& operator=(const TWriteBehindStream&) = delete;

  // Sequential writes. A failure of the target is raised by a later Write, or by Close.
  void Write(std::span<const std::uint8_t> data) override;
  // Writes what is pending, then closes the target; raises the first failure.
  void Close() override;
  // Waits for the write in progress, then abandons the target.
  void Abandon() noexcept override;
  const std::string& Name() const noexcept override { return Target->Name(); }

  // The rest waits until everything handed over is written, then goes to the target.
  std::size_t Read(std::span<std::uint8_t> data) override;
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override;
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override;
  void Rewind() override;
  std::uint64_t Size() override;

 private:
  // Hands the filled block to the writer, once it took the one before.
  void HandOver();
  // Writes out the filled block and waits until the writer is idle; raises its failure.
  void Drain();
  void Stop() noexcept;
  void WriteLoop();

  std::unique_ptr<TStream> Target;
  std::vector<std::uint8_t> Filling;  // the caller's block
  std::size_t Filled = 0;

  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<std::uint8_t> Pending;  // the writer's block, while Busy
  std::size_t PendingSize = 0;
  bool Busy = false;
  bool Stopping = false;
  std::exception_ptr Failure;
  std::thread Writer;  // not started when the system had no thread to give: writes go direct
};

}  // namespace huff
