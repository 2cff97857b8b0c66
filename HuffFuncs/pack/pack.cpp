#include "pack/pack.h"

#include <cassert>
#include <vector>

#include "container/bit_writer.h"
#include "file/file.h"

namespace huff {

void ResetState(TCompressorState& state, std::string_view nameId, std::string_view manufacturer) {
  state.Header = NamedHeader(nameId, manufacturer);
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
  state.Output->Write(EncodeHeader(state.Header));
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

EInputTooLarge InputTooLarge(const std::string& path, const std::string& holds) {
  return EInputTooLarge("File " + path + " is too large: it holds " + holds +
                        " bytes, and at most " + std::to_string(MaxInputSize) + " can be packed");
}

EInputChanged InputGrew(const std::string& path, std::uint64_t counted) {
  return EInputChanged("File " + path + " grew while it was being packed: " +
                       std::to_string(counted) + " bytes were counted");
}

EInputChanged InputShrank(const std::string& path, std::uint64_t counted, std::uint64_t read) {
  return EInputChanged("File " + path +
                       " shrank while it was being packed: " + std::to_string(counted) +
                       " bytes were counted, " + std::to_string(read) + " read");
}

EInputChanged ByteNotCounted(const std::string& path, std::uint8_t value, std::uint64_t offset) {
  return EInputChanged("File " + path + " changed while it was being packed: byte value " +
                       HexByte(value) + " at offset " + std::to_string(offset) +
                       " was not there when it was counted");
}

void Compress(TCompressorState& state) {
  InitNodes(state.Coder);
  CountSegments(state);
  BuildTree(state.Coder);
  AssignCodes(state.Coder);
  CheckCodeLengths(state.Coder.CodeTable, state.Input->Name());
  EncodeSegments(state);
}

void CountSymbols(TCompressorState& state) {
  std::vector<std::uint8_t> buffer(ChunkSize);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t count = state.Input->Read(buffer);
    if (count == 0)
      break;
    total += count;
    // The input may have grown since it was opened.
    if (total > MaxInputSize)
      throw InputTooLarge(state.Input->Name(), "more than " + std::to_string(MaxInputSize));
    for (std::size_t i = 0; i < count; ++i)
      ++state.Coder.NodePool[buffer[i]].Weight;
  }
  state.Plan.InputLength = total;
  state.Coder.NodePool[EndMarker].Weight = 1;  // assigned: the end marker occurs exactly once
}

void EncodeData(TCompressorState& state) {
  TStream& input = *state.Input;
  TStream& output = *state.Output;
  const TCodeTable& codes = state.Coder.CodeTable;
  const std::uint64_t length = state.Plan.InputLength;
  output.Rewind();
  input.Rewind();
  TBitWriter writer(output);
  WriteHeader(state, 0, 0);  // a placeholder until size and checksum are known
  WriteCodeTable(codes, writer);

  std::vector<std::uint8_t> buffer(ChunkSize);
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t count = input.Read(buffer);
    if (count == 0)
      break;
    if (count > length - total)
      throw InputGrew(input.Name(), length);
    for (std::size_t i = 0; i < count; ++i) {
      const TCodeEntry& entry = codes[buffer[i]];
      if (!entry.Present())
        throw ByteNotCounted(input.Name(), buffer[i], total + i);
      WriteCode(writer, entry);
    }
    total += count;
  }
  if (total != length)
    throw InputShrank(input.Name(), length, total);
  WriteCode(writer, codes[EndMarker]);
  writer.FlushBits();

  // The payload of an input within MaxInputSize stays far below 2^32 bytes: Huffman codes
  // average at most about 9 bits per byte.
  assert(writer.GetBytesWritten() <= 0xFFFFFFFFu);
  output.Rewind();
  WriteHeader(state, static_cast<std::uint32_t>(writer.GetBytesWritten()), writer.GetChecksum());
}

void CompressBitByBit(TCompressorState& state) {
  InitNodes(state.Coder);
  CountSymbols(state);
  BuildTree(state.Coder);
  AssignCodes(state.Coder);
  CheckCodeLengths(state.Coder.CodeTable, state.Input->Name());
  EncodeData(state);
}

}  // namespace huff
