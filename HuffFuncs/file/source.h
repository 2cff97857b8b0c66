// Where the bytes of a run come from and go to: the caller's memory, used where it lies, or a
// file of the platform layer, read and written in blocks. One run has one of each.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

#include "file/file.h"

namespace huff {

// An image to pack, or a container to read.
struct TSource {
  std::span<const std::uint8_t> Memory{};
  TFile* File = nullptr;  // when set, the bytes are the file's
  std::string Name;       // for messages: the path, or "memory"

  std::uint64_t Size() const { return File != nullptr ? File->Size() : Memory.size(); }
  bool InMemory() const { return File == nullptr; }

  // The bytes from offset on, at most `most` and none past the end: a view of the memory, or
  // what one read of the file put at scratch (which then has room for `most`). Empty only at
  // the end.
  std::span<const std::uint8_t> Block(std::uint64_t offset, std::size_t most,
                                      std::uint8_t* scratch) const {
    if (File != nullptr)
      return {scratch, File->ReadAt(offset, std::span(scratch, most))};
    if (offset >= Memory.size())
      return {};
    return Memory.subspan(static_cast<std::size_t>(offset),
                          std::min<std::uint64_t>(most, Memory.size() - offset));
  }
};

// A container being written, or an image being unpacked: memory of the size the run asked
// for, or a file.
struct TSink {
  std::span<std::uint8_t> Memory{};
  TFile* File = nullptr;

  // Requires, for memory: the bytes fit (callers check what depends on their input).
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) const {
    if (File != nullptr)
      return File->WriteAt(offset, bytes);
    if (offset > Memory.size() || Memory.size() - offset < bytes.size())
      throw std::logic_error("a write past the end of the memory it was given");
    if (!bytes.empty())
      std::memcpy(Memory.data() + offset, bytes.data(), bytes.size());
  }
};

}  // namespace huff
