// What the faces' two directions share. Packing is in pack.cpp, unpacking in unpack.cpp, the
// rest in sarnveld.cpp: a program that only reads containers links nothing of the writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "file/file.h"
#include "huffman/huffman.h"
#include "sarnveld.h"
#include "sarnveld.hpp"

namespace api {

// The name that messages give a buffer: "File memory is too large: ...".
inline const std::string MemoryName = "memory";

// Runs body, and raises what it raises as Error.
template <typename TBody>
auto Translated(TBody&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    throw sarnveld::CurrentError();
  }
}

// A buffer to read: at most MaxImageSize bytes of it, as the programs read files.
inline huff::TSource Memory(std::span<const std::uint8_t> bytes, const char* done) {
  if (bytes.size() > sarnveld::MaxImageSize)
    throw huff::InputTooLarge(MemoryName, std::to_string(bytes.size()), done);
  return {.Memory = bytes, .Name = MemoryName};
}

// Copies text into a field of `size` bytes, zero-terminated, cut before a whole UTF-8 character.
inline void CopyCut(char* field, std::size_t size, std::string_view text) noexcept {
  std::size_t count = std::min(text.size(), size - 1);
  if (count < text.size())
    while (count > 0 && (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80)
      --count;
  std::memcpy(field, text.data(), count);
  field[count] = '\0';
}

// Runs body, and turns whatever it raises into -1 and a report.
template <typename TBody>
int Guarded(sarnveld_error* error, TBody&& body) noexcept {
  std::optional<sarnveld::Error> failure;
  try {
    body();
  } catch (...) {
    failure = sarnveld::CurrentError();
  }
  if (error != nullptr) {
    CopyCut(error->kind, sizeof error->kind, failure ? failure->Kind() : "");
    CopyCut(error->message, sizeof error->message, failure ? failure->Message() : "");
  }
  return failure ? -1 : 0;
}

inline void Require(bool condition, const char* what) {
  if (!condition)
    throw sarnveld::Error("EError", std::string("Invalid argument: ") + what);
}

inline std::span<const std::uint8_t> Bytes(const void* data, std::size_t size, const char* what) {
  Require(data != nullptr || size == 0, what);
  return {static_cast<const std::uint8_t*>(data), size};
}

// A result for sarnveld_free, from malloc, one byte longer than asked for: never NULL.
using TMemory = std::unique_ptr<void, decltype(&std::free)>;
inline sarnveld::Allocate Into(TMemory& memory, std::size_t& reserved) {
  return [&](std::uint64_t size) {
    memory.reset(size < SIZE_MAX ? huff::AllocateResult(static_cast<std::size_t>(size) + 1)
                                 : nullptr);
    if (!memory)
      throw std::bad_alloc();
    reserved = static_cast<std::size_t>(size);
    return std::span(static_cast<std::uint8_t*>(memory.get()), reserved);
  };
}

}  // namespace api
