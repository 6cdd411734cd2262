/*
 * documents_probe.cpp: a bulk document operation through the engine's C
 * call that stops at a chosen point of its transaction, for
 * test_bulk_crash_safety.
 *
 *   documents_probe STORAGE_DIR INDEX OP ARG STOP_AT
 *
 * OP is "update" (ARG: the body of partial documents), "ids" (ARG: a JSON
 * array of ids), "filter" (ARG: {"filter": ...}) or "all" (ARG ignored).
 * When the engine reports the first progress at or past STOP_AT documents
 * it prints "working DONE TOTAL" on standard output and waits for one byte
 * on standard input: the test kills it there, inside the uncommitted
 * transaction, or writes a byte to let it commit. At the end it prints
 * "done N" (or "refused TEXT") and exits 0 (1 when refused).
 */
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumidex_core.h"
#include "lumidex_documents.h"

namespace {

unsigned long long g_stop_at = 0;
bool g_stopped = false;

void on_progress(unsigned long long done, unsigned long long total, void *) {
  if (g_stopped || done < g_stop_at) return;
  g_stopped = true;
  printf("working %llu %llu\n", done, total);
  fflush(stdout);
  char byte;
  if (read(STDIN_FILENO, &byte, 1) != 1) _exit(3);
}

long long run(const char *index, const char *op, const char *arg) {
  if (strcmp(op, "update") == 0)
    return lumidex_documents_update(index, arg, on_progress, nullptr);
  if (strcmp(op, "ids") == 0)
    return lumidex_documents_delete_ids(index, arg, on_progress, nullptr);
  if (strcmp(op, "filter") == 0)
    return lumidex_documents_delete_filter(index, arg, on_progress, nullptr);
  return lumidex_documents_delete_all(index, on_progress, nullptr);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr,
            "usage: documents_probe STORAGE_DIR INDEX OP ARG STOP_AT\n");
    return 2;
  }
  g_stop_at = strtoull(argv[5], nullptr, 10);
  if (lumidex_init(argv[1]) != 0) {
    printf("refused %s\n", lumidex_last_error());
    return 1;
  }
  long long n = run(argv[2], argv[3], argv[4]);
  if (n >= 0)
    printf("done %lld\n", n);
  else
    printf("refused %s\n", lumidex_last_error());
  lumidex_cleanup();
  return n >= 0 ? 0 : 1;
}
