/*
 * floor_cgi.c: the process floor, the least a CGI program can do.
 *
 * It answers every request with a small JSON body that echoes the length of
 * QUERY_STRING, so a benchmark sees what process start, the C runtime and a
 * header block cost, and nothing else. Under a web server it is the ceiling
 * of requests per second any CGI program can reach there.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
  const char *qs = getenv("QUERY_STRING");
  size_t qs_len = qs ? strlen(qs) : 0;
  printf("Status: 200 OK\r\nContent-Type: application/json\r\n\r\n"
         "{\"floor\":\"cgi\",\"query_length\":%zu}\n",
         qs_len);
  return 0;
}
