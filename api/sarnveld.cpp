// The C interface of include/sarnveld.h over the C++ one of sarnveld.hpp, which runs
// everything. Nothing here prints, and no exception leaves a function: each one's failure is
// handed to the caller as a kind and a message.
#include "sarnveld.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "file/file.h"
#include "sarnveld.hpp"

namespace {

// Copies text into a field of `size` bytes, zero-terminated; a text that does not fit is cut
// before a whole UTF-8 character.
void CopyCut(char* field, std::size_t size, std::string_view text) noexcept {
  std::size_t count = std::min(text.size(), size - 1);
  if (count < text.size())
    while (count > 0 && (static_cast<unsigned char>(text[count]) & 0xC0) == 0x80)
      --count;
  std::memcpy(field, text.data(), count);
  field[count] = '\0';
}

// Runs body, and turns whatever it raises into -1 and a report, as the programs' entry
// points turn it into a failure report.
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

std::string_view NameOr(const char* name, std::string_view fallback) {
  return name != nullptr ? std::string_view(name) : fallback;
}

void Require(bool condition, const char* what) {
  if (!condition)
    throw sarnveld::Error("EError", std::string("Invalid argument: ") + what);
}

const char* Path(const char* path, const char* what) {
  Require(path != nullptr, what);
  return path;
}

void Summarize(const sarnveld::Summary& from, sarnveld_summary* to) noexcept {
  if (to == nullptr)
    return;
  *to = sarnveld_summary{};
  // The fields end in a zero byte.
  CopyCut(to->name_id, sizeof to->name_id, from.NameId);
  CopyCut(to->manufacturer, sizeof to->manufacturer, from.Manufacturer);
  to->payload_size = from.PayloadSize;
  to->checksum = from.Checksum;
  to->image_size = from.ImageSize;
  to->coded_byte_values = from.CodedByteValues;
  to->shortest_code = from.ShortestCode;
  to->longest_code = from.LongestCode;
}

std::span<const std::uint8_t> Bytes(const void* data, std::size_t size, const char* what) {
  Require(data != nullptr || size == 0, what);
  return {static_cast<const std::uint8_t*>(data), size};
}

// A result for the caller: memory from malloc, which sarnveld_free releases, one byte longer
// than asked for, so that it is never NULL.
using TMemory = std::unique_ptr<void, decltype(&std::free)>;
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

}  // namespace

extern "C" {

const char* sarnveld_version(void) {
  return sarnveld::Version();
}

int sarnveld_pack_file(const char* plainfile, const char* hexfile, const char* name_id,
                       const char* manufacturer, sarnveld_error* error) {
  return Guarded(error, [&] {
    sarnveld::PackFile(Path(plainfile, "plainfile is NULL"), Path(hexfile, "hexfile is NULL"),
                       NameOr(name_id, sarnveld::DefaultNameId),
                       NameOr(manufacturer, sarnveld::DefaultManufacturer));
  });
}

int sarnveld_unpack_file(const char* hexfile, const char* plainfile, sarnveld_summary* summary,
                         sarnveld_error* error) {
  return Guarded(error, [&] {
    Summarize(sarnveld::UnpackFile(
                  Path(hexfile, "hexfile is NULL"),
                  plainfile != nullptr ? std::optional<std::string>(plainfile) : std::nullopt),
              summary);
  });
}

int sarnveld_pack(const void* image, std::size_t image_size, const char* name_id,
                  const char* manufacturer, void** container, std::size_t* container_size,
                  sarnveld_error* error) {
  return Guarded(error, [&] {
    Require(container != nullptr && container_size != nullptr,
            "container and container_size must not be NULL");
    *container = nullptr;
    *container_size = 0;
    TMemory memory(nullptr, &std::free);
    std::size_t size = 0;
    sarnveld::Pack(Bytes(image, image_size, "image is NULL but image_size is not 0"),
                   Into(memory, size), NameOr(name_id, sarnveld::DefaultNameId),
                   NameOr(manufacturer, sarnveld::DefaultManufacturer));
    *container = memory.release();
    *container_size = size;
  });
}

int sarnveld_unpack(const void* container, std::size_t container_size, void** image,
                    std::size_t* image_size, sarnveld_summary* summary, sarnveld_error* error) {
  return Guarded(error, [&] {
    Require(image != nullptr && image_size != nullptr, "image and image_size must not be NULL");
    *image = nullptr;
    *image_size = 0;
    TMemory memory(nullptr, &std::free);
    std::size_t reserved = 0;
    const sarnveld::Summary unpacked = sarnveld::Unpack(
        Bytes(container, container_size, "container is NULL but container_size is not 0"),
        Into(memory, reserved));
    const auto size = static_cast<std::size_t>(unpacked.ImageSize);
    // An empty image may have had no memory made; reserved room it did not use goes back.
    if (!memory)
      memory.reset(std::malloc(1));
    if (!memory)
      throw std::bad_alloc();
    if (void* shrunk = size < reserved ? std::realloc(memory.get(), size + 1) : nullptr) {
      static_cast<void>(memory.release());
      memory.reset(shrunk);
    }
    *image = memory.release();
    *image_size = size;
    Summarize(unpacked, summary);
  });
}

int sarnveld_unpack_into(const void* container, std::size_t container_size, void* image,
                         std::size_t image_capacity, std::size_t* image_size,
                         sarnveld_summary* summary, sarnveld_error* error) {
  return Guarded(error, [&] {
    Require(image_size != nullptr, "image_size must not be NULL");
    *image_size = 0;
    Require(image != nullptr || image_capacity == 0, "image is NULL but image_capacity is not 0");
    const sarnveld::Summary unpacked = sarnveld::UnpackInto(
        Bytes(container, container_size, "container is NULL but container_size is not 0"),
        {static_cast<std::uint8_t*>(image), image_capacity});
    *image_size = static_cast<std::size_t>(unpacked.ImageSize);
    Summarize(unpacked, summary);
  });
}

void sarnveld_free(void* memory) {
  std::free(memory);
}

}  // extern "C"
