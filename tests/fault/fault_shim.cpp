// A library preloaded into the programs under test (LD_PRELOAD): it counts their file calls
// by kind and fails the Nth call of one kind. Only descriptors from 3 on are counted, so the
// console (a fault of its own, raised as EConsoleError) and the shim's own report stay apart.
//
//   FAULT_KIND    read, write, seek, size or close: the kind to fail
//   FAULT_AT      N: the Nth call of that kind fails (unset or 0: none)
//   FAULT_ERRNO   the errno it fails with (default EIO)
//   FAULT_SIGNAL  S: instead of failing that call, send the process signal S, as a user
//                 stopping the run would, then make the call
//   FAULT_SHORT   K: every read and write takes at most K bytes, as a nearly full disk would
//   FAULT_PATCH   "offset,value": once the first pass has read to the end of a file, the byte
//                 at offset is set to value (offset at the end: the file grows)
//   FAULT_TRUNCATE  length: at the same moment, the file is cut to length
//   FAULT_REPORT  where to write, at exit, each kind's calls, whether it failed one, the
//                 largest read asked for and the number of mappings of files
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum TKind { Read, Write, Seek, Size, Close, KindCount };
constexpr const char* KindNames[KindCount] = {"read", "write", "seek", "size", "close"};

struct TConfig {
  int Kind = -1;
  long At = 0;
  int Errno = EIO;
  int Signal = 0;
  std::size_t Short = 0;
  long long PatchOffset = -1;
  unsigned char PatchValue = 0;
  long long TruncateTo = -1;
  const char* Report = nullptr;
};

TConfig Config;
std::atomic<long> Calls[KindCount];
std::atomic<bool> Failed[KindCount];
std::atomic<std::size_t> LargestRead;
std::atomic<long> FileMappings;
std::atomic<bool> Patched;

__attribute__((constructor)) void Configure() {
  const char* kind = std::getenv("FAULT_KIND");
  for (int k = 0; kind != nullptr && k < KindCount; ++k)
    if (std::strcmp(kind, KindNames[k]) == 0)
      Config.Kind = k;
  if (const char* at = std::getenv("FAULT_AT"))
    Config.At = std::atol(at);
  if (const char* code = std::getenv("FAULT_ERRNO"))
    Config.Errno = std::atoi(code);
  if (const char* signal = std::getenv("FAULT_SIGNAL"))
    Config.Signal = std::atoi(signal);
  if (const char* most = std::getenv("FAULT_SHORT"))
    Config.Short = static_cast<std::size_t>(std::atol(most));
  if (const char* patch = std::getenv("FAULT_PATCH")) {
    unsigned value = 0;
    if (std::sscanf(patch, "%lld,%u", &Config.PatchOffset, &value) == 2)
      Config.PatchValue = static_cast<unsigned char>(value);
  }
  if (const char* length = std::getenv("FAULT_TRUNCATE"))
    Config.TruncateTo = std::atoll(length);
  Config.Report = std::getenv("FAULT_REPORT");
}

// Raw system calls: the report must not count itself.
__attribute__((destructor)) void WriteReport() {
  if (Config.Report == nullptr)
    return;
  char text[512];
  int length = 0;
  for (int k = 0; k < KindCount; ++k)
    length += std::snprintf(text + length, sizeof text - length, "%s %ld %d\n", KindNames[k],
                            Calls[k].load(), Failed[k].load() ? 1 : 0);
  length += std::snprintf(text + length, sizeof text - length, "largest-read %zu 0\nmmap %ld 0\n",
                          LargestRead.load(), FileMappings.load());
  const long fd =
      ::syscall(SYS_openat, AT_FDCWD, Config.Report, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0)
    return;
  ::syscall(SYS_write, fd, text, length);
  ::syscall(SYS_close, fd);
}

// Counts a call of `kind` on fd; true when this one is to fail (errno is then set).
bool Inject(TKind kind, int fd) {
  if (fd < 3)
    return false;
  const long number = ++Calls[kind];
  if (kind != Config.Kind || number != Config.At)
    return false;
  if (Config.Signal != 0) {
    ::kill(::getpid(), Config.Signal);
    return false;
  }
  Failed[kind] = true;
  errno = Config.Errno;
  return true;
}

// As a nearly full disk does, a read or write may take fewer bytes than asked.
std::size_t Limit(int fd, std::size_t count) {
  return fd >= 3 && Config.Short > 0 && count > Config.Short ? Config.Short : count;
}

// The first read of a file that finds its end ends the first pass: change the file then.
void ChangeAtEnd(int fd) {
  if ((Config.PatchOffset < 0 && Config.TruncateTo < 0) || Patched.exchange(true))
    return;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const long writable = ::syscall(SYS_openat, AT_FDCWD, path, O_WRONLY);
  if (writable < 0)
    return;
  if (Config.PatchOffset >= 0)
    ::syscall(SYS_pwrite64, writable, &Config.PatchValue, 1, Config.PatchOffset);
  if (Config.TruncateTo >= 0)
    ::syscall(SYS_ftruncate, writable, Config.TruncateTo);
  ::syscall(SYS_close, writable);
}

// A read of `count` bytes that `call` makes, given how many it may take.
template <typename TCall>
ssize_t Reading(int fd, std::size_t count, TCall call) {
  if (fd >= 3) {
    std::size_t seen = LargestRead.load();
    while (count > seen && !LargestRead.compare_exchange_weak(seen, count)) {
    }
  }
  if (Inject(Read, fd))
    return -1;
  const ssize_t result = call(Limit(fd, count));
  if (fd >= 3 && result == 0 && count > 0)
    ChangeAtEnd(fd);
  return result;
}

template <typename TCall>
ssize_t Writing(int fd, std::size_t count, TCall call) {
  return Inject(Write, fd) ? -1 : call(Limit(fd, count));
}

std::size_t Total(const iovec* vectors, int count) {
  std::size_t total = 0;
  for (int i = 0; i < count; ++i)
    total += vectors[i].iov_len;
  return total;
}

// Only the form that asks about the descriptor itself is a size query.
bool AboutItself(const char* path, int flags) {
  return (flags & AT_EMPTY_PATH) != 0 && path[0] == '\0';
}

template <typename TFunction>
TFunction* Next(const char* name) {
  return reinterpret_cast<TFunction*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

#define FAULT_NEXT(name) static auto* const next = Next<decltype(::name)>(#name)

extern "C" {

ssize_t read(int fd, void* data, std::size_t count) {
  FAULT_NEXT(read);
  return Reading(fd, count, [&](std::size_t most) { return next(fd, data, most); });
}

ssize_t pread(int fd, void* data, std::size_t count, off_t offset) {
  FAULT_NEXT(pread);
  return Reading(fd, count, [&](std::size_t most) { return next(fd, data, most, offset); });
}

ssize_t pread64(int fd, void* data, std::size_t count, off64_t offset) {
  FAULT_NEXT(pread64);
  return Reading(fd, count, [&](std::size_t most) { return next(fd, data, most, offset); });
}

// Vectored calls are failed and counted, never shortened.
ssize_t readv(int fd, const iovec* vectors, int count) {
  FAULT_NEXT(readv);
  return Reading(fd, Total(vectors, count), [&](std::size_t) { return next(fd, vectors, count); });
}

ssize_t write(int fd, const void* data, std::size_t count) {
  FAULT_NEXT(write);
  return Writing(fd, count, [&](std::size_t most) { return next(fd, data, most); });
}

ssize_t pwrite(int fd, const void* data, std::size_t count, off_t offset) {
  FAULT_NEXT(pwrite);
  return Writing(fd, count, [&](std::size_t most) { return next(fd, data, most, offset); });
}

ssize_t pwrite64(int fd, const void* data, std::size_t count, off64_t offset) {
  FAULT_NEXT(pwrite64);
  return Writing(fd, count, [&](std::size_t most) { return next(fd, data, most, offset); });
}

ssize_t writev(int fd, const iovec* vectors, int count) {
  FAULT_NEXT(writev);
  return Writing(fd, Total(vectors, count), [&](std::size_t) { return next(fd, vectors, count); });
}

off_t lseek(int fd, off_t offset, int whence) noexcept {
  FAULT_NEXT(lseek);
  return Inject(Seek, fd) ? -1 : next(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence) noexcept {
  FAULT_NEXT(lseek64);
  return Inject(Seek, fd) ? -1 : next(fd, offset, whence);
}

int fstat(int fd, struct stat* info) noexcept {
  FAULT_NEXT(fstat);
  return Inject(Size, fd) ? -1 : next(fd, info);
}

int fstat64(int fd, struct stat64* info) noexcept {
  FAULT_NEXT(fstat64);
  return Inject(Size, fd) ? -1 : next(fd, info);
}

int fstatat(int fd, const char* path, struct stat* info, int flags) noexcept {
  FAULT_NEXT(fstatat);
  return AboutItself(path, flags) && Inject(Size, fd) ? -1 : next(fd, path, info, flags);
}

int fstatat64(int fd, const char* path, struct stat64* info, int flags) noexcept {
  FAULT_NEXT(fstatat64);
  return AboutItself(path, flags) && Inject(Size, fd) ? -1 : next(fd, path, info, flags);
}

int statx(int fd, const char* path, int flags, unsigned mask, struct statx* info) noexcept {
  FAULT_NEXT(statx);
  return AboutItself(path, flags) && Inject(Size, fd) ? -1 : next(fd, path, flags, mask, info);
}

// The descriptor is released even when close fails, as the system does.
int close(int fd) {
  FAULT_NEXT(close);
  const bool fail = Inject(Close, fd);
  const int result = next(fd);
  if (!fail)
    return result;
  errno = Config.Errno;
  return -1;
}

// The input must never be mapped: a file truncated under a mapping kills with SIGBUS.
void* mmap(void* address, std::size_t length, int protection, int flags, int fd,
           off_t offset) noexcept {
  FAULT_NEXT(mmap);
  if (fd >= 3 && (flags & MAP_ANONYMOUS) == 0)
    ++FileMappings;
  return next(address, length, protection, flags, fd, offset);
}

void* mmap64(void* address, std::size_t length, int protection, int flags, int fd,
             off64_t offset) noexcept {
  FAULT_NEXT(mmap64);
  if (fd >= 3 && (flags & MAP_ANONYMOUS) == 0)
    ++FileMappings;
  return next(address, length, protection, flags, fd, offset);
}

}  // extern "C"
