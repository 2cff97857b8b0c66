// Both directions': the block size, the checksum, and erased flash's runs of one byte value.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <span>

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace huff {

inline constexpr int ChunkSize = 32768;

// Runs body, a hot loop, built again for BMI2 where the processor has it and SARNVELD_NO_BMI2 is
// not set: its shifts by a count in a register take one step, not three (micro_bench Decode/*).
template <typename TBody>
auto WithBmi2(const TBody& body) {
#if defined(__x86_64__) && defined(__GNUC__)
  struct TBmi2 {  // every call inside is inlined, and so built for BMI2
    [[gnu::target("bmi2"), gnu::flatten]] static auto Run(const TBody& body) { return body(); }
  };
  // One cpuid, leaf 7 (EBX bit 8), where __builtin_cpu_supports brings in a start-up probe of
  // every feature: 80 us a process on a virtual machine (bench/compare, small images).
  static const bool has = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx >> 8 & 1) != 0 &&
           !std::getenv("SARNVELD_NO_BMI2");
  }();
  if (has)
    return TBmi2::Run(body);
#endif
  return body();
}

// The container's checksum, modulo 2^32. On x86-64 psadbw adds 16 bytes a step, 1.7 times the
// compiler's own loop (micro_bench Sum).
inline std::uint32_t SumBytes(std::span<const std::uint8_t> bytes) {
  std::size_t at = 0;
  std::uint32_t sum = 0;
#if defined(__x86_64__) || defined(_M_X64)
  __m128i lanes = _mm_setzero_si128();
  for (; bytes.size() - at >= 16; at += 16)
    lanes = _mm_add_epi64(
        lanes, _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data() + at)),
                            _mm_setzero_si128()));
  sum = static_cast<std::uint32_t>(
      _mm_cvtsi128_si64(_mm_add_epi64(lanes, _mm_unpackhi_epi64(lanes, lanes))));
#endif
  return std::accumulate(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end(), sum);
}

// Asks for the bytes 2 KiB ahead, once a cache line as `at` moves by Step: past the cache, the
// processor's own look-ahead leaves the byte loops waiting (micro_bench Count, InProcess/pack).
template <unsigned Step>
inline void PrefetchAhead(const std::uint8_t* at) {
  const auto address = reinterpret_cast<std::uintptr_t>(at);  // past the end: no pointer there
  if ((address & 63) < Step)
    __builtin_prefetch(reinterpret_cast<const void*>(address + 2048));
}

inline std::uint64_t LoadWord(const std::uint8_t* at) {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

// Eight copies of one byte value, in any byte order.
inline bool IsRunWord(std::uint64_t word) {
  return word == (word & 0xFF) * 0x0101010101010101ull;
}

// The end of the whole words equal to word from at on, before end; 64 bytes at a time first.
inline const std::uint8_t* RunEnd(const std::uint8_t* at, const std::uint8_t* end,
                                  std::uint64_t word) {
  for (; end - at >= 64; at += 64) {
    PrefetchAhead<64>(at);
    std::uint64_t differ = 0;
    for (int k = 0; k < 64; k += 8)
      differ |= LoadWord(at + k) ^ word;
    if (differ != 0)
      break;
  }
  while (end - at >= 8 && LoadWord(at) == word)
    at += 8;
  return at;
}

}  // namespace huff
