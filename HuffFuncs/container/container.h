// The container's header and the run-wide state that holds it, the two files and the
// coder's tables.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/stream.h"
#include "container/bit_writer.h"
#include "huffman/huffman.h"
#include "pack/passes.h"

namespace huff {

inline constexpr int HeaderSize = 40;
inline constexpr int NameFieldSize = 16;

struct TContainerHeader {
  std::array<std::uint8_t, NameFieldSize> NameID{};        // at most 15 bytes, zero-filled
  std::array<std::uint8_t, NameFieldSize> Manufacturer{};  // at most 15 bytes, zero-filled
  std::uint32_t PayloadSize = 0;                           // bytes after the header
  std::uint32_t Checksum = 0;                              // sum of the payload bytes, modulo 2^32
};

// The 40 bytes as they stand in the file; integers little-endian.
std::array<std::uint8_t, HeaderSize> EncodeHeader(const TContainerHeader& header);

struct TCompressorState {
  TContainerHeader Header;
  std::unique_ptr<TStream> Input;
  std::unique_ptr<TStream> Output;
  std::array<std::uint8_t, ChunkSize> InputBuffer{};

  TNodePool NodePool;
  std::int32_t Root = NoNode;
  TCodeTable CodeTable;
  std::uint64_t InputLength = 0;  // bytes counted by the first pass

  TParallelism Parallelism;
  std::vector<TSegment> Segments;
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

}  // namespace huff
