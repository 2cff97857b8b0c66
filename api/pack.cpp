// The faces' packing: sarnveld::PackFile and Pack, sarnveld_pack_file and sarnveld_pack.
#include "pack/pack.h"
#include "base/errors.h"
#include "face.h"

namespace sarnveld {

void PackFile(const std::string& plainfile, const std::string& hexfile, std::string_view nameId,
              std::string_view manufacturer) {
  api::Translated([&] {
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

void Pack(std::span<const std::uint8_t> image, const Allocate& allocate, std::string_view nameId,
          std::string_view manufacturer) {
  api::Translated([&] {
    api::Require(static_cast<bool>(allocate), "allocate is empty");
    huff::TCompressorState state{.Header = huff::NamedHeader(nameId, manufacturer)};
    state.Input = api::Memory(image, "packed");
    const std::uint64_t size = huff::PrepareContainer(state);
    state.Output.Memory = allocate(size);
    if (state.Output.Memory.size() < size)
      throw huff::EBufferTooSmall(
          "The container of " + api::MemoryName + " needs " + huff::Count(size, "byte") +
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

}  // namespace sarnveld

extern "C" {

int sarnveld_pack_file(const char* plainfile, const char* hexfile, const char* name_id,
                       const char* manufacturer, sarnveld_error* error) {
  return api::Guarded(error, [&] {
    api::Require(plainfile != nullptr, "plainfile is NULL");
    api::Require(hexfile != nullptr, "hexfile is NULL");
    sarnveld::PackFile(plainfile, hexfile, name_id != nullptr ? name_id : sarnveld::DefaultNameId,
                       manufacturer != nullptr ? manufacturer : sarnveld::DefaultManufacturer);
  });
}

int sarnveld_pack(const void* image, std::size_t image_size, const char* name_id,
                  const char* manufacturer, void** container, std::size_t* container_size,
                  sarnveld_error* error) {
  return api::Guarded(error, [&] {
    if (container != nullptr)  // NULL and 0 on any failure, in what is given
      *container = nullptr;
    if (container_size != nullptr)
      *container_size = 0;
    api::Require(container != nullptr && container_size != nullptr,
                 "container and container_size must not be NULL");
    api::TMemory memory(nullptr, &std::free);
    std::size_t size = 0;
    sarnveld::Pack(api::Bytes(image, image_size, "image is NULL but image_size is not 0"),
                   api::Into(memory, size), name_id != nullptr ? name_id : sarnveld::DefaultNameId,
                   manufacturer != nullptr ? manufacturer : sarnveld::DefaultManufacturer);
    *container = memory.release();
    *container_size = size;
  });
}

}  // extern "C"
