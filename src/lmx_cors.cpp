/*
 * lmx_cors.cpp: answers for pages of other origins (cross-origin resource
 * sharing), switched on by LUMIDEX_CORS_ORIGINS.
 *
 * The variable is "*" (any origin) or a space-separated list of origins as
 * browsers send them in the Origin header: "http://" or "https://", a
 * lower-case host name or address ("[::1]" for IPv6), an optional ":port",
 * nothing after. Unset or empty, nothing here writes anything. Matching is
 * exact, byte for byte, against the request's Origin (HTTP_ORIGIN).
 *
 * For an allowed origin every answer carries Access-Control-Allow-Origin
 * (the origin itself, or "*"); with a list, every answer also carries
 * "Vary: Origin", since it depends on that header. An OPTIONS request is a
 * preflight, answered here before any key is asked for (browsers send no
 * custom header with it): 204 with Allow and, for an allowed origin, the
 * route's methods and the request headers the API reads (Content-Type and
 * X-Lumidex-Key); 403 "origin_not_allowed" for an origin not listed.
 *
 * What the browser may do is the browser's affair: these headers relax its
 * same-origin rule for listed pages, they never replace the access keys.
 */
#include <string.h>

#include "lmx_common.h"
#include "nl_cgi.h"

/* How long a browser may reuse a preflight's answer, in seconds. */
#define CORS_MAX_AGE "600"

static const char *origins(void) {
  return cgi_env("LUMIDEX_CORS_ORIGINS", NULL);
}

int lmx_cors_enabled(void) { return origins()[0] != '\0'; }

/* Length of the origin at the start of p: up to the next space or the
 * end. */
static size_t token_len(const char *p) {
  size_t n = 0;
  while (p[n] != '\0' && p[n] != ' ') n++;
  return n;
}

static int host_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-';
}

/* 1 when the n bytes at p are one origin as a browser writes it. */
static int origin_well_formed(const char *p, size_t n) {
  size_t i;

  if (n > 8 && memcmp(p, "https://", 8) == 0) {
    i = 8;
  } else if (n > 7 && memcmp(p, "http://", 7) == 0) {
    i = 7;
  } else {
    return 0;
  }
  if (p[i] == '[') { /* an IPv6 address */
    for (i++; i < n && p[i] != ']'; i++) {
      char c = p[i];
      if (!(c == ':' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
        return 0;
    }
    if (i == n) return 0;
    i++;
  } else {
    size_t start = i;
    while (i < n && host_byte(p[i])) i++;
    if (i == start) return 0;
  }
  if (i == n) return 1;
  if (p[i] != ':' || i + 1 == n) return 0;
  for (i++; i < n; i++)
    if (p[i] < '0' || p[i] > '9') return 0;
  return 1;
}

int lmx_cors_check(char *why, size_t size) {
  const char *p = origins();

  if (strcmp(p, "*") == 0) return 0;
  while (*p != '\0') {
    size_t n;
    while (*p == ' ') p++;
    n = token_len(p);
    if (n > 0 && !origin_well_formed(p, n)) {
      nl_snprintf(why, size,
                  "LUMIDEX_CORS_ORIGINS must be \"*\" or origins separated by "
                  "spaces, each http:// or https://, a lower-case host and "
                  "an optional :port, nothing after (not: %.*s)",
                  (int)(n > 100 ? 100 : n), p);
      return -1;
    }
    p += n;
  }
  return 0;
}

const char *lmx_cors_allow_origin(void) {
  const char *list = origins();
  const char *origin = cgi_env("HTTP_ORIGIN", NULL);
  size_t origin_len = strlen(origin);
  const char *p = list;

  if (list[0] == '\0' || origin[0] == '\0') return NULL;
  if (strcmp(list, "*") == 0) return "*";
  while (*p != '\0') {
    size_t n;
    while (*p == ' ') p++;
    n = token_len(p);
    if (n == origin_len && n > 0 && memcmp(p, origin, n) == 0) return origin;
    p += n;
  }
  return NULL;
}

/* One "Name: value" line; the value is at most an origin's length. */
static void header_line(const char *name, const char *value) {
  char line[LMX_PATH_SIZE];
  nl_snprintf(line, sizeof line, "%s: %s", name, value);
  cgi_header_extra(line);
}

void lmx_cors_headers(void) {
  const char *allowed;

  if (!lmx_cors_enabled()) return;
  allowed = lmx_cors_allow_origin();
  if (allowed != NULL) header_line("Access-Control-Allow-Origin", allowed);
  if (strcmp(origins(), "*") != 0) cgi_header_extra("Vary: Origin");
}

void lmx_cors_preflight(const char *methods) {
  const char *origin = cgi_env("HTTP_ORIGIN", NULL);
  int allowed = lmx_cors_allow_origin() != NULL;

  if (origin[0] != '\0' && !allowed) {
    lmx_respond_error(403, "origin_not_allowed",
                      "This origin is not in LUMIDEX_CORS_ORIGINS");
    return;
  }
  /* The header hook adds Access-Control-Allow-Origin and Vary. */
  cgi_header_status(204, NULL);
  header_line("Allow", methods);
  if (allowed) {
    header_line("Access-Control-Allow-Methods", methods);
    cgi_header_extra(
        "Access-Control-Allow-Headers: Content-Type, X-Lumidex-Key");
    cgi_header_extra("Access-Control-Max-Age: " CORS_MAX_AGE);
  }
  cgi_headers_end();
}
