// The C++ face of include/sarnveld.hpp over the library: the one place where the programs'
// run sequences are written. Whatever the library raises leaves as sarnveld::Error.
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
huff::TSource Memory(std::span<const std::uint8_t> bytes, const char* unpacked) {
  if (bytes.size() > MaxImageSize)
    throw huff::EInputTooLarge("File " + MemoryName + " is too large: it holds " +
                               std::to_string(bytes.size()) + " bytes, and at most " +
                               std::to_string(MaxImageSize) + " can be " + unpacked);
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
    const auto state = std::make_unique<huff::TCompressorState>();
    huff::ResetState(*state, nameId, manufacturer);
    huff::OpenInput(*state, plainfile);
    huff::CreateOutput(*state, hexfile);
    huff::Compress(*state);
    huff::CloseFiles(*state);
  });
}

Summary UnpackFile(const std::string& hexfile, const std::optional<std::string>& plainfile) {
  return Translated([&] {
    // An empty name is refused, not dropped: `hex2plain c.hex "$OUT"` must not pass for a
    // check.
    if (huff::ProbePath(hexfile) != huff::TPathKind::Existing || (plainfile && plainfile->empty()))
      throw huff::EError("Invalid Filename");
    // Destroyed on a failure, the image goes before the input, and the old image stays.
    const std::unique_ptr<huff::TFile> input = huff::TFile::OpenForReading(hexfile);
    std::unique_ptr<huff::TFile> image;
    const huff::TSource container{.File = input.get(), .Name = hexfile};
    // The refusals first, then the size and the sum, before any of the image is written.
    if (plainfile)
      image = huff::TFile::CreateForWriting(*plainfile, input.get());
    const Summary summary =
        huff::DecodeContainer(container, {.File = image.get()}, {.SumFirst = image != nullptr});
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
    const auto state = std::make_unique<huff::TCompressorState>();
    huff::ResetState(*state, nameId, manufacturer);
    state->Input = Memory(image, "packed");
    const std::uint64_t size = huff::PrepareContainer(*state);
    state->Output.Memory = allocate(size);
    if (state->Output.Memory.size() < size)
      throw huff::EBufferTooSmall(
          "The container of " + MemoryName + " needs " + huff::Count(size, "byte") +
          ", more than the " + huff::Count(state->Output.Memory.size(), "byte") + " given for it");
    state->Output.Memory = state->Output.Memory.first(static_cast<std::size_t>(size));
    huff::PrepareLargeBuffer(state->Output.Memory.data(), state->Output.Memory.size());
    huff::EncodeSegments(*state);
  });
}

std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> image, std::string_view nameId,
                               std::string_view manufacturer) {
  std::vector<std::uint8_t> container;
  Pack(
      image,
      [&](std::uint64_t size) {
        container.reserve(static_cast<std::size_t>(size));
        huff::PrepareLargeBuffer(container.data(), container.capacity());
        container.resize(static_cast<std::size_t>(size));
        return std::span(container);
      },
      nameId, manufacturer);
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
