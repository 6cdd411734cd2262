/*
 * lmx_settings.cpp: the settings handler, lmx_execute_settings, served by
 * api_router at /indexes/{uid}/settings.
 *
 * The method chooses the operation: GET reads the whole settings object,
 * PATCH applies the body (a JSON object of some members), DELETE puts every
 * member back to its default; anything else is 405 (the router adds the
 * Allow line). The engine (lumidex_admin.h) checks the body strictly and
 * says what it refused as a code and a text: an unknown member or a value
 * of the wrong type is answered 400 "invalid_settings" with that text,
 * never ignored. A change that alters what documents are indexed with
 * rewrites the index before the engine returns, so the answer comes once
 * the new settings are committed.
 *
 * The settings object goes out exactly as the engine wrote it; a change
 * wraps it as {"status":"succeeded","type":"settingsUpdate","taskUid":1,
 * "settings":S}.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lmx_common.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "nl_cgi.h"

static const char change_template[] =
    "{\"status\":\"succeeded\",\"type\":\"settingsUpdate\",\"taskUid\":1,"
    "\"settings\":%s}";

/* Answers a failed engine call by what the engine says it was about. */
static void respond_refused(void) {
  const char *why = lmx_engine_error_or("Settings could not be changed");
  switch (lumidex_last_error_code()) {
    case LUMIDEX_ERROR_INDEX_NOT_FOUND:
    case LUMIDEX_ERROR_INVALID_ARGUMENT: /* no index can have that name */
      lmx_respond_error(404, "index_not_found", why);
      break;
    case LUMIDEX_ERROR_INVALID_SETTINGS:
      lmx_respond_error(400, "invalid_settings", why);
      break;
    case LUMIDEX_ERROR_DOCUMENT_TOO_LARGE:
      lmx_respond_error(400, "document_too_large", why);
      break;
    default:
      lmx_log_reason(why);
      lmx_respond_error(500, "internal_error", why);
      break;
  }
}

/* Answers a change's result: the settings after it, wrapped; null is a
 * refusal. */
static void respond_changed(const char *settings) {
  if (!settings) {
    respond_refused();
    return;
  }
  size_t size = sizeof change_template + strlen(settings);
  char *answer = (char *)malloc(size);
  if (!answer) {
    lmx_respond_error(500, "internal_error", "Out of memory");
    return;
  }
  snprintf(answer, size, change_template, settings);
  lmx_respond_json(200, answer);
  free(answer);
}

/* PATCH: the body is handed to the engine whole. */
static void patch_settings(const char *index) {
  uint64_t body_len = 0;
  char *body = cgi_read_post(&body_len);
  if (body && strlen(body) != body_len) {
    free(body);
    lmx_respond_error(400, "invalid_settings",
                      "Invalid settings: the body must be a JSON object, "
                      "without NUL bytes.");
    return;
  }
  const char *after =
      lumidex_settings_update_json(index, body ? body : "", NULL, NULL);
  free(body);
  respond_changed(after);
}

void lmx_execute_settings(const char *index) {
  const char *method = cgi_method();
  if (strcmp(method, "GET") == 0) {
    const char *settings = lumidex_settings_get_json(index);
    if (settings)
      lmx_respond_json(200, settings);
    else
      respond_refused();
  } else if (strcmp(method, "PATCH") == 0) {
    patch_settings(index);
  } else if (strcmp(method, "DELETE") == 0) {
    respond_changed(lumidex_settings_reset_json(index, NULL, NULL));
  } else {
    lmx_respond_error(405, "method_not_allowed", "Method not allowed");
  }
}
