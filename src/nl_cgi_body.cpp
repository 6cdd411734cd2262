/*
 * nl_cgi_body.cpp: reads the whole request body into one malloc'd buffer
 * with a NUL appended.
 *
 * The host passes a body in one of two ways and they are tried in this
 * order: a file it has already written, named by POST_BODY_FILE, or standard
 * input with the byte count in CONTENT_LENGTH (RFC 3875, 4.2). A file that
 * can be opened is the body whatever CONTENT_LENGTH says. A seekable file and
 * standard input are read with one allocation of exactly their length plus
 * one and a single read; a file that cannot be positioned (a pipe or FIFO)
 * is streamed into a buffer of 65536 bytes that doubles whenever fewer than
 * 8193 bytes are free, 8192 bytes per read.
 *
 * Body lengths are signed 32-bit values: CONTENT_LENGTH beyond that range
 * counts as 2147483647, and so does a larger file position. The "+ 1" for the
 * terminator is done in size_t, so even the largest length gives an
 * allocation that holds it and its NUL.
 *
 * The reader does not look at the request method; what a missing body means
 * is the caller's decision. Its one piece of state is whether it has read
 * the body from standard input, so that cgi_discard_post can take in what a
 * program left unread, and only that.
 *
 * Exported: cgi_read_post, cgi_discard_post; nl_cgi_body_reset for
 * cgi_reset_request.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "nl_cgi.h"
#include "nl_cgi_state.h"
#include "platform.h"

enum { STREAM_FIRST_CAPACITY = 65536, STREAM_CHUNK = 8192 };
/* Bytes dropped per read by cgi_discard_post. */
static const size_t DISCARD_CHUNK = 65536;

/* Whether read_stdin has taken the body from standard input. */
static int stdin_body_read = 0;

void nl_cgi_body_reset(void) { stdin_body_read = 0; }

/* Narrows a length to the signed 32-bit range bodies are measured in. */
static int32_t clamp_length(long value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return (int32_t)value;
}

static char *finish(char *buf, size_t len, uint64_t *out_len) {
  buf[len] = '\0';
  if (out_len != NULL) *out_len = len;
  return buf;
}

/* A positionable file: one allocation of its size plus one, one read. A
 * file shorter at read time than its size gives the bytes actually read. */
static char *read_seekable(FILE *f, uint64_t *out_len) {
  int32_t size = clamp_length(ftell(f));
  if (size < 0) size = 0;
  rewind(f);
  char *buf = (char *)malloc((size_t)size + 1);
  if (buf == NULL) {
    fclose(f);
    return NULL;
  }
  size_t n = fread(buf, 1, (size_t)size, f);
  fclose(f);
  return finish(buf, n, out_len);
}

/* A file that cannot be positioned: read in chunks until a short read (end
 * of file or an error), doubling the buffer so a full chunk and the NUL
 * always fit. */
static char *read_stream(FILE *f, uint64_t *out_len) {
  size_t capacity = STREAM_FIRST_CAPACITY;
  size_t count = 0;
  char *buf = (char *)malloc(capacity);
  if (buf == NULL) {
    fclose(f);
    return NULL;
  }
  for (;;) {
    if (capacity < count + STREAM_CHUNK + 1) {
      char *grown = (char *)realloc(buf, capacity * 2);
      if (grown == NULL) {
        free(buf);
        fclose(f);
        return NULL;
      }
      buf = grown;
      capacity *= 2;
    }
    size_t n = fread(buf + count, 1, STREAM_CHUNK, f);
    count += n;
    if (n < STREAM_CHUNK) break;
  }
  fclose(f);
  return finish(buf, count, out_len);
}

/* CONTENT_LENGTH parsed as strtol does and narrowed; 0 when unset. */
static int32_t content_length(void) {
  const char *text = getenv("CONTENT_LENGTH");
  if (text == NULL) return 0;
  return clamp_length(strtol(text, NULL, 10));
}

/* Standard input with CONTENT_LENGTH bytes, parsed as strtol does. */
static char *read_stdin(uint64_t *out_len) {
  int32_t length = content_length();
  if (length <= 0) return NULL;
  stdin_body_read = 1;
  _setmode(_fileno(stdin), _O_BINARY);
  char *buf = (char *)malloc((size_t)length + 1);
  if (buf == NULL) return NULL;
  size_t n = fread(buf, 1, (size_t)length, stdin);
  return finish(buf, n, out_len);
}

char *cgi_read_post(uint64_t *out_len) {
  const char *path = getenv("POST_BODY_FILE");
  if (out_len != NULL) *out_len = 0;
  if (path != NULL && path[0] != '\0') {
    FILE *f = fopen(path, "rb");
    if (f != NULL) {
      if (fseek(f, 0, SEEK_END) == 0) return read_seekable(f, out_len);
      return read_stream(f, out_len);
    }
  }
  return read_stdin(out_len);
}

void cgi_discard_post(void) {
  const char *path = getenv("POST_BODY_FILE");
  static char sink[DISCARD_CHUNK];
  if (stdin_body_read || (path != NULL && path[0] != '\0')) return;
  int32_t left = content_length();
  if (left <= 0) return;
  stdin_body_read = 1;
  _setmode(_fileno(stdin), _O_BINARY);
  /* Unbuffered, so no read asks for more than is left of the body: the
   * input may be shared with the host or hold more than the body. Nothing
   * has read standard input yet, so the buffering may still change. */
  setvbuf(stdin, NULL, _IONBF, 0);
  while (left > 0) {
    size_t want = (size_t)left < DISCARD_CHUNK ? (size_t)left : DISCARD_CHUNK;
    size_t n = fread(sink, 1, want, stdin);
    left -= (int32_t)n;
    if (n < want) break;
  }
}
