/*
 * api_search.cpp: the search program, one CGI request per process.
 *
 * Whatever the path and the method, the request is a search: the engine is
 * opened on the storage directory, the index name is taken from the path
 * (the segment after "indexes"), else from the query parameters "index",
 * "name" (the first non-empty one) or "uid", the search handler answers, and
 * the engine is closed again. The route kind is parsed but deliberately not
 * acted on, so a DELETE of a document path only searches its index.
 *
 * When an access key is configured (LUMIDEX_READ_KEY or LUMIDEX_WRITE_KEY),
 * the search needs one in X-Lumidex-Key, as the router's searches do, else
 * the answer is 401 "unauthorized"; with no key configured nothing is
 * checked. If the engine cannot be opened the answer is 500
 * "engine_init_failed" and nothing else runs. A body left unread is read and
 * dropped before exiting. The exit code is 0 whatever the outcome; command-line
 * arguments are ignored. The index name is not copied: a query result stays
 * valid in the toolkit's result ring through the handler's lookups.
 */
#include "lmx_common.h"
#include "nl_cgi.h"
#include "platform.h"

/* The index the request names, by the entry's precedence rules. */
static const char *choose_index_name(const lmx_route *route) {
  const char *name;

  if (route->index_uid[0] != '\0') return route->index_uid;
  name = cgi_query("index");
  if (name && name[0] != '\0') return name;
  name = cgi_query("name");
  if (name && name[0] != '\0') return name;
  return cgi_query("uid");
}

/* 1 when the access keys let a search through. Whatever the path names,
 * this program only searches, so the request is judged as the read it is. */
static int search_allowed(const lmx_route *route) {
  lmx_route as_search = *route;

  as_search.kind = LMX_ROUTE_SEARCH;
  return lmx_request_allowed(&as_search);
}

int main(void) {
  lmx_route route;

  lmx_prefault_heap(LMX_REQUEST_HEAP_BYTES);
  lmx_parse_route(cgi_path_info(), &route);
  if (!search_allowed(&route)) {
    lmx_respond_error(401, "unauthorized", LMX_KEY_REQUIRED_MESSAGE);
  } else if (lmx_init_engine() != 0) {
    lmx_respond_error(500, "engine_init_failed",
                      "Failed to initialize lumidex engine");
  } else {
    lmx_execute_search(choose_index_name(&route));
    lmx_cleanup_engine();
  }
  /* A body the search did not read (a GET with one, a refusal) is taken
   * in after the answer: some hosts fail a request whose program exits
   * with its input unread. */
  fflush(stdout);
  cgi_discard_post();
  return 0;
}
