// The platform layer: the only code that talks to the operating system's file services (and
// asks it for its processors). file_posix.cpp and file_win32.cpp implement it; CMake picks one.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

namespace huff {

enum class TPathKind { Missing, Directory, Existing };

// The system's text for one of its error codes (errno, or a Win32 error code), without a
// line end: the reason that failure messages end in.
std::string SystemErrorText(unsigned long code);

// Whether path names nothing (or nothing this process can see), a directory, or
// anything else that exists.
TPathKind ProbePath(const std::string& path);

// The processors this process may run on: the threads worth starting.
unsigned ProcessorCount();

// Memory just made for a result that is about to be written whole: where the system can, its
// pages are made large, so that the first writes take a page fault every 2 MiB instead of every
// 4 KiB. A fresh 4 KiB page cost 3 us on a virtual machine (micro_bench InProcess/pack/65536KiB:
// 390 MB/s without, 1,300 with).
void PrepareLargeBuffer(void* data, std::size_t size) noexcept;
// Memory for a result that the caller frees with free(): a large one starts on a large page,
// so that all of it can be one (see PrepareLargeBuffer). Null when there is none.
void* AllocateResult(std::size_t size) noexcept;

// Removes every output that a TFile of this process created or truncated and has not yet
// closed or abandoned, by the rule that Abandon follows. Safe to call from a signal handler:
// the programs call it when a signal stops the run, so that no half-written file is left.
// The process must end right after it: a later Close, Abandon or destructor of such a file
// waits for that end, so that the run cannot go on to report success.
void RemoveUnfinishedOutputs() noexcept;

class TFile final {
 public:
  // Opens an existing regular file for reading, letting others read and write it
  // meanwhile. Never blocks: a FIFO, socket or device is refused with EFOpenError.
  static std::unique_ptr<TFile> OpenForReading(const std::string& path);

  // Creates path, or truncates the file it names, for reading and writing, as its only
  // writer. Refuses with EFCreateError, before truncating anything, a path that names
  // `mustNotBe` (by any name or link), a file that another run is writing, a FIFO or a
  // socket; and refuses to write anything when standard output is this file or `mustNotBe`.
  // Devices such as /dev/null are opened but never truncated.
  static std::unique_ptr<TFile> CreateForWriting(const std::string& path, const TFile* mustNotBe);

  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;
  ~TFile();

  // Reads up to data.size() bytes at offset; returns 0 only at the end. Several threads may
  // read and write at once, on disjoint ranges.
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data);
  // Writes all of data at offset, or raises.
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data);
  // The file's length in bytes.
  std::uint64_t Size();
  // Releases the file; a failure to do so is a failure of the run.
  void Close();
  // After a failure: closes the file without raising and removes it, but only when it is a
  // regular file that this run created or truncated and the path still names it.
  void Abandon() noexcept;
  // The name the user gave, for messages.
  const std::string& Name() const noexcept { return Path; }

  // Device and file number: two names lead to one file when these agree.
  struct TIdentity {
    std::uint64_t Device = 0;
    std::uint64_t Number = 0;
    bool operator==(const TIdentity&) const = default;
  };

 private:
  // The same on every platform: each one's opening functions make the handle.
  TFile(std::intptr_t handle, std::string path, TIdentity identity, std::string removalPath)
      : Handle(handle),
        Path(std::move(path)),
        Identity(identity),
        RemovalPath(std::move(removalPath)) {}
  [[noreturn]] void Fail(const char* action) const;
  [[noreturn]] void FailWrite(long result) const;

  std::intptr_t Handle;
  std::string Path;
  TIdentity Identity;
  // Set only for a regular file that this run created or truncated: the path, with any
  // symbolic links resolved, that Abandon may remove.
  std::string RemovalPath;
  // Where RemoveUnfinishedOutputs finds this file until it is closed or abandoned; -1: not
  // there.
  int UnfinishedSlot = -1;
};

}  // namespace huff
