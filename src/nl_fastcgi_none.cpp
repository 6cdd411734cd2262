/*
 * nl_fastcgi_none.cpp: the FastCGI entry points (nl_fastcgi.h) for builds
 * without libfcgi or without fopencookie (the Windows build, say): every
 * start is a CGI start, so programs keep their one-request path.
 */
#include "nl_fastcgi.h"

int nl_fastcgi_started(void) { return 0; }

long nl_fastcgi_serve(void (*serve)(void)) {
  (void)serve;
  return -1;
}
