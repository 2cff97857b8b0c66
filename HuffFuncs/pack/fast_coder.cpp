#include "pack/fast_coder.h"

#include <algorithm>

#include "base/bytes.h"

namespace huff {

namespace {

// The codes of PerStore bytes joined into one, apart from the accumulator, so that groups
// overlap in the processor and only one addition per group waits for the one before.
template <int PerStore, bool WatchAbsent>
inline TCodeEntry JoinCodes(const TCodeEntry* codes, const std::uint8_t* in, bool& absent) {
  std::uint64_t group = 0;
  unsigned length = 0;
  // Unrolled, the loop's bookkeeping does not cost as much as the codes.
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

struct TCodedRun {
  std::size_t Taken;  // input bytes
  TBitAccumulator Acc;
  std::uint8_t* Out;
};

// Codes a run: the words equal to word from in on, all eight bytes of which have the code
// whose eight copies are eight. Out of line, and taking its state by value, it leaves the
// registers of the loops around it alone.
[[gnu::noinline]] TCodedRun CodeRunWords(std::uint64_t word, TCodeEntry eight,
                                         const std::uint8_t* in, const std::uint8_t* end,
                                         TBitAccumulator acc, std::uint8_t* out) {
  const auto codeEights = [&](std::size_t words) {
    for (std::size_t k = 0; k < words; ++k) {
      AddBits(acc, eight.Bits, eight.Length);
      out = StoreWholeBytes<false>(acc, out);
    }
  };
  const auto taken = static_cast<std::size_t>(RunEnd(in + 8, end, word) - in);
  std::size_t words = taken / 8;
  // Eight codes of L bits make L whole bytes and leave as many bits pending as they found.
  // Once the pending bits are the run's own, after its first eight codes, every further word
  // gives the same L bytes. A block of 64 bytes, 8L bytes coded, is copied in 8-byte moves:
  // the first block is coded, the rest are copies of it.
  if (words >= 1 + 8 + 8) {
    codeEights(1 + 8);
    const std::size_t blockBytes = eight.Length;  // 8L: the bits of eight codes
    const std::uint8_t* const block = out - blockBytes;
    const std::size_t copies = (words - 1 - 8) / 8;
    for (std::size_t i = 0; i < copies; ++i) {
      for (std::size_t k = 0; k < blockBytes; k += 8)
        std::memcpy(out + k, block + k, 8);
      out += blockBytes;
    }
    words -= 1 + 8 + 8 * copies;
  }
  codeEights(words);
  return {taken, acc, out};
}

// A run of one value (erased flash) whose eight codes fit one store, from in on: codes its
// whole words and returns how many bytes it took, 0 when in does not begin eight equal bytes
// with such codes.
inline std::size_t TryCodeRun(const TFastCodeTable& table, const std::uint8_t* in,
                              const std::uint8_t* end, TBitAccumulator& acc, std::uint8_t*& out) {
  const std::uint64_t word = LoadWord(in);
  if (!IsRunWord(word))
    return 0;
  const TCodeEntry eight = table.EightCodes[word & 0xFF];
  if (eight.Length == 0)
    return 0;
  const TCodedRun run = CodeRunWords(word, eight, in, end, acc, out);
  acc = run.Acc;
  out = run.Out;
  return run.Taken;
}

// PerStore codes always fit the accumulator: 7 pending bits + PerStore * MaxLength <= 64.
// Only when some byte value has no code does the loop look for one: an input that changed
// after it was counted.
template <int PerStore, bool WatchAbsent>
std::uint8_t* EncodeGroups(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                           std::uint8_t* out, TBitAccumulator& state, bool& missing) {
  // The state lives in locals: the compiler cannot tell that stores through out leave it alone.
  TBitAccumulator acc = state;
  bool absent = false;
  const TCodeEntry* codes = table.Codes.data();
  const std::uint8_t* in = input.data();
  const std::uint8_t* end = in + input.size();
  if constexpr (PerStore >= 2) {
    // Two groups at a time, and runs of one value (erased flash) as a whole when eight of
    // their codes fit one store: a longest code of 15 bits, common in firmware, takes this
    // loop too.
    while (end - in >= 8) {
      if (const std::size_t run = TryCodeRun(table, in, end, acc, out)) {
        in += run;
        continue;
      }
      const TCodeEntry first = JoinCodes<PerStore, WatchAbsent>(codes, in, absent);
      AddBits(acc, first.Bits, first.Length);
      out = StoreWholeBytes<PerStore == 3>(acc, out);
      const TCodeEntry second = JoinCodes<PerStore, WatchAbsent>(codes, in + PerStore, absent);
      AddBits(acc, second.Bits, second.Length);
      out = StoreWholeBytes<PerStore == 3>(acc, out);
      in += 2 * PerStore;
    }
  }
  for (; end - in >= PerStore; in += PerStore) {
    const TCodeEntry group = JoinCodes<PerStore, WatchAbsent>(codes, in, absent);
    AddBits(acc, group.Bits, group.Length);
    // Only three codes of up to 19 bits can fill all 64 bits.
    out = StoreWholeBytes<PerStore == 3>(acc, out);
  }
  for (; in != end; ++in) {
    const TCodeEntry code = codes[*in];
    if constexpr (WatchAbsent)
      absent |= code.Length == 0;
    AddBits(acc, code.Bits, code.Length);
    out = StoreWholeBytes<false>(acc, out);
  }
  state = acc;
  missing |= absent;
  return out;
}

// The pending bits right-aligned, as the pair loop keeps them: appending codes is a shift and
// an OR, and the bits above Count, stored already, fall away by themselves.
struct TRightAligned {
  std::uint64_t Bits = 0;
  unsigned Count = 0;
};

inline TRightAligned RightAligned(const TBitAccumulator& acc) {
  return {acc.Count == 0 ? 0 : acc.Bits >> (64 - acc.Count), acc.Count};
}

inline TBitAccumulator LeftAligned(const TRightAligned& bits) {
  return {bits.Count == 0 ? 0 : bits.Bits << (64 - bits.Count), bits.Count};
}

// Codes of up to MaxPairLength bits: two bytes per look-up, so that a store of eight bytes
// waits on two joins instead of eight. Produces what EncodeGroups<4> does.
template <bool WatchAbsent>
std::uint8_t* EncodePairs(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                          std::uint8_t* out, TBitAccumulator& state, bool& missing) {
  TRightAligned bits = RightAligned(state);
  bool absent = false;
  const std::uint32_t* pairs = table.Pairs.data();
  const std::uint8_t* in = input.data();
  const std::uint8_t* end = in + input.size();
  const auto pairAt = [&](const std::uint8_t* at) {
    const std::uint32_t entry = pairs[at[0] | at[1] << 8];
    if constexpr (WatchAbsent)
      absent |= entry == 0;
    return entry;
  };
  // Two pairs make one store: at most 4 * 13 bits after the 7 pending.
  const auto addTwo = [&](std::uint32_t first, std::uint32_t second) {
    const unsigned secondLength = second & 31;
    const unsigned length = (first & 31) + secondLength;
    bits.Bits = bits.Bits << length | (std::uint64_t{first >> 5} << secondLength | second >> 5);
    bits.Count += length;
    // Count is 0 only when both pairs have no code and nothing was pending: the input changed
    // after it was counted and is refused, but the shift must stay defined.
    std::uint64_t whole = bits.Bits << ((64 - bits.Count) & 63);
    if constexpr (std::endian::native == std::endian::little)
      whole = __builtin_bswap64(whole);
    std::memcpy(out, &whole, 8);
    out += bits.Count / 8;
    bits.Count %= 8;
  };
  while (end - in >= 8) {
    if (IsRunWord(LoadWord(in))) {  // only then does the accumulator change its form
      TBitAccumulator acc = LeftAligned(bits);
      const std::size_t run = TryCodeRun(table, in, end, acc, out);
      bits = RightAligned(acc);
      if (run != 0) {
        in += run;
        continue;
      }
    }
    const std::uint32_t a = pairAt(in), b = pairAt(in + 2), c = pairAt(in + 4), d = pairAt(in + 6);
    addTwo(a, b);
    addTwo(c, d);
    in += 8;
  }
  state = LeftAligned(bits);
  missing |= absent;
  // The last few bytes, one code at a time.
  return EncodeGroups<1, WatchAbsent>(table, std::span(in, end), out, state, missing);
}

template <bool WatchAbsent>
std::uint8_t* EncodeWatching(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                             std::uint8_t* out, TBitAccumulator& acc, bool& missing) {
  if (!table.Pairs.empty())
    return EncodePairs<WatchAbsent>(table, input, out, acc, missing);
  if (table.MaxLength <= 14)
    return EncodeGroups<4, WatchAbsent>(table, input, out, acc, missing);
  if (table.MaxLength <= 19)
    return EncodeGroups<3, WatchAbsent>(table, input, out, acc, missing);
  if (table.MaxLength <= 28)
    return EncodeGroups<2, WatchAbsent>(table, input, out, acc, missing);
  return EncodeGroups<1, WatchAbsent>(table, input, out, acc, missing);
}

}  // namespace

TFastCodeTable FastCodes(const TCodeTable& codes, bool pairs) {
  TFastCodeTable table;
  table.Codes = codes;
  table.MaxLength = 1;
  table.SomeAbsent = false;
  for (int value = 0; value < 256; ++value) {
    const TCodeEntry code = table.Codes[value];
    table.MaxLength = std::max(table.MaxLength, static_cast<int>(code.Length));
    table.SomeAbsent |= code.Length == 0;
    TCodeEntry& eight = table.EightCodes[value];
    if (code.Length == 0 || code.Length > 7)
      continue;
    for (int k = 0; k < 8; ++k)
      eight.Bits = (eight.Bits << code.Length) | code.Bits;
    eight.Length = 8 * code.Length;
  }
  // The end marker's code is written on its own, but its length still sizes the output.
  table.MaxLength = std::max(table.MaxLength, static_cast<int>(table.Codes[256].Length));

  if (!pairs || table.MaxLength > MaxPairLength)
    return table;
  table.Pairs.resize(256 * 256);
  for (int second = 0; second < 256; ++second) {
    const TCodeEntry b = table.Codes[second];
    for (int first = 0; first < 256; ++first) {
      const TCodeEntry a = table.Codes[first];
      if (a.Length != 0 && b.Length != 0)
        table.Pairs[static_cast<std::size_t>(second << 8 | first)] =
            static_cast<std::uint32_t>((a.Bits << b.Length | b.Bits) << 5) | (a.Length + b.Length);
    }
  }
  return table;
}

std::uint8_t* EncodeBytes(const TFastCodeTable& table, std::span<const std::uint8_t> input,
                          std::uint8_t* out, TBitAccumulator& acc, bool& missing) {
  return table.SomeAbsent ? EncodeWatching<true>(table, input, out, acc, missing)
                          : EncodeWatching<false>(table, input, out, acc, missing);
}

}  // namespace huff
