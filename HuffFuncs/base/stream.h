// The byte streams the coder reads and writes: files of the platform layer (file.h), or
// memory buffers for tests and benchmarks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace huff {

class TStream {
 public:
  virtual ~TStream() = default;

  // Reads up to data.size() bytes at the current position; returns 0 only at the end.
  virtual std::size_t Read(std::span<std::uint8_t> data) = 0;
  // Writes all of data at the current position, or raises.
  virtual void Write(std::span<const std::uint8_t> data) = 0;
  // Positioned reads and writes leave the current position alone, and several threads may
  // issue them at once on disjoint ranges.
  // Reads up to data.size() bytes at offset; returns 0 only at the end.
  virtual std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) = 0;
  // Writes all of data at offset, or raises.
  virtual void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) = 0;
  // Moves to offset 0.
  virtual void Rewind() = 0;
  // The stream's total length in bytes.
  virtual std::uint64_t Size() = 0;
  // Releases the stream; a failure to do so is a failure of the run.
  virtual void Close() = 0;
  // Called when the run fails: releases the stream without raising and removes what
  // this run wrote, where that can be done safely.
  virtual void Abandon() noexcept = 0;
  // The name the user gave for the stream, for messages.
  virtual const std::string& Name() const noexcept = 0;
};

// A stream over a byte vector: the whole pass can run on it without touching a disk.
class TMemoryStream : public TStream {
 public:
  explicit TMemoryStream(std::vector<std::uint8_t> bytes = {}, std::string name = "memory")
      : Buffer(std::move(bytes)), StreamName(std::move(name)) {}

  std::size_t Read(std::span<std::uint8_t> data) override {
    const std::size_t count = ReadAt(Position, data);
    Position += count;
    return count;
  }
  void Write(std::span<const std::uint8_t> data) override {
    WriteAt(Position, data);
    Position += data.size();
  }
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    const std::lock_guard<std::mutex> lock(Growing);
    if (offset >= Buffer.size())
      return 0;
    const std::size_t count = std::min<std::size_t>(data.size(), Buffer.size() - offset);
    std::copy_n(Buffer.begin() + static_cast<std::ptrdiff_t>(offset), count, data.begin());
    return count;
  }
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    // A write may grow, and so move, the vector under another thread's read or write.
    const std::lock_guard<std::mutex> lock(Growing);
    if (Buffer.size() < offset + data.size())
      Buffer.resize(offset + data.size());
    std::copy(data.begin(), data.end(), Buffer.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  void Rewind() override { Position = 0; }
  std::uint64_t Size() override { return Buffer.size(); }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return StreamName; }

  const std::vector<std::uint8_t>& Contents() const noexcept { return Buffer; }
  std::vector<std::uint8_t>& Contents() noexcept { return Buffer; }

 private:
  std::vector<std::uint8_t> Buffer;
  std::size_t Position = 0;
  std::string StreamName;
  std::mutex Growing;
};

}  // namespace huff
