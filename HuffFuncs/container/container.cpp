#include "container/container.h"

#include <algorithm>
#include <span>

#include "base/errors.h"
#include "file/file.h"

namespace huff {
namespace {

void StoreU32(std::uint8_t* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void CopyName(std::array<std::uint8_t, NameFieldSize>& field, std::string_view name) {
  field.fill(0);
  // The last byte of the field always stays zero.
  const std::size_t count = std::min<std::size_t>(name.size(), NameFieldSize - 1);
  std::copy_n(reinterpret_cast<const std::uint8_t*>(name.data()), count, field.begin());
}

}  // namespace

std::array<std::uint8_t, HeaderSize> EncodeHeader(const TContainerHeader& header) {
  std::array<std::uint8_t, HeaderSize> bytes{};
  std::copy(header.NameID.begin(), header.NameID.end(), bytes.begin());
  std::copy(header.Manufacturer.begin(), header.Manufacturer.end(), bytes.begin() + 16);
  StoreU32(bytes.data() + 32, header.PayloadSize);
  StoreU32(bytes.data() + 36, header.Checksum);
  return bytes;
}

void ResetState(TCompressorState& state, std::string_view nameId, std::string_view manufacturer) {
  state.Header = TContainerHeader{};
  CopyName(state.Header.NameID, nameId);
  CopyName(state.Header.Manufacturer, manufacturer);
}

void OpenInput(TCompressorState& state, const std::string& path) {
  if (ProbePath(path) != TPathKind::Existing)
    throw EError("Invalid Filename");
  state.Input = TFile::OpenForReading(path);
  const std::uint64_t size = state.Input->Size();
  if (size > MaxInputSize)
    throw InputTooLarge(path, std::to_string(size));
}

void CreateOutput(TCompressorState& state, const std::string& path) {
  state.Output = TFile::CreateForWriting(path, dynamic_cast<const TFile*>(state.Input.get()));
}

void WriteHeader(TCompressorState& state, std::uint32_t payloadSize, std::uint32_t checksum) {
  state.Header.PayloadSize = payloadSize;
  state.Header.Checksum = checksum;
  const auto bytes = EncodeHeader(state.Header);
  state.Output->Write(bytes);
}

void CloseFiles(TCompressorState& state) {
  if (state.Input)
    state.Input->Close();
  state.Input.reset();
  if (state.Output)
    state.Output->Close();
  state.Output.reset();
}

void AbandonFiles(TCompressorState& state) noexcept {
  if (state.Input)
    state.Input->Abandon();
  if (state.Output)
    state.Output->Abandon();
  state.Input.reset();
  state.Output.reset();
}

}  // namespace huff
