/*
 * lmx_respond.cpp: the two JSON responders of the handler module, and the
 * engine error text their failure answers carry (lmx_engine_error_or).
 *
 * Every JSON answer of the program, success or failure, is one complete CGI
 * response written here: "Status: N", the JSON content type and the empty
 * line through the toolkit's header writers (which put standard output into
 * binary mode, so the bytes below are the bytes sent), then the body and one
 * line feed, then a flush. A success body is written unchanged and is not
 * validated. A failure is always the same envelope, members in this order:
 *
 *   {"message":M,"code":C,"type":"invalid_request",
 *    "link":"https://" LMX_DOCS_HOST "/errors#" C}
 *
 * with M and C JSON-escaped by the toolkit and nothing cut. Write errors on
 * standard output are not detectable in a useful way for a CGI process and
 * are ignored; neither function ends the process.
 */
#include <stdio.h>

#include "lmx_common.h"
#include "lumidex_core.h"
#include "nl_cgi.h"

static void write_header_block(int status) {
  cgi_header_status(status, NULL);
  cgi_header_json();
  cgi_headers_end();
}

void lmx_respond_json(int status, const char *body) {
  write_header_block(status);
  if (body) {
    fputs(body, stdout);
    fputc('\n', stdout);
  }
  fflush(stdout);
}

void lmx_respond_error(int status, const char *code, const char *message) {
  const char *c = code ? code : "internal_error";
  const char *m = message ? message : "Error";

  write_header_block(status);
  fputs("{\"message\":\"", stdout);
  json_escape_f(stdout, m);
  fputs("\",\"code\":\"", stdout);
  json_escape_f(stdout, c);
  fputs("\",\"type\":\"invalid_request\",\"link\":\"https://" LMX_DOCS_HOST
        "/errors#",
        stdout);
  json_escape_f(stdout, c);
  fputs("\"}\n", stdout);
  fflush(stdout);
}

const char *lmx_engine_error_or(const char *fallback) {
  const char *text = lumidex_last_error();
  return (text && text[0]) ? text : fallback;
}
