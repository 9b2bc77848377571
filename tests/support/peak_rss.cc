// peak_rss COMMAND [ARGS...]: runs COMMAND with this process's standard
// streams and prints its peak resident set size in KiB to standard error as
// "peak_rss_kib N"; exits with COMMAND's status. Being small itself, it
// keeps the measure free of the caller's own memory.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 125;
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage usage = {};
  if (child < 0 || wait4(child, &status, 0, &usage) != child) return 126;
  std::fprintf(stderr, "peak_rss_kib %ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
