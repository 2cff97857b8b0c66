// Memory a thread keeps from one use to the next (the caller's, some of it, see Trim): memory
// given back went to the system, and fresh pages cost a small input more than packing it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>  // poisons memory under AddressSanitizer, else does nothing
#else
#define ASAN_POISON_MEMORY_REGION(at, size) ((void)(at), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(at, size) ((void)(at), (void)(size))
#endif

namespace huff {

// Where AddressSanitizer does not see past a vector's size (the fuzz build), a decode's buffers
// are its own, so that a store past their end is seen.
#if defined(_GLIBCXX_SANITIZE_VECTOR)
inline constexpr bool ExactBuffers = false;
#elif defined(__SANITIZE_ADDRESS__)
inline constexpr bool ExactBuffers = true;
#elif defined(__has_feature)
inline constexpr bool ExactBuffers = __has_feature(address_sanitizer);
#else
inline constexpr bool ExactBuffers = false;
#endif

// A buffer, not cleared, on a page boundary as the cached input is (16 bytes off, a read took
// three times as long). One wanted while the kept one is in use (from an Allocate) is its own.
class TThreadBuffer {
 public:
  explicit TThreadBuffer(std::size_t size) {
    if (Taken) {
      Own = std::make_unique_for_overwrite<std::uint8_t[]>(size + Page);
    } else if (size > Capacity) {
      Kept.reset();  // first, so that the two are never held at once
      Kept = std::make_unique_for_overwrite<std::uint8_t[]>(size + Page);
      Capacity = size;
    }
    Taken |= !Own;
    std::uint8_t* const memory = Own ? Own.get() : Kept.get();
    Data = memory + (Page - reinterpret_cast<std::uintptr_t>(memory) % Page) % Page;
    // Under AddressSanitizer a store past `size`, or into a kept buffer let go, is seen.
    const std::size_t allocated = memory != nullptr ? (Own ? size : Capacity) + Page : 0;
    ASAN_POISON_MEMORY_REGION(memory, allocated);
    ASAN_UNPOISON_MEMORY_REGION(Data, std::min(size, allocated - (Data - memory)));
  }
  ~TThreadBuffer() {
    if (!Own && Kept)
      ASAN_POISON_MEMORY_REGION(Kept.get(), Capacity + Page);
    Taken &= Own != nullptr;
  }

  // After a call, on the caller's thread.
  static void Trim(std::size_t keep) {
    if (!Taken && Capacity > keep) {
      Kept.reset();
      Capacity = 0;
    }
  }

  std::uint8_t* Data;

 private:
  static constexpr std::size_t Page = 4096;
  std::unique_ptr<std::uint8_t[]> Own;
  // In thread_buffer.cpp: mingw-w64 defines inline thread_local members in every file.
  static thread_local bool Taken;
  static thread_local std::unique_ptr<std::uint8_t[]> Kept;
  static thread_local std::size_t Capacity;
};

}  // namespace huff
