/*
 * lmx_health.cpp: the health handler, lmx_execute_health, for load
 * balancers and monitors.
 *
 * Unlike the status page, which answers without the engine so that it
 * always works, this handler says whether this instance can serve: the
 * storage directory must open (lumidex_init's checks: it exists, is a
 * directory, is not writable by everyone, belongs to this user or root) and
 * every index in it must open and be read (lumidex_storage_check). It
 * answers 200 {"status":"available"}, or 503 with the error envelope:
 * "storage_unavailable" or "index_unreadable", the engine's reason as the
 * message, and the same reason noted for the request log.
 *
 * The check opens every index, so its cost grows with their number; it is
 * meant for a probe every few seconds, not for each request.
 */
#include <string.h>

#include "lmx_common.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "nl_cgi.h"

/* Answers 503 with code and the engine's reason as the message. */
static void unavailable(const char *code) {
  const char *reason = lumidex_last_error();

  if (reason == NULL) reason = "The engine gave no reason";
  lmx_log_reason(reason);
  lmx_respond_error(503, code, reason);
}

void lmx_execute_health(void) {
  if (strcmp(cgi_method(), "GET") != 0) {
    lmx_respond_error(405, "method_not_allowed", "Method not allowed");
    return;
  }
  if (lmx_init_engine() != 0) {
    unavailable("storage_unavailable");
    return;
  }
  switch (lumidex_storage_check()) {
    case LUMIDEX_CHECK_OK:
      lmx_respond_json(200, "{\"status\":\"available\"}");
      break;
    case LUMIDEX_CHECK_INDEX:
      unavailable("index_unreadable");
      break;
    default:
      unavailable("storage_unavailable");
      break;
  }
}
