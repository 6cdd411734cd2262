/*
 * api_router.cpp: the whole API, one CGI request per process.
 *
 * The route kind chooses the handler: "/" (and "/index...") is the search
 * sandbox page, "/status" the status handler, and the "/indexes/..." routes
 * the indexes, search, documents and stats handlers. Anything else is 404
 * "route_not_found". The handlers themselves answer; this file only decides
 * who answers and what must hold before anyone does.
 *
 * Order of work, and why:
 *  1. The route is parsed from PATH_INFO.
 *  2. "/status" is answered at once, without the engine, so a health check
 *     still works when the storage directory does not.
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
 *
 * The sandbox page is compiled into the program from web/sandbox.html
 * (sandbox_page.h).
 */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "lmx_common.h"
#include "nl_cgi.h"
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
      lmx_execute_search(route->index_uid);
      break;
    case LMX_ROUTE_DOCUMENTS:
    case LMX_ROUTE_DOCUMENT:
      lmx_execute_documents(route->index_uid, route->doc_id);
      break;
    case LMX_ROUTE_STATS:
      lmx_execute_stats(route->index_uid);
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

  lmx_parse_route(path, &route);
  if (route.kind == LMX_ROUTE_STATUS) {
    lmx_execute_status();
    return;
  }
  if (!lmx_request_allowed(&route)) {
    lmx_respond_error(401, "unauthorized", LMX_KEY_REQUIRED_MESSAGE);
    return;
  }
  if (route.kind != LMX_ROUTE_ROOT && !path_is_exact(path, &route)) return;
  if (lmx_init_engine() != 0) {
    lmx_respond_error(500, "engine_init_failed",
                      "Failed to initialize lumidex engine");
    return;
  }
  dispatch(&route);
  lmx_cleanup_engine();
}

int main(void) {
  serve();
  /* The answer goes out first; then the host may finish sending the body. */
  fflush(stdout);
  cgi_discard_post();
  return 0;
}
