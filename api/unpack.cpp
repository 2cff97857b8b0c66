// The faces' unpacking: sarnveld::UnpackFile, Unpack, UnpackInto and Describe, and
// sarnveld_unpack_file, sarnveld_unpack and sarnveld_unpack_into.
#include "base/errors.h"
#include "face.h"
#include "unpack/decoder.h"

namespace {

sarnveld::Summary UnpackMemory(std::span<const std::uint8_t> container,
                               const huff::TImageOut& image) {
  return api::Translated(
      [&] { return huff::DecodeContainer(api::Memory(container, "unpacked in memory"), image); });
}

void Summarize(const sarnveld::Summary& from, sarnveld_summary* to) noexcept {
  if (to == nullptr)
    return;
  *to = sarnveld_summary{};
  api::CopyCut(to->name_id, sizeof to->name_id, from.NameId);
  api::CopyCut(to->manufacturer, sizeof to->manufacturer, from.Manufacturer);
  to->payload_size = from.PayloadSize;
  to->checksum = from.Checksum;
  to->image_size = from.ImageSize;
  to->coded_byte_values = from.CodedByteValues;
  to->shortest_code = from.ShortestCode;
  to->longest_code = from.LongestCode;
}

}  // namespace

namespace sarnveld {

Summary UnpackFile(const std::string& hexfile, const std::optional<std::string>& plainfile) {
  return api::Translated([&] {
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

}  // namespace sarnveld

extern "C" {

int sarnveld_unpack_file(const char* hexfile, const char* plainfile, sarnveld_summary* summary,
                         sarnveld_error* error) {
  return api::Guarded(error, [&] {
    api::Require(hexfile != nullptr, "hexfile is NULL");
    const auto plain = plainfile != nullptr ? std::optional<std::string>(plainfile) : std::nullopt;
    Summarize(sarnveld::UnpackFile(hexfile, plain), summary);
  });
}

int sarnveld_unpack(const void* container, std::size_t container_size, void** image,
                    std::size_t* image_size, sarnveld_summary* summary, sarnveld_error* error) {
  return api::Guarded(error, [&] {
    if (image != nullptr)  // NULL and 0 on any failure, in what is given
      *image = nullptr;
    if (image_size != nullptr)
      *image_size = 0;
    api::Require(image != nullptr && image_size != nullptr,
                 "image and image_size must not be NULL");
    api::TMemory memory(nullptr, &std::free);
    std::size_t reserved = 0;
    const sarnveld::Summary unpacked = sarnveld::Unpack(
        api::Bytes(container, container_size, "container is NULL but container_size is not 0"),
        api::Into(memory, reserved));
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
  return api::Guarded(error, [&] {
    api::Require(image_size != nullptr, "image_size must not be NULL");
    *image_size = 0;
    api::Require(image != nullptr || image_capacity == 0,
                 "image is NULL but image_capacity is not 0");
    const sarnveld::Summary unpacked = sarnveld::UnpackInto(
        api::Bytes(container, container_size, "container is NULL but container_size is not 0"),
        {static_cast<std::uint8_t*>(image), image_capacity});
    *image_size = static_cast<std::size_t>(unpacked.ImageSize);
    Summarize(unpacked, summary);
  });
}

}  // extern "C"
