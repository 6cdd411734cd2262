/*
 * lmx_route.cpp: turns the request path (PATH_INFO) into a route record.
 *
 * The route table is the REST shape of the API: "status"; "indexes", then an
 * index identifier, then "search", "stats" or "documents" and a document
 * identifier; for api_router also "settings" (lmx_parse_router_route). The
 * path is cut at 511 bytes and at the first '?', split at
 * runs of '/' (lmx_split_path, which the router's exact-path check shares),
 * and only its first four segments are kept, each cut at 127
 * bytes on its own. Nothing is decoded: '%', '+' and '\' are ordinary bytes,
 * so an identifier reaches the handlers as the client wrote it. Comparisons
 * are exact and case-sensitive. The parser never fails; a path it does not
 * know gives LMX_ROUTE_UNKNOWN. Working storage is on the stack only.
 */
#include <string.h>

#include "lmx_common.h"
#include "nl_cgi.h"

size_t lmx_split_path(const char *path, lmx_segment *seg, size_t max) {
  size_t n = 0;
  const char *p = path ? path : "";

  while (*p != '\0') {
    const char *start;

    while (*p == '/') p++;
    if (*p == '\0') break;
    start = p;
    while (*p != '\0' && *p != '/') p++;
    if (n < max) {
      seg[n].start = start;
      seg[n].len = (size_t)(p - start);
    }
    n++;
  }
  return n;
}

/* Copies the first LMX_ROUTE_SEGMENTS segments of path (already cut), each
 * into its own LMX_ID_SIZE buffer. Returns how many were stored. */
static int split_segments(const char *path, char seg[][LMX_ID_SIZE]) {
  lmx_segment raw[LMX_ROUTE_SEGMENTS];
  size_t total = lmx_split_path(path, raw, LMX_ROUTE_SEGMENTS);
  size_t count = total < LMX_ROUTE_SEGMENTS ? total : LMX_ROUTE_SEGMENTS;
  size_t i;

  for (i = 0; i < count; i++) {
    size_t len = raw[i].len;
    /* The size bounds the copy at the segment's end; a segment longer than
     * the buffer keeps its head and the rest is dropped, never carried into
     * the next segment. */
    nl_strlcpy(seg[i], raw[i].start, len < LMX_ID_SIZE ? len + 1 : LMX_ID_SIZE);
  }
  return (int)count;
}

/* Kind of a path below "indexes"/{uid}, from its third and fourth segments;
 * fills doc_id for a single document. */
static lmx_route_kind index_route(char seg[][LMX_ID_SIZE], int count,
                                  lmx_route *route) {
  if (count < 3) return LMX_ROUTE_INDEX;
  if (strcmp(seg[2], "search") == 0) return LMX_ROUTE_SEARCH;
  if (strcmp(seg[2], "stats") == 0) return LMX_ROUTE_STATS;
  if (strcmp(seg[2], "documents") != 0) return LMX_ROUTE_UNKNOWN;
  if (count < 4) return LMX_ROUTE_DOCUMENTS;
  nl_strlcpy(route->doc_id, seg[3], sizeof route->doc_id);
  return LMX_ROUTE_DOCUMENT;
}

void lmx_parse_route(const char *path, lmx_route *route) {
  char copy[LMX_PATH_SIZE];
  char seg[LMX_ROUTE_SEGMENTS][LMX_ID_SIZE];
  char *query;
  int count;

  if (!route) return;
  memset(route, 0, sizeof *route);
  route->kind = LMX_ROUTE_UNKNOWN;

  if (!path || path[0] == '\0' || strcmp(path, "/") == 0) {
    route->kind = LMX_ROUTE_ROOT;
    return;
  }
  nl_strlcpy(copy, path, sizeof copy);
  query = strchr(copy, '?');
  if (query) *query = '\0';

  count = split_segments(copy, seg);
  if (count == 0) {
    route->kind = LMX_ROUTE_ROOT;
    return;
  }

  if (strcmp(seg[0], "status") == 0) {
    route->kind = LMX_ROUTE_STATUS;
  } else if (strcmp(seg[0], "indexes") == 0) {
    if (count < 2) {
      route->kind = LMX_ROUTE_INDEXES;
      return;
    }
    nl_strlcpy(route->index_uid, seg[1], sizeof route->index_uid);
    route->kind = index_route(seg, count, route);
  } else if (strcmp(seg[0], "index") == 0) {
    route->kind = LMX_ROUTE_ROOT;
  }
}

void lmx_parse_router_route(const char *path, lmx_route *route) {
  lmx_segment seg[3];

  lmx_parse_route(path, route);
  if (!route || route->kind != LMX_ROUTE_UNKNOWN || !path) return;
  /* The parser cut the path at '?', so the settings segment is looked at
   * within that cut too. */
  if (lmx_split_path(path, seg, 3) >= 3 && route->index_uid[0] != '\0' &&
      seg[2].len >= 8 && memcmp(seg[2].start, "settings", 8) == 0 &&
      (seg[2].len == 8 || seg[2].start[8] == '?'))
    route->kind = LMX_ROUTE_SETTINGS;
}
