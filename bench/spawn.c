/*
 * spawn.c: runs one program many times, one process after the other, and
 * reports the whole-process wall time of each run (median, spread) and the
 * largest peak resident size of any run.
 *
 *   bench_spawn [-n RUNS] [-i STDIN_FILE] [-o STDOUT_FILE] -- PROGRAM ARGS...
 *
 * The child inherits this process's environment, so a CGI request is set up
 * by exporting REQUEST_METHOD, QUERY_STRING, ... before calling it. Its
 * standard input is STDIN_FILE (or /dev/null), reopened for every run; its
 * standard output goes to /dev/null except for the last run, which goes to
 * STDOUT_FILE when given so the caller can check the answer. One unmeasured
 * run comes first to warm the page cache.
 *
 * Time is taken from just before posix_spawn to just after wait4 returns,
 * with CLOCK_MONOTONIC; peak memory is the child's ru_maxrss (KiB), the same
 * figure /usr/bin/time -f %M prints. Output, one line on stdout:
 *   runs=N median_ms=X p10_ms=X p90_ms=X min_ms=X max_ms=X mean_ms=X
 *   maxrss_kb=N failures=N
 * then "samples_ms=X,X,..." with every run's wall time in run order, and
 * "cpu_samples_ms=X,X,..." with every run's CPU time (user + system, from
 * wait4), so a caller can merge interleaved blocks of runs of two programs.
 * CPU time moves less than wall time when other work shares the machine.
 * failures counts runs that did not exit with status 0. Exit status: 0, or
 * 2 for a usage error or a program that cannot be started.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1000.0 + (double)ts.tv_nsec / 1e6;
}

static int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

/* Runs argv once; stores its wall time, its CPU time (user + system) and
 * its peak RSS. Returns the exit status (0 = success), or -1 when it could
 * not be started. */
static int run_once(char **argv, const char *in_path, const char *out_path,
                    double *ms, double *cpu_ms, long *maxrss_kb) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in_path ? in_path : "/dev/null",
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path ? out_path : "/dev/null",
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  double t0 = now_ms();
  int rc = posix_spawn(&pid, argv[0], &fa, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) < 0) return -1;
  *ms = now_ms() - t0;
  *cpu_ms = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
            (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
  *maxrss_kb = ru.ru_maxrss;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static double pct(const double *sorted, int n, double p) {
  int i = (int)(p * (n - 1) + 0.5);
  return sorted[i];
}

int main(int argc, char **argv) {
  int runs = 50;
  const char *in_path = NULL, *out_path = NULL;
  int opt;
  while ((opt = getopt(argc, argv, "+n:i:o:")) != -1) {
    switch (opt) {
      case 'n': runs = atoi(optarg); break;
      case 'i': in_path = optarg; break;
      case 'o': out_path = optarg; break;
      default: return 2;
    }
  }
  if (runs < 1 || optind >= argc) {
    fprintf(stderr, "usage: bench_spawn [-n RUNS] [-i IN] [-o OUT] -- PROGRAM ARGS...\n");
    return 2;
  }
  char **child = argv + optind;
  double *ms = calloc((size_t)runs, sizeof *ms);
  if (!ms) return 2;
  double warm, warm_cpu;
  long rss = 0, max_rss = 0;
  if (run_once(child, in_path, NULL, &warm, &warm_cpu, &rss) < 0) {
    fprintf(stderr, "bench_spawn: cannot start %s\n", child[0]);
    return 2;
  }
  int failures = 0;
  double sum = 0;
  double *order = calloc((size_t)runs, sizeof *order);
  double *cpu = calloc((size_t)runs, sizeof *cpu);
  if (!order || !cpu) return 2;
  for (int i = 0; i < runs; i++) {
    const char *out = (i == runs - 1) ? out_path : NULL;
    int rc = run_once(child, in_path, out, &ms[i], &cpu[i], &rss);
    if (rc != 0) failures++;
    if (rss > max_rss) max_rss = rss;
    sum += ms[i];
    order[i] = ms[i];
  }
  qsort(ms, (size_t)runs, sizeof *ms, cmp_double);
  printf("runs=%d median_ms=%.3f p10_ms=%.3f p90_ms=%.3f min_ms=%.3f "
         "max_ms=%.3f mean_ms=%.3f maxrss_kb=%ld failures=%d\n",
         runs, pct(ms, runs, 0.5), pct(ms, runs, 0.1), pct(ms, runs, 0.9),
         ms[0], ms[runs - 1], sum / runs, max_rss, failures);
  printf("samples_ms=");
  for (int i = 0; i < runs; i++) printf(i ? ",%.3f" : "%.3f", order[i]);
  printf("\ncpu_samples_ms=");
  for (int i = 0; i < runs; i++) printf(i ? ",%.3f" : "%.3f", cpu[i]);
  printf("\n");
  free(cpu);
  free(order);
  free(ms);
  return 0;
}
