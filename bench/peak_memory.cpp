// peak_memory COMMAND [ARGUMENT...]: runs COMMAND as a child of this small
// process, with the same standard streams, and prints the child's peak
// resident memory in bytes on standard error; exits as the child did (128
// and the signal's number, as shells say, if a signal ended it).
// run_benchmark.py measures memory through it: a child that the Python
// interpreter starts itself begins on a copy of the interpreter's memory,
// which then counts as the child's own peak. Linux and the C library only.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: peak_memory COMMAND [ARGUMENT...]\n");
    return 2;
  }
  const pid_t child = fork();
  if (child < 0) {
    std::perror("peak_memory: fork");
    return 2;
  }
  if (child == 0) {
    execv(argv[1], argv + 1);
    std::perror("peak_memory: exec");
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) < 0) {
    std::perror("peak_memory: wait4");
    return 2;
  }
  std::fprintf(stderr, "%ld\n", usage.ru_maxrss * 1024L);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
