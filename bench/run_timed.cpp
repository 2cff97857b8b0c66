// run_timed [-o FILE] COMMAND ARGS...: runs COMMAND (its standard output to FILE, or to
// /dev/null), then prints "SECONDS PEAK_RSS_KIB EXIT_CODE" on one line.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  int first = 1;
  const char* output = "/dev/null";
  if (argc > 2 && std::strcmp(argv[1], "-o") == 0) {
    output = argv[2];
    first = 3;
  }
  if (first >= argc) {
    std::fprintf(stderr, "usage: run_timed [-o FILE] COMMAND ARGS...\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0)
      ::_exit(127);
    ::execvp(argv[first], argv + first);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child)
    return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %ld %d\n", seconds, usage.ru_maxrss,
              WIFEXITED(status) ? WEXITSTATUS(status) : 128);
  return 0;
}
