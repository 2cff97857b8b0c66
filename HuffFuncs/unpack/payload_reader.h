// Reading the payload a window at a time, and writing the image: the decoder's input and
// output, apart from the decode.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/bytes.h"
#include "base/errors.h"
#include "base/thread_buffer.h"
#include "container/container.h"
#include "file/file.h"
#include "sarnveld.hpp"

namespace huff {

// Raises EBadContainer: "Container NAME is damaged: WHAT".
[[noreturn]] inline void Damaged(const std::string& container, const std::string& what) {
  throw EBadContainer("Container " + container + " is damaged: " + what);
}

// Where a decoded image goes: nowhere (a check), a file, the caller's memory, or Allocate's.
struct TImageOut {
  TFile* File = nullptr;
  std::optional<std::span<std::uint8_t>> Into{};
  const sarnveld::Allocate* Allocate = nullptr;
};

// Writes the image: to a file in blocks of ChunkSize, the last one shorter; or into memory,
// asked for once. An image is gathered in memory the thread keeps and moved into memory of
// its size, which the allocator soon gives again; one that outgrows it is moved into room for
// the most the payload can decode to, which the caller then shrinks. (Memory for that bound,
// asked for every time, went back to the system, and fresh pages cost a small image more than
// its decode.)
class TImageWriter {
 public:
  TImageWriter(const TImageOut& out, const std::string& container)
      : Out(out), Container(container) {
    if (Out.Into)
      Memory = *Out.Into;
  }
  ~TImageWriter() {
    if (Kept) {
      Kept.reset();
      TThreadBuffer::Trim(KeptImageSize + KeptRoom);
    }
  }

  bool ToFile() const { return Out.File != nullptr; }

  // Once the code table is read: the image has at most `bound` bytes.
  void Start(std::uint64_t bound) {
    if (Out.Allocate == nullptr)
      return;
    Bound = bound;
    Kept = std::make_unique<TThreadBuffer>(KeptImageSize + KeptRoom);
    Memory =
        std::span(Kept->Data, static_cast<std::size_t>(std::min(bound, KeptImageSize)) + KeptRoom);
  }

  // Memory to decode into in place, after the image so far: `least` bytes or more, or none.
  std::span<std::uint8_t> Room(std::size_t least) {
    if (!Out.Into && Out.Allocate == nullptr)
      return {};
    if (Kept && Memory.data() == Kept->Data && Memory.size() - Written < least && Bound > Written)
      Allocate(Bound);
    if (Memory.size() - Written < least)
      return {};
    return Memory.subspan(static_cast<std::size_t>(Written));
  }
  // Takes `count` bytes decoded into the Room as the image's.
  void Commit(std::size_t count) { Written += count; }

  // Raises EBufferTooSmall past the end of the memory given. Requires, for a file: whole
  // blocks but the last.
  void Write(std::span<const std::uint8_t> piece) {
    if (Out.Into || Out.Allocate != nullptr) {
      const std::span<std::uint8_t> room = Room(piece.size());
      if (room.size() < piece.size())
        TooSmall(Memory.size());
      std::copy(piece.begin(), piece.end(), room.begin());
      Written += piece.size();
      return;
    }
    for (std::size_t at = 0; Out.File != nullptr && at < piece.size(); at += ChunkSize) {
      const auto block = piece.subspan(at, std::min<std::size_t>(ChunkSize, piece.size() - at));
      Out.File->WriteAt(Written, block);
      Written += block.size();
    }
  }

  // Moves a small image to its memory.
  void Finish() {
    if (Kept && Memory.data() == Kept->Data)
      Allocate(Written);
  }

 private:
  // The image the thread's memory gathers, and the room after it a decode in place needs.
  static constexpr std::uint64_t KeptImageSize = 1 << 20;
  static constexpr std::size_t KeptRoom = 256 * 1024;

  [[noreturn]] void TooSmall(std::size_t given) const {
    throw EBufferTooSmall("Container " + Container + " holds an image longer than the " +
                          Count(given, "byte") + " given for it");
  }
  // Asks for memory of `size` bytes and moves what the thread's memory holds there.
  void Allocate(std::uint64_t size) {
    const std::span<std::uint8_t> memory = (*Out.Allocate)(size);
    if (memory.size() < size)
      TooSmall(memory.size());
    PrepareLargeBuffer(memory.data(), memory.size());
    if (Written > 0)
      std::memcpy(memory.data(), Memory.data(), static_cast<std::size_t>(Written));
    Memory = memory;
  }

  TImageOut Out;
  const std::string& Container;
  std::span<std::uint8_t> Memory;
  std::uint64_t Bound = 0;
  std::uint64_t Written = 0;
  std::unique_ptr<TThreadBuffer> Kept;  // where an image is gathered until it outgrows it
};

// Room before a window for the few bytes of the one before that the decode still needs.
inline constexpr std::size_t WindowHead = 8;

// A window of the payload: bytes read into the slot, after WindowHead bytes of room, then eight
// zero bytes; or a view of a container in memory, the bytes before it there.
struct TWindow {
  std::unique_ptr<std::uint8_t[]> Slot;
  const std::uint8_t* Data = nullptr;  // the window's first byte
  bool View = false;                   // Data is in the caller's memory
  std::uint64_t Start = 0;             // the payload offset of Data
  std::size_t Size = 0;
};

// The payload a window at a time: from a file, a block of ChunkSize; from memory, a view of
// all but its last bytes, which are read into the slot before zero bytes, since the decode
// loads eight bytes at a time. Keeps the payload's byte sum.
class TPayloadReader {
 public:
  TPayloadReader(const TSource& container, std::uint64_t payloadBytes)
      : Container(container),
        PayloadBytes(payloadBytes),
        Capacity(container.InMemory()
                     ? MemoryTail
                     : static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, payloadBytes))) {
    Window.Slot = std::make_unique_for_overwrite<std::uint8_t[]>(WindowHead + Capacity + 8);
  }

  // The next window. Raises EBadContainer when the file ends before the payload does.
  TWindow& Next() {
    if (Read().Size == 0) {
      Changed = true;
      Damaged(Container.Name, "the file ended after " + std::to_string(BytesRead) +
                                  " payload bytes, but PayloadSize (byte 32) is " +
                                  std::to_string(PayloadBytes) + ": it shrank while it was read");
    }
    return Window;
  }

  // After a fault: reads the rest of the payload, which still counts towards the checksum.
  void Drain() {
    while (!FileEnded && Unread() > 0 && Read().Size > 0) {
    }
  }

  // Raises EBadContainer when the file goes on past the payload.
  void ExpectEnd() {
    std::uint8_t probe = 0;
    if (!Container.Block(HeaderSize + PayloadBytes, 1, &probe).empty()) {
      Changed = true;
      Damaged(Container.Name, "the file grew while it was read, past the " +
                                  std::to_string(PayloadBytes) +
                                  " payload bytes of PayloadSize (byte 32)");
    }
  }

  // Raises EBadContainer when the payload's sum is not `checksum`.
  void CheckSum(std::uint32_t checksum) const {
    if (Sum != checksum || Unread() > 0)
      Damaged(Container.Name, "its payload's bytes sum to " + std::to_string(Sum) +
                                  ", but Checksum (byte 36) is " + std::to_string(checksum));
  }
  // The file's length changed while it was read: the checksum then says nothing.
  bool SizeChanged() const { return Changed; }

 private:
  static constexpr std::size_t MemoryTail = 8;

  std::uint64_t Unread() const { return PayloadBytes - BytesRead; }

  // The window's bytes: viewed in memory, or read into the slot.
  TWindow& Read() {
    TWindow& window = Window;
    window.Start = BytesRead;
    const std::uint64_t offset = HeaderSize + BytesRead;
    window.View = Container.InMemory() && Unread() > MemoryTail;
    if (window.View) {
      window.Size = static_cast<std::size_t>(Unread() - MemoryTail);
      window.Data = Container.Memory.data() + offset;
    } else {
      std::uint8_t* const data = window.Slot.get() + WindowHead;
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(Capacity, Unread()));
      const std::size_t got = FileEnded ? 0 : Container.ReadInto(offset, std::span(data, want));
      FileEnded |= got < want;
      std::memset(data + got, 0, 8);
      window.Data = data;
      window.Size = got;
    }
    Sum += SumBytes(std::span(window.Data, window.Size));
    BytesRead += window.Size;
    return window;
  }

  const TSource& Container;
  const std::uint64_t PayloadBytes;
  const std::size_t Capacity;   // payload bytes of a window read into the slot
  std::uint64_t BytesRead = 0;  // payload bytes taken from the container so far
  std::uint32_t Sum = 0;        // of those bytes
  bool Changed = false;
  bool FileEnded = false;  // a read found the file shorter than the header says
  TWindow Window;
};

}  // namespace huff
