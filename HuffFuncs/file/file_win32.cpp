// Win32 side of the file layer.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>

#include "base/errors.h"
#include "file/file.h"

namespace huff {
namespace {

constexpr std::intptr_t Closed = -1;

HANDLE Win(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

// ReadFile and WriteFile take at most a DWORD's worth at once.
DWORD Chunk(std::size_t size) {
  return static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
}

OVERLAPPED At(std::uint64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(offset);
  where.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return where;
}

// Volume serial number and file index: two names lead to one file when these agree.
bool IdentityOf(HANDLE handle, TFile::TIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return false;
  identity = {info.dwVolumeSerialNumber,
              (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  return true;
}

// Marks the file for deletion when its last handle closes; false when the handle lacks the
// right to delete.
bool MarkForDeletion(HANDLE handle) {
  FILE_DISPOSITION_INFO remove{TRUE};
  return ::SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove) != 0;
}

// Empties the file first, so that no other hard link to it keeps a half-written container.
bool EmptyAndDelete(HANDLE handle) {
  LARGE_INTEGER start{};
  if (::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN))
    (void)::SetEndOfFile(handle);
  return MarkForDeletion(handle);
}

// The outputs being written, for the console control handler: it marks each for deletion
// through its own handle, which stays open until the process ends. Abandon holds an entry
// Busy while it removes the file itself, and the handler waits for that.
enum TSlotState : int { Free, Armed, Busy, Taken };
struct TUnfinished {
  std::atomic<int> State{Free};
  HANDLE Handle = INVALID_HANDLE_VALUE;
};
std::array<TUnfinished, 8> Unfinished;

int RecordUnfinished(HANDLE handle) {
  for (std::size_t slot = 0; slot < Unfinished.size(); ++slot) {
    int expected = Free;
    if (!Unfinished[slot].State.compare_exchange_strong(expected, Busy))
      continue;
    Unfinished[slot].Handle = handle;
    Unfinished[slot].State.store(Armed);
    return static_cast<int>(slot);
  }
  return -1;
}

// Takes the entry back as `next` (Free, or Busy while Abandon works); when the handler has
// taken it, the process is about to end, and this run must not go on to report anything.
void ClaimUnfinished(int slot, int next) {
  if (slot < 0)
    return;
  int expected = Armed;
  if (!Unfinished[static_cast<std::size_t>(slot)].State.compare_exchange_strong(expected, next))
    ::Sleep(INFINITE);
}

void ReleaseUnfinished(int slot) {
  if (slot >= 0)
    Unfinished[static_cast<std::size_t>(slot)].State.store(Free);
}

}  // namespace

void RemoveUnfinishedOutputs() noexcept {
  for (TUnfinished& entry : Unfinished) {
    int state = entry.State.load();
    while (state == Busy) {
      ::Sleep(1);
      state = entry.State.load();
    }
    if (state == Armed && entry.State.compare_exchange_strong(state, Taken))
      (void)EmptyAndDelete(entry.Handle);
  }
}

unsigned ProcessorCount() {
  DWORD_PTR process = 0, system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0)
    return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return std::max<unsigned>(info.dwNumberOfProcessors, 1);
}

// Large pages need a privilege that programs seldom have: the system's pages it is.
void PrepareLargeBuffer(void*, std::size_t) noexcept {}

// _aligned_malloc's memory would need _aligned_free.
void* AllocateResult(std::size_t size) noexcept {
  return std::malloc(size);
}

std::string SystemErrorText(unsigned long code) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
  ::LocalFree(text);
  while (!message.empty() && static_cast<unsigned char>(message.back()) <= ' ')
    message.pop_back();
  return message;
}

TPathKind ProbePath(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return TPathKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? TPathKind::Directory : TPathKind::Existing;
}

TFile::~TFile() {
  ClaimUnfinished(UnfinishedSlot, Free);
  if (Handle != Closed)
    ::CloseHandle(Win(Handle));
}

std::unique_ptr<TFile> TFile::OpenForReading(const std::string& path) {
  const HANDLE handle =
      ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    throw EFOpenError(path);
  // Only a file on a disk can be read twice from its start: not a device such as NUL or
  // CON, nor a pipe.
  TIdentity identity;
  if (::GetFileType(handle) != FILE_TYPE_DISK || !IdentityOf(handle, identity)) {
    ::CloseHandle(handle);
    throw EFOpenError(path);
  }
  return std::unique_ptr<TFile>(
      new TFile(reinterpret_cast<std::intptr_t>(handle), path, identity, {}));
}

// Opened without sharing: when `mustNotBe` is the same file under any name, its own open
// handle makes this open fail with a sharing violation, which the system checks before
// CREATE_ALWAYS truncates anything.
//
// The right to delete lets Abandon and a console control handler remove the file through this
// handle (RemoveUnfinishedOutputs); where it is not granted, the file is opened without it.
// Between the open and its record, a console event leaves the new file empty.
std::unique_ptr<TFile> TFile::CreateForWriting(const std::string& path, const TFile* mustNotBe) {
  // Console text written into the input would spoil it: refused before CREATE_ALWAYS
  // truncates anything. (A console open on the output itself makes the unshared open fail.)
  const HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
  TIdentity consoleIdentity;
  if (mustNotBe != nullptr && console != nullptr && console != INVALID_HANDLE_VALUE &&
      ::GetFileType(console) == FILE_TYPE_DISK && IdentityOf(console, consoleIdentity) &&
      consoleIdentity == mustNotBe->Identity)
    throw EFCreateError(path);
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (const DWORD access : {GENERIC_READ | GENERIC_WRITE | DELETE, GENERIC_READ | GENERIC_WRITE}) {
    handle = ::CreateFileA(path.c_str(), access, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (handle != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_ACCESS_DENIED)
      break;
  }
  if (handle == INVALID_HANDLE_VALUE)
    throw EFCreateError(path);
  const bool created = ::GetLastError() != ERROR_ALREADY_EXISTS;
  const DWORD type = ::GetFileType(handle);
  TIdentity identity;
  // A pipe cannot be rewound to write the header, and writing one that nobody reads would
  // block for ever. A device such as NUL is written but never removed.
  if (type == FILE_TYPE_PIPE || type == FILE_TYPE_UNKNOWN ||
      (type == FILE_TYPE_DISK && !IdentityOf(handle, identity))) {
    ::CloseHandle(handle);
    // A refused hexfile is not left behind where there was none.
    if (created && type == FILE_TYPE_DISK)
      ::DeleteFileA(path.c_str());
    throw EFCreateError(path);
  }
  // Where the handle may not delete, Abandon opens the path again, and so reaches the file
  // behind a symbolic link, not the link.
  std::string removalPath = type == FILE_TYPE_DISK ? path : std::string();
  std::unique_ptr<TFile> file(
      new TFile(reinterpret_cast<std::intptr_t>(handle), path, identity, std::move(removalPath)));
  if (type == FILE_TYPE_DISK)
    file->UnfinishedSlot = RecordUnfinished(handle);
  return file;
}

void TFile::Fail(const char* action) const {
  const DWORD code = ::GetLastError();
  throw EInOutError(std::string("Cannot ") + action + " file " + Path + ": " +
                    SystemErrorText(code));
}

std::size_t TFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) {
  OVERLAPPED where = At(offset);
  DWORD count = 0;
  if (!::ReadFile(Win(Handle), data.data(), Chunk(data.size()), &count, &where)) {
    if (::GetLastError() == ERROR_HANDLE_EOF)
      return 0;
    Fail("read");
  }
  return count;
}

// A write may take fewer bytes than offered; go on until all are written or the system
// reports why it cannot take more.
void TFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    OVERLAPPED where = At(offset);
    DWORD count = 0;
    if (!::WriteFile(Win(Handle), data.data(), Chunk(data.size()), &count, &where))
      Fail("write");
    if (count == 0)
      FailWrite(0);
    data = data.subspan(count);
    offset += count;
  }
}

void TFile::FailWrite(long) const {
  ::SetLastError(ERROR_DISK_FULL);  // no progress and no reason: the device took nothing
  Fail("write");
}

std::uint64_t TFile::Size() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(Win(Handle), &size))
    Fail("get the size of");
  return static_cast<std::uint64_t>(size.QuadPart);
}

void TFile::Close() {
  // Only a whole file is closed: a console event from here on leaves it.
  ClaimUnfinished(std::exchange(UnfinishedSlot, -1), Free);
  if (Handle == Closed)
    return;
  const HANDLE handle = Win(Handle);
  Handle = Closed;
  if (!::CloseHandle(handle))
    Fail("close");
}

void TFile::Abandon() noexcept {
  const int slot = std::exchange(UnfinishedSlot, -1);
  ClaimUnfinished(slot, Busy);
  // Deleted through the run's own handle while it is open: once it is closed, another run may
  // take the path.
  bool deleted = false;
  if (Handle != Closed) {
    deleted = !RemovalPath.empty() && EmptyAndDelete(Win(Handle));
    ::CloseHandle(Win(Handle));
    Handle = Closed;
  }
  if (!RemovalPath.empty() && !deleted) {
    // Without the right to delete on the handle: by the path, but only if it still names the
    // file that was written; if it was replaced meanwhile, it is someone else's.
    const HANDLE handle = ::CreateFileA(RemovalPath.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      TIdentity found;
      if (::GetFileType(handle) == FILE_TYPE_DISK && IdentityOf(handle, found) && found == Identity)
        (void)MarkForDeletion(handle);
      ::CloseHandle(handle);
    }
  }
  RemovalPath.clear();
  ReleaseUnfinished(slot);
}

}  // namespace huff
