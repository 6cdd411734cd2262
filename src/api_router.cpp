/*
 * api_router.cpp: the whole API, one CGI request per process, or many
 * requests per process when a FastCGI host starts it.
 *
 * The route kind chooses the handler: "/" (and "/index...") is the search
 * sandbox page, "/status" the status handler, and the "/indexes/..." routes
 * the indexes, search, documents, stats and settings handlers (search by
 * lmx_execute_search_request: the whole request through the engine's JSON
 * entry, every parameter checked; api_search keeps lmx_execute_search).
 * Anything else is 404 "route_not_found". The handlers themselves answer;
 * this file only decides who answers and what must hold before anyone does.
 *
 * Order of work, and why:
 *  1. The route is parsed from PATH_INFO (lmx_parse_router_route: the
 *     specified routes, and the settings route).
 *  2. "/status" is answered at once, without the engine, so a health check
 *     still works when the storage directory does not.
 *  2a. The settings the router reads itself (LUMIDEX_LOG,
 *     LUMIDEX_CORS_ORIGINS) are checked: one it does not understand is a
 *     500 "invalid_configuration" saying what it must be, never ignored.
 *     From here on a header hook adds to every answer the Allow line of a
 *     405 (the route's methods, from the Allow table) and the cross-origin
 *     lines. With cross-origin answers on, an OPTIONS request is a preflight
 *     and answered here, before the keys: browsers send none with it.
 *  2b. "/health" is answered without a key: 200 when the storage directory
 *     and every index can be read, 503 with the reason otherwise.
 *  3. Access keys (LUMIDEX_WRITE_KEY, LUMIDEX_READ_KEY, presented in the
 *     X-Lumidex-Key header, i.e. HTTP_X_LUMIDEX_KEY; lmx_request_allowed in
 *     the handler module) are checked before the engine is opened or the
 *     body read, so a refused request costs nothing and learns nothing (401
 *     comes before 404 and 405).
 *  4. The raw path is checked against what the route parser kept. The parser
 *     cuts segments at 127 bytes, the whole path at 511 and stops at '?';
 *     acting on such a cut would let a DELETE remove a different index or
 *     document than the one named, so those paths are refused with 400.
 *     The parser also ignores segments after the fourth, and after the
 *     third below "search" and "stats": a path longer than its route names
 *     another resource (DELETE /indexes/a/documents/1/x is not document 1),
 *     so it is 404 "route_not_found".
 *  5. The engine is opened (500 "engine_init_failed" on failure), exactly one
 *     handler answers, the engine is closed. The exit code is always 0.
 *  6. Whatever answered, a body left unread (a refusal, a method that takes
 *     none) is read and dropped before exiting: some hosts report a program
 *     that exits with its input unread as a failed request.
 *  7. Before that, the request is logged on standard error if its answer
 *     is 500 or more, or always with LUMIDEX_LOG=requests (lmx_log.cpp).
 *
 * Under FastCGI (nl_fastcgi.h) each request gets the same serve() with its
 * own environment and streams and fresh toolkit state; the engine stays
 * open between requests (its readers pick up newer commits, its writers are
 * closed after each write), so only the start-up and the open are saved.
 *
 * The sandbox page is compiled into the program from web/sandbox.html
 * (sandbox_page.h).
 */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "lmx_common.h"
#include "lumidex_core.h"
#include "nl_cgi.h"
#include "nl_fastcgi.h"
#include "platform.h"
#include "sandbox_page.h"

/* The route parser's limits, as the longest texts it keeps whole. */
#define ROUTER_ID_MAX (LMX_ID_SIZE - 1)
#define ROUTER_PATH_MAX (LMX_PATH_SIZE - 1)

/* Sent with the sandbox page: it needs nothing but its own inline script and
 * style and requests to its own origin, so anything else a page could be
 * made to load or run is refused by the browser as a second line of defence
 * behind the page's own escaping. */
#define SANDBOX_CSP                                                        \
  "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; " \
  "style-src 'unsafe-inline'; connect-src 'self'; img-src data:; "         \
  "base-uri 'none'; form-action 'none'; frame-ancestors 'none'"

/* ---- Raw path examination --------------------------------------------- */

/* How many segments a path of route kind has; 0 for kinds whose extra
 * segments the router does not judge (the sandbox, unknown routes). */
static size_t route_segments(lmx_route_kind kind) {
  switch (kind) {
    case LMX_ROUTE_STATUS:
    case LMX_ROUTE_INDEXES:
      return 1;
    case LMX_ROUTE_INDEX:
      return 2;
    case LMX_ROUTE_SEARCH:
    case LMX_ROUTE_STATS:
    case LMX_ROUTE_DOCUMENTS:
    case LMX_ROUTE_SETTINGS:
      return 3;
    case LMX_ROUTE_DOCUMENT:
      return 4;
    default:
      return 0;
  }
}

static int segment_is(const lmx_segment *seg, const char *word) {
  size_t len = strlen(word);
  return seg->len == len && memcmp(seg->start, word, len) == 0;
}

/* Checks that the route the parser made is the one the path names. Returns
 * 1 when it is; otherwise answers 400 (or 404 for a path longer than its
 * route) and returns 0. */
static int path_is_exact(const char *path, const lmx_route *route) {
  lmx_segment seg[LMX_ROUTE_SEGMENTS] = {};
  size_t expected = route_segments(route->kind);
  char message[96];

  size_t segments = lmx_split_path(path, seg, LMX_ROUTE_SEGMENTS);
  if (segment_is(&seg[0], "indexes") &&
      (seg[1].len > ROUTER_ID_MAX ||
       (segment_is(&seg[2], "documents") && seg[3].len > ROUTER_ID_MAX))) {
    snprintf(message, sizeof message,
             "Index names and document ids are at most %d bytes",
             ROUTER_ID_MAX);
    lmx_respond_error(400, "invalid_identifier", message);
    return 0;
  }
  /* Under CGI the query string never reaches PATH_INFO, so a '?' here was
   * sent percent-encoded as part of a name, where the parser would cut it. */
  if (strchr(path, '?') != NULL) {
    lmx_respond_error(400, "invalid_identifier",
                      "Index names and document ids cannot contain '?'");
    return 0;
  }
  if (strlen(path) > ROUTER_PATH_MAX) {
    snprintf(message, sizeof message, "Request paths are at most %d bytes",
             ROUTER_PATH_MAX);
    lmx_respond_error(400, "invalid_path", message);
    return 0;
  }
  if (expected != 0 && segments > expected) {
    lmx_respond_error(404, "route_not_found", "Route not found");
    return 0;
  }
  return 1;
}

/* ---- Allow table and header hook ---------------------------------------- */

/* The methods a route's handler answers without 405, for the Allow line of
 * a 405 and for preflights. Search and statistics answer any method; they
 * name the ones clients should use. Null for unknown routes. */
static const char *route_methods(lmx_route_kind kind) {
  switch (kind) {
    case LMX_ROUTE_ROOT:
    case LMX_ROUTE_STATS:
      return "GET";
    case LMX_ROUTE_SEARCH:
      return "GET, POST";
    case LMX_ROUTE_SETTINGS:
      return "GET, PATCH, DELETE";
    case LMX_ROUTE_DOCUMENTS:
      return "GET, POST, PATCH, DELETE";
    case LMX_ROUTE_INDEXES:
    case LMX_ROUTE_INDEX:
    case LMX_ROUTE_DOCUMENT:
      return "GET, POST, DELETE";
    default:
      return NULL;
  }
}

/* The health route's methods (it is no route kind of the parser's). */
#define HEALTH_METHODS "GET"

/* Methods of the route being answered, for the header hook. */
static const char *s_methods = NULL;

/* Runs before the empty line of every header block the request writes. */
static void add_answer_headers(int status) {
  if (status == 405 && s_methods != NULL) {
    char line[64];
    nl_snprintf(line, sizeof line, "Allow: %s", s_methods);
    cgi_header_extra(line);
  }
  lmx_cors_headers();
}

/* 1 when the settings the router reads itself are understood; otherwise
 * answers 500 "invalid_configuration" saying what is expected, notes it for
 * the log, and returns 0. */
static int settings_understood(void) {
  char why[LMX_PATH_SIZE];

  if (lmx_log_check(why, sizeof why) == 0 &&
      lmx_cors_check(why, sizeof why) == 0)
    return 1;
  lmx_log_reason(why);
  lmx_respond_error(500, "invalid_configuration", why);
  return 0;
}

/* 1 for "/health" (slashes around it allowed, nothing else). */
static int is_health_path(const char *path) {
  lmx_segment seg[1];
  return lmx_split_path(path, seg, 1) == 1 && segment_is(&seg[0], "health");
}

/* Steps 2a and 2b: checks the settings, sets the header hook, and answers
 * a preflight or the health check. 1 when the request was answered. */
static int answered_before_keys(const char *path, const lmx_route *route) {
  int health = route->kind == LMX_ROUTE_UNKNOWN && is_health_path(path);

  if (!settings_understood()) return 1;
  s_methods = health ? HEALTH_METHODS : route_methods(route->kind);
  cgi_on_headers_end(add_answer_headers);
  if (s_methods != NULL && lmx_cors_enabled() &&
      strcmp(cgi_method(), "OPTIONS") == 0) {
    lmx_cors_preflight(s_methods);
    return 1;
  }
  if (!health) return 0;
  lmx_execute_health();
  lmx_cleanup_engine();
  return 1;
}

/* ---- Answers ----------------------------------------------------------- */

static void serve_sandbox(void) {
  if (strcmp(cgi_method(), "GET") != 0) {
    lmx_respond_error(405, "method_not_allowed", "Method not allowed");
    return;
  }
  cgi_header_status(200, NULL);
  cgi_header_html();
  cgi_header_extra(SANDBOX_CSP);
  cgi_header_extra("X-Content-Type-Options: nosniff");
  cgi_header_extra("Cache-Control: no-cache");
  cgi_headers_end();
  fwrite(lmx_sandbox_html, 1, lmx_sandbox_html_len, stdout);
  fflush(stdout);
}

static void dispatch(const lmx_route *route) {
  switch (route->kind) {
    case LMX_ROUTE_ROOT:
      serve_sandbox();
      break;
    case LMX_ROUTE_INDEXES:
    case LMX_ROUTE_INDEX:
      lmx_execute_indexes(route->index_uid);
      break;
    case LMX_ROUTE_SEARCH:
      lmx_execute_search_request(route->index_uid);
      break;
    case LMX_ROUTE_DOCUMENTS:
    case LMX_ROUTE_DOCUMENT:
      lmx_execute_documents_routed(route->index_uid, route->doc_id);
      break;
    case LMX_ROUTE_STATS:
      lmx_execute_stats(route->index_uid);
      break;
    case LMX_ROUTE_SETTINGS:
      lmx_execute_settings(route->index_uid);
      break;
    default:
      lmx_respond_error(404, "route_not_found", "Route not found");
      break;
  }
}

/* Answers the request; main finishes it. */
static void serve(void) {
  const char *path = cgi_path_info();
  lmx_route route;

  lmx_parse_router_route(path, &route);
  if (route.kind == LMX_ROUTE_STATUS) {
    lmx_execute_status();
    return;
  }
  if (answered_before_keys(path, &route)) return;
  if (!lmx_request_allowed(&route)) {
    lmx_respond_error(401, "unauthorized", LMX_KEY_REQUIRED_MESSAGE);
    return;
  }
  if (route.kind != LMX_ROUTE_ROOT && !path_is_exact(path, &route)) return;
  if (lmx_init_engine() != 0) {
    lmx_log_reason(lumidex_last_error());
    lmx_respond_error(500, "engine_init_failed",
                      "Failed to initialize lumidex engine");
    return;
  }
  dispatch(&route);
  lmx_cleanup_engine();
}

/* One request, whichever way it came. */
static void serve_request(void) {
  lmx_log_begin();
  serve();
  /* The answer goes out first; then the host may finish sending the body. */
  fflush(stdout);
  lmx_log_end();
  cgi_discard_post();
}

int main(void) {
  if (nl_fastcgi_started()) {
    lmx_keep_engine_open(1);
    nl_fastcgi_serve(serve_request);
    lmx_keep_engine_open(0);
    lmx_cleanup_engine();
    return 0;
  }
  lmx_prefault_heap(LMX_REQUEST_HEAP_BYTES);
  serve_request();
  return 0;
}
