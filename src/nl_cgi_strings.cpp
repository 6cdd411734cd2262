/*
 * nl_cgi_strings.cpp: small string utilities for fixed-size buffers: a
 * bounded copy and formatter, a right trim, two name validators, a path
 * joiner, and the HTML and URL encoders.
 *
 * Every operation works on NUL-terminated byte strings with no encoding
 * assumed (0x80-0xFF are ordinary bytes, never letters), keeps no state and
 * never fails loudly: a null or zero-sized destination means nothing is
 * written, a null source is "", and text that does not fit is cut silently.
 * Sizes always count the terminator, and a destination that may be written
 * is always left terminated.
 *
 * The encoders stop before a source byte unless room for the longest output
 * of one byte plus the terminator is left (9 bytes for HTML, 5 for URL), so
 * an entity or escape is never cut in half. The path joiner's separator is
 * the backslash whatever the host, because the paths it builds are meant for
 * the host the program was written for.
 *
 * Exported: nl_strlcpy, nl_snprintf, nl_rtrim, nl_valid_repo_name,
 * nl_valid_ref, nl_path_join, html_escape, html_escape_dup, url_encode.
 */
#include <ctype.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "nl_cgi.h"

void nl_strlcpy(char *dst, const char *src, size_t size) {
  if (dst == NULL || size == 0) return;
  size_t n = 0;
  if (src != NULL) {
    while (n < size - 1 && src[n] != '\0') {
      dst[n] = src[n];
      n++;
    }
  }
  dst[n] = '\0';
}

int nl_snprintf(char *dst, size_t size, const char *fmt, ...) {
  if (dst == NULL || size == 0) return -1;
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(dst, size, fmt, ap);
  va_end(ap);
  /* vsnprintf may leave the buffer unterminated on a format error. */
  dst[size - 1] = '\0';
  return n;
}

void nl_rtrim(char *text) {
  if (text == NULL) return;
  size_t len = strlen(text);
  while (len > 0) {
    char c = text[len - 1];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
    text[--len] = '\0';
  }
}

/* 1 when text is non-empty, holds no "..", and every byte is a letter, a
 * digit or one of the bytes of punct. */
static int valid_name(const char *text, const char *punct) {
  if (text == NULL || text[0] == '\0') return 0;
  if (strstr(text, "..") != NULL) return 0;
  for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++) {
    if (!isalnum(*p) && strchr(punct, *p) == NULL) return 0;
  }
  return 1;
}

int nl_valid_repo_name(const char *text) { return valid_name(text, "-._"); }

int nl_valid_ref(const char *text) { return valid_name(text, "-./:_"); }

void nl_path_join(char *dst, size_t size, const char *first,
                  const char *second) {
  if (dst == NULL || size == 0) return;
  nl_strlcpy(dst, first, size);
  size_t len = strlen(dst);
  if (len > 0 && dst[len - 1] != '/' && dst[len - 1] != '\\' &&
      len + 1 < size) {
    dst[len++] = '\\';
    dst[len] = '\0';
  }
  if (second == NULL || second[0] == '\0') return;
  nl_strlcpy(dst + len, second, size - len);
}

/* Writes the HTML form of c at dst (an entity of up to 6 bytes, or c
 * itself) and returns its length; dst needs room for it, no terminator is
 * written. */
static size_t html_put(char *dst, char c) {
  const char *entity;
  switch (c) {
    case '"':
      entity = "&quot;";
      break;
    case '&':
      entity = "&amp;";
      break;
    case '\'':
      entity = "&#39;";
      break;
    case '<':
      entity = "&lt;";
      break;
    case '>':
      entity = "&gt;";
      break;
    default:
      if (dst != NULL) dst[0] = c;
      return 1;
  }
  size_t n = strlen(entity);
  if (dst != NULL) memcpy(dst, entity, n);
  return n;
}

void html_escape(const char *src, char *dst, size_t size) {
  if (dst == NULL || size == 0) return;
  size_t p = 0;
  if (src != NULL) {
    for (; *src != '\0' && p + 8 < size; src++) p += html_put(dst + p, *src);
  }
  dst[p] = '\0';
}

/* Unlike html_escape there is no stop margin: the allocation is counted for
 * the whole escaped text, so nothing is ever cut. */
char *html_escape_dup(const char *src) {
  if (src == NULL) src = "";
  size_t len = 0;
  for (const char *s = src; *s != '\0'; s++) len += html_put(NULL, *s);
  char *out = (char *)malloc(len + 1);
  if (out == NULL) return NULL;
  size_t p = 0;
  for (const char *s = src; *s != '\0'; s++) p += html_put(out + p, *s);
  out[p] = '\0';
  return out;
}

void url_encode(const char *src, char *dst, size_t size) {
  static const char hex[] = "0123456789ABCDEF";
  if (dst == NULL || size == 0) return;
  size_t p = 0;
  if (src != NULL) {
    for (const unsigned char *s = (const unsigned char *)src; *s != '\0'; s++) {
      if (p + 4 >= size) break;
      if (isalnum(*s) || *s == '-' || *s == '.' || *s == '_' || *s == '~') {
        dst[p++] = (char)*s;
      } else {
        dst[p++] = '%';
        dst[p++] = hex[*s >> 4];
        dst[p++] = hex[*s & 0x0F];
      }
    }
  }
  dst[p] = '\0';
}
