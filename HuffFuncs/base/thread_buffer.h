// Memory that a thread keeps for its buffers between uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace huff {

// A thread keeps its buffers' memory from one use to the next, and the caller's thread some of
// it from one call to the next (Trim): memory given back was returned to the system and taken
// again, and touching it afresh cost a small input more than packing it. Under
// AddressSanitizer every buffer has its own size, so that a store past its end is seen, and
// is given back at once.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SARNVELD_EXACT_BUFFERS
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(SARNVELD_EXACT_BUFFERS)
inline constexpr bool ExactBuffers = true;
#else
inline constexpr bool ExactBuffers = false;
#endif

// Memory for one pass's buffers on this thread, not cleared. It starts on a page, as the
// input's pages in the system's cache do: a read copied into a buffer 16 bytes off took three
// times as long. The thread keeps one; one wanted while it is in use (a call made from an
// Allocate of another) is made for the occasion.
class TThreadBuffer {
 public:
  explicit TThreadBuffer(std::size_t size) {
    std::uint8_t* memory;
    if (Taken) {
      Own = std::make_unique_for_overwrite<std::uint8_t[]>(size + Page);
      memory = Own.get();
    } else {
      if (ExactBuffers || size > Capacity) {
        Release();  // first, so that the two are never held at once
        Kept = std::make_unique_for_overwrite<std::uint8_t[]>(size + Page);
        Capacity = size;
      }
      Taken = true;
      memory = Kept.get();
    }
    Data = memory + (Page - reinterpret_cast<std::uintptr_t>(memory) % Page) % Page;
  }
  ~TThreadBuffer() {
    if (Own)
      return;
    Taken = false;
    if (ExactBuffers)
      Release();
  }
  TThreadBuffer(const TThreadBuffer&) = delete;
  TThreadBuffer& operator=(const TThreadBuffer&) = delete;

  // After a call, on the caller's thread: keeps no more than `keep` bytes.
  static void Trim(std::size_t keep) {
    if (!Taken && Capacity > keep)
      Release();
  }

  std::uint8_t* Data;

 private:
  static void Release() {
    Kept.reset();
    Capacity = 0;
  }

  static constexpr std::size_t Page = 4096;
  std::unique_ptr<std::uint8_t[]> Own;
  // Defined in thread_buffer.cpp: mingw-w64 gives inline thread_local members a definition
  // in every file that uses them.
  static thread_local bool Taken;
  static thread_local std::unique_ptr<std::uint8_t[]> Kept;
  static thread_local std::size_t Capacity;
};

}  // namespace huff
