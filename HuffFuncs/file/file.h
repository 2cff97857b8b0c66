// The platform layer, the only code that asks the system about files, processors and pages:
// file_posix.cpp or file_win32.cpp, and file.cpp what the two share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace huff {

// The system's text for errno or a Win32 error code, without a line end, as messages end.
std::string SystemErrorText(unsigned long code);
bool NamesNonDirectory(const std::string& path);  // that this process can see
unsigned ProcessorCount();

// Large pages, where the system can, for a result about to be written whole: a fresh 4 KiB page
// cost 3 us on a virtual machine (micro_bench InProcess/pack/65536KiB: 390 MB/s, 1,300 with).
void PrepareLargeBuffer(void* data, std::size_t size) noexcept;
// Memory for a result, freed with free(): a large one on large-page bounds, to prepare; or null.
void* AllocateResult(std::size_t size) noexcept;

// As sarnveld::RemoveUnfinishedOutputs says; a later Close or destructor of such a file
// waits for the process's end.
void RemoveUnfinishedOutputs() noexcept;

class TFile final {
 public:
  // A regular file, which others may read and write meanwhile; else EFOpenError, never blocking.
  static std::unique_ptr<TFile> OpenForReading(const std::string& path);

  // A new file beside the one `path` leads to, which Close puts in its place whole, with its
  // permissions; until then the old one stays, and other runs that want it are refused. A device
  // is written in place. EFCreateError for `mustNotBe` (by any name), a file another run writes,
  // a directory, FIFO or socket, a folder where no file can be made, a standard output of either,
  // a file removed from the name it was opened by (a /proc link's).
  static std::unique_ptr<TFile> CreateForWriting(const std::string& path, const TFile* mustNotBe);

  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  // Unless closed (after a failure): releases the file, and an output's new file goes.
  ~TFile();

  // Up to data.size() bytes at offset; 0 only at the end. Threads may use disjoint ranges at once.
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data);
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data);  // all, or raises
  std::uint64_t Size();
  // Releases the file, and an output's new file takes the old one's place, or raises.
  void Close();

  // Device and file number: two names lead to one file when these agree.
  struct TIdentity {
    std::uint64_t Device = 0;
    std::uint64_t Number = 0;
    bool operator==(const TIdentity&) const = default;
  };

 private:
  friend void RemoveUnfinishedOutputs() noexcept;
  explicit TFile(std::string path) : Path(std::move(path)) {}

  // file.cpp's. The new file beside Target, named from its first `stem` bytes and a name no
  // other has, recorded.
  void MakeNewFile(std::size_t stem);
  // EInOutError "Cannot <action> file <Path>: <the system's reason>", `more` after the reason.
  [[noreturn]] void Fail(const char* action, unsigned long code = LastError(),
                         const std::string& more = {}) const;
  void RefuseIf(bool refused) const;  // with EFCreateError
  // Frees the table entry; when a handler has taken it, waits for the end it gives the process.
  static void ForgetUnfinished(int slot) noexcept;

  // Each platform's.
  static unsigned long LastError() noexcept;  // errno, or GetLastError
  // Makes the new file at NewPath unless something has that name (`exists`).
  bool CreateNew(bool& exists);
  // Puts the new file `from` in the place of `to`, which was there when `replaces`. Failing,
  // `kept` says that the old file is gone all the same: the new one is all there is.
  static bool PutInPlace(const std::string& from, const std::string& to, bool replaces,
                         bool& kept) noexcept;
  // Removes the new file at `path` when it is still `identity`. Async-signal-safe.
  static void RemoveNewFile(const char* path, const TIdentity& identity) noexcept;
  // Closes handle unless -1, and makes it -1 even when that fails (false, LastError): a retry
  // could close one another thread opened meanwhile.
  static bool Release(std::intptr_t& handle) noexcept;

  std::intptr_t Handle = -1;  // the file read or written
  std::string Path;
  TIdentity Identity;
  // For an output beside its old file: where it goes (links followed), the new file, the old.
  std::string Target;
  std::string NewPath;
  std::intptr_t Held = -1;
  int UnfinishedSlot = -1;  // in the table RemoveUnfinishedOutputs empties; -1: not there
};

// An image to pack, or a container to read: the caller's memory, used where it lies, or a file.
struct TSource {
  std::span<const std::uint8_t> Memory{};
  TFile* File = nullptr;  // when set, the bytes are the file's
  std::string Name;       // for messages: the path, or "memory"

  std::uint64_t Size() const { return File != nullptr ? File->Size() : Memory.size(); }
  bool InMemory() const { return File == nullptr; }

  // Up to `most` bytes from offset (none only at the end): memory's, or one read into scratch.
  std::span<const std::uint8_t> Block(std::uint64_t offset, std::size_t most,
                                      std::uint8_t* scratch) const {
    if (File != nullptr)
      return {scratch, File->ReadAt(offset, std::span(scratch, most))};
    if (offset >= Memory.size())
      return {};
    return Memory.subspan(static_cast<std::size_t>(offset),
                          std::min<std::uint64_t>(most, Memory.size() - offset));
  }
  // Copies the bytes from offset on into data, in blocks; returns how many, fewer at the end.
  std::size_t ReadInto(std::uint64_t offset, std::span<std::uint8_t> data) const {
    std::size_t got = 0;
    for (std::span<const std::uint8_t> block; got < data.size(); got += block.size()) {
      block = Block(offset + got, data.size() - got, data.data() + got);
      if (block.empty())
        break;
      if (block.data() != data.data() + got)
        std::memcpy(data.data() + got, block.data(), block.size());
    }
    return got;
  }
};

// A container being written: memory of the size asked for, or a file.
struct TSink {
  std::span<std::uint8_t> Memory{};
  TFile* File = nullptr;

  // Requires, for memory: the bytes fit (callers check what depends on their input).
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) const {
    if (File != nullptr)
      return File->WriteAt(offset, bytes);
    if (offset > Memory.size() || Memory.size() - offset < bytes.size())
      throw std::logic_error("a write past the end of the memory it was given");
    std::copy(bytes.begin(), bytes.end(), Memory.data() + offset);
  }
};

}  // namespace huff
