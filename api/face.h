// What the faces' two directions share, defined in sarnveld.cpp. Packing is in pack.cpp and
// unpacking in unpack.cpp: a program that only reads containers links nothing of the writer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "file/file.h"
#include "sarnveld.h"
#include "sarnveld.hpp"

namespace api {

// The name that messages give a buffer: "File memory is too large: ...".
extern const std::string MemoryName;

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
huff::TSource Memory(std::span<const std::uint8_t> bytes, const char* done);

// Copies text into a field of `size` bytes, zero-terminated, cut before a whole UTF-8 character.
void CopyCut(char* field, std::size_t size, std::string_view text) noexcept;

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

void Require(bool condition, const char* what);

std::span<const std::uint8_t> Bytes(const void* data, std::size_t size, const char* what);

// A result for sarnveld_free, from malloc, one byte longer than asked for: never NULL.
using TMemory = std::unique_ptr<void, decltype(&std::free)>;
sarnveld::Allocate Into(TMemory& memory, std::size_t& reserved);

}  // namespace api
