// The decodes of the coded data: the straightforward one, a bit at a time through the code
// tree, which defines the format; and the fast one through the look-up tables, which tests
// hold against it. Also the "guess, then meet" of both the fast decode's lanes and the
// worker: a decode from a guessed position is kept from where the true one meets it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "unpack/code_table.h"
#include "unpack/lookup.h"

namespace huff {

// --- Guess, then meet -------------------------------------------------------------------

enum class TMeeting { Met, Missed, AtEnd };

// A guessed decode ran from bit s to guessEnd, where its codes end, as if a code began at s.
// Follows the true decode from t (before s, or at it) code by code, writing its byte values to
// out, and the guessed decode's codes, until both stand on the same code boundary: from there
// on they decode alike, and `skipped` counts the guessed codes before it. The true side goes no
// further than `limit` (at most `stop`, below which eight-byte loads stay in the buffer) and
// stops before a code that is no byte value's, which the careful path takes (AtEnd: the end marker,
// as a complete code has no other).
TMeeting MeetGuess(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t& t,
                   std::uint64_t s, std::uint64_t guessEnd, std::uint64_t limit, std::uint64_t stop,
                   std::uint8_t*& out, std::size_t& skipped);

// --- Table driven -----------------------------------------------------------------------

// The fast decode from one position on: the true position's, or the worker's in a window it
// decodes from a guessed bit. Keeps the lanes' output, and how long the lanes stand aside
// after failing to meet.
class TFastDecoder {
 public:
  // The most a call adds to the output past outLimit: a round of the lanes, the codes their
  // meetings pass and the stores past the end.
  static const std::size_t RoundRoom;

  // Whether several lanes decode at once (off for the benchmarks, which show what they give).
  bool UseLanes = true;

  // Before a decode from the payload's start: forgets how the lanes fared in the last one.
  void Reset();

  // Decodes from local, in bits from buffer's start (payload bit `base`), towards stop, while
  // out is below outLimit; the output runs past it by at most 64 bytes, or by what a round of
  // the lanes adds, which is kept below outEnd. Returns true at a code that needs the careful
  // path: a long one that may reach past stop, or the end marker. Requires: below stop, the
  // eight bytes from a position's byte on are in the buffer.
  bool Decode(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t base,
              std::uint64_t stop, std::uint64_t& local, std::uint8_t*& out,
              const std::uint8_t* outLimit, const std::uint8_t* outEnd);

 private:
  bool DecodeRound(const TFastTables& tables, const std::uint8_t* buffer, std::uint64_t base,
                   std::uint64_t stop, std::uint64_t width, std::uint64_t& local,
                   std::uint8_t*& out);

  // Up to this payload bit, the lanes stand aside; IdleBits is how long they do after a failure.
  std::uint64_t LanesIdleUntil = 0;
  std::uint64_t IdleBits = 0;
  std::unique_ptr<std::uint8_t[]> LaneOut;  // the lanes' but the first; made on the first round
};

}  // namespace huff
