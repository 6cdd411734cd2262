/*
 * engine_probe.cpp: one write through the engine's C call that stops at a
 * chosen point of its transaction, for the tests that kill a writer
 * midway (test_bulk_crash_safety, test_settings_rewrite).
 *
 *   engine_probe STORAGE_DIR INDEX OP ARG STOP_AT
 *
 * OP is "update" (ARG: the body of partial documents), "ids" (ARG: a JSON
 * array of ids), "filter" (ARG: {"filter": ...}), "all" (ARG ignored) or
 * "settings" (ARG: a settings patch, whose rewrite is the transaction).
 * When the engine reports the first progress at or past STOP_AT documents
 * it prints "working DONE TOTAL" on standard output and waits for one byte
 * on standard input: the test kills it there, inside the uncommitted
 * transaction, or writes a byte to let it commit. At the end it prints
 * "done N" (for "settings": "settings JSON", the settings after the
 * change), or "refused TEXT", and exits 0 (1 when refused).
 */
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lumidex_admin.h"
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

/* Runs op; the line that says how it ended, "" when it was refused. */
std::string run(const char *index, const char *op, const char *arg) {
  if (strcmp(op, "settings") == 0) {
    const char *after =
        lumidex_settings_update_json(index, arg, on_progress, nullptr);
    return after ? std::string("settings ") + after : "";
  }
  long long n = -1;
  if (strcmp(op, "update") == 0)
    n = lumidex_documents_update(index, arg, on_progress, nullptr);
  else if (strcmp(op, "ids") == 0)
    n = lumidex_documents_delete_ids(index, arg, on_progress, nullptr);
  else if (strcmp(op, "filter") == 0)
    n = lumidex_documents_delete_filter(index, arg, on_progress, nullptr);
  else
    n = lumidex_documents_delete_all(index, on_progress, nullptr);
  return n >= 0 ? "done " + std::to_string(n) : "";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: engine_probe STORAGE_DIR INDEX OP ARG STOP_AT\n");
    return 2;
  }
  g_stop_at = strtoull(argv[5], nullptr, 10);
  if (lumidex_init(argv[1]) != 0) {
    printf("refused %s\n", lumidex_last_error());
    return 1;
  }
  std::string ended = run(argv[2], argv[3], argv[4]);
  if (ended.empty())
    printf("refused %s\n", lumidex_last_error());
  else
    printf("%s\n", ended.c_str());
  lumidex_cleanup();
  return ended.empty() ? 1 : 0;
}
