/*
 * nl_cgi_response.cpp: the CGI response header block (RFC 3875, 6), the JSON
 * and HTML stream escapers, and the three fatal-error pages.
 *
 * A block is the header lines in exactly the order the caller writes them,
 * each ended by CR LF, then the empty line of cgi_headers_end; the body
 * follows straight on standard output. Nothing is reordered, merged or
 * checked: a CR or LF inside a caller's text is written as it is.
 *
 * Standard output must be in binary mode before the first CR LF, or a host
 * runtime that translates line ends would turn it into CR CR LF. `done`
 * records that the switch has been made; cgi_headers_end repeats it
 * unconditionally so a body written after it is never translated either.
 * The fatal-error pages write a full block of their own, whatever came
 * before, and end the process with exit status 0: under CGI the status
 * travels in the Status line, never in the exit code. An entry that serves
 * many requests per process sets `fatal_end` to end only the request.
 *
 * Write and flush errors are ignored: there is nobody left to tell.
 *
 * Two facilities serve a program that must know or add to what every answer
 * says, whichever part of it wrote the answer: the status of the latest
 * Status line is remembered (`answered`), and one hook (`headers_hook`) runs
 * inside cgi_headers_end, before the empty line, so it can add lines to
 * every block. Both cost one store or one test when unused.
 *
 * Exported: cgi_header_status, cgi_header_json, cgi_header_html,
 * cgi_header_text, cgi_header_ct, cgi_header_extra, cgi_headers_end,
 * cgi_response_status, cgi_response_reset, cgi_on_headers_end,
 * json_escape_f, json_escape_dup, html_escape_f, cgi_die_text, cgi_die_html,
 * cgi_die_json, cgi_set_fatal_end; nl_cgi_response_reset for
 * cgi_reset_request.
 */
#include <stdlib.h>
#include <string.h>

#include "nl_cgi.h"
#include "nl_cgi_state.h"
#include "platform.h"

static int done = 0;
/* Status of the latest Status line; 0 while none was written. */
static int answered = 0;
/* Called by cgi_headers_end before the empty line; null when none. */
static void (*headers_hook)(int status) = NULL;
/* Called after a fatal page in place of exit(0); null for exit. */
static void (*fatal_end)(void) = NULL;

/* A new request has written nothing and adds nothing to its header block
 * until it says so. */
void nl_cgi_response_reset(void) {
  done = 0;
  answered = 0;
  headers_hook = NULL;
}

void cgi_set_fatal_end(void (*end)(void)) { fatal_end = end; }

/* Switches standard output to binary mode the first time a header is
 * written. */
static void nl_stdout_bin(void) {
  if (done) return;
  _setmode(_fileno(stdout), _O_BINARY);
  done = 1;
}

void cgi_header_status(int status, const char *reason) {
  nl_stdout_bin();
  answered = status;
  if (reason != NULL && reason[0] != '\0') {
    printf("Status: %d %s\r\n", status, reason);
  } else {
    printf("Status: %d\r\n", status);
  }
}

void cgi_header_json(void) {
  nl_stdout_bin();
  fputs("Content-Type: application/json; charset=utf-8\r\n", stdout);
}

void cgi_header_html(void) {
  nl_stdout_bin();
  fputs("Content-Type: text/html; charset=utf-8\r\n", stdout);
}

void cgi_header_text(void) {
  nl_stdout_bin();
  fputs("Content-Type: text/plain; charset=utf-8\r\n", stdout);
}

void cgi_header_ct(const char *content_type) {
  nl_stdout_bin();
  printf("Content-Type: %s\r\n", content_type);
}

void cgi_header_extra(const char *line) {
  nl_stdout_bin();
  fputs(line, stdout);
  fputs("\r\n", stdout);
}

void cgi_headers_end(void) {
  if (headers_hook != NULL) headers_hook(answered);
  fputs("\r\n", stdout);
  fflush(stdout);
  _setmode(_fileno(stdout), _O_BINARY);
}

int cgi_response_status(void) { return answered; }

void cgi_response_reset(void) { answered = 0; }

void cgi_on_headers_end(void (*hook)(int status)) { headers_hook = hook; }

/* The JSON escape of byte c (not NUL) into out (at least 7 bytes), NUL
 * terminated; returns its length. The one set of JSON escaping rules of
 * the toolkit: json_escape_f and json_escape_dup both write through it. */
static size_t json_escape_byte(unsigned char c, char out[7]) {
  static const char hex[] = "0123456789abcdef";
  const char *two = NULL;

  switch (c) {
    case '"':
      two = "\\\"";
      break;
    case '\\':
      two = "\\\\";
      break;
    case '\n':
      two = "\\n";
      break;
    case '\r':
      two = "\\r";
      break;
    case '\t':
      two = "\\t";
      break;
    default:
      break;
  }
  if (two) {
    memcpy(out, two, 3);
    return 2;
  }
  /* Every other control byte gets the six-character form, backspace and
   * form feed included; 0x7F and 0x80-0xFF pass so UTF-8 stays UTF-8. */
  if (c < 0x20) {
    memcpy(out, "\\u00", 4);
    out[4] = hex[c >> 4];
    out[5] = hex[c & 0x0f];
    out[6] = '\0';
    return 6;
  }
  out[0] = (char)c;
  out[1] = '\0';
  return 1;
}

void json_escape_f(FILE *out, const char *text) {
  char esc[7];

  if (text == NULL) return;
  for (const unsigned char *p = (const unsigned char *)text; *p != '\0'; p++)
    fwrite(esc, 1, json_escape_byte(*p, esc), out);
}

char *json_escape_dup(const char *src) {
  char esc[7];
  const unsigned char *p;
  size_t len = 0;
  char *out, *w;

  if (src == NULL) src = "";
  for (p = (const unsigned char *)src; *p != '\0'; p++)
    len += json_escape_byte(*p, esc);
  out = (char *)malloc(len + 1);
  if (out == NULL) return NULL;
  w = out;
  for (p = (const unsigned char *)src; *p != '\0'; p++)
    w += json_escape_byte(*p, w);
  *w = '\0';
  return out;
}

void html_escape_f(FILE *out, const char *text) {
  if (text == NULL) return;
  for (const char *p = text; *p != '\0'; p++) {
    switch (*p) {
      case '"':
        fputs("&quot;", out);
        break;
      case '&':
        fputs("&amp;", out);
        break;
      case '\'':
        fputs("&#39;", out);
        break;
      case '<':
        fputs("&lt;", out);
        break;
      case '>':
        fputs("&gt;", out);
        break;
      default:
        fputc(*p, out);
    }
  }
}

/* Flushes what the page wrote and ends the request: through fatal_end
 * when one is set, else (or should it return) by ending the process. */
static void finish_page(void) {
  fflush(stdout);
  if (fatal_end != NULL) fatal_end();
  exit(0);
}

void cgi_die_text(int status, const char *message) {
  cgi_header_status(status, NULL);
  cgi_header_text();
  cgi_headers_end();
  if (message != NULL) fputs(message, stdout);
  fputc('\n', stdout);
  finish_page();
}

void cgi_die_html(int status, const char *title, const char *fragment) {
  cgi_header_status(status, NULL);
  cgi_header_html();
  cgi_headers_end();
  fputs(
      "<!DOCTYPE html><html><body style=\"background:#000;color:#fff;"
      "font-family:sans-serif;padding:40px\">",
      stdout);
  if (title != NULL) {
    fputs("<h1>", stdout);
    html_escape_f(stdout, title);
    fputs("</h1>", stdout);
  }
  /* The fragment is the caller's own HTML and goes out as it is. */
  if (fragment != NULL) fputs(fragment, stdout);
  fputs("</body></html>\n", stdout);
  finish_page();
}

void cgi_die_json(int status, const char *message) {
  cgi_header_status(status, NULL);
  cgi_header_json();
  cgi_headers_end();
  fputs("{\"ok\":false,\"error\":\"", stdout);
  json_escape_f(stdout, message != NULL ? message : "error");
  fputs("\"}\n", stdout);
  finish_page();
}
