#include "unpack/decoder.h"

#include <array>
#include <bit>
#include <bitset>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "base/bytes.h"
#include "base/errors.h"
#include "base/thread_buffer.h"
#include "container/container.h"
#include "unpack/lookup.h"

namespace huff {
namespace {

// Raises EBadContainer: "Container NAME is damaged: WHAT".
[[noreturn]] inline void Damaged(const std::string& container, const std::string& what) {
  throw EBadContainer("Container " + container + " is damaged: " + what);
}

// Writes the image to a file in blocks of ChunkSize, or into memory asked for once: gathered
// in the thread's memory (fresh pages cost a small image more than its decode), then moved into
// memory of its size, or, once it outgrows that, into room for the payload's bound.
class TImageWriter {
 public:
  TImageWriter(const TImageOut& out, const std::string& container)
      : Out(out), Container(container), Memory(out.Into.value_or(std::span<std::uint8_t>())) {
    // A capacity is the caller's word for what lies there, but one reaching past the end of the
    // address space (a careless SIZE_MAX) must not wrap the decode's end pointer round.
    const std::uintptr_t reachable = UINTPTR_MAX - reinterpret_cast<std::uintptr_t>(Memory.data());
    Memory = Memory.first(std::min<std::uintptr_t>(Memory.size(), reachable));
  }

  bool ToFile() const { return Out.File != nullptr; }

  // Once the code table is read: the image has at most `bound` bytes.
  void Start(std::uint64_t bound) {
    if (Out.Allocate == nullptr)
      return;
    Bound = bound;
    Kept = std::make_unique<TThreadBuffer>(KeptImageSize + KeptRoom);
    Memory =
        std::span(Kept->Data, static_cast<std::size_t>(std::min(bound, KeptImageSize)) + KeptRoom);
  }

  // Memory to decode into in place, after the image so far: `least` bytes or more, or none.
  std::span<std::uint8_t> Room(std::size_t least) {
    if (Kept && Memory.data() == Kept->Data && Written + least > Memory.size() && Bound > Written)
      Allocate(Bound);
    if (Written + least > Memory.size())
      return {};
    return Memory.subspan(static_cast<std::size_t>(Written));
  }

  // Raises EBufferTooSmall past the memory given. A file takes whole blocks but the last; a piece
  // decoded into the Room is taken where it is.
  void Write(std::span<const std::uint8_t> piece) {
    if (Out.Into || Out.Allocate != nullptr) {
      const std::span<std::uint8_t> room = Room(piece.size());
      if (room.size() < piece.size())
        TooSmall(Memory.size());
      if (room.data() != piece.data())
        std::copy(piece.begin(), piece.end(), room.begin());
      Written += piece.size();
      return;
    }
    for (std::size_t at = 0; Out.File != nullptr && at < piece.size(); at += ChunkSize) {
      const auto block = piece.subspan(at, std::min<std::size_t>(ChunkSize, piece.size() - at));
      Out.File->WriteAt(Written, block);
      Written += block.size();
    }
  }

  // Moves a small image to its memory.
  void Finish() {
    if (Kept && Memory.data() == Kept->Data)
      Allocate(Written);
  }

 private:
  // The image the thread's memory gathers, and the room after it a decode in place needs.
  static constexpr std::uint64_t KeptImageSize = 1 << 20;
  static constexpr std::size_t KeptRoom = 256 * 1024;

  [[noreturn]] void TooSmall(std::size_t given) const {
    throw EBufferTooSmall("Container " + Container + " holds an image longer than the " +
                          Count(given, "byte") + " given for it");
  }
  // Asks for memory of `size` bytes and moves what the thread's memory holds there.
  void Allocate(std::uint64_t size) {
    const std::span<std::uint8_t> memory = (*Out.Allocate)(size);
    if (memory.size() < size)  // the image may be shorter: this is room the decode needs
      throw EBufferTooSmall("Unpacking container " + Container + " needs " + Count(size, "byte") +
                            ", more than the " + Count(memory.size(), "byte") + " given for it");
    PrepareLargeBuffer(memory.data(), memory.size());
    if (Written > 0)
      std::memcpy(memory.data(), Memory.data(), static_cast<std::size_t>(Written));
    Memory = memory;
  }

  TImageOut Out;
  const std::string& Container;
  std::span<std::uint8_t> Memory;
  std::uint64_t Bound = 0;
  std::uint64_t Written = 0;
  std::unique_ptr<TThreadBuffer> Kept;  // where an image is gathered until it outgrows it
};

// Room before a window for the few bytes of the one before that the decode still needs.
inline constexpr std::size_t WindowHead = 8;

// A window of the payload: in the slot after WindowHead bytes, then 8 zero bytes; or in memory.
// With a worker, also its guess: GuessCount bytes from the window's first bit, as if a code began
// there, to bit GuessBits. The worker claims only windows ahead of the true decode's; the guess's
// state changes under the lock.
struct TWindow {
  enum class TGuess { None, Claimed, Made };
  std::unique_ptr<std::uint8_t[]> Slot;
  const std::uint8_t* Data = nullptr;  // the window's first byte
  std::uint64_t Start = 0;             // the payload offset of Data
  std::size_t Size = 0;
  TGuess State = TGuess::None;
  std::unique_ptr<std::uint8_t[]> Guess;
  std::size_t GuessCount = 0;
  std::uint64_t GuessBits = 0;
};

// The payload a window at a time, and its byte sum: from a file, a block of ChunkSize; from memory,
// views of MemoryWindow, read once for the sum and the decode (InProcess/unpack_into/65536KiB),
// but for its last eight bytes, which go into the slot before zeros for the 8-byte loads.
// With a worker: windows of WindowBytes, read ahead into a ring; it guesses the furthest, so the
// true decode, coming to it later, finds it done.
class TPayloadReader {
 public:
  TPayloadReader(const TSource& container, std::uint64_t payloadBytes,
                 const TDecodeOptions& options)
      : Container(container), PayloadBytes(payloadBytes) {
    Capacity = std::min<std::uint64_t>(container.InMemory() ? MemoryTail : ChunkSize, payloadBytes);
    Windows.resize(1);
    // A worker's thread and buffers, made for each decode, pay in memory from 16 windows on
    // (micro_bench InProcess/unpack).
    const std::uint64_t workerFrom = (container.InMemory() ? 16 : 2) * options.WindowBytes;
    if (options.Threads == 2 ||
        (options.Threads == 0 && payloadBytes >= workerFrom && ProcessorCount() > 1)) {
      Capacity = std::max(Capacity, std::min<std::uint64_t>(options.WindowBytes, payloadBytes));
      Windows.resize(WorkerSlots);
    }
    for (TWindow& window : Windows)
      window.Slot = std::make_unique_for_overwrite<std::uint8_t[]>(WindowHead + Capacity + 8);
  }
  ~TPayloadReader() { StopWorker(); }

  // With a ring, from now on: a worker guesses the codes of windows ahead.
  void StartWorker(const TFastTables& tables) {
    if (Windows.size() == 1)
      return;
    for (TWindow& window : Windows)
      window.Guess = std::make_unique_for_overwrite<std::uint8_t[]>(GuessRoom() + 64);
    Tables = &tables;
    GuessFast.MakeLaneRoom();  // here, where a failure is raised: the worker's loop cannot throw
    try {
      Worker = std::thread(&TPayloadReader::WorkLoop, this);
    } catch (const std::system_error&) {
    }
  }
  // Lets the worker finish the window it decodes, and ends it.
  void StopWorker() noexcept {
    if (!Worker.joinable())
      return;
    {
      const std::lock_guard<std::mutex> lock(Lock);
      Stopping = true;
    }
    Changes.notify_all();
    Worker.join();
  }

  // The next window. Raises EBadContainer when the file ends before the payload does, and what a
  // read ahead raised, as reading there would have.
  TWindow& Next() {
    std::unique_lock<std::mutex> lock(Lock);
    if (WindowsRead > 0) {  // the true decode leaves window Current
      TWindow& left = SlotOf(Current++);
      Changes.wait(lock, [&] { return left.State != TWindow::TGuess::Claimed; });
      left.State = TWindow::TGuess::None;
    }
    lock.unlock();
    // Reads windows into the free slots; a read that fails is raised where the true decode comes.
    while (!FileEnded && !Failure && Unread() > 0 && WindowsRead < Current + Windows.size()) {
      try {
        if (Read(SlotOf(WindowsRead)).Size == 0)
          break;
      } catch (...) {
        Failure = std::current_exception();
        break;
      }
      lock.lock();
      ++WindowsRead;
      lock.unlock();
      Changes.notify_all();
    }
    if (Current == WindowsRead) {
      if (Failure)
        std::rethrow_exception(Failure);
      Changed = true;
      Damaged(Container.Name, "the file ended after " + std::to_string(BytesRead) +
                                  " payload bytes, but PayloadSize (byte 32) is " +
                                  std::to_string(PayloadBytes) + ": it shrank while it was read");
    }
    TWindow& window = SlotOf(Current);
    lock.lock();
    Guessed = window.State != TWindow::TGuess::None;
    return window;
  }

  // Once, after Next: the worker's guess for the window, when it took it; else null.
  const TWindow* TakeGuess() {
    if (!std::exchange(Guessed, false))
      return nullptr;
    TWindow& window = SlotOf(Current);
    std::unique_lock<std::mutex> lock(Lock);
    Changes.wait(lock, [&] { return window.State == TWindow::TGuess::Made; });
    return &window;
  }

  // Raises EBadContainer when the file goes on past the payload.
  void ExpectEnd() {
    std::uint8_t probe = 0;
    if (!Container.Block(HeaderSize + PayloadBytes, 1, &probe).empty()) {
      Changed = true;
      Damaged(Container.Name, "the file grew while it was read, past the " +
                                  std::to_string(PayloadBytes) +
                                  " payload bytes of PayloadSize (byte 32)");
    }
  }

  // Raises EBadContainer when the payload's sum is not `checksum`. After a fault, or for a sum
  // first, reads the rest of the payload, which still counts towards it.
  void CheckSum(std::uint32_t checksum) {
    StopWorker();
    if (Failure)
      std::rethrow_exception(Failure);
    while (!FileEnded && Unread() > 0 && Read(Windows[0]).Size > 0) {
    }
    if (Sum != checksum || Unread() > 0)
      Damaged(Container.Name, "its payload's bytes sum to " + std::to_string(Sum) +
                                  ", but Checksum (byte 36) is " + std::to_string(checksum));
  }
  // The file's length changed while it was read: the checksum then says nothing.
  bool SizeChanged() const { return Changed; }

 private:
  static constexpr std::size_t MemoryTail = 8;
  static constexpr std::uint64_t MemoryWindow = 1 << 20;
  static constexpr std::size_t WorkerSlots = 8;

  std::uint64_t Unread() const { return PayloadBytes - BytesRead; }
  TWindow& SlotOf(std::uint64_t window) { return Windows[window % Windows.size()]; }
  // A guess stops at this much (erased flash gives eight bytes a byte): the true decode goes on.
  std::size_t GuessRoom() const { return 2 * static_cast<std::size_t>(Capacity); }

  // The window's bytes: viewed in memory, or read into the slot.
  TWindow& Read(TWindow& window) {
    window.Start = BytesRead;
    const std::uint64_t offset = HeaderSize + BytesRead;
    if (Container.InMemory() && Unread() > MemoryTail) {
      window.Size = static_cast<std::size_t>(
          std::min(Unread() - MemoryTail, Windows.size() == 1 ? MemoryWindow : Capacity));
      window.Data = Container.Memory.data() + offset;
    } else {
      std::uint8_t* const data = window.Slot.get() + WindowHead;
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(Capacity, Unread()));
      const std::size_t got = Container.ReadInto(offset, std::span(data, want));
      FileEnded |= got < want;
      std::memset(data + got, 0, 8);
      window.Data = data;
      window.Size = got;
    }
    Sum += SumBytes(std::span(window.Data, window.Size));
    BytesRead += window.Size;
    return window;
  }

  // Takes the window furthest ahead that no one has taken.
  void WorkLoop() noexcept {
    std::unique_lock<std::mutex> lock(Lock);
    for (;;) {
      TWindow* window = nullptr;
      Changes.wait(lock, [&] {
        for (std::uint64_t w = WindowsRead; w > Current + 1 && window == nullptr; --w)
          if (SlotOf(w - 1).State == TWindow::TGuess::None)
            window = &SlotOf(w - 1);
        return Stopping || window != nullptr;
      });
      if (Stopping)
        return;
      window->State = TWindow::TGuess::Claimed;
      lock.unlock();
      // The window decoded as if a code began at its first bit, up to its last eight bytes, a code
      // that needs the checked step, or GuessRoom bytes.
      const std::uint64_t stop = LoadableBits(window->Size);
      std::uint8_t* out = window->Guess.get();
      std::uint64_t local = 0;
      const std::uint8_t* const limit = out + GuessRoom();
      while (local < stop && out < limit &&
             !GuessFast.Decode(*Tables, window->Data, stop, local, out, limit, limit + 64)) {
      }
      window->GuessCount = static_cast<std::size_t>(out - window->Guess.get());
      window->GuessBits = local;
      lock.lock();
      window->State = TWindow::TGuess::Made;
      Changes.notify_all();
    }
  }

  const TSource& Container;
  const std::uint64_t PayloadBytes;
  std::uint64_t Capacity;       // payload bytes of a window read into the slot
  std::uint64_t BytesRead = 0;  // payload bytes taken from the container so far
  std::uint32_t Sum = 0;        // of those bytes
  bool Changed = false;
  bool FileEnded = false;        // a read found the file shorter than the header says
  std::exception_ptr Failure;    // of a read ahead
  std::vector<TWindow> Windows;  // window n in slot n % size
  std::uint64_t Current = 0, WindowsRead = 0;
  bool Guessed = false;  // the worker took it first: TakeGuess before decoding it
  // The worker, which reads Tables, the windows it claims, and under the lock their states.
  const TFastTables* Tables = nullptr;
  TFastDecoder GuessFast;
  std::thread Worker;
  std::mutex Lock;
  std::condition_variable Changes;
  bool Stopping = false;
};

std::string BitString(const TCodeEntry& code) {
  return std::bitset<32>(code.Bits).to_string().substr(32 - code.Length);
}

// "byte 73, bit 0x20": the file offset, and the bit within that byte by its value.
std::string Where(std::uint64_t payloadBit) {
  return "byte " + std::to_string(HeaderSize + payloadBit / 8) + ", bit " +
         HexByte(0x80 >> (payloadBit % 8));
}

// The codes as a tree grown entry by entry: a clash is reported at the entry that makes it.
class TCodeTree {
 public:
  TCodeTree() { Nodes.reserve(SymbolCount); }  // room for a complete code's inner nodes

  // Adds `symbol`'s code: -1; or, when it and earlier ones begin one another, their first symbol.
  // The symbols come in their order: the first below a node is the one that made it.
  int Add(const TCodeEntry& code, int symbol) {
    // Most codes are long: from the node of their first TopBits bits, once made, not the root.
    auto k = static_cast<int>(code.Length) - 1;
    const int top = k >= TopBits ? Top[code.Bits >> (k + 1 - TopBits)] : 0;
    auto at = static_cast<std::size_t>(top);
    for (k -= top > 0 ? TopBits : 0; k > 0; --k) {
      int& next = Nodes[at][(code.Bits >> k) & 1];
      if (next < 0)
        return ~next;  // an earlier code begins this one
      if (next == 0) {
        next = static_cast<int>(Nodes.size());
        Nodes.push_back({0, 0, symbol});  // may move the nodes, `next` among them: read again below
      }
      at = static_cast<std::size_t>(Nodes[at][(code.Bits >> k) & 1]);
      if (static_cast<int>(code.Length) - k == TopBits)
        Top[code.Bits >> k] = static_cast<int>(at);
    }
    int& leaf = Nodes[at][code.Bits & 1];
    if (leaf != 0)  // the same code, or codes that begin with this one
      return leaf < 0 ? ~leaf : Nodes[static_cast<std::size_t>(leaf)][2];
    leaf = ~symbol;
    return -1;
  }

  // The first bit string that no code begins and begins no code; length 0 if complete.
  TCodeEntry FirstGap(int at = 0, TCodeEntry path = {}) const {
    for (const unsigned bit : {0u, 1u}) {
      const int next = Nodes[static_cast<std::size_t>(at)][bit];
      const TCodeEntry here{(path.Bits << 1) | bit, path.Length + 1};
      if (next == 0)
        return here;
      if (next > 0)
        if (const TCodeEntry gap = FirstGap(next, here); gap.Length != 0)
          return gap;
    }
    return {};
  }

 private:
  // The root first. By bit, a code's leaf (~symbol), an inner node, or 0: nothing there yet; then
  // the symbol whose code made the node.
  std::vector<std::array<int, 3>> Nodes{{0, 0, 0}};
  static constexpr int TopBits = 8;
  std::array<int, 1 << TopBits> Top{};  // by a code's first TopBits bits: their node, or 0
};

// What a decode uses besides its state, kept by the thread as TThreadBuffer is, for its reasons.
struct TDecodeBuffers {
  TLookupTables Lookup;
  TFastDecoder Fast;
  std::vector<std::uint8_t> Out;
};

class TThreadDecodeBuffers {
 public:
  TThreadDecodeBuffers() : Own(Busy || ExactBuffers ? new TDecodeBuffers : nullptr) {
    Busy |= !Own;
  }
  ~TThreadDecodeBuffers() { Busy &= Own != nullptr; }
  TDecodeBuffers* operator->() const { return Own ? Own.get() : &Kept; }

 private:
  std::unique_ptr<TDecodeBuffers> Own;
  static inline thread_local TDecodeBuffers Kept;
  static inline thread_local bool Busy = false;
};

class TDecoder {
 public:
  TDecoder(const TSource& container, const TImageOut& image, const TDecodeOptions& options)
      : Container(container), Writer(image, container.Name), Options(options) {}

  sarnveld::Summary Run() {
    ReadHeader();
    if (Options.SumFirst) {
      TPayloadReader payload(Container, PayloadBytes, {.Threads = 1});  // no ring to sum
      payload.CheckSum(Summary.Checksum);
      ReadHeader();  // again: the file may have grown meanwhile
    }
    Reader.emplace(Container, PayloadBytes, Options);
    try {
      DecodePayload();
      Reader->ExpectEnd();
    } catch (const EBadContainer&) {
      // A damaged payload breaks its structure anywhere; the checksum names the cause.
      if (!Reader->SizeChanged())
        Reader->CheckSum(Summary.Checksum);
      throw;
    } catch (const EBufferTooSmall&) {
      Reader->CheckSum(Summary.Checksum);  // damage is what makes an image too long, if any
      throw;
    }
    Reader->CheckSum(Summary.Checksum);
    FlushImage(true);
    Writer.Finish();
    return Summary;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const { Damaged(Container.Name, what); }

  // The name in a header field; raises EBadContainer unless it is up to 15 bytes then zeros.
  std::string CheckedName(const std::array<std::uint8_t, NameFieldSize>& field, bool id) const {
    const auto end = std::find(field.begin(), field.end() - 1, 0);  // the 16th can only be a zero
    const auto stray = std::find_if(end, field.end(), [](std::uint8_t b) { return b != 0; });
    if (stray != field.end())
      Fail(std::string("the ") + (id ? "NameID" : "Manufacturer") +
           " field is not a name of at most 15 bytes followed by zero bytes: byte " +
           std::to_string((id ? 0 : NameFieldSize) + (stray - field.begin())) + " is " +
           HexByte(*stray));
    return std::string(field.begin(), end);
  }

  void ReadHeader() {
    std::array<std::uint8_t, HeaderSize> bytes{};
    if (const std::size_t got = Container.ReadInto(0, bytes); got < bytes.size())
      throw EBadContainer("File " + Container.Name + " is not a container: it holds " +
                          Count(got, "byte") + ", fewer than the " + std::to_string(HeaderSize) +
                          " of a header");
    const TContainerHeader header = DecodeHeader(bytes);
    Summary.NameId = CheckedName(header.NameID, true);
    Summary.Manufacturer = CheckedName(header.Manufacturer, false);
    Summary.PayloadSize = header.PayloadSize;
    Summary.Checksum = header.Checksum;
    PayloadBytes = header.PayloadSize;
    const std::uint64_t follow = std::max<std::uint64_t>(Container.Size(), HeaderSize) - HeaderSize;
    if (follow != PayloadBytes)
      Fail("PayloadSize (byte 32) is " + std::to_string(PayloadBytes) + ", but " +
           Count(follow, "byte") + (follow == 1 ? " follows" : " follow") + " the header");
  }

  // Whether payload bytes follow those in the buffer.
  bool MoreAhead() const { return BufferStart + Valid < PayloadBytes; }

  // Moves on to the next window, the bytes from BitPos's on (fewer than eight) in front of it.
  void Advance() {
    const std::uint64_t keepFrom = BitPos / 8 - BufferStart;
    const std::size_t keep = Valid - static_cast<std::size_t>(keepFrom);
    std::array<std::uint8_t, WindowHead> kept{};
    std::memcpy(kept.data(), Buffer + keepFrom, keep);
    TWindow& window = Reader->Next();
    if (window.Data == window.Slot.get() + WindowHead)
      std::memcpy(window.Slot.get() + WindowHead - keep, kept.data(), keep);
    Buffer = window.Data - keep;
    BufferStart = window.Start - keep;
    Valid = keep + window.Size;
  }

  // The 64 bits from BitPos on, zero past the end of the payload.
  std::uint64_t Peek() {
    if (BitPos / 8 - BufferStart + 8 > Valid && MoreAhead())
      Advance();
    return LoadBigEndian64(Buffer + (BitPos / 8 - BufferStart)) << (BitPos % 8);
  }

  // The next `count` bits (1 to 32) of the code table; `what` (and `entry`) say what they hold.
  std::uint32_t ReadBits(int count, const char* what, int entry = -1) {
    if (BitPos + static_cast<unsigned>(count) > PayloadBytes * 8)
      Fail("the payload ends at byte " + std::to_string(HeaderSize + PayloadBytes) + ", inside " +
           what + (entry < 0 ? std::string() : SymbolName(entry)));
    const std::uint64_t word = Peek();
    BitPos += static_cast<unsigned>(count);
    return static_cast<std::uint32_t>(word >> (64 - count));
  }

  void DecodePayload() {
    if (ReadBits(1, "the start bit") != 1)
      Fail("the stream does not begin with its start bit (a 1) at " + Where(0));
    for (TCodeEntry& code : std::span(Codes).first(256))
      Summary.CodedByteValues += static_cast<int>(code.Length = ReadBits(1, "the presence map"));
    if (Summary.CodedByteValues == 0) {
      // An empty image: no code entries, not even the end marker's, and no data.
      FinishStream("the presence map names no byte value, so only zero fill may follow it");
      Writer.Start(0);
      return;
    }
    for (int value = 0; value < 256; ++value)
      if (Codes[value].Length != 0)
        ReadEntry(value);
    // The end marker's entry is always last: the byte values' codes may leave it no room.
    if (Tree.FirstGap().Length == 0)
      Fail("the code entry of the end marker is missing at " + Where(BitPos) +
           ": the byte values' codes leave no room for its code");
    const auto shortest = static_cast<std::uint32_t>(Summary.ShortestCode);  // the byte values'
    ReadEntry(EndMarker);
    if (const TCodeEntry gap = Tree.FirstGap(); gap.Length != 0)
      Fail("the codes are not complete (the code table ends at " + Where(BitPos) +
           "): no code begins with " + BitString(gap));
    // The most bytes the rest of the payload can code (end marker included) and an image hold.
    const std::uint64_t left = PayloadBytes * 8 - BitPos;
    const std::uint32_t end = Codes[EndMarker].Length;
    Writer.Start(left < end ? 0 : std::min((left - end) / shortest, sarnveld::MaxImageSize));
    Buffers->Lookup.Build(Codes, PayloadBytes, Options.Runs, Options.Stride);
    Buffers->Fast.UseLanes = Options.Lanes;
    Reader->StartWorker(Buffers->Lookup.Fast());
    DecodeData();
    FinishStream("after the end marker's code only zero fill may follow");
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
    const int earlier = Tree.Add(code, symbol);
    if (earlier >= 0)
      Fail("the codes of " + SymbolName(earlier) + " (" + BitString(Codes[earlier]) +
           ", entry at " + Where(Entries[earlier]) + ") and " + SymbolName(symbol) + " (" +
           BitString(code) + ", entry at " + Where(Entries[symbol]) +
           ") clash: one begins with the other");
  }

  // Whether `more` bytes fit after the image decoded so far, in what a container may hold.
  bool Fits(std::uint64_t more) const {
    return Summary.ImageSize + static_cast<std::uint64_t>(Out - OutBuffer) + more <=
           sarnveld::MaxImageSize;
  }

  // The fast decode, and the checked step for what it leaves: long codes, the end marker, the
  // payload's last eight bytes and the last bytes an image may hold.
  void DecodeData() {
    StartOutput();
    for (;;) {
      if (Out >= OutLimit)
        FlushImage();
      TakeGuess();
      if (Fits(ChunkSize + TFastDecoder::RoundRoom)) {
        const std::uint64_t stop = LoadableBits(Valid);
        std::uint64_t local = BitPos - BufferStart * 8;
        const bool checkedNext = Buffers->Fast.Decode(Buffers->Lookup.Fast(), Buffer, stop, local,
                                                      Out, OutLimit, OutEnd);
        BitPos = BufferStart * 8 + local;
        if (!checkedNext && local < stop)
          continue;
        if (!checkedNext && MoreAhead()) {
          Advance();
          continue;
        }
      }
      unsigned used = 0;
      const TStep step = CodeAt(Buffers->Lookup.Fast(), Peek(), used);
      if (step.Kind == TKind::Hole || step.Kind == TKind::Link)
        throw std::logic_error("decoder: a complete code left a hole in the tables");
      if (BitPos + used > PayloadBytes * 8)
        Fail("the coded data runs past the end of the payload at byte " +
             std::to_string(HeaderSize + PayloadBytes) + " without the end marker's code");
      if (step.Kind != TKind::End && !Fits(1))
        Fail("the code at " + Where(BitPos) + " makes the image longer than " +
             std::to_string(sarnveld::MaxImageSize) + " bytes, the most a container holds");
      BitPos += used;
      if (step.Kind == TKind::End)
        return;
      *Out++ = static_cast<std::uint8_t>(step.Value);
    }
  }

  // Where the true decode meets the worker's guess for the window just entered, its bytes from
  // there on are the image's: the codes from a code's boundary on are the same whoever reads them.
  void TakeGuess() {
    const TWindow* const guess = Reader->TakeGuess();
    if (guess == nullptr || !Fits(ChunkSize + TFastDecoder::RoundRoom + guess->GuessCount))
      return;
    const std::uint64_t s = (guess->Start - BufferStart) * 8;
    std::uint64_t t = BitPos - BufferStart * 8;
    std::size_t taken = 0;
    const bool met = MeetGuess(Buffers->Lookup.Fast(), Buffer, t, s, s + guess->GuessBits,
                               LoadableBits(Valid), Out, taken);
    BitPos = BufferStart * 8 + (met ? s + guess->GuessBits : t);
    while (met && taken < guess->GuessCount) {
      if (Out >= OutLimit)
        FlushImage();
      const auto count =
          std::min(guess->GuessCount - taken, static_cast<std::size_t>(OutLimit - Out));
      std::memcpy(Out, guess->Guess.get() + taken, count);
      Out += count;
      taken += count;
    }
  }

  // Room for a block and what the fast decode adds past it (or a short payload's all): in the
  // image's memory while it has the room, else in the thread's buffer.
  void StartOutput() {
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(ChunkSize + TFastDecoder::RoundRoom, PayloadBytes * 8 + 128));
    std::span<std::uint8_t> room = Writer.Room(size);
    if (room.empty()) {
      Buffers->Out.resize(size);  // not larger: under ASan a store past `size` is seen
      room = std::span(Buffers->Out.data(), size);
    }
    OutBuffer = room.data();
    Out = OutBuffer;
    OutEnd = OutBuffer + room.size();
    OutLimit = OutEnd - (size - std::min<std::size_t>(ChunkSize, size));
  }

  // Takes the codes' bytes as the image's (a file whole blocks but the last), and room for more.
  void FlushImage(bool last = false) {
    const auto count = static_cast<std::size_t>(Out - OutBuffer);
    const std::size_t rest = last || !Writer.ToFile() ? 0 : count % ChunkSize;
    Writer.Write(std::span(OutBuffer, count - rest));
    Summary.ImageSize += count - rest;
    if (last)
      return;
    const std::uint8_t* const from = OutBuffer + count - rest;
    StartOutput();  // the same buffer again for a file
    std::memmove(OutBuffer, from, rest);
    Out += rest;
  }

  // The stream's end: zero fill up to the next byte boundary, and nothing after it.
  void FinishStream(const std::string& rule) {
    const auto fill = static_cast<int>((8 - BitPos % 8) % 8);
    if (fill > 0) {
      const std::uint32_t bits = ReadBits(fill, "the fill");
      if (bits != 0)  // its first 1 is as many bits before its end as `bits` is wide
        Fail(rule + ", but the bit at " + Where(BitPos - std::bit_width(bits)) + " is 1");
    }
    if (BitPos < PayloadBytes * 8)
      Fail(rule + ": the stream ends at byte " + std::to_string(HeaderSize + BitPos / 8) +
           ", but the payload goes on for " + Count((PayloadBytes * 8 - BitPos) / 8, "more byte"));
  }

  const TSource& Container;
  TImageWriter Writer;
  sarnveld::Summary Summary;
  const TDecodeOptions Options;
  std::uint64_t PayloadBytes = 0;

  // The payload bytes from BufferStart on: Valid of them, then eight zero bytes.
  static constexpr std::array<std::uint8_t, 8> NoBytes{};
  const std::uint8_t* Buffer = NoBytes.data();
  std::uint64_t BufferStart = 0;
  std::size_t Valid = 0;
  std::uint64_t BitPos = 0;  // within the payload

  TCodeTable Codes{};
  std::array<std::uint64_t, SymbolCount> Entries{};  // where each code's entry begins
  TCodeTree Tree;                                    // grown as the entries are read
  TThreadDecodeBuffers Buffers;
  std::optional<TPayloadReader> Reader;  // after Buffers: its worker reads the tables there
  std::uint8_t* OutBuffer = nullptr;
  std::uint8_t* Out = nullptr;
  const std::uint8_t* OutLimit = nullptr;
  const std::uint8_t* OutEnd = nullptr;
};

}  // namespace

sarnveld::Summary DecodeContainer(const TSource& container, const TImageOut& image,
                                  const TDecodeOptions& options) {
  return TDecoder(container, image, options).Run();
}

}  // namespace huff
