// The C++ face of include/sarnveld.hpp over the module: the one place where the programs'
// run sequences are written. Whatever the module raises leaves as sarnveld::Error.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "base/errors.h"
#include "container/container.h"
#include "faces.h"
#include "file/file.h"
#include "huffman/huffman.h"
#include "pack/pack.h"
#include "sarnveld.hpp"
#include "unpack/decoder.h"

namespace sarnveld {
namespace internal {

const std::string MemoryName = "memory";

std::size_t TOneWayStream::Read(std::span<std::uint8_t> data) {
  const std::size_t count = ReadAt(Position, data);
  Position += count;
  return count;
}

void TOneWayStream::Write(std::span<const std::uint8_t> data) {
  WriteAt(Position, data);
  Position += data.size();
}

std::size_t TOneWayStream::Unused() {
  throw huff::EError("Internal error: a stream used both ways");
}

}  // namespace internal

namespace {

using internal::MemoryName;

// Runs body, and raises what it raises as Error, as the programs' entry points report it.
template <typename TBody>
auto Translated(TBody&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const Error&) {
    throw;
  } catch (const huff::EError& failure) {
    throw Error(failure.Kind(), failure.Message());
  } catch (const std::bad_alloc&) {
    throw Error("EOutOfMemory", "Out of memory");
  } catch (const std::exception& failure) {
    throw Error("EError", failure.what());
  }
}

Summary Summarize(const huff::TContainerSummary& from) {
  const auto name = [](const std::array<std::uint8_t, huff::NameFieldSize>& field) {
    const auto end = std::find(field.begin(), field.end(), 0);
    return std::string(field.begin(), end);
  };
  return {name(from.Header.NameID), name(from.Header.Manufacturer),
          from.Header.PayloadSize,  from.Header.Checksum,
          from.ImageSize,           from.CodedByteValues,
          from.ShortestCode,        from.LongestCode};
}

// The caller's bytes, read where they are.
class TInputBuffer final : public internal::TOneWayStream {
 public:
  explicit TInputBuffer(std::span<const std::uint8_t> data) : Data(data) {}
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override {
    if (offset >= Data.size())
      return 0;
    const std::size_t count = std::min<std::uint64_t>(data.size(), Data.size() - offset);
    std::memcpy(data.data(), Data.data() + offset, count);
    return count;
  }
  std::uint64_t Size() override { return Data.size(); }

 private:
  std::span<const std::uint8_t> Data;
};

// Bytes for the caller, in a vector of theirs. Several threads may write at once.
class TVectorBuffer final : public internal::TOneWayStream {
 public:
  explicit TVectorBuffer(std::vector<std::uint8_t>& bytes) : Bytes(bytes) { Bytes.clear(); }
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override {
    const std::lock_guard<std::mutex> lock(Growing);
    const std::uint64_t end = offset + data.size();
    if (end > Bytes.size())
      Bytes.resize(end);
    std::copy(data.begin(), data.end(), Bytes.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  std::uint64_t Size() override { return Bytes.size(); }

 private:
  std::vector<std::uint8_t>& Bytes;
  std::mutex Growing;
};

}  // namespace

const char* Version() noexcept {
  return SARNVELD_VERSION;
}

void PackFile(const std::string& plainfile, const std::string& hexfile, std::string_view nameId,
              std::string_view manufacturer) {
  Translated([&] {
    const auto state = std::make_unique<huff::TCompressorState>();
    try {
      huff::ResetState(*state, nameId, manufacturer);
      huff::OpenInput(*state, plainfile);
      huff::CreateOutput(*state, hexfile);
      huff::Compress(*state);
      huff::CloseFiles(*state);
    } catch (...) {
      huff::AbandonFiles(*state);
      throw;
    }
  });
}

Summary UnpackFile(const std::string& hexfile, const std::optional<std::string>& plainfile) {
  return Translated([&] {
    // An empty name is refused, not dropped: `hex2plain c.hex "$OUT"` must not pass for a
    // check.
    if (huff::ProbePath(hexfile) != huff::TPathKind::Existing || (plainfile && plainfile->empty()))
      throw huff::EError("Invalid Filename");
    std::unique_ptr<huff::TFile> input;
    std::unique_ptr<huff::TFile> image;
    try {
      input = huff::TFile::OpenForReading(hexfile);
      // The image is written as it is decoded: with a second core, the decoder's worker goes
      // on decoding ahead while the image is written.
      if (plainfile)
        image = huff::TFile::CreateForWriting(*plainfile, input.get());
      const huff::TContainerSummary result = huff::DecodeContainer(*input, image.get());
      if (image)
        image->Close();
      input->Close();
      return Summarize(result);
    } catch (...) {
      if (image)
        image->Abandon();
      if (input)
        input->Abandon();
      throw;
    }
  });
}

namespace internal {

void PackInto(std::span<const std::uint8_t> image, std::string_view nameId,
              std::string_view manufacturer, std::unique_ptr<huff::TStream> container) {
  Translated([&] {
    if (image.size() > huff::MaxInputSize)
      throw huff::InputTooLarge(MemoryName, std::to_string(image.size()));
    const auto state = std::make_unique<huff::TCompressorState>();
    huff::ResetState(*state, nameId, manufacturer);
    state->Input = std::make_unique<TInputBuffer>(image);
    state->Output = std::move(container);
    huff::Compress(*state);
  });
}

Summary UnpackInto(std::span<const std::uint8_t> container, huff::TStream& image) {
  return Translated([&] {
    if (container.size() > huff::MaxInputSize)
      throw huff::EInputTooLarge("File " + MemoryName + " is too large: it holds " +
                                 std::to_string(container.size()) + " bytes, and at most " +
                                 std::to_string(huff::MaxInputSize) + " can be unpacked in memory");
    TInputBuffer input(container);
    return Summarize(huff::DecodeContainer(input, &image));
  });
}

}  // namespace internal

std::vector<std::uint8_t> Pack(std::span<const std::uint8_t> image, std::string_view nameId,
                               std::string_view manufacturer) {
  std::vector<std::uint8_t> container;
  internal::PackInto(image, nameId, manufacturer, std::make_unique<TVectorBuffer>(container));
  return container;
}

Summary Unpack(std::span<const std::uint8_t> container, std::vector<std::uint8_t>& image) {
  TVectorBuffer output(image);
  return internal::UnpackInto(container, output);
}

void RemoveUnfinishedOutputs() noexcept {
  huff::RemoveUnfinishedOutputs();
}

std::string SystemErrorText(unsigned long code) {
  return Translated([&] { return huff::SystemErrorText(code); });
}

}  // namespace sarnveld
