/*
 * nl_cgi_request.cpp: read access to the request as the host server passes
 * it in the CGI environment (RFC 3875): REQUEST_METHOD, PATH_INFO, any
 * variable with a fallback, and single QUERY_STRING parameters, URL-decoded.
 *
 * Nothing here fails or returns null: an absent variable gives a fixed
 * default and an absent parameter the empty text. Decoded query values live
 * in `slots`, a ring of eight 512-byte buffers private to this file; `slot`
 * names the buffer the latest lookup used. A result therefore survives seven
 * further lookups and is overwritten by the eighth, which lets a caller hold
 * the index name and every search parameter of one request at once without
 * any allocation. The body reader and the response writers live in their own
 * files.
 *
 * cgi_reset_request starts a new request here and has the body reader and
 * the response writers forget theirs (nl_cgi_state.h).
 *
 * Exported: cgi_reset_request, cgi_env, cgi_method, cgi_path_info,
 * cgi_is_post, cgi_query, cgi_query_next.
 */
#include <stdlib.h>
#include <string.h>

#include "nl_cgi.h"
#include "nl_cgi_state.h"

static char slots[CGI_QUERY_SLOTS][CGI_QUERY_VALUE_SIZE];
static int slot = 0;

void cgi_reset_request(void) {
  memset(slots, 0, sizeof slots);
  slot = 0;
  nl_cgi_body_reset();
  nl_cgi_response_reset();
}

/* Value of a hexadecimal digit, or -1 when c is none. */
static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Decodes the value of `len` bytes into out (size bytes, at least 1): '+'
 * is a space, '%' with two hex digits inside the value is that byte, any
 * other '%' is kept literally. Stops after size-1 output bytes. A decoded NUL
 * is stored like any byte, so it ends the text a caller reading up to the NUL
 * sees. Returns the number of bytes the whole value decodes to, cut or not. */
static size_t decode_into(const char *value, size_t len, char *out,
                          size_t size) {
  size_t in = 0;
  size_t n = 0;
  while (in < len) {
    char c = value[in];
    if (c == '+') {
      c = ' ';
      in++;
    } else if (c == '%' && in + 2 < len && hex_value(value[in + 1]) >= 0 &&
               hex_value(value[in + 2]) >= 0) {
      c = (char)(hex_value(value[in + 1]) * 16 + hex_value(value[in + 2]));
      in += 3;
    } else {
      in++;
    }
    if (n < size - 1) out[n] = c;
    n++;
  }
  out[n < size - 1 ? n : size - 1] = '\0';
  return n;
}

/* decode_into a CGI_QUERY_VALUE_SIZE buffer: at most 511 bytes kept. */
static void decode_value(const char *value, size_t len, char *out) {
  decode_into(value, len, out, CGI_QUERY_VALUE_SIZE);
}

/* Environment stand-in used when there is no query string: the variable
 * named key, unless it holds both ';' and ':', the shape of a list of
 * drive paths rather than of a single parameter value. */
static const char *env_fallback(const char *key) {
  const char *value = getenv(key);
  if (value == NULL || value[0] == '\0') return "";
  if (strchr(value, ';') != NULL && strchr(value, ':') != NULL) return "";
  return value;
}

const char *cgi_env(const char *name, const char *fallback) {
  const char *value = getenv(name);
  if (value != NULL && value[0] != '\0') return value;
  return fallback != NULL ? fallback : "";
}

const char *cgi_method(void) {
  const char *method = getenv("REQUEST_METHOD");
  return (method != NULL && method[0] != '\0') ? method : "GET";
}

const char *cgi_path_info(void) {
  const char *path = getenv("PATH_INFO");
  return (path != NULL && path[0] != '\0') ? path : "/";
}

int cgi_is_post(void) {
  const char *method = getenv("REQUEST_METHOD");
  return (method != NULL && method[0] == 'P' && method[1] == 'O') ? 1 : 0;
}

const char *cgi_query(const char *key) {
  if (key == NULL || key[0] == '\0') return "";
  slot = (slot + 1) % CGI_QUERY_SLOTS;
  char *out = slots[slot];
  out[0] = '\0';

  const char *qs = getenv("QUERY_STRING");
  if (qs == NULL || qs[0] == '\0') return env_fallback(key);

  size_t key_len = strlen(key);
  const char *seg = qs;
  for (;;) {
    const char *amp = strchr(seg, '&');
    size_t seg_len = amp != NULL ? (size_t)(amp - seg) : strlen(seg);
    const char *eq = (const char *)memchr(seg, '=', seg_len);
    size_t name_len = eq != NULL ? (size_t)(eq - seg) : seg_len;
    if (name_len == key_len && memcmp(seg, key, key_len) == 0) {
      if (eq != NULL) decode_value(eq + 1, seg_len - name_len - 1, out);
      return out;
    }
    /* No further segment: the string ends here or right after this '&'. */
    if (amp == NULL || amp[1] == '\0') return out;
    seg = amp + 1;
  }
}

/* Copies text (len bytes) into out (size bytes, at least 1), cut to fit. */
static void copy_cut(const char *text, size_t len, char *out, size_t size) {
  size_t n = len < size - 1 ? len : size - 1;
  memcpy(out, text, n);
  out[n] = '\0';
}

int cgi_query_next(size_t *pos, char *name, size_t name_size, size_t *name_len,
                   char *value, size_t value_size, size_t *value_len) {
  const char *qs = getenv("QUERY_STRING");
  size_t at = pos != NULL ? *pos : 0;
  size_t qs_len = qs != NULL ? strlen(qs) : 0;

  /* Empty segments ("a=1&&b=2", a trailing '&') hold no parameter. */
  while (at < qs_len && qs[at] == '&') at++;
  if (pos == NULL || name == NULL || name_size == 0 || value == NULL ||
      value_size == 0 || at >= qs_len)
    return 0;
  const char *seg = qs + at;
  const char *amp = strchr(seg, '&');
  size_t seg_len = amp != NULL ? (size_t)(amp - seg) : strlen(seg);
  const char *eq = (const char *)memchr(seg, '=', seg_len);
  size_t n_len = eq != NULL ? (size_t)(eq - seg) : seg_len;
  copy_cut(seg, n_len, name, name_size);
  size_t v_len = 0;
  if (eq != NULL)
    v_len = decode_into(eq + 1, seg_len - n_len - 1, value, value_size);
  else
    value[0] = '\0';
  if (name_len != NULL) *name_len = n_len;
  if (value_len != NULL) *value_len = v_len;
  *pos = at + seg_len;
  return 1;
}
