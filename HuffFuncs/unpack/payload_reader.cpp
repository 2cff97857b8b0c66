#include "unpack/payload_reader.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "base/bytes.h"
#include "base/errors.h"
#include "container/container.h"

namespace huff {
namespace {

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

void Damaged(const std::string& container, const std::string& what) {
  throw EBadContainer("Container " + container + " is damaged: " + what);
}

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
  for (std::size_t at = 0; Out.File != nullptr && at < piece.size(); at += ChunkSize) {
    const auto block = piece.subspan(at, std::min<std::size_t>(ChunkSize, piece.size() - at));
    Out.File->WriteAt(Written, block);
    Written += block.size();
  }
}

void TImageWriter::Finish() {
  if (Kept && Memory.data() == Kept->Data)
    Allocate(Written);
}

TPayloadReader::TPayloadReader(const TSource& container, std::uint64_t payloadBytes)
    : Container(container), PayloadBytes(payloadBytes) {
  Capacity = container.InMemory()
                 ? MemoryTail
                 : static_cast<std::size_t>(std::min<std::uint64_t>(ChunkSize, payloadBytes));
  Window.Slot = std::make_unique_for_overwrite<std::uint8_t[]>(WindowHead + Capacity + 8);
}

// The window's bytes: viewed where they lie in memory, or read into the slot in one block.
TWindow& TPayloadReader::Next() {
  TWindow& window = Window;
  window.Start = BytesRead;
  const std::uint64_t offset = HeaderSize + BytesRead;
  if (Container.InMemory() && Unread() > MemoryTail) {
    window.View = true;
    window.Size = static_cast<std::size_t>(Unread() - MemoryTail);
    window.Data = Container.Memory.data() + offset;
  } else {
    window.View = false;
    std::uint8_t* const data = window.Slot.get() + WindowHead;
    window.Data = data;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(Capacity, Unread()));
    window.Size = FileEnded ? 0 : ReadFully(Container, offset, std::span(data, want));
    FileEnded = window.Size < want;
    std::memset(data + window.Size, 0, 8);
    if (window.Size == 0) {
      Changed = true;
      Damaged(Container.Name, "the file ended after " + std::to_string(BytesRead) +
                                  " payload bytes, but PayloadSize (byte 32) is " +
                                  std::to_string(PayloadBytes) + ": it shrank while it was read");
    }
  }
  Sum += SumBytes(std::span(window.Data, window.Size));
  BytesRead += window.Size;
  return window;
}

void TPayloadReader::Drain() {
  if (Container.InMemory()) {
    Sum += SumBytes(Container.Memory.subspan(static_cast<std::size_t>(HeaderSize + BytesRead),
                                             static_cast<std::size_t>(Unread())));
    BytesRead = PayloadBytes;
    return;
  }
  std::uint8_t* const scratch = Window.Slot.get() + WindowHead;
  while (!FileEnded && Unread() > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(Capacity, Unread()));
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

}  // namespace huff
