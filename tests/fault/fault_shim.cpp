// A library preloaded into the programs under test (LD_PRELOAD): it counts their file calls
// by kind and fails the Nth call of one kind. Only descriptors from 3 on are counted, so the
// console (a fault of its own, raised as EConsoleError) and the shim's own report stay apart.
//
//   FAULT_KIND    read, write, size or close: the kind to fail
//   FAULT_AT      N: the Nth call of that kind fails with EIO (unset or 0: none)
//   FAULT_SIGNAL  S: instead of failing that call, send the process signal S, as a user
//                 stopping the run would, then make the call
//   FAULT_SHORT   K: every read and write takes at most K bytes, as a nearly full disk would,
//                 and every other one fails with EINTR first, as on a signal
//   FAULT_RESIZE  L: once the first pass has read to the end of a file, it is cut or grown to L
//   FAULT_RESIZE_AT  N: that comes at the Nth read instead
//   FAULT_REPORT  where to write, at exit, how many calls of each kind there were
//   FAULT_HANDLED  S: signal S has a handler from before main, as a profiler's, that ignores it
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum TKind { Read, Write, Size, Close, KindCount };
constexpr const char* KindNames[KindCount] = {"read", "write", "size", "close"};

long Number(const char* name, long otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atol(value) : otherwise;
}

const char* const Kind = std::getenv("FAULT_KIND");
const long At = Number("FAULT_AT", 0), Signal = Number("FAULT_SIGNAL", 0),
           Short = Number("FAULT_SHORT", 0), ResizeTo = Number("FAULT_RESIZE", -1),
           ResizeAt = Number("FAULT_RESIZE_AT", 0);
std::atomic<long> Calls[KindCount];
std::atomic<bool> Resized;

// Each count is read before the report's own calls, which go through libc's internal ones.
__attribute__((destructor)) void WriteReport() {
  const char* report = std::getenv("FAULT_REPORT");
  if (std::FILE* out = report != nullptr ? std::fopen(report, "w") : nullptr) {
    for (int k = 0; k < KindCount; ++k)
      std::fprintf(out, "%s %ld\n", KindNames[k], Calls[k].load());
    std::fclose(out);
  }
}

__attribute__((constructor)) void InstallHandler() {
  if (const long number = Number("FAULT_HANDLED", 0); number != 0)
    ::signal(static_cast<int>(number), [](int) {});
}

// Counts a call of `kind` on fd; true when this one is to fail (errno is then set).
bool Inject(TKind kind, int fd) {
  if (fd < 3)
    return false;
  const long number = ++Calls[kind];
  if (Kind != nullptr && std::strcmp(Kind, KindNames[kind]) == 0 && number == At) {
    if (Signal != 0) {
      ::kill(::getpid(), static_cast<int>(Signal));
      return false;
    }
    errno = EIO;
    return true;
  }
  if (Short == 0 || kind > Write || number % 2 == 0)
    return false;
  errno = EINTR;
  return true;
}

std::size_t Limit(int fd, std::size_t count) {
  return fd >= 3 && Short > 0 && count > static_cast<std::size_t>(Short) ? Short : count;
}

// The first read of a file that finds its end ends the first pass: resize the file then (or at
// the read that FAULT_RESIZE_AT names).
ssize_t AfterRead(int fd, std::size_t count, ssize_t result) {
  if (fd >= 3 && ((result == 0 && count > 0) || Calls[Read] == ResizeAt) && ResizeTo >= 0 &&
      !Resized.exchange(true)) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    static_cast<void>(::truncate(path, ResizeTo));  // through the link: no call to count
  }
  return result;
}

}  // namespace

// With 64-bit offsets on a 32-bit system the headers make pread, pwrite and fstat the ...64
// calls: the definitions below take those names, and the look-ups must as well.
constexpr bool Offsets64 = sizeof(off_t) > sizeof(long);

// The function that the program would have called without the shim.
#define FAULT_NEXT(name, offsets)                                \
  static auto* const next = reinterpret_cast<decltype(&::name)>( \
      ::dlsym(RTLD_NEXT, offsets && Offsets64 ? #name "64" : #name))

// The programs read and write their files by pread and pwrite alone (the console, by write).
extern "C" {

ssize_t pread(int fd, void* data, std::size_t count, off_t offset) {
  FAULT_NEXT(pread, true);
  return Inject(Read, fd) ? -1 : AfterRead(fd, count, next(fd, data, Limit(fd, count), offset));
}

ssize_t pwrite(int fd, const void* data, std::size_t count, off_t offset) {
  FAULT_NEXT(pwrite, true);
  return Inject(Write, fd) ? -1 : next(fd, data, Limit(fd, count), offset);
}

int fstat(int fd, struct stat* info) noexcept {
  FAULT_NEXT(fstat, true);
  return Inject(Size, fd) ? -1 : next(fd, info);
}

// The descriptor is released even when close fails, as the system does.
int close(int fd) {
  FAULT_NEXT(close, false);
  const bool fail = Inject(Close, fd);
  const int result = next(fd);
  return fail ? (errno = EIO, -1) : result;
}

}  // extern "C"
