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
 * State: s_storage_path (empty until resolved, never resolved twice) and
 * s_engine_initialized (1 only between a successful lumidex_init and the
 * matching lumidex_cleanup). Both are file-private; nothing here allocates.
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

/* getenv, with an empty value counted as unset. */
static const char *env_value(const char *name) {
  const char *value = getenv(name);
  return (value && value[0]) ? value : NULL;
}

/* Fills s_storage_path from the first candidate that applies. */
static void resolve_storage_dir(void) {
  const char *value;

  if ((value = env_value("LUMIDEX_STORAGE_DIR")) != NULL) {
    nl_strlcpy(s_storage_path, value, sizeof s_storage_path);
  } else if ((value = env_value("LUMIDEX_DATA_DIR")) != NULL) {
    nl_strlcpy(s_storage_path, value, sizeof s_storage_path);
  } else if ((value = env_value("LOCALAPPDATA")) != NULL) {
    snprintf(s_storage_path, sizeof s_storage_path, STORAGE_LOCALAPPDATA_FMT,
             value);
  } else if ((value = env_value("TEMP")) != NULL) {
    snprintf(s_storage_path, sizeof s_storage_path, STORAGE_TEMP_FMT, value);
  } else {
    nl_strlcpy(s_storage_path, STORAGE_FALLBACK, sizeof s_storage_path);
  }
}

const char *lmx_get_storage_dir(void) {
  if (s_storage_path[0] == '\0') resolve_storage_dir();
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

int lmx_init_engine(void) {
  if (s_engine_initialized) return 0;
  (void)lmx_get_storage_dir();
  (void)lmx_mkdir_p(s_storage_path);
  if (lumidex_init(s_storage_path) != 0) return -1;
  s_engine_initialized = 1;
  return 0;
}

void lmx_cleanup_engine(void) {
  if (!s_engine_initialized) return;
  lumidex_cleanup();
  s_engine_initialized = 0;
}
