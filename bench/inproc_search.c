/*
 * inproc_search.c: times the engine's search inside one process, through
 * the library's public face, for the cost of a query without the process
 * start, the library loading and the CGI layer around it.
 *
 *   bench_inproc_search [--rounds N] [--json] [--no-kept-statistics]
 *                       STORAGE_DIR INDEX < QUERIES
 *
 * Reads queries from standard input, one a line. For each it calls
 * lumidex_search(INDEX, query, 10, 0) (with --json, each line is a JSON
 * search request for lumidex_search_request instead) once untimed (the
 * first call also opens the index), then N times (default 5) timed, and
 * prints one line:
 *   {"us":T,"answer":ANSWER}
 * where T is the median CPU time (user and system, of the searching
 * thread) of the timed calls in microseconds and
 * ANSWER the engine's JSON answer unchanged. A process that searches
 * many times keeps what the searches look up in the vocabulary
 * (lumidex_search_keep_statistics), so the timed calls of one query find
 * its words' statistics kept by the untimed one: the figure of a repeated
 * query. --no-kept-statistics turns that off, for the figure of a query
 * the process has not seen yet. The baseline
 * (bench_baseline_bm25) reports the same median for its own query, so the
 * two compare directly; what is compared is left to bench/run.
 *
 * Exit status 1 when the engine cannot be opened or a search fails (the
 * engine's message on standard error), 2 on a usage error.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "lumidex_core.h"
#include "lumidex_search.h"

enum { MAX_ROUNDS = 10000, MAX_LINE = 8192 };

/* The thread's CPU time: unlike the wall clock, it does not count the
 * time the machine's other work holds the CPU, which on a shared machine
 * moves a search's wall time by a quarter from run to run. A search reads
 * index blocks with pread, whose work counts as system time. */
static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static int cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

/* Runs one query rounds times after an untimed call; prints its line.
 * times holds at least rounds slots. 0 on success, 1 when a search fails. */
static int json_requests = 0;

/* One search: the query text, or with --json the JSON request. */
static const char *search_once(const char *index, const char *query) {
  return json_requests ? lumidex_search_request(index, query)
                       : lumidex_search(index, query, 10, 0);
}

static int time_query(const char *index, const char *query, int rounds,
                      double *times) {
  const char *answer = search_once(index, query);
  if (!answer) goto failed;
  for (int r = 0; r < rounds; ++r) {
    double start = now_us();
    answer = search_once(index, query);
    times[r] = now_us() - start;
    if (!answer) goto failed;
  }
  qsort(times, (size_t)rounds, sizeof times[0], cmp_double);
  printf("{\"us\":%.1f,\"answer\":%s}\n", times[rounds / 2], answer);
  fflush(stdout);
  return 0;
failed:
  fprintf(stderr, "bench_inproc_search: %s\n", lumidex_last_error());
  return 1;
}

int main(int argc, char **argv) {
  int rounds = 5, arg = 1;
  if (argc - arg > 2 && strcmp(argv[arg], "--rounds") == 0) {
    char *end = NULL;
    long n = strtol(argv[arg + 1], &end, 10);
    if (!*argv[arg + 1] || *end || n < 1 || n > MAX_ROUNDS) argc = 0;
    rounds = (int)n;
    arg += 2;
  }
  if (argc - arg > 2 && strcmp(argv[arg], "--json") == 0) {
    json_requests = 1;
    arg += 1;
  }
  if (argc - arg > 2 && strcmp(argv[arg], "--no-kept-statistics") == 0) {
    lumidex_search_keep_statistics(0);
    arg += 1;
  }
  if (argc - arg != 2) {
    fprintf(stderr,
            "usage: bench_inproc_search [--rounds N] [--json] "
            "[--no-kept-statistics] STORAGE_DIR INDEX < QUERIES\n");
    return 2;
  }
  if (lumidex_init(argv[arg]) != 0) {
    fprintf(stderr, "bench_inproc_search: %s\n", lumidex_last_error());
    return 1;
  }
  static double times[MAX_ROUNDS];
  static char line[MAX_LINE];
  int status = 0;
  while (status == 0 && fgets(line, sizeof line, stdin)) {
    line[strcspn(line, "\r\n")] = '\0';
    status = time_query(argv[arg + 1], line, rounds, times);
  }
  lumidex_cleanup();
  return status;
}
