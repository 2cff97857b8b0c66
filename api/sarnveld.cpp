// The C interface of include/sarnveld.h over the C++ one of sarnveld.hpp, which runs
// everything. Nothing here prints, and no exception leaves a function: each one's failure is
// caught in Guarded and handed to the caller as a kind and a message.
#include "sarnveld.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "faces.h"
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

void Report(sarnveld_error* error, std::string_view kind, std::string_view message) noexcept {
  if (error == nullptr)
    return;
  CopyCut(error->kind, sizeof error->kind, kind);
  CopyCut(error->message, sizeof error->message, message);
}

// Runs body, and turns whatever it raises into -1 and a report, as the programs' entry
// points turn it into a failure report.
template <typename TBody>
int Guarded(sarnveld_error* error, TBody&& body) noexcept {
  try {
    body();
    Report(error, "", "");
    return 0;
  } catch (const sarnveld::Error& failure) {
    Report(error, failure.Kind(), failure.Message());
  } catch (const std::bad_alloc&) {
    Report(error, "EOutOfMemory", "Out of memory");
  } catch (const std::exception& failure) {
    Report(error, "EError", failure.what());
  } catch (...) {
    Report(error, "EError", "Unknown failure");
  }
  return -1;
}

std::string_view NameOr(const char* name, std::string_view fallback) {
  return name != nullptr ? std::string_view(name) : fallback;
}

void Require(bool condition, const char* what) {
  if (!condition)
    throw sarnveld::Error("EError", std::string("Invalid argument: ") + what);
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

std::span<const std::uint8_t> Bytes(const void* data, std::size_t size) {
  return {static_cast<const std::uint8_t*>(data), size};
}

// Bytes for the caller, in memory from malloc that sarnveld_free releases.
class TMallocBytes {
 public:
  TMallocBytes() = default;
  TMallocBytes(const TMallocBytes&) = delete;
  TMallocBytes& operator=(const TMallocBytes&) = delete;
  ~TMallocBytes() { std::free(Data); }

  void Write(std::uint64_t offset, std::span<const std::uint8_t> data) {
    const std::uint64_t end = offset + data.size();
    if (end > Capacity)
      Grow(end);
    if (!data.empty())
      std::memcpy(Data + offset, data.data(), data.size());
    Length = std::max(Length, static_cast<std::size_t>(end));
  }
  std::size_t Size() const { return Length; }

  // Hands the bytes over: never NULL, an empty result included.
  void* Release(std::size_t& size) {
    if (Data == nullptr)
      Grow(1);
    size = Length;
    return std::exchange(Data, nullptr);
  }

 private:
  void Grow(std::uint64_t needed) {
    std::uint64_t capacity = std::max<std::uint64_t>({needed, 2 * Capacity, 64 * 1024});
    if (capacity > SIZE_MAX)
      throw std::bad_alloc();
    void* grown = std::realloc(Data, static_cast<std::size_t>(capacity));
    if (grown == nullptr)
      throw std::bad_alloc();
    Data = static_cast<std::uint8_t*>(grown);
    Capacity = static_cast<std::size_t>(capacity);
  }

  std::uint8_t* Data = nullptr;
  std::size_t Length = 0;
  std::size_t Capacity = 0;
};

// The stream that fills them. Several threads may write at once, and a write may move the
// bytes.
class TOutputBuffer final : public sarnveld::internal::TOneWayStream {
 public:
  explicit TOutputBuffer(TMallocBytes& bytes) : Bytes(bytes) {}
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    const std::lock_guard<std::mutex> lock(Growing);
    Bytes.Write(offset, data);
  }
  std::uint64_t Size() override { return Bytes.Size(); }

 private:
  TMallocBytes& Bytes;
  std::mutex Growing;
};

}  // namespace

extern "C" {

const char* sarnveld_version(void) {
  return sarnveld::Version();
}

int sarnveld_pack_file(const char* plainfile, const char* hexfile, const char* name_id,
                       const char* manufacturer, sarnveld_error* error) {
  return Guarded(error, [&] {
    sarnveld::PackFile(plainfile != nullptr ? plainfile : "", hexfile != nullptr ? hexfile : "",
                       NameOr(name_id, sarnveld::DefaultNameId),
                       NameOr(manufacturer, sarnveld::DefaultManufacturer));
  });
}

int sarnveld_unpack_file(const char* hexfile, const char* plainfile, sarnveld_summary* summary,
                         sarnveld_error* error) {
  return Guarded(error, [&] {
    Summarize(sarnveld::UnpackFile(
                  hexfile != nullptr ? hexfile : "",
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
    Require(image != nullptr || image_size == 0, "image is NULL but image_size is not 0");
    TMallocBytes bytes;
    sarnveld::internal::PackInto(Bytes(image, image_size), NameOr(name_id, sarnveld::DefaultNameId),
                                 NameOr(manufacturer, sarnveld::DefaultManufacturer),
                                 std::make_unique<TOutputBuffer>(bytes));
    *container = bytes.Release(*container_size);
  });
}

int sarnveld_unpack(const void* container, std::size_t container_size, void** image,
                    std::size_t* image_size, sarnveld_summary* summary, sarnveld_error* error) {
  return Guarded(error, [&] {
    Require(image != nullptr && image_size != nullptr, "image and image_size must not be NULL");
    *image = nullptr;
    *image_size = 0;
    Require(container != nullptr || container_size == 0,
            "container is NULL but container_size is not 0");
    TMallocBytes bytes;
    TOutputBuffer output(bytes);
    const sarnveld::Summary result =
        sarnveld::internal::UnpackInto(Bytes(container, container_size), output);
    *image = bytes.Release(*image_size);
    Summarize(result, summary);
  });
}

void sarnveld_free(void* memory) {
  std::free(memory);
}

}  // extern "C"
