// Reading the payload in windows, and where the image goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/thread_buffer.h"
#include "file/source.h"
#include "sarnveld.hpp"

namespace huff {

// Raises EBadContainer: "Container NAME is damaged: WHAT".
[[noreturn]] void Damaged(const std::string& container, const std::string& what);

// Where a decoded image goes: nowhere (a check), a file, the caller's memory, or memory that
// Allocate gives.
struct TImageOut {
  TFile* File = nullptr;
  std::optional<std::span<std::uint8_t>> Into{};
  const sarnveld::Allocate* Allocate = nullptr;
};

// Writes the image: to a file in blocks of ChunkSize, the last one shorter; or into memory.
// Memory to be allocated is asked for once: an image is gathered in memory the thread keeps,
// and moved once into memory of its size, which the allocator soon gives again from what it
// keeps; one that outgrows it is moved once into room for the most the payload can decode to,
// which the caller then shrinks. (A bound asked for every time was given back to the system,
// and its pages cost more to touch afresh than a small image takes to decode.)
class TImageWriter {
 public:
  TImageWriter(const TImageOut& out, const std::string& container);
  ~TImageWriter();
  TImageWriter(const TImageWriter&) = delete;
  TImageWriter& operator=(const TImageWriter&) = delete;
  // Once the code table is read: the image has at most `bound` bytes.
  void Start(std::uint64_t bound);
  // Raises EBufferTooSmall past the end of the memory given. Requires, for a file: whole
  // blocks, but for the image's last piece.
  void Write(std::span<const std::uint8_t> piece);
  bool ToFile() const { return Out.File != nullptr; }
  // Memory to decode into in place, after the image so far: at least `least` bytes of it, or
  // none (a file, or not that much room left).
  std::span<std::uint8_t> Room(std::size_t least);
  // Takes `count` bytes decoded into the Room as the image's.
  void Commit(std::size_t count) { Written += count; }
  // Moves a small image to its memory.
  void Finish();

 private:
  // Asks for memory of `size` bytes and moves what the thread's memory holds there.
  void Allocate(std::uint64_t size);

  TImageOut Out;
  const std::string& Container;
  std::span<std::uint8_t> Memory;
  std::uint64_t Bound = 0;
  std::uint64_t Written = 0;
  std::unique_ptr<TThreadBuffer> Kept;  // where an image is gathered until it outgrows it
};

// Room before a window for the few bytes of the one before it that the decode still needs.
inline constexpr std::size_t WindowHead = 8;

// A window of the payload: bytes read into the slot, after WindowHead bytes of room and
// followed by eight zero bytes; or, for a container in memory, a view of it, which the bytes
// before it precede there (its last bytes are read into the slot, for the zero bytes).
struct TWindow {
  std::unique_ptr<std::uint8_t[]> Slot;
  const std::uint8_t* Data = nullptr;  // the window's first byte
  bool View = false;                   // Data is in the caller's memory
  std::uint64_t Start = 0;             // the payload offset of Data
  std::size_t Size = 0;
};

// The payload, read from the container a window at a time: from a file, a block of ChunkSize;
// from memory, all of it but its last bytes. Keeps the payload's byte sum.
class TPayloadReader {
 public:
  TPayloadReader(const TSource& container, std::uint64_t payloadBytes);
  TPayloadReader(const TPayloadReader&) = delete;
  TPayloadReader& operator=(const TPayloadReader&) = delete;

  // The next window. Raises EBadContainer when the file ends before the payload does.
  TWindow& Next();
  // After a fault: reads the rest of the payload, which still counts towards the checksum.
  void Drain();
  // Raises EBadContainer when the file goes on past the payload.
  void ExpectEnd();
  // Raises EBadContainer when the payload's sum is not `checksum`.
  void CheckSum(std::uint32_t checksum) const;
  // The file's length changed while it was read: the checksum then says nothing.
  bool SizeChanged() const { return Changed; }

 private:
  std::uint64_t Unread() const { return PayloadBytes - BytesRead; }

  const TSource& Container;
  const std::uint64_t PayloadBytes;
  std::uint64_t BytesRead = 0;  // payload bytes taken from the container so far
  std::uint32_t Sum = 0;        // of those bytes
  bool Changed = false;
  bool FileEnded = false;    // a read found the file shorter than the header says
  std::size_t Capacity = 0;  // payload bytes of a window read into the slot
  TWindow Window;
};

}  // namespace huff
