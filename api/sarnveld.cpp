// What the library's faces share: sarnveld.hpp's failures and version, and sarnveld.h's
// reports, arguments and results (face.h).
#include "face.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/errors.h"
#include "huffman/huffman.h"

namespace api {

const std::string MemoryName = "memory";

huff::TSource Memory(std::span<const std::uint8_t> bytes, const char* done) {
  if (bytes.size() > sarnveld::MaxImageSize)
    throw huff::InputTooLarge(MemoryName, std::to_string(bytes.size()), done);
  return {.Memory = bytes, .Name = MemoryName};
}

void CopyCut(char* field, std::size_t size, std::string_view text) noexcept {
  std::size_t count = std::min(text.size(), size - 1);
  if (count < text.size())
    while (count > 0 && (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80)
      --count;
  std::memcpy(field, text.data(), count);
  field[count] = '\0';
}

void Require(bool condition, const char* what) {
  if (!condition)
    throw sarnveld::Error("EError", std::string("Invalid argument: ") + what);
}

std::span<const std::uint8_t> Bytes(const void* data, std::size_t size, const char* what) {
  Require(data != nullptr || size == 0, what);
  return {static_cast<const std::uint8_t*>(data), size};
}

sarnveld::Allocate Into(TMemory& memory, std::size_t& reserved) {
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

namespace sarnveld {

Error CurrentError() noexcept {
  try {
    throw;
  } catch (const Error& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return Error("EOutOfMemory", "Out of memory");
  } catch (const std::exception& error) {
    return Error("EError", error.what());
  } catch (...) {
    return Error("EError", "Unknown failure");
  }
}

const char* Version() noexcept {
  return SARNVELD_VERSION;
}

void RemoveUnfinishedOutputs() noexcept {
  huff::RemoveUnfinishedOutputs();
}

std::string SystemErrorText(unsigned long code) {
  return api::Translated([&] { return huff::SystemErrorText(code); });
}

}  // namespace sarnveld

extern "C" {

const char* sarnveld_version(void) {
  return sarnveld::Version();
}

void sarnveld_free(void* memory) {
  std::free(memory);
}

}  // extern "C"
