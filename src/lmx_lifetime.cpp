/*
 * lmx_lifetime.cpp: the storage directory and the engine's lifetime within
 * one process.
 *
 * The storage directory is resolved once, on first use, from the first of
 * these that applies: LUMIDEX_STORAGE_DIR, LUMIDEX_DATA_DIR (both taken as
 * they are), LOCALAPPDATA and TEMP (each with a fixed sub-path appended), and
 * a fixed last resort. A variable counts only when set and non-empty; values
 * are not trimmed or checked, and anything longer than 511 bytes is cut. The
 * sub-paths and the last resort are written here with the host's separator
 * and temporary root (platform.h). The directory is then created with its
 * missing parents and handed to lumidex_init exactly as resolved; whether the
 * engine can work there is the engine's decision, so creation failures are
 * never reported here.
 *
 * State: s_storage_path (empty until resolved; resolved once per process,
 * or once per request while the engine is kept open), s_engine_initialized
 * (1 only between a successful lumidex_init and the matching
 * lumidex_cleanup) and s_keep_open (set by an entry that serves many
 * requests per process). All are file-private; nothing here allocates.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lmx_common.h"
#include "lumidex_core.h"
#include "nl_cgi.h"
#include "platform.h"

/* The storage-directory candidates built from LOCALAPPDATA and TEMP, and
 * the last resort, in the host's own path form. */
#define STORAGE_LOCALAPPDATA_FMT \
  "%s" LMX_PATH_SEP_STR "PersonalLumidex" LMX_PATH_SEP_STR "data"
#define STORAGE_TEMP_FMT "%s" LMX_PATH_SEP_STR "nolvaris-lumidex"
#define STORAGE_FALLBACK LMX_TMP_ROOT LMX_PATH_SEP_STR "nolvaris-lumidex"

static char s_storage_path[LMX_PATH_SIZE];
static int s_engine_initialized = 0;
static int s_keep_open = 0;

/* getenv, with an empty value counted as unset. */
static const char *env_value(const char *name) {
  const char *value = getenv(name);
  return (value && value[0]) ? value : NULL;
}

/* Fills path (LMX_PATH_SIZE bytes) from the first candidate that
 * applies. */
static void resolve_storage_dir(char *path) {
  const char *value;

  if ((value = env_value("LUMIDEX_STORAGE_DIR")) != NULL) {
    nl_strlcpy(path, value, LMX_PATH_SIZE);
  } else if ((value = env_value("LUMIDEX_DATA_DIR")) != NULL) {
    nl_strlcpy(path, value, LMX_PATH_SIZE);
  } else if ((value = env_value("LOCALAPPDATA")) != NULL) {
    snprintf(path, LMX_PATH_SIZE, STORAGE_LOCALAPPDATA_FMT, value);
  } else if ((value = env_value("TEMP")) != NULL) {
    snprintf(path, LMX_PATH_SIZE, STORAGE_TEMP_FMT, value);
  } else {
    nl_strlcpy(path, STORAGE_FALLBACK, LMX_PATH_SIZE);
  }
}

const char *lmx_get_storage_dir(void) {
  if (s_storage_path[0] == '\0') resolve_storage_dir(s_storage_path);
  return s_storage_path;
}

static int is_sep(char c) { return c == LMX_PATH_SEP || c == LMX_PATH_SEP_ALT; }

int lmx_mkdir_p(const char *path) {
  char copy[LMX_PATH_SIZE];
  size_t len;
  size_t i;

  nl_strlcpy(copy, path, sizeof copy);
  len = strlen(copy);
  if (len == 0) return 0;
  /* One trailing separator only: "a//" still ends in a separator, and the
   * final mkdir of "a/" is then harmless. */
  if (is_sep(copy[len - 1])) copy[--len] = '\0';

  /* Index 0 is never a separator, so an absolute path does not ask for the
   * empty directory; every separator after it ends one parent level. */
  for (i = 1; i < len; i++) {
    if (!is_sep(copy[i])) continue;
    copy[i] = '\0';
    (void)_mkdir(copy);
    copy[i] = LMX_PATH_SEP;
  }
  return _mkdir(copy);
}

/* While the engine is kept open: takes this request's storage directory,
 * closing the engine when it is open on another one. */
static void follow_request_storage_dir(void) {
  char wanted[LMX_PATH_SIZE];

  resolve_storage_dir(wanted);
  if (strcmp(wanted, s_storage_path) == 0) return;
  if (s_engine_initialized) {
    lumidex_cleanup();
    s_engine_initialized = 0;
  }
  nl_strlcpy(s_storage_path, wanted, sizeof s_storage_path);
}

int lmx_init_engine(void) {
  if (s_keep_open) follow_request_storage_dir();
  if (s_engine_initialized) return 0;
  (void)lmx_get_storage_dir();
  (void)lmx_mkdir_p(s_storage_path);
  if (lumidex_init(s_storage_path) != 0) return -1;
  s_engine_initialized = 1;
  return 0;
}

void lmx_keep_engine_open(int keep) { s_keep_open = keep ? 1 : 0; }

void lmx_cleanup_engine(void) {
  if (!s_engine_initialized || s_keep_open) return;
  lumidex_cleanup();
  s_engine_initialized = 0;
}
