#include "unpack/decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/errors.h"
#include "unpack/code_table.h"
#include "unpack/kernels.h"
#include "unpack/lookup.h"
#include "unpack/windows.h"

namespace huff {
namespace {

// Raises EBadContainer for a name field of the header that is not up to 15 bytes of name
// followed by zero bytes.
void CheckNames(const TContainerHeader& header, const std::string& container) {
  for (const auto* field : {&header.NameID, &header.Manufacturer}) {
    const auto end = std::find(field->begin(), field->end(), 0);
    const auto stray = std::find_if(end, field->end(), [](std::uint8_t b) { return b != 0; });
    if (end == field->end() || stray != field->end()) {
      const auto at = end == field->end() ? field->end() - 1 : stray;
      const bool id = field == &header.NameID;
      Damaged(container, std::string("the ") + (id ? "NameID" : "Manufacturer") +
                             " field is not a name of at most 15 bytes followed by zero bytes: "
                             "byte " +
                             std::to_string((id ? 0 : NameFieldSize) + (at - field->begin())) +
                             " is " + HexByte(*at));
    }
  }
}

class TDecoder {
 public:
  TDecoder(TStream& container, TStream* image, const TDecodeOptions& options)
      : Container(container), Writer(image), Options(options) {}
  // The worker reads the tables and the windows: it ends before they go, whatever was raised.
  ~TDecoder() {
    if (Windows)
      Windows->StopWorker();
  }
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  TContainerSummary Run() {
    ReadHeader();
    Windows.emplace(Container, PayloadBytes, Options);
    try {
      DecodePayload();
      Windows->ExpectEnd();
    } catch (const EBadContainer&) {
      Windows->StopWorker();
      // A damaged payload breaks its structure anywhere; the checksum names the cause.
      if (!Windows->SizeChanged()) {
        Windows->Drain();
        Windows->CheckSum(Summary.Header.Checksum);
      }
      throw;
    }
    Windows->CheckSum(Summary.Header.Checksum);
    FlushImage();
    Writer.Finish();
    return Summary;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { Damaged(Container.Name(), what); }

  void ReadHeader() {
    std::array<std::uint8_t, HeaderSize> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
      const std::size_t count = Container.Read(std::span(bytes).subspan(got));
      if (count == 0)
        throw EBadContainer("File " + Container.Name() + " is not a container: it holds " +
                            std::to_string(got) + " bytes, fewer than the " +
                            std::to_string(HeaderSize) + " of a header");
      got += count;
    }
    Summary.Header = DecodeHeader(bytes);
    CheckNames(Summary.Header, Container.Name());
    PayloadBytes = Summary.Header.PayloadSize;
    PayloadBits = PayloadBytes * 8;
    const std::uint64_t length = Container.Size();
    if (length != HeaderSize + PayloadBytes)
      Fail("PayloadSize (byte 32) is " + std::to_string(PayloadBytes) + ", but " +
           std::to_string(length - std::min<std::uint64_t>(length, HeaderSize)) +
           " bytes follow the header");
  }

  // --- The bit stream -------------------------------------------------------------------

  // Whether payload bytes follow those in the buffer.
  bool MoreAhead() const { return BufferStart + Valid < PayloadBytes; }

  // Moves the buffer on to the next window, keeping the bytes from the one holding BitPos on
  // (fewer than eight) in front of it, so that any eight-byte load from the current byte stays
  // inside the buffer.
  void Advance() {
    const std::uint64_t keepFrom = BitPos / 8 - BufferStart;
    const std::size_t keep = Valid - static_cast<std::size_t>(keepFrom);
    std::array<std::uint8_t, WindowHead> kept{};
    std::memcpy(kept.data(), Buffer + keepFrom, keep);
    TWindow& window = Windows->Next(PendingMeet);
    CurrentWindow = &window;
    std::uint8_t* const at = window.Bytes.get() + WindowHead - keep;
    std::memcpy(at, kept.data(), keep);
    Buffer = at;
    BufferStart = window.Start - keep;
    Valid = keep + window.Size;
  }

  // The 64 bits from BitPos on, zero past the end of the payload.
  std::uint64_t Peek() {
    if (BitPos / 8 - BufferStart + 8 > Valid && MoreAhead())
      Advance();
    return LoadBigEndian64(Buffer + (BitPos / 8 - BufferStart)) << (BitPos % 8);
  }

  // The next `count` bits (1 to 32) of the code table; `what`, and the symbol's name for an
  // entry, say what they were to hold. No text is made unless it is needed.
  std::uint32_t ReadBits(int count, const char* what, int entry = -1) {
    if (BitPos + static_cast<unsigned>(count) > PayloadBits)
      Fail("the payload ends at byte " + std::to_string(HeaderSize + PayloadBytes) + ", inside " +
           what + (entry < 0 ? std::string() : SymbolName(entry)));
    const std::uint64_t word = Peek();
    BitPos += static_cast<unsigned>(count);
    return static_cast<std::uint32_t>(word >> (64 - count));
  }

  // --- The code table -------------------------------------------------------------------

  void DecodePayload() {
    if (ReadBits(1, "the start bit") != 1)
      Fail("the stream does not begin with its start bit (a 1) at " + Where(0));
    for (int value = 0; value < 256; ++value)
      Codes[value].Length = ReadBits(1, "the presence map");
    Summary.CodedByteValues = static_cast<int>(std::count_if(
        Codes.begin(), Codes.begin() + 256, [](const TCodeEntry& c) { return c.Length; }));

    if (Summary.CodedByteValues == 0) {
      // An empty image: no code entries, not even the end marker's, and no data.
      FinishStream("the presence map names no byte value, so only zero fill may follow it");
      return;
    }
    for (int value = 0; value < 256; ++value)
      if (Codes[value].Length != 0)
        ReadEntry(value);
    Check(FindNoRoomForEndMarker(Tree, BitPos));
    ReadEntry(EndMarker);
    Check(FindIncomplete(Tree, BitPos));
    if (Options.BitByBit) {
      DecodeDataBitByBit();
    } else {
      Lookup.Build(Codes, PayloadBytes);
      DecodeData();
    }
    FinishStream("after the end marker's code only zero fill may follow");
  }

  void Check(const std::string& fault) const {
    if (!fault.empty())
      Fail(fault);
  }

  void ReadEntry(int symbol) {
    TCodeEntry& code = Codes[symbol];
    Entries[symbol] = BitPos;
    const char* const what = "the code entry of ";
    if (ReadBits(1, what, symbol) != 0)
      Fail(what + SymbolName(symbol) + " at " + Where(Entries[symbol]) +
           " does not begin with a 0 bit");
    const int length = static_cast<int>(ReadBits(5, what, symbol)) + 1;
    code.Length = static_cast<std::uint32_t>(length);
    code.Bits = ReadBits(length, what, symbol);
    Summary.LongestCode = std::max(Summary.LongestCode, length);
    Summary.ShortestCode =
        Summary.ShortestCode == 0 ? length : std::min(Summary.ShortestCode, length);
    Check(AddCode(Tree, Codes, Entries, symbol));
  }

  // --- Coded data -----------------------------------------------------------------------

  [[noreturn]] void FailRunPast() const {
    Fail("the coded data runs past the end of the payload at byte " +
         std::to_string(HeaderSize + PayloadBytes) + " without the end marker's code");
  }

  // The straightforward decode: one bit at a time, through the code tree.
  void DecodeDataBitByBit() {
    StartOutput();
    for (;;) {
      int at = 0;
      do {
        if (BitPos >= PayloadBits)
          FailRunPast();
        at = Tree.Step(at, static_cast<unsigned>(Peek() >> 63));
        ++BitPos;
      } while (at > 0);
      if (~at == EndMarker)
        return;
      if (at == 0)
        throw std::logic_error("decoder: a complete code left a hole in the tree");
      *Out++ = static_cast<std::uint8_t>(~at);
      if (Out >= OutLimit)
        FlushImage();
    }
  }

  // The fast decode, and the careful path, a code at a time through the tables, for what it
  // leaves: a long code or the end marker, or the payload's last bytes, where it cannot load
  // eight bytes.
  void DecodeData() {
    StartOutput();
    Windows->StartWorker(Lookup.Fast());
    for (;;) {
      if (Out >= OutLimit) {
        FlushImage();
        continue;
      }
      if (PendingMeet) {
        Meet();
        continue;
      }
      // Below `stop`, the eight bytes from a position's byte on are all in the buffer.
      const std::uint64_t stop = Valid >= 8 ? (Valid - 7) * 8 : 0;
      std::uint64_t local = BitPos - BufferStart * 8;
      const bool careful =
          Fast.Decode(Lookup.Fast(), Buffer, BufferStart * 8, stop, local, Out, OutLimit, OutEnd);
      BitPos = BufferStart * 8 + local;
      if (!careful && local < stop)
        continue;
      if (!careful && MoreAhead()) {
        Advance();
        continue;
      }
      unsigned used = 0;
      const TStep step = CodeAt(Lookup.Fast(), Peek(), used);
      if (step.Kind == TKind::Hole || step.Kind == TKind::Link)
        throw std::logic_error("decoder: a complete code left a hole in the tables");
      if (BitPos + used > PayloadBits)
        FailRunPast();
      BitPos += used;
      if (step.Kind == TKind::End) {
        Windows->StopWorker();
        return;
      }
      *Out++ = static_cast<std::uint8_t>(step.Value);
    }
  }

  // The true position has come into a window of the worker's. Once the worker is done with it,
  // the true decode looks for where it meets the worker's guess; from there the worker's output
  // is the image, and the true position goes on where the worker stopped. Without a meeting
  // point, the true position decodes the window itself.
  void Meet() {
    PendingMeet = false;
    if (!Windows->TakeGuess())
      return;
    const TWindow& window = *CurrentWindow;
    const std::uint64_t stop = Valid >= 8 ? (Valid - 7) * 8 : 0;
    const std::uint64_t s = (window.Start - BufferStart) * 8;
    std::uint64_t t = BitPos - BufferStart * 8;
    std::size_t skipped = 0;
    const TMeeting meeting = MeetGuess(Lookup.Fast(), Buffer, t, s, s + window.GuessEnd,
                                       std::min(stop, s + MeetBits), stop, Out, skipped);
    BitPos = BufferStart * 8 + t;
    if (meeting != TMeeting::Met)
      return;
    FlushImage();
    const std::size_t count = window.GuessCount - skipped;
    Writer.Write(std::span(window.Out.get() + skipped, count));
    Summary.ImageSize += count;
    BitPos = BufferStart * 8 + s + window.GuessEnd;
  }

  // Room for a block and for what one call of the fast decode, or a meeting with the worker,
  // adds past it; or, for a short payload, for all its codes (each at least a bit long) and the
  // stores past the last.
  void StartOutput() {
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(ChunkSize + TFastDecoder::RoundRoom + MeetBits, PayloadBits + 128));
    OutBuffer = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    Out = OutBuffer.get();
    OutLimit = Out + std::min<std::size_t>(ChunkSize, size);
    OutEnd = Out + size;
  }

  void FlushImage() {
    if (Out == nullptr)
      return;
    const auto count = static_cast<std::size_t>(Out - OutBuffer.get());
    Writer.Write(std::span(OutBuffer.get(), count));
    Summary.ImageSize += count;
    Out = OutBuffer.get();
  }

  // The stream's end: zero fill up to the next byte boundary, and nothing after it.
  void FinishStream(const std::string& rule) {
    const auto fill = static_cast<int>((8 - BitPos % 8) % 8);
    if (fill > 0) {
      const std::uint64_t start = BitPos;
      const std::uint32_t bits = ReadBits(fill, "the fill");
      if (bits != 0)
        Fail(rule + ", but the bit at " +
             Where(start + static_cast<unsigned>(std::countl_zero(bits << (32 - fill)))) + " is 1");
    }
    if (BitPos < PayloadBits)
      Fail(rule + ": the stream ends at byte " + std::to_string(HeaderSize + BitPos / 8) +
           ", but the payload goes on for " + std::to_string((PayloadBits - BitPos) / 8) +
           ((PayloadBits - BitPos) / 8 == 1 ? " more byte" : " more bytes"));
  }

  TStream& Container;
  TImageWriter Writer;
  TContainerSummary Summary;
  const TDecodeOptions Options;
  std::uint64_t PayloadBytes = 0;
  std::uint64_t PayloadBits = 0;

  std::optional<TWindows> Windows;
  // The payload bytes from BufferStart on: Valid of them, then eight zero bytes.
  static constexpr std::array<std::uint8_t, 8> NoBytes{};
  const std::uint8_t* Buffer = NoBytes.data();
  std::uint64_t BufferStart = 0;
  std::size_t Valid = 0;
  std::uint64_t BitPos = 0;                // within the payload
  const TWindow* CurrentWindow = nullptr;  // the window the buffer holds
  bool PendingMeet = false;                // the worker took it: DecodeData meets its guess

  TCodeTable Codes{};
  TEntryBits Entries{};
  TCodeTree Tree;  // grown as the entries are read
  TLookupTables Lookup;
  TFastDecoder Fast;
  std::unique_ptr<std::uint8_t[]> OutBuffer;
  std::uint8_t* Out = nullptr;
  const std::uint8_t* OutLimit = nullptr;
  const std::uint8_t* OutEnd = nullptr;
};

}  // namespace

TContainerSummary DecodeContainer(TStream& container, TStream* image,
                                  const TDecodeOptions& options) {
  TDecoder decoder(container, image, options);
  return decoder.Run();
}

}  // namespace huff
