// A pack run: its state, the files it opens and closes, and the whole compression, either as
// the packer runs it or through the straightforward passes that define the container.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"
#include "container/container.h"
#include "file/file.h"
#include "file/source.h"
#include "huffman/huffman.h"
#include "pack/passes.h"

namespace huff {

struct TCompressorState {
  TContainerHeader Header;
  TSource Input;  // the image: memory, or InputFile
  TSink Output;   // the container: memory of its size, or OutputFile
  std::unique_ptr<TFile> InputFile;
  std::unique_ptr<TFile> OutputFile;
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
// Writes the header, with these two fields, at the start of the output.
void WriteHeader(TCompressorState& state, std::uint32_t payloadSize, std::uint32_t checksum);
// Closes the input, then the output, and releases both: the container is complete.
void CloseFiles(TCompressorState& state);
// After a failure: releases both files without raising, and removes the incomplete output
// where that is safe (see TFile::Abandon).
void AbandonFiles(TCompressorState& state) noexcept;

// An input larger than the coder can count, which holds `holds` bytes.
EInputTooLarge InputTooLarge(const std::string& path, const std::string& holds);

// The whole compression as the packer runs it, in the two steps of passes.h: the first
// gives the container's size, so that memory for it can be made before the second.
std::uint64_t PrepareContainer(TCompressorState& state);
void Compress(TCompressorState& state);

// The straightforward passes, one byte and one bit at a time, on one thread: they define the
// container, and the fast passes are held against them. They read an image in memory.

// First pass: counts every byte of the input, then gives the end marker the weight 1.
void CountSymbols(TCompressorState& state);
// Second pass: the whole container, through WriteBit.
std::vector<std::uint8_t> EncodeData(TCompressorState& state);
// The same container as Compress, through these passes.
std::vector<std::uint8_t> CompressBitByBit(TCompressorState& state);

}  // namespace huff
