// peak_rss COMMAND [ARGS...]: runs COMMAND with this process's standard
// streams and prints to standard error the bytes it read through read calls
// and its peak resident set size in KiB, as "read_bytes N" and
// "peak_rss_kib N"; exits with COMMAND's status. Being small itself, it
// keeps the measure free of the caller's own memory.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2) return 125;
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  if (child < 0) return 126;
  // The read counter is read while the ended child is not yet reaped.
  siginfo_t ended = {};
  if (waitid(P_PID, child, &ended, WEXITED | WNOWAIT) != 0) return 126;
  unsigned long long read_bytes = 0;
  if (FILE* io = std::fopen(("/proc/" + std::to_string(child) + "/io").c_str(), "r")) {
    if (std::fscanf(io, "rchar: %llu", &read_bytes) != 1) return 126;
    std::fclose(io);
  } else {
    return 126;
  }
  int status = 0;
  struct rusage usage = {};
  if (wait4(child, &status, 0, &usage) != child) return 126;
  std::fprintf(stderr, "read_bytes %llu\n", read_bytes);
  std::fprintf(stderr, "peak_rss_kib %ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
