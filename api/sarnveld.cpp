// The library's faces: sarnveld.hpp's, where the programs' runs are written, and sarnveld.h's.
#include "sarnveld.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "base/errors.h"
#include "file/file.h"
#include "pack/pack.h"
#include "sarnveld.hpp"
#include "unpack/decoder.h"

namespace sarnveld {
namespace {

// The name that messages give a buffer: "File memory is too large: ...".
const std::string MemoryName = "memory";

// Runs body, and raises what it raises as Error.
template <typename TBody>
auto Translated(TBody&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    throw CurrentError();
  }
}

// A buffer to read: at most MaxImageSize bytes of it, as the programs read files.
huff::TSource Memory(std::span<const std::uint8_t> bytes, const char* done) {
  if (bytes.size() > MaxImageSize)
    throw huff::InputTooLarge(MemoryName, std::to_string(bytes.size()), done);
  return {.Memory = bytes, .Name = MemoryName};
}

Summary UnpackMemory(std::span<const std::uint8_t> container, const huff::TImageOut& image) {
  return Translated(
      [&] { return huff::DecodeContainer(Memory(container, "unpacked in memory"), image); });
}

}  // namespace

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

void PackFile(const std::string& plainfile, const std::string& hexfile, std::string_view nameId,
              std::string_view manufacturer) {
  Translated([&] {
    // On a failure the state's files are abandoned as it goes: the old output stays.
    huff::TCompressorState state{.Header = huff::NamedHeader(nameId, manufacturer)};
    huff::OpenInput(state, plainfile);
    // As for unpacking: an empty name would make a new file in the working folder, then fail.
    if (hexfile.empty())
      throw huff::EError("Invalid Filename");
    state.OutputFile = huff::TFile::CreateForWriting(hexfile, state.InputFile.get());
    state.Output = {.File = state.OutputFile.get()};
    huff::PrepareContainer(state);
    huff::EncodeSegments(state);
    // The input is let go first; then the output takes the old one's place, complete.
    state.InputFile->Close();
    state.OutputFile->Close();
  });
}

Summary UnpackFile(const std::string& hexfile, const std::optional<std::string>& plainfile) {
  return Translated([&] {
    // An empty name is refused: `hex2plain c.hex "$OUT"` must not pass for a check.
    if (!huff::NamesNonDirectory(hexfile) || (plainfile && plainfile->empty()))
      throw huff::EError("Invalid Filename");
    // Destroyed on a failure, the image goes before the input, and the old image stays.
    const std::unique_ptr<huff::TFile> input = huff::TFile::OpenForReading(hexfile);
    // The refusals first, then the size and the sum, before any of the image is written.
    const std::unique_ptr<huff::TFile> image =
        plainfile ? huff::TFile::CreateForWriting(*plainfile, input.get()) : nullptr;
    const Summary summary =
        huff::DecodeContainer({.File = input.get(), .Name = hexfile}, {.File = image.get()},
                              {.SumFirst = image != nullptr});
    // The image takes its file's place last: a failure before leaves the old one.
    input->Close();
    if (image)
      image->Close();
    return summary;
  });
}

void Pack(std::span<const std::uint8_t> image, const Allocate& allocate, std::string_view nameId,
          std::string_view manufacturer) {
  Translated([&] {
    huff::TCompressorState state{.Header = huff::NamedHeader(nameId, manufacturer)};
    state.Input = Memory(image, "packed");
    const std::uint64_t size = huff::PrepareContainer(state);
    state.Output.Memory = allocate(size);
    if (state.Output.Memory.size() < size)
      throw huff::EBufferTooSmall(
          "The container of " + MemoryName + " needs " + huff::Count(size, "byte") +
          ", more than the " + huff::Count(state.Output.Memory.size(), "byte") + " given for it");
    state.Output.Memory = state.Output.Memory.first(static_cast<std::size_t>(size));
    huff::PrepareLargeBuffer(state.Output.Memory.data(), state.Output.Memory.size());
    huff::EncodeSegments(state);
  });
}

std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> image, std::string_view nameId,
                               std::string_view manufacturer) {
  std::vector<std::uint8_t> container;
  const auto allocate = [&](std::uint64_t size) {
    container.reserve(static_cast<std::size_t>(size));
    huff::PrepareLargeBuffer(container.data(), container.capacity());
    container.resize(static_cast<std::size_t>(size));
    return std::span(container);
  };
  Pack(image, allocate, nameId, manufacturer);
  return container;
}

Summary Unpack(std::span<const std::uint8_t> container, const Allocate& allocate) {
  return UnpackMemory(container, {.Allocate = allocate ? &allocate : nullptr});
}

Summary Unpack(std::span<const std::uint8_t> container, std::vector<std::uint8_t>& image) {
  // Reserved, not touched, then copied once: a vector would clear all it is given.
  std::unique_ptr<std::uint8_t[]> memory;
  const Summary summary = Unpack(container, [&](std::uint64_t bound) {
    memory = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(bound));
    return std::span(memory.get(), static_cast<std::size_t>(bound));
  });
  image.assign(memory.get(), memory.get() + summary.ImageSize);
  return summary;
}

Summary UnpackInto(std::span<const std::uint8_t> container, std::span<std::uint8_t> image) {
  return UnpackMemory(container, {.Into = image});
}

Summary Describe(std::span<const std::uint8_t> container) {
  return UnpackMemory(container, {});
}

void RemoveUnfinishedOutputs() noexcept {
  huff::RemoveUnfinishedOutputs();
}

std::string SystemErrorText(unsigned long code) {
  return Translated([&] { return huff::SystemErrorText(code); });
}

}  // namespace sarnveld

namespace {

// Copies text into a field of `size` bytes, zero-terminated, cut before a whole UTF-8 character.
void CopyCut(char* field, std::size_t size, std::string_view text) noexcept {
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

void Require(bool condition, const char* what) {
  if (!condition)
    throw sarnveld::Error("EError", std::string("Invalid argument: ") + what);
}

void Summarize(const sarnveld::Summary& from, sarnveld_summary* to) noexcept {
  if (to == nullptr)
    return;
  *to = sarnveld_summary{};
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

// A result for sarnveld_free, from malloc, one byte longer than asked for: never NULL.
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
    Require(plainfile != nullptr, "plainfile is NULL");
    Require(hexfile != nullptr, "hexfile is NULL");
    sarnveld::PackFile(plainfile, hexfile, name_id != nullptr ? name_id : sarnveld::DefaultNameId,
                       manufacturer != nullptr ? manufacturer : sarnveld::DefaultManufacturer);
  });
}

int sarnveld_unpack_file(const char* hexfile, const char* plainfile, sarnveld_summary* summary,
                         sarnveld_error* error) {
  return Guarded(error, [&] {
    Require(hexfile != nullptr, "hexfile is NULL");
    const auto plain = plainfile != nullptr ? std::optional<std::string>(plainfile) : std::nullopt;
    Summarize(sarnveld::UnpackFile(hexfile, plain), summary);
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
                   Into(memory, size), name_id != nullptr ? name_id : sarnveld::DefaultNameId,
                   manufacturer != nullptr ? manufacturer : sarnveld::DefaultManufacturer);
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
    // The decode asked for memory even for an empty image; the room it did not use goes back.
    void* const shrunk = size < reserved ? std::realloc(memory.get(), size + 1) : nullptr;
    *image = shrunk != nullptr ? shrunk : memory.get();
    static_cast<void>(memory.release());  // *image holds it now
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
