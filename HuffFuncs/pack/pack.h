// A pack run: its state, the files it opens and closes, and the whole compression, either as
// the packer runs it or through the straightforward passes that define the container.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "base/stream.h"
#include "container/container.h"
#include "huffman/huffman.h"
#include "pack/passes.h"

namespace huff {

struct TCompressorState {
  TContainerHeader Header;
  std::unique_ptr<TStream> Input;
  std::unique_ptr<TStream> Output;
  TCoder Coder;
  TPassPlan Plan;
};

// Clears the header and copies at most 15 bytes of each name into it.
void ResetState(TCompressorState& state, std::string_view nameId, std::string_view manufacturer);
// Raises EError "Invalid Filename" for a missing path or a directory, EFOpenError when the
// file cannot be opened or is not a regular file, and EInputTooLarge before anything is
// written when the input is larger than the coder can count.
void OpenInput(TCompressorState& state, const std::string& path);
// Creates or truncates the output; raises EFCreateError, before truncating anything, when
// it cannot or when path names the input.
void CreateOutput(TCompressorState& state, const std::string& path);
// Writes the header, with these two fields, at the output's current position.
void WriteHeader(TCompressorState& state, std::uint32_t payloadSize, std::uint32_t checksum);
// Closes the input, then the output, and releases both: the container is complete.
void CloseFiles(TCompressorState& state);
// After a failure: releases both files without raising, and removes the incomplete output
// where that is safe (see TFile::Abandon).
void AbandonFiles(TCompressorState& state) noexcept;

// The failures of the passes over the input, worded once for both ways of running them.
EInputTooLarge InputTooLarge(const std::string& path, const std::string& holds);
EInputChanged InputGrew(const std::string& path, std::uint64_t counted);
EInputChanged InputShrank(const std::string& path, std::uint64_t counted, std::uint64_t read);
EInputChanged ByteNotCounted(const std::string& path, std::uint8_t value, std::uint64_t offset);

// The whole compression as the packer runs it: the passes of passes.h.
void Compress(TCompressorState& state);

// The straightforward passes, one byte and one bit at a time, on one thread: they define the
// container, and the fast passes are held against them.

// First pass: counts every byte of the input from its current position to its end, then
// gives the end marker the weight 1. Raises EInputTooLarge past MaxInputSize bytes.
void CountSymbols(TCompressorState& state);
// Second pass: writes the whole container to the output, through WriteBit.
void EncodeData(TCompressorState& state);
// The same container as Compress, through these passes.
void CompressBitByBit(TCompressorState& state);

}  // namespace huff
