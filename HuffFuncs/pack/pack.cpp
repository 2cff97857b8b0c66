// A pack run's steps around the passes, and the straightforward passes.
#include "pack/pack.h"

#include <cassert>

#include "pack/bit_writer.h"

namespace huff {

void OpenInput(TCompressorState& state, const std::string& path) {
  if (!NamesNonDirectory(path))
    throw EError("Invalid Filename");
  state.InputFile = TFile::OpenForReading(path);
  state.Input = {.File = state.InputFile.get(), .Name = path};
  if (const std::uint64_t size = state.InputFile->Size(); size > MaxInputSize)
    throw InputTooLarge(path, std::to_string(size));
}

std::vector<std::uint8_t> CompressBitByBit(TCompressorState& state) {
  const TCodeTable& codes = state.Codes = BuildCodes(CountSymbols(state.Input.Memory));
  CheckCodeLengths(codes, state.Input.Name);
  std::vector<std::uint8_t> container(HeaderSize);
  TBitWriter writer(container);
  WriteCodeTable(codes, writer);
  for (const std::uint8_t byte : state.Input.Memory)
    WriteCode(writer, codes[byte]);
  WriteCode(writer, codes[EndMarker]);
  writer.FlushBits();
  // At most about 9 bits a byte: the payload of MaxInputSize bytes stays far below 2^32 bytes.
  assert(container.size() - HeaderSize <= 0xFFFFFFFFu);
  state.Header.PayloadSize = static_cast<std::uint32_t>(container.size() - HeaderSize);
  state.Header.Checksum = SumBytes(std::span(container).subspan(HeaderSize));
  const auto header = EncodeHeader(state.Header);
  std::copy(header.begin(), header.end(), container.begin());
  return container;
}

}  // namespace huff
