// POSIX side of the file layer.
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "base/errors.h"
#include "file/file.h"

namespace huff {
namespace {

int Fd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

TFile::TIdentity IdentityOf(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// Takes the file for this run alone, not waiting; false when another run has it (or no locks).
bool LockForWriting(int fd) {
#ifdef F_OFD_SETLK
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_SETLK, &whole) == 0)
    return true;
  if (errno != EINVAL)  // EINVAL: a kernel without such locks, which has flock
    return errno != EAGAIN && errno != EACCES;
#endif
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

// Where path leads through symbolic links, the last of which may lead nowhere yet.
std::string Followed(std::string path) {
  char link[PATH_MAX];
  for (int hops = 0; hops < 40; ++hops) {
    const ssize_t length = ::readlink(path.c_str(), link, sizeof link - 1);
    if (length < 0)
      break;
    const std::string to(link, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    path = to.starts_with('/') || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
  }
  return path;
}

}  // namespace

void TFile::RemoveNewFile(const char* path, const TFile::TIdentity& identity) noexcept {
  // A file that took its name meanwhile is someone else's.
  struct stat info {};
  if (::lstat(path, &info) == 0 && S_ISREG(info.st_mode) && IdentityOf(info) == identity)
    ::unlink(path);
}

bool TFile::Release(std::intptr_t& handle) noexcept {
  return handle < 0 || ::close(Fd(std::exchange(handle, -1))) == 0;
}

unsigned ProcessorCount() {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0)
    return static_cast<unsigned>(std::max(CPU_COUNT(&allowed), 1));
  return std::max(std::thread::hardware_concurrency(), 1u);
}

void PrepareLargeBuffer([[maybe_unused]] void* data, [[maybe_unused]] std::size_t size) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t Huge = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + Huge - 1) & ~(Huge - 1), end = (start + size) & ~(Huge - 1);
  if (size >= 2 * Huge && end > begin)
    static_cast<void>(::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE));
#endif
}

void* AllocateResult(std::size_t size) noexcept {
  constexpr std::size_t Huge = std::size_t{2} << 20;
  if (size < 2 * Huge)
    return std::malloc(size);
  return std::aligned_alloc(Huge, (size + Huge - 1) / Huge * Huge);
}

std::string SystemErrorText(unsigned long code) {
  return std::strerror(static_cast<int>(code));
}

bool NamesNonDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

std::unique_ptr<TFile> TFile::OpenForReading(const std::string& path) {
  std::unique_ptr<TFile> file(new TFile(path));
  // O_NONBLOCK keeps the open of a FIFO without a writer from hanging; it is refused below.
  file->Handle = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (file->Handle < 0 || ::fstat(Fd(file->Handle), &info) != 0 || !S_ISREG(info.st_mode))
    throw EFOpenError(path);
  file->Identity = IdentityOf(info);
  return file;
}

std::unique_ptr<TFile> TFile::CreateForWriting(const std::string& path, const TFile* mustNotBe) {
  // Every signal held back until the new file is made and recorded, for the handlers.
  const struct TSignalsHeld {
    TSignalsHeld() {
      sigset_t all;
      sigfillset(&all);
      ::pthread_sigmask(SIG_BLOCK, &all, &Previous);
    }
    ~TSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &Previous, nullptr); }
    sigset_t Previous;
  } held;
  std::unique_ptr<TFile> file(new TFile(path));
  // A FIFO is refused unopened: a writer come and gone would end its reader's stream.
  struct stat info {};
  file->RefuseIf(::stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
  // The old file, to be checked and held; O_NONBLOCK keeps the open of a device from hanging.
  const int old = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  file->Held = old;
  file->RefuseIf(old < 0 && errno != ENOENT);  // a directory, a file this process may not write
  const bool consoleIsFile = ::fstat(STDOUT_FILENO, &info) == 0 && S_ISREG(info.st_mode);
  const TIdentity console = IdentityOf(info);
  // Console text written into the input would spoil it.
  file->RefuseIf(mustNotBe != nullptr && consoleIsFile && console == mustNotBe->Identity);
  file->Target = Followed(path);
  if (old >= 0) {
    file->RefuseIf(::fstat(old, &info) != 0);
    const TIdentity found = IdentityOf(info);
    // A FIFO or socket cannot be rewound for the header, and one nobody reads would block; nor
    // may the console land in the output.
    file->RefuseIf((mustNotBe != nullptr && found == mustNotBe->Identity) ||
                   S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) ||
                   (consoleIsFile && console == found));
    if (!S_ISREG(info.st_mode)) {
      // A device: written in place, never removed.
      const int flags = ::fcntl(old, F_GETFL);
      file->RefuseIf(flags < 0 || ::fcntl(old, F_SETFL, flags & ~O_NONBLOCK) != 0);
      file->Handle = std::exchange(file->Held, -1);
      file->Identity = found;
      return file;
    }
    // Held for this run alone until its new file is in place. Where the links lead must be the
    // file held: one that had it until just now may have put its own file there, and a link of
    // /proc's names its file by a text that may lead elsewhere ("<path> (deleted)").
    struct stat named {};
    file->RefuseIf(!LockForWriting(old) || ::stat(file->Target.c_str(), &named) != 0 ||
                   IdentityOf(named) != found);
  }
  // The new file's name adds 20 bytes to the output's, cut to 235 (a name is bytes here): so
  // that a name of any length a folder holds (255 bytes) can be replaced.
  const std::size_t name = file->Target.rfind('/') + 1;  // npos + 1: no folder given
  file->MakeNewFile(std::min(file->Target.size(), name + 235));
  if (old >= 0) {
    // The owner and group where this process may, then the permissions (a chown clears some).
    if (::fchown(Fd(file->Handle), info.st_uid, info.st_gid) != 0)
      static_cast<void>(::fchown(Fd(file->Handle), static_cast<uid_t>(-1), info.st_gid));
    static_cast<void>(::fchmod(Fd(file->Handle), info.st_mode & 07777));
  }
  return file;
}

bool TFile::CreateNew(bool& exists) {
  Handle = ::open(NewPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  exists = Handle < 0 && errno == EEXIST;
  if (Handle < 0)
    return false;
  struct stat made {};
  if (::fstat(Fd(Handle), &made) != 0) {
    ::unlink(NewPath.c_str());  // made just now, and only this run knows its name
    NewPath.clear();
    Fail("get the size of");
  }
  Identity = IdentityOf(made);
  return true;
}

bool TFile::PutInPlace(const std::string& from, const std::string& to, bool, bool&) noexcept {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

unsigned long TFile::LastError() noexcept {
  return static_cast<unsigned long>(errno);
}

std::size_t TFile::ReadAt(std::uint64_t offset, std::span<std::uint8_t> data) {
  for (;;) {
    const ssize_t count = ::pread(Fd(Handle), data.data(), data.size(), static_cast<off_t>(offset));
    if (count >= 0)
      return static_cast<std::size_t>(count);
    if (errno != EINTR)
      Fail("read");
  }
}

// A write may take fewer bytes than offered (a signal, a nearly full disk): on until all are.
void TFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t count =
        ::pwrite(Fd(Handle), data.data(), data.size(), static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      Fail("write", count == 0 ? ENOSPC : LastError());  // ENOSPC: it took nothing
    data = data.subspan(static_cast<std::size_t>(count));
    offset += static_cast<std::uint64_t>(count);
  }
}

std::uint64_t TFile::Size() {
  struct stat info {};
  if (::fstat(Fd(Handle), &info) != 0)
    Fail("get the size of");
  return static_cast<std::uint64_t>(info.st_size);
}

}  // namespace huff
