#include "huffman/huffman.h"

#include <cassert>
#include <span>
#include <string>

#include "base/errors.h"
#include "container/bit_writer.h"
#include "container/container.h"
#include "pack/passes.h"

namespace huff {
namespace {

// The free node with the smallest weight; among equal weights the lowest slot, so byte
// values come before the end marker, leaves before internal nodes and older internal
// nodes before newer ones. Leaves of weight 0 (absent byte values) never qualify.
std::int32_t SelectLightest(const TNodePool& pool, std::int32_t last) {
  std::int32_t best = NoNode;
  std::int32_t bestWeight = 0x7FFFFFFF;
  for (std::int32_t slot = 0; slot <= last; ++slot) {
    const TTreeNode& node = pool[slot];
    if (!node.Used && node.Weight > 0 && node.Weight < bestWeight) {
      best = slot;
      bestWeight = node.Weight;
    }
  }
  return best;
}

bool ListsSymbol(const TTreeNode& node, std::uint16_t symbol) {
  for (std::int32_t i = 0; i < node.SymbolCount; ++i)
    if (node.Symbols[i] == symbol)
      return true;
  return false;
}

void WriteCode(TBitWriter& writer, const TCodeEntry& entry) {
  for (std::int32_t i = 0; i < entry.Length; ++i)
    writer.WriteBit(entry.Bits[i]);
}

}  // namespace

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

void InitNodes(TCompressorState& state) {
  state.NodePool.fill(TTreeNode{});
  for (int slot = 0; slot < SymbolCount; ++slot) {
    state.NodePool[slot].Symbols[0] = static_cast<std::uint16_t>(slot);
    state.NodePool[slot].SymbolCount = 1;
  }
  state.CodeTable.fill(TCodeEntry{});
  state.Root = NoNode;
  state.InputLength = 0;
}

void CountSymbols(TCompressorState& state) {
  std::uint64_t total = 0;
  for (;;) {
    const std::size_t count = state.Input->Read(state.InputBuffer);
    if (count == 0)
      break;
    total += count;
    // The input may have grown since it was opened.
    if (total > MaxInputSize)
      throw InputTooLarge(state.Input->Name(), "more than " + std::to_string(MaxInputSize));
    for (std::size_t i = 0; i < count; ++i)
      ++state.NodePool[state.InputBuffer[i]].Weight;
  }
  state.InputLength = total;
  state.NodePool[EndMarker].Weight = 1;  // assigned: the end marker occurs exactly once
}

void BuildTree(TCompressorState& state) {
  TNodePool& pool = state.NodePool;
  std::int32_t last = EndMarker;
  for (;;) {
    const std::int32_t a = SelectLightest(pool, last);
    if (a == NoNode)
      break;
    pool[a].Used = true;
    // When a is the finished tree's top node, nothing else is free and the loop ends.
    const std::int32_t b = SelectLightest(pool, last);
    if (b == NoNode)
      break;
    pool[b].Used = true;

    ++last;
    assert(last < NodePoolSize - 1);
    TTreeNode& node = pool[last];
    node = TTreeNode{};
    node.Weight = pool[a].Weight + pool[b].Weight;
    std::copy_n(pool[a].Symbols.begin(), pool[a].SymbolCount, node.Symbols.begin());
    std::copy_n(pool[b].Symbols.begin(), pool[b].SymbolCount,
                node.Symbols.begin() + pool[a].SymbolCount);
    node.SymbolCount = pool[a].SymbolCount + pool[b].SymbolCount;
    node.Child0 = b;  // the heavier (or equal) node takes bit 0
    node.Child1 = a;
  }
  // With no merge at all (an empty input) the root is the end marker's leaf.
  state.Root = last;
}

void AssignCodes(TCompressorState& state) {
  for (int symbol = 0; symbol < SymbolCount; ++symbol) {
    TCodeEntry& entry = state.CodeTable[symbol];
    const auto wanted = static_cast<std::uint16_t>(symbol);
    std::int32_t current = state.Root;
    // A root that is a leaf gives no symbol a code, the end marker included.
    while (state.NodePool[current].Child0 != NoNode) {
      const TTreeNode& node = state.NodePool[current];
      std::uint8_t bit;
      if (ListsSymbol(state.NodePool[node.Child0], wanted)) {
        bit = 0;
        current = node.Child0;
      } else if (ListsSymbol(state.NodePool[node.Child1], wanted)) {
        bit = 1;
        current = node.Child1;
      } else {
        break;  // the symbol's leaf did not take part in the tree
      }
      entry.Present = true;
      entry.Bits[entry.Length++] = bit;
      entry.Symbol = symbol;
    }
  }
}

void CheckCodeLengths(const TCompressorState& state) {
  for (int symbol = 0; symbol < SymbolCount; ++symbol) {
    const TCodeEntry& entry = state.CodeTable[symbol];
    if (entry.Length > MaxStoredCodeLength)
      throw ECodeTooLong(
          "File " + state.Input->Name() + " needs a code of " + std::to_string(entry.Length) +
          " bits for " +
          (symbol == EndMarker ? std::string("the end marker") : "byte value " + HexByte(symbol)) +
          ", longer than the " + std::to_string(MaxStoredCodeLength) +
          " bits a container can state");
  }
}

void WriteCodeTable(const TCompressorState& state, TBitWriter& writer) {
  writer.WriteBit(1);
  // The presence map: one bit per byte value; the end marker has none.
  for (int value = 0; value < 256; ++value)
    writer.WriteBit(state.CodeTable[value].Present);
  for (const TCodeEntry& entry : state.CodeTable) {
    if (!entry.Present)
      continue;
    writer.WriteBit(0);
    const std::int32_t lengthField = entry.Length - 1;
    for (int k = 4; k >= 0; --k)
      writer.WriteBit(static_cast<std::uint8_t>(lengthField >> k));
    WriteCode(writer, entry);
  }
}

void EncodeData(TCompressorState& state) {
  TStream& input = *state.Input;
  TStream& output = *state.Output;
  output.Rewind();
  input.Rewind();
  TBitWriter writer(output);
  WriteHeader(state, 0, 0);  // a placeholder until size and checksum are known
  WriteCodeTable(state, writer);

  std::uint64_t total = 0;
  for (;;) {
    const std::size_t count = input.Read(state.InputBuffer);
    if (count == 0)
      break;
    if (count > state.InputLength - total)
      throw InputGrew(input.Name(), state.InputLength);
    for (std::size_t i = 0; i < count; ++i) {
      const TCodeEntry& entry = state.CodeTable[state.InputBuffer[i]];
      if (!entry.Present)
        throw ByteNotCounted(input.Name(), state.InputBuffer[i], total + i);
      WriteCode(writer, entry);
    }
    total += count;
  }
  if (total != state.InputLength)
    throw InputShrank(input.Name(), state.InputLength, total);
  WriteCode(writer, state.CodeTable[EndMarker]);
  writer.FlushBits();

  // The payload of an input within MaxInputSize stays far below 2^32 bytes: Huffman codes
  // average at most about 9 bits per byte.
  assert(writer.GetBytesWritten() <= 0xFFFFFFFFu);
  output.Rewind();
  WriteHeader(state, static_cast<std::uint32_t>(writer.GetBytesWritten()), writer.GetChecksum());
}

void Compress(TCompressorState& state) {
  InitNodes(state);
  CountSegments(state);
  BuildTree(state);
  AssignCodes(state);
  CheckCodeLengths(state);
  EncodeSegments(state);
}

void CompressBitByBit(TCompressorState& state) {
  InitNodes(state);
  CountSymbols(state);
  BuildTree(state);
  AssignCodes(state);
  CheckCodeLengths(state);
  EncodeData(state);
}

}  // namespace huff
