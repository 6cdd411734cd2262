/*
 * lmx_access.cpp: the access-key check shared by the programs.
 *
 * Two optional keys, LUMIDEX_WRITE_KEY and LUMIDEX_READ_KEY, set in the
 * program's environment by the host configuration; a client presents one in
 * the X-Lumidex-Key header, which reaches a CGI program as
 * HTTP_X_LUMIDEX_KEY. The router checks every request here before it opens
 * the engine or reads the body, and the search program checks its searches
 * (reads) here too, so a search program installed next to the router cannot
 * be used to read around the read key. What a refusal looks like (401) is
 * the callers'. Keys are compared in constant time and never written
 * anywhere; nothing here keeps state.
 */
#include <stddef.h>
#include <string.h>

#include "lmx_common.h"
#include "nl_cgi.h"

/* 1 when given equals key. The time taken depends only on the length of
 * given (the client's own text), never on where the texts first differ nor
 * on the key's length. key is non-empty. */
static int key_matches(const char *given, const char *key) {
  size_t given_len = strlen(given);
  size_t key_len = strlen(key);
  volatile unsigned char diff = (unsigned char)(given_len != key_len);
  size_t i;

  for (i = 0; i < given_len; i++) {
    diff |= (unsigned char)(given[i] ^ key[i % key_len]);
  }
  return diff == 0;
}

/* Changes made through the indexes, documents and settings routes: every
 * method but GET, including those the handlers will refuse with 405. */
static int is_write_request(const lmx_route *route) {
  switch (route->kind) {
    case LMX_ROUTE_INDEXES:
    case LMX_ROUTE_INDEX:
    case LMX_ROUTE_DOCUMENTS:
    case LMX_ROUTE_DOCUMENT:
    case LMX_ROUTE_SETTINGS:
      return strcmp(cgi_method(), "GET") != 0;
    default:
      return 0;
  }
}

/* The sandbox page is always open (it asks its user for a key itself). With
 * only a read key set, writes need the read key: a key that was set is
 * never ignored, and writes are never more open than reads. */
int lmx_request_allowed(const lmx_route *route) {
  const char *write_key = cgi_env("LUMIDEX_WRITE_KEY", NULL);
  const char *read_key = cgi_env("LUMIDEX_READ_KEY", NULL);
  const char *given = cgi_env("HTTP_X_LUMIDEX_KEY", NULL);
  int write_ok = write_key[0] != '\0' && key_matches(given, write_key);
  int read_ok = read_key[0] != '\0' && key_matches(given, read_key);

  if (route->kind == LMX_ROUTE_ROOT) return 1;
  if (is_write_request(route)) {
    if (write_key[0] != '\0') return write_ok;
    return read_key[0] == '\0' || read_ok;
  }
  return read_key[0] == '\0' || read_ok || write_ok;
}
