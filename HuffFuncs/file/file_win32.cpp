// Win32 side of the file layer.
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bit>
#include <cstdlib>

#include "base/errors.h"
#include "file/file.h"

namespace huff {
namespace {

HANDLE Win(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t Stored(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);  // INVALID_HANDLE_VALUE is -1
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

// Volume serial number and file index; false for a directory.
bool IdentityOf(HANDLE handle, TFile::TIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return false;
  identity = {info.dwVolumeSerialNumber,
              (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  return true;
}

// Where path leads, in full (ReplaceFile took a working folder's name for a folder's), links too.
std::string Followed(const std::string& path, HANDLE old) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  const bool link =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  std::string target(MAX_PATH, '\0');
  for (;;) {
    const auto room = static_cast<DWORD>(target.size());
    const DWORD length = link ? ::GetFinalPathNameByHandleA(old, target.data(), room, 0)
                              : ::GetFullPathNameA(path.c_str(), room, target.data(), nullptr);
    if (length == 0)
      return path;
    if (length < target.size())
      return target.substr(0, length);
    target.resize(length + 1);
  }
}

}  // namespace

// The new file was opened to be shared for deletion: it goes when its last handle closes.
void TFile::RemoveNewFile(const char* path, const TFile::TIdentity& identity) noexcept {
  const HANDLE handle = ::CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return;
  TFile::TIdentity found;
  FILE_DISPOSITION_INFO remove{TRUE};
  // A file that took its name meanwhile is someone else's.
  if (IdentityOf(handle, found) && found == identity)
    static_cast<void>(
        ::SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove));
  ::CloseHandle(handle);
}

bool TFile::Release(std::intptr_t& handle) noexcept {
  return handle == -1 || ::CloseHandle(Win(std::exchange(handle, -1)));
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

bool NamesNonDirectory(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::unique_ptr<TFile> TFile::OpenForReading(const std::string& path) {
  std::unique_ptr<TFile> file(new TFile(path));
  file->Handle =
      Stored(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  // Only a file on a disk can be read twice: not a device such as NUL or CON, nor a pipe.
  if (file->Handle == -1 || ::GetFileType(Win(file->Handle)) != FILE_TYPE_DISK ||
      !IdentityOf(Win(file->Handle), file->Identity))
    throw EFOpenError(path);
  return file;
}

// The old file is opened to write, sharing nothing but its deletion, and held so: the open
// fails when `mustNotBe`'s handle, another run's or a console's has the same file.
std::unique_ptr<TFile> TFile::CreateForWriting(const std::string& path, const TFile* mustNotBe) {
  std::unique_ptr<TFile> file(new TFile(path));
  // Console text written into the input would spoil it.
  const HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
  TIdentity consoleIdentity;
  file->RefuseIf(mustNotBe != nullptr && console != nullptr && console != INVALID_HANDLE_VALUE &&
                 ::GetFileType(console) == FILE_TYPE_DISK && IdentityOf(console, consoleIdentity) &&
                 consoleIdentity == mustNotBe->Identity);
  file->Held = Stored(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  file->RefuseIf(file->Held == -1 && ::GetLastError() != ERROR_FILE_NOT_FOUND);
  if (file->Held != -1) {
    // A pipe cannot be rewound for the header, and one nobody reads would block; a device such
    // as NUL is written in place.
    const DWORD type = ::GetFileType(Win(file->Held));
    file->RefuseIf(type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR);
    if (type == FILE_TYPE_CHAR) {
      file->Handle = std::exchange(file->Held, -1);
      return file;
    }
    TIdentity found;
    file->RefuseIf(!IdentityOf(Win(file->Held), found) ||
                   (mustNotBe != nullptr && found == mustNotBe->Identity));
  }
  file->Target = Followed(path, Win(file->Held));
  file->MakeNewFile(file->Target.size());  // the limit on a whole path comes first
  return file;
}

bool TFile::CreateNew(bool& exists) {
  Handle = Stored(::CreateFileA(NewPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE,
                                nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  exists = Handle == -1 && ::GetLastError() == ERROR_FILE_EXISTS;
  if (Handle == -1)
    return false;
  static_cast<void>(IdentityOf(Win(Handle), Identity));
  return true;
}

// The old file, held until now, gives the new one its attributes and security. ReplaceFile that
// cannot move the new file has removed the old one all the same: then a plain move, and when
// that fails too the new file stays, whole, under its own name.
bool TFile::PutInPlace(const std::string& from, const std::string& to, bool replaces,
                       bool& kept) noexcept {
  if (replaces && ::ReplaceFileA(to.c_str(), from.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                 nullptr, nullptr))
    return true;
  if (replaces && ::GetLastError() != ERROR_UNABLE_TO_MOVE_REPLACEMENT)
    return false;
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
    return true;
  kept = replaces;
  return false;
}

unsigned long TFile::LastError() noexcept {
  return ::GetLastError();
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

// A write may take fewer bytes than offered: on until all are.
void TFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    OVERLAPPED where = At(offset);
    DWORD count = 0;
    if (!::WriteFile(Win(Handle), data.data(), Chunk(data.size()), &count, &where))
      Fail("write");
    if (count == 0)
      Fail("write", ERROR_DISK_FULL);  // a write that took nothing
    data = data.subspan(count);
    offset += count;
  }
}

std::uint64_t TFile::Size() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(Win(Handle), &size))
    Fail("get the size of");
  return static_cast<std::uint64_t>(size.QuadPart);
}

}  // namespace huff
