/*
 * fastcgi_probe.cpp: a tiny responder on the FastCGI request loop
 * (nl_fastcgi.h) for test_fastcgi.cpp, which runs it as lighttpd's only
 * FastCGI worker. It shows what one request of the loop sees and what a
 * fatal page does to the worker:
 *
 *   /die     a fatal page (cgi_die_json 500 "stopped here") half-way
 *            through a request that has already written a header line
 *   /read    reads the body, then answers like any other path
 *   other    200 {"pid":P,"served":N,"q":Q,"probe":V}
 *            with P the worker's process id, N the requests this process
 *            has seen, Q the query parameter q and V the variable
 *            HTTP_X_PROBE (the X-Probe request header)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "nl_cgi.h"
#include "nl_fastcgi.h"

static long served = 0;

static void answer(void) {
  cgi_header_status(200, NULL);
  cgi_header_json();
  cgi_headers_end();
  printf("{\"pid\":%ld,\"served\":%ld,\"q\":\"", (long)getpid(), served);
  json_escape_f(stdout, cgi_query("q"));
  fputs("\",\"probe\":\"", stdout);
  json_escape_f(stdout, cgi_env("HTTP_X_PROBE", NULL));
  fputs("\"}\n", stdout);
}

static void serve(void) {
  const char *path = cgi_path_info();
  served++;
  if (strcmp(path, "/die") == 0) {
    cgi_header_extra("X-Half-Written: yes");
    cgi_die_json(500, "stopped here");
  }
  if (strcmp(path, "/read") == 0) {
    uint64_t len = 0;
    free(cgi_read_post(&len));
  }
  answer();
  fflush(stdout);
  cgi_discard_post();
}

int main(void) {
  if (nl_fastcgi_serve(serve) < 0) {
    serve();
  }
  return 0;
}
