/*
 * lmx_route.cpp: turns the request path (PATH_INFO) into a route record.
 *
 * The route table is the REST shape of the API: "status"; "indexes", then an
 * index identifier, then "search", "stats" or "documents" and a document
 * identifier. The path is cut at 511 bytes and at the first '?', split at
 * runs of '/', and only its first four segments are kept, each cut at 127
 * bytes on its own. Nothing is decoded: '%', '+' and '\' are ordinary bytes,
 * so an identifier reaches the handlers as the client wrote it. Comparisons
 * are exact and case-sensitive. The parser never fails; a path it does not
 * know gives LMX_ROUTE_UNKNOWN. Working storage is on the stack only.
 */
#include <string.h>

#include "lmx_common.h"
#include "nl_cgi.h"

/* Segments the route table ever looks at. */
#define ROUTE_SEGMENTS 4

/* Splits path (already cut) into at most ROUTE_SEGMENTS non-empty segments,
 * each copied into its own LMX_ID_SIZE buffer. Returns how many were
 * stored. */
static int split_segments(const char *path, char seg[][LMX_ID_SIZE]) {
  int count = 0;
  const char *p = path;

  while (*p && count < ROUTE_SEGMENTS) {
    const char *start;
    size_t len;

    while (*p == '/') p++;
    if (*p == '\0') break;
    start = p;
    while (*p && *p != '/') p++;
    len = (size_t)(p - start);
    /* The size bounds the copy at the segment's end; a segment longer than
     * the buffer keeps its head and the rest is dropped, never carried into
     * the next segment. */
    nl_strlcpy(seg[count], start, len < LMX_ID_SIZE ? len + 1 : LMX_ID_SIZE);
    count++;
  }
  return count;
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
  char seg[ROUTE_SEGMENTS][LMX_ID_SIZE];
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
