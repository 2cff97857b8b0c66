#include "pack/fast_coder.h"

#include <algorithm>

#include "base/bytes.h"

namespace huff {
namespace {

struct TCodedRun {
  std::size_t Taken;  // input bytes
  TBitAccumulator Acc;
  std::uint8_t* Out;
};

// Codes the words equal to word from in on. Out of line, by value: the loop keeps its registers.
[[gnu::noinline]] TCodedRun CodeRunWords(std::uint64_t word, TCodeEntry wordCode,
                                         const std::uint8_t* in, const std::uint8_t* end,
                                         TBitAccumulator acc, std::uint8_t* out) {
  const auto codeWords = [&](std::size_t words) {
    for (std::size_t k = 0; k < words; ++k) {
      AddBits(acc, wordCode.Bits, wordCode.Length);
      out = StoreWholeBytes(acc, out);
    }
  };
  const auto taken = static_cast<std::size_t>(RunEnd(in + 8, end, word) - in);
  std::size_t words = taken / 8;
  // A word's code of 8L bits makes L whole bytes and leaves the pending bits as it found
  // them: after the first word, every word gives the same L bytes. So eight words are coded,
  // and their 8L bytes copied for every further eight.
  if (words >= 1 + 8 + 8) {
    codeWords(1 + 8);
    const std::size_t blockBytes = wordCode.Length;  // 8L
    const std::uint8_t* const block = out - blockBytes;
    const std::size_t copies = (words - 1 - 8) / 8;
    for (std::size_t i = 0; i < copies; ++i) {
      for (std::size_t k = 0; k < blockBytes; k += 8)
        std::memcpy(out + k, block + k, 8);
      out += blockBytes;
    }
    words -= 1 + 8 + 8 * copies;
  }
  codeWords(words);
  return {taken, acc, out};
}

// One store's codes (PerStore, with pairs four), joined apart from the accumulator: groups overlap.
template <int PerStore, bool Pairs, bool WatchAbsent>
inline TCodeEntry JoinCodes(const TCodeEntry* codes, const std::uint32_t* pairs,
                            const std::uint8_t* in, bool& absent) {
  if constexpr (Pairs) {
    const std::uint32_t a = pairs[in[0] | in[1] << 8], b = pairs[in[2] | in[3] << 8];
    if constexpr (WatchAbsent)
      absent |= (a == 0) | (b == 0);
    return {std::uint64_t{a >> 6} << (b & 63) | b >> 6, (a + b) & 63};
  }
  std::uint64_t group = 0;
  unsigned length = 0;
#pragma GCC unroll 4
  for (int k = 0; k < PerStore; ++k) {
    const TCodeEntry code = codes[in[k]];
    if constexpr (WatchAbsent)
      absent |= code.Length == 0;
    group = (group << code.Length) | code.Bits;
    length += code.Length;
  }
  return {group, length};
}

// 7 pending bits + PerStore * MaxLength <= 64. A byte with no code (a changed input) adds
// nothing, and is watched for only when some byte value has none.
template <int PerStore, bool Pairs, bool WatchAbsent>
std::uint8_t* EncodeGroups(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                           std::uint8_t* out, TBitAccumulator& state, bool& missing) {
  // In locals: the compiler cannot tell that stores through out leave the state alone.
  TBitAccumulator acc = state;
  bool absent = false;
  const TCodeEntry* codes = table.Codes.data();
  const std::uint32_t* pairs = table.Pairs.data();
  const std::uint8_t* in = input.data();
  const std::uint8_t* end = in + input.size();
  const auto add = [&](TCodeEntry group) {
    AddBits(acc, group.Bits, group.Length);
    out = StoreWholeBytes(acc, out);
  };
  if constexpr (PerStore >= 2) {
    // Four groups a step, a run of one value (erased flash) as a whole when it can: a check of
    // every two groups cost EncodeFast/ShortCodes 12 % and Noise 18 % more time.
    constexpr int Step = 4 * PerStore;
    while (end - in >= Step) {  // at least the 8 bytes of a word
      PrefetchAhead<Step>(in);
      const std::uint64_t word = LoadWord(in);
      if (IsRunWord(word) && table.WordCodes[word & 0xFF].Length != 0) {
        const TCodedRun run = CodeRunWords(word, table.WordCodes[word & 0xFF], in, end, acc, out);
        in += run.Taken;
        acc = run.Acc;
        out = run.Out;
        continue;
      }
      for (const std::uint8_t* const stepEnd = in + Step; in != stepEnd; in += PerStore)
        add(JoinCodes<PerStore, Pairs, WatchAbsent>(codes, pairs, in, absent));
    }
  }
  for (; in != end; ++in)
    add(JoinCodes<1, false, WatchAbsent>(codes, pairs, in, absent));
  state = acc;
  missing |= absent;
  return out;
}

template <bool WatchAbsent>
std::uint8_t* EncodeWatching(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                             std::uint8_t* out, TBitAccumulator& acc, bool& missing) {
  if (!table.Pairs.empty())
    return EncodeGroups<4, true, WatchAbsent>(table, input, out, acc, missing);
  if (table.MaxLength <= 14)
    return EncodeGroups<4, false, WatchAbsent>(table, input, out, acc, missing);
  if (table.MaxLength <= 19)
    return EncodeGroups<3, false, WatchAbsent>(table, input, out, acc, missing);
  if (table.MaxLength <= 28)
    return EncodeGroups<2, false, WatchAbsent>(table, input, out, acc, missing);
  return EncodeGroups<1, false, WatchAbsent>(table, input, out, acc, missing);
}

}  // namespace

TFastCodeTable FastCodes(const TCodeTable& codes, bool pairs) {
  TFastCodeTable table;
  table.Codes = codes;
  for (int symbol = 0; symbol < SymbolCount; ++symbol) {
    // The end marker is coded on its own, but its length sizes the output too.
    const TCodeEntry code = codes[symbol];
    table.MaxLength = std::max(table.MaxLength, static_cast<int>(code.Length));
    table.SomeAbsent |= code.Length == 0;
    if (symbol == EndMarker || code.Length == 0 || code.Length > 7)
      continue;
    for (int k = 0; k < 8; ++k)
      table.WordCodes[symbol].Bits = (table.WordCodes[symbol].Bits << code.Length) | code.Bits;
    table.WordCodes[symbol].Length = 8 * code.Length;
  }
  if (!pairs || table.MaxLength > MaxPairLength)
    return table;
  // A row of the second byte's at a time, from the first's bits, length and mask (0 without a
  // code) in 32-bit lanes: the compiler vectorises it (PairTable).
  std::array<std::uint32_t, 256> bits, lengths, masks;
  for (int value = 0; value < 256; ++value) {
    bits[value] = static_cast<std::uint32_t>(codes[value].Bits);
    lengths[value] = codes[value].Length;
    masks[value] = lengths[value] == 0 ? 0 : ~0u;
  }
  table.Pairs.resize(256 * 256);
  for (int second = 0; second < 256; ++second) {
    const unsigned shift = lengths[second] + 6, tail = bits[second] << 6 | lengths[second];
    std::uint32_t* const row = table.Pairs.data() + 256 * second;
    for (int first = 0; first < 256; ++first)
      row[first] = ((bits[first] << shift | tail) + lengths[first]) & masks[first] & masks[second];
  }
  return table;
}

std::uint8_t* EncodeBytes(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                          std::uint8_t* out, TBitAccumulator& acc, bool& missing) {
  return WithBmi2([&] {
    return table.SomeAbsent ? EncodeWatching<true>(table, input, out, acc, missing)
                            : EncodeWatching<false>(table, input, out, acc, missing);
  });
}

}  // namespace huff
