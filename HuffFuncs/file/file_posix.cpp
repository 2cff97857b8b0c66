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
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// Removes path when it still names the regular file `identity`: if the path was replaced
// meanwhile, it is someone else's. Async-signal-safe.
void RemoveIfStill(const char* path, const TFile::TIdentity& identity) {
  struct stat info {};
  if (::lstat(path, &info) == 0 && S_ISREG(info.st_mode) && IdentityOf(info) == identity)
    ::unlink(path);
}

// The outputs being written, as a signal handler may read them: a fixed table of plain
// bytes, each entry claimed and released by one atomic state.
enum TSlotState : int { Free, Filling, Armed, Taken };
struct TUnfinished {
  std::atomic<int> State{Free};
  char Path[PATH_MAX];
  TFile::TIdentity Identity;
};
static_assert(std::atomic<int>::is_always_lock_free, "read from signal handlers");
// A run writes one output; the tests hold a few at once.
std::array<TUnfinished, 8> Unfinished;

int RecordUnfinished(const std::string& path, const TFile::TIdentity& identity) {
  if (path.size() >= PATH_MAX)
    return -1;
  for (std::size_t slot = 0; slot < Unfinished.size(); ++slot) {
    int expected = Free;
    if (!Unfinished[slot].State.compare_exchange_strong(expected, Filling))
      continue;
    std::memcpy(Unfinished[slot].Path, path.c_str(), path.size() + 1);
    Unfinished[slot].Identity = identity;
    Unfinished[slot].State.store(Armed);
    return static_cast<int>(slot);
  }
  return -1;
}

void ForgetUnfinished(int slot) {
  if (slot < 0)
    return;
  int expected = Armed;
  if (Unfinished[static_cast<std::size_t>(slot)].State.compare_exchange_strong(expected, Free))
    return;
  // A signal handler on another thread has taken the file to remove it, and ends the process
  // next: the run must not go on to report success.
  for (;;)
    ::pause();
}

// Holds back every signal while a file is created and recorded, so that no handler finds
// it made but not yet recorded.
class TSignalsHeld {
 public:
  TSignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, &Previous);
  }
  ~TSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &Previous, nullptr); }
  TSignalsHeld(const TSignalsHeld&) = delete;
  TSignalsHeld& operator=(const TSignalsHeld&) = delete;

 private:
  sigset_t Previous;
};

// Whether standard output is a regular file, and which.
bool ConsoleFile(TFile::TIdentity& identity) {
  struct stat info {};
  if (::fstat(STDOUT_FILENO, &info) != 0 || !S_ISREG(info.st_mode))
    return false;
  identity = IdentityOf(info);
  return true;
}

// Takes the file for this run alone, without waiting; false when another run has it. A file
// system that keeps no locks leaves the file unlocked.
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
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    return true;
  return errno != EWOULDBLOCK;
}

// Whether path still names the file `identity`: a run that held the file before this one
// took the lock may have removed it meanwhile, and a file without a name is nobody's result.
bool StillNamed(const std::string& path, const TFile::TIdentity& identity) {
  struct stat named {};
  return ::stat(path.c_str(), &named) == 0 && IdentityOf(named) == identity;
}

}  // namespace

void RemoveUnfinishedOutputs() noexcept {
  for (TUnfinished& entry : Unfinished) {
    int expected = Armed;
    if (entry.State.compare_exchange_strong(expected, Taken))
      RemoveIfStill(entry.Path, entry.Identity);
  }
}

unsigned ProcessorCount() {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0)
    return static_cast<unsigned>(std::max(CPU_COUNT(&allowed), 1));
  return std::max(std::thread::hardware_concurrency(), 1u);
}

void PrepareLargeBuffer(void* data, std::size_t size) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t Huge = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + Huge - 1) & ~(Huge - 1), end = (start + size) & ~(Huge - 1);
  if (size >= 2 * Huge && end > begin)
    static_cast<void>(::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE));
#else
  static_cast<void>(data);
  static_cast<void>(size);
#endif
}

void* AllocateResult(std::size_t size) noexcept {
  constexpr std::size_t Huge = std::size_t{2} << 20;
  if (size < 2 * Huge)
    return std::malloc(size);
  void* memory = std::aligned_alloc(Huge, (size + Huge - 1) / Huge * Huge);
  if (memory != nullptr)
    PrepareLargeBuffer(memory, size);
  return memory;
}

std::string SystemErrorText(unsigned long code) {
  return std::strerror(static_cast<int>(code));
}

TPathKind ProbePath(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return TPathKind::Missing;
  return S_ISDIR(info.st_mode) ? TPathKind::Directory : TPathKind::Existing;
}

TFile::~TFile() {
  ForgetUnfinished(UnfinishedSlot);
  if (Handle >= 0)
    ::close(Fd(Handle));
}

std::unique_ptr<TFile> TFile::OpenForReading(const std::string& path) {
  // O_NONBLOCK keeps the open of a FIFO without a writer from hanging; such inputs are
  // refused below, and it has no effect on regular files.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    throw EFOpenError(path);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw EFOpenError(path);
  }
  const TIdentity identity = IdentityOf(info);
  return std::unique_ptr<TFile>(new TFile(fd, path, identity, {}));
}

std::unique_ptr<TFile> TFile::CreateForWriting(const std::string& path, const TFile* mustNotBe) {
  const TSignalsHeld held;
  // Open without O_TRUNC, so that the checks run before anything is lost. O_NONBLOCK keeps
  // the open of a device from hanging; it is cleared below. The run must know whether it
  // creates the file, to remove it again when refusing it below: O_EXCL creates only where
  // nothing stands, the second open takes what exists, and a dangling symbolic link is
  // followed to create the file it names.
  const int openFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;
  int fd = ::open(path.c_str(), openFlags | O_CREAT | O_EXCL, 0666);
  bool created = fd >= 0;
  if (fd < 0 && errno == EEXIST) {
    fd = ::open(path.c_str(), openFlags);
    if (fd < 0 && errno == ENOENT) {
      fd = ::open(path.c_str(), openFlags | O_CREAT, 0666);
      created = fd >= 0;
    }
  }
  if (fd < 0)
    throw EFCreateError(path);
  // A file that another run writes is its own, even when this run created it: the other
  // run opened it before this one could lock it.
  const auto refuse = [&](bool removeCreated) {
    ::close(fd);
    if (created && removeCreated) {
      // The file itself, not a symbolic link that led to it.
      if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        ::unlink(resolved);
        std::free(resolved);
      }
    }
    throw EFCreateError(path);
  };

  struct stat info {};
  if (::fstat(fd, &info) != 0)
    refuse(true);
  const TIdentity found = IdentityOf(info);
  // A FIFO or socket cannot be rewound to write the header, and writing a FIFO that
  // nobody reads would block for ever.
  const bool unusable = S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
  // Console text written into the output or the input would spoil either.
  TIdentity console;
  const bool consoleClashes =
      ConsoleFile(console) &&
      (console == found || (mustNotBe != nullptr && console == mustNotBe->Identity));
  if ((mustNotBe != nullptr && found == mustNotBe->Identity) || unusable || consoleClashes)
    refuse(true);
  const bool regular = S_ISREG(info.st_mode);
  if (regular && (!LockForWriting(fd) || !StillNamed(path, found)))
    refuse(false);
  const int flags = ::fcntl(fd, F_GETFL);
  if ((regular && ::ftruncate(fd, 0) != 0) || flags < 0 ||
      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
    refuse(true);
  // Abandon removes the file itself, not a symbolic link that leads to it.
  std::string removalPath;
  if (regular) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    removalPath = resolved != nullptr ? resolved : path;
    std::free(resolved);
  }
  std::unique_ptr<TFile> file(new TFile(fd, path, found, std::move(removalPath)));
  if (regular)
    file->UnfinishedSlot = RecordUnfinished(file->RemovalPath, found);
  return file;
}

void TFile::Fail(const char* action) const {
  throw EInOutError(std::string("Cannot ") + action + " file " + Path + ": " +
                    SystemErrorText(static_cast<unsigned long>(errno)));
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

// A write may take fewer bytes than offered (a signal, a nearly full disk); go on until all
// are written or the system reports why it cannot take more.
void TFile::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const ssize_t count =
        ::pwrite(Fd(Handle), data.data(), data.size(), static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0)
      FailWrite(count);
    data = data.subspan(static_cast<std::size_t>(count));
    offset += static_cast<std::uint64_t>(count);
  }
}

void TFile::FailWrite(long result) const {
  if (result == 0)
    errno = ENOSPC;  // no progress and no reason: the device took nothing
  Fail("write");
}

std::uint64_t TFile::Size() {
  struct stat info {};
  if (::fstat(Fd(Handle), &info) != 0)
    Fail("get the size of");
  return static_cast<std::uint64_t>(info.st_size);
}

void TFile::Close() {
  // Only a whole file is closed: a signal from here on leaves it.
  ForgetUnfinished(std::exchange(UnfinishedSlot, -1));
  if (Handle < 0)
    return;
  const int fd = Fd(Handle);
  Handle = -1;
  // The descriptor is released even when close reports an error; retrying could close
  // a descriptor that another thread has opened meanwhile.
  if (::close(fd) != 0)
    Fail("close");
}

void TFile::Abandon() noexcept {
  // Removed while it is still open and locked: once it is closed, another run may take the
  // path and write a whole file of its own into the same inode.
  if (!RemovalPath.empty()) {
    // Everything in the file is ours (it was created or truncated by this run): empty it,
    // so that no other hard link to it keeps a half-written container either.
    if (Handle >= 0)
      (void)::ftruncate(Fd(Handle), 0);
    RemoveIfStill(RemovalPath.c_str(), Identity);
  }
  if (Handle >= 0) {
    ::close(Fd(Handle));
    Handle = -1;
  }
  RemovalPath.clear();
  // Only now: a signal until here removes the file too.
  ForgetUnfinished(std::exchange(UnfinishedSlot, -1));
}

}  // namespace huff
