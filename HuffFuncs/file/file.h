// The platform file layer: the only code that talks to the operating system's file
// services. file_posix.cpp and file_win32.cpp implement it; CMake picks one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "base/stream.h"

namespace huff {

enum class TPathKind { Missing, Directory, Existing };

// The system's text for one of its error codes (errno, or a Win32 error code), without a
// line end: the reason that failure messages end in.
std::string SystemErrorText(unsigned long code);

// Whether path names nothing (or nothing this process can see), a directory, or
// anything else that exists.
TPathKind ProbePath(const std::string& path);

// Removes every output that a TFile of this process created or truncated and has not yet
// closed or abandoned, by the rule that Abandon follows. Safe to call from a signal handler:
// the programs call it when a signal stops the run, so that no half-written file is left.
// The process must end right after it: a later Close, Abandon or destructor of such a file
// waits for that end, so that the run cannot go on to report success.
void RemoveUnfinishedOutputs() noexcept;

class TFile final : public TStream {
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
  ~TFile() override;

  std::size_t Read(std::span<std::uint8_t> data) override;
  void Write(std::span<const std::uint8_t> data) override;
  std::size_t ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) override;
  void WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) override;
  void Rewind() override;
  std::uint64_t Size() override;
  void Close() override;
  // Closes the file and removes it, but only when it is a regular file that this run
  // created or truncated and the path still names it.
  void Abandon() noexcept override;
  const std::string& Name() const noexcept override { return Path; }

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
#ifdef _WIN32
  // Where Read and Write go on: a positioned read or write moves the file pointer there.
  std::uint64_t Position = 0;
#endif
};

}  // namespace huff
