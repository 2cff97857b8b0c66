// The C interface of include/sarnveld.h over the module. The file functions run the
// programs' own sequences; the memory functions run the same coder and decoder on buffers.
// Nothing here prints, and no exception leaves a function: each one's failure is caught in
// Guarded and handed to the caller as a kind and a message.
#include "sarnveld.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "base/errors.h"
#include "container/container.h"
#include "file/file.h"
#include "pack/pack.h"
#include "unpack/decoder.h"

namespace {

// The name that messages give a buffer: "File memory is too large: ...".
const std::string MemoryName = "memory";

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
  } catch (const huff::EError& failure) {
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
    throw huff::EError(std::string("Invalid argument: ") + what);
}

void Summarize(const huff::TContainerSummary& from, sarnveld_summary* to) noexcept {
  if (to == nullptr)
    return;
  *to = sarnveld_summary{};
  // The fields end in a zero byte; a name of 16 bytes is cut to 15 all the same.
  std::memcpy(to->name_id, from.Header.NameID.data(), sizeof to->name_id - 1);
  std::memcpy(to->manufacturer, from.Header.Manufacturer.data(), sizeof to->manufacturer - 1);
  to->payload_size = from.Header.PayloadSize;
  to->checksum = from.Header.Checksum;
  to->image_size = from.ImageSize;
  to->coded_byte_values = from.CodedByteValues;
  to->shortest_code = from.ShortestCode;
  to->longest_code = from.LongestCode;
}

// Streams that only one side of a pass uses: the rest of the interface is never called.
class TOneWayStream : public huff::TStream {
 public:
  std::size_t Read(std::span<std::uint8_t> data) override {
    const std::size_t count = ReadAt(Position, data);
    Position += count;
    return count;
  }
  std::size_t ReadAt(std::uint64_t, std::span<std::uint8_t>) override { return Unused(); }
  void Write(std::span<const std::uint8_t> data) override {
    WriteAt(Position, data);
    Position += data.size();
  }
  void WriteAt(std::uint64_t, std::span<const std::uint8_t>) override { Unused(); }
  void Rewind() override { Position = 0; }
  void Close() override {}
  void Abandon() noexcept override {}
  const std::string& Name() const noexcept override { return MemoryName; }

 private:
  static std::size_t Unused() { throw huff::EError("Internal error: a stream used both ways"); }
  std::uint64_t Position = 0;
};

// The caller's bytes, read where they are.
class TInputBuffer final : public TOneWayStream {
 public:
  TInputBuffer(const void* data, std::size_t size)
      : Data(static_cast<const std::uint8_t*>(data)), Length(size) {}
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (offset >= Length)
      return 0;
    const std::size_t count = std::min<std::uint64_t>(data.size(), Length - offset);
    std::memcpy(data.data(), Data + offset, count);
    return count;
  }
  std::uint64_t Size() override { return Length; }

 private:
  const std::uint8_t* Data;
  std::size_t Length;
};

// Bytes for the caller, in memory from malloc that sarnveld_free releases. Several threads
// may write at once, and a write may move the buffer.
class TOutputBuffer final : public TOneWayStream {
 public:
  TOutputBuffer() = default;
  TOutputBuffer(const TOutputBuffer&) = delete;
  TOutputBuffer& operator=(const TOutputBuffer&) = delete;
  ~TOutputBuffer() override { std::free(Data); }

  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    const std::lock_guard<std::mutex> lock(Growing);
    const std::uint64_t end = offset + data.size();
    if (end > Capacity)
      Grow(end);
    if (!data.empty())
      std::memcpy(Data + offset, data.data(), data.size());
    Length = std::max(Length, static_cast<std::size_t>(end));
  }
  std::uint64_t Size() override { return Length; }

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
  std::mutex Growing;
};

}  // namespace

extern "C" {

const char* sarnveld_version(void) {
  return SARNVELD_VERSION;
}

// sarnveld2hex's run: ResetState, OpenInput, CreateOutput, Compress, CloseFiles, and
// AbandonFiles when any of them fails.
int sarnveld_pack_file(const char* plainfile, const char* hexfile, const char* name_id,
                       const char* manufacturer, sarnveld_error* error) {
  return Guarded(error, [&] {
    // The state holds the coder's tables, some 400 KiB: not for a caller's stack.
    const auto state = std::make_unique<huff::TCompressorState>();
    try {
      huff::ResetState(*state, NameOr(name_id, "ZRQ-705"), NameOr(manufacturer, "Sarnveld"));
      huff::OpenInput(*state, plainfile != nullptr ? plainfile : "");
      huff::CreateOutput(*state, hexfile != nullptr ? hexfile : "");
      huff::Compress(*state);
      huff::CloseFiles(*state);
    } catch (...) {
      huff::AbandonFiles(*state);
      throw;
    }
  });
}

// hex2plain's run, without its console.
int sarnveld_unpack_file(const char* hexfile, const char* plainfile, sarnveld_summary* summary,
                         sarnveld_error* error) {
  return Guarded(error, [&] {
    const std::string container = hexfile != nullptr ? hexfile : "";
    // An empty name is refused, not dropped, as hex2plain refuses it.
    if (huff::ProbePath(container) != huff::TPathKind::Existing ||
        (plainfile != nullptr && *plainfile == '\0'))
      throw huff::EError("Invalid Filename");
    std::unique_ptr<huff::TFile> input;
    std::unique_ptr<huff::TFile> image;
    huff::TContainerSummary result;
    try {
      input = huff::TFile::OpenForReading(container);
      if (plainfile != nullptr)
        image = huff::TFile::CreateForWriting(plainfile, input.get());
      result = huff::DecodeContainer(*input, image.get());
      if (image)
        image->Close();
      input->Close();
    } catch (...) {
      if (image)
        image->Abandon();
      if (input)
        input->Abandon();
      throw;
    }
    Summarize(result, summary);
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
    if (image_size > huff::MaxInputSize)
      throw huff::InputTooLarge(MemoryName, std::to_string(image_size));
    const auto state = std::make_unique<huff::TCompressorState>();
    huff::ResetState(*state, NameOr(name_id, "ZRQ-705"), NameOr(manufacturer, "Sarnveld"));
    state->Input = std::make_unique<TInputBuffer>(image, image_size);
    auto output = std::make_unique<TOutputBuffer>();
    TOutputBuffer& bytes = *output;
    state->Output = std::move(output);
    huff::Compress(*state);
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
    if (container_size > huff::MaxInputSize)
      throw huff::EInputTooLarge("File " + MemoryName + " is too large: it holds " +
                                 std::to_string(container_size) + " bytes, and at most " +
                                 std::to_string(huff::MaxInputSize) + " can be unpacked in memory");
    TInputBuffer input(container, container_size);
    TOutputBuffer output;
    const huff::TContainerSummary result = huff::DecodeContainer(input, &output);
    *image = output.Release(*image_size);
    Summarize(result, summary);
  });
}

void sarnveld_free(void* memory) {
  std::free(memory);
}

}  // extern "C"
