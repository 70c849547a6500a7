/* Runs one client the way the benchmark measures it:
 *
 *     measure OUTPUT COMMAND [ARGS...]
 *
 * starts COMMAND with its standard output sent to OUTPUT, waits for it and
 * prints one line: wall seconds, user CPU seconds, system CPU seconds, peak
 * resident set in KiB, exit status.
 *
 * It exists because a child's ru_maxrss also counts the memory of the
 * process it was forked from, up to the exec: started straight from the
 * Python benchmark, every client would seem to use at least Python's own
 * ten or more megabytes. Forked from this small program, only a megabyte or
 * so of it can show through.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double Seconds(struct timeval value) { return value.tv_sec + value.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: measure OUTPUT COMMAND [ARGS...]\n");
    return 2;
  }
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  const pid_t child = fork();
  if (child < 0) {
    perror("measure: fork");
    return 2;
  }
  if (child == 0) {
    const int output = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0 || dup2(output, 1) < 0) {
      perror("measure: output");
      _exit(126);
    }
    execvp(argv[2], argv + 2);
    perror("measure: exec");
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child) {
    perror("measure: wait4");
    return 2;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  const double wall = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%.6f %.6f %.6f %ld %d\n", wall, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
         usage.ru_maxrss, code);
  return 0;
}
