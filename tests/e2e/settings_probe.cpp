/*
 * settings_probe.cpp: a settings change through the engine's C call that
 * stops at a chosen point of its rewrite, for test_settings_rewrite.
 *
 *   settings_probe STORAGE_DIR INDEX PATCH_JSON STOP_AT
 *
 * Applies PATCH_JSON to INDEX with lumidex_settings_update_json. When the
 * engine reports the first progress at or past STOP_AT documents it prints
 * "rewriting DONE TOTAL" on standard output and waits for one byte on
 * standard input: the test kills it there, inside the uncommitted
 * rewrite, or writes a byte to let it commit. At the end it prints
 * "settings JSON" (or "refused TEXT") and exits 0 (1 when refused).
 */
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "lumidex_admin.h"
#include "lumidex_core.h"

namespace {

unsigned long long g_stop_at = 0;
bool g_stopped = false;

void on_progress(unsigned long long done, unsigned long long total, void *) {
  if (g_stopped || done < g_stop_at) return;
  g_stopped = true;
  printf("rewriting %llu %llu\n", done, total);
  fflush(stdout);
  char byte;
  if (read(STDIN_FILENO, &byte, 1) != 1) _exit(3);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr,
            "usage: settings_probe STORAGE_DIR INDEX PATCH_JSON STOP_AT\n");
    return 2;
  }
  g_stop_at = strtoull(argv[4], nullptr, 10);
  if (lumidex_init(argv[1]) != 0) {
    printf("refused %s\n", lumidex_last_error());
    return 1;
  }
  const char *after =
      lumidex_settings_update_json(argv[2], argv[3], on_progress, nullptr);
  if (after)
    printf("settings %s\n", after);
  else
    printf("refused %s\n", lumidex_last_error());
  lumidex_cleanup();
  return after ? 0 : 1;
}
