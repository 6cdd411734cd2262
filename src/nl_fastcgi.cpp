/*
 * nl_fastcgi.cpp: the FastCGI request loop (see nl_fastcgi.h), on libfcgi's
 * explicit-stream interface (fcgiapp.h).
 *
 * Each request's streams become stdio streams through glibc's fopencookie:
 * reads and writes go straight to libfcgi's FCGX_GetStr and FCGX_PutStr.
 * While serve runs, the process's `stdin` and `stdout` point at them (glibc
 * declares both as ordinary variables that a program may set) and `environ`
 * at the request's variables followed by the process's own, so getenv,
 * fread(stdin) and fwrite(stdout) in any code the program calls act on the
 * request. Everything is put back before the request is finished, so
 * between requests the process sees its own environment and streams.
 *
 * A fatal page of the toolkit calls end_request (set with
 * cgi_set_fatal_end), which jumps back here with longjmp: the page is
 * already flushed, the request is finished like any other, and the worker
 * lives on. The jump passes only over the program's C-style handler frames
 * (no destructors run on that path).
 *
 * Whether the process is a FastCGI worker is decided as libfcgi itself
 * does (its standard input is a socket without a peer), but without
 * initialising libfcgi, so a CGI start keeps its signal dispositions and
 * costs one getpeername.
 *
 * State: the jump target of the request being served and the reusable
 * environment array, both file-private; between requests nothing is held
 * but that array (bounded by the largest set of variables seen).
 */
#include "nl_fastcgi.h"

#include <errno.h>
#include <fcgiapp.h>
#include <limits.h>
#include <malloc.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "nl_cgi.h"

extern char **environ;

/* Allocations at least this large get a mapping of their own, released to
 * the system when freed. Fixing the threshold also stops glibc from raising
 * it after a large free, which would keep the next large body on the heap. */
static const int MMAP_THRESHOLD = 256 * 1024;

/* Free heap memory a worker keeps between requests, at most: past it (after
 * a large batch of small documents) the heap is trimmed and its free pages
 * are returned to the system. Trimming after every request cost a search
 * more than its own work: returning pages makes the kernel flush the TLBs
 * of every CPU, and the next request faults the same pages in again. */
static const size_t KEPT_FREE_HEAP = 8 * 1024 * 1024;

static jmp_buf request_end;

/* The request's variables then the process's own, null-terminated. */
static char **merged_env = NULL;
static size_t merged_capacity = 0;

int nl_fastcgi_started(void) {
  struct sockaddr_storage peer;
  socklen_t len = sizeof peer;

  if (getpeername(STDIN_FILENO, (struct sockaddr *)&peer, &len) == 0) return 0;
  return errno == ENOTCONN;
}

static ssize_t stream_write(void *cookie, const char *buf, size_t size) {
  FCGX_Stream *out = (FCGX_Stream *)cookie;
  size_t done = 0;

  while (done < size) {
    size_t left = size - done;
    int chunk = left > (size_t)INT_MAX ? INT_MAX : (int)left;
    int n = FCGX_PutStr(buf + done, chunk, out);
    if (n <= 0) break;
    done += (size_t)n;
  }
  /* A short count tells stdio the stream failed; the toolkit ignores write
   * errors, as it does under CGI. */
  return (ssize_t)done;
}

static ssize_t stream_read(void *cookie, char *buf, size_t size) {
  FCGX_Stream *in = (FCGX_Stream *)cookie;
  int chunk = size > (size_t)INT_MAX ? INT_MAX : (int)size;
  return FCGX_GetStr(buf, chunk, in);
}

static FILE *open_stream(FCGX_Stream *stream, const char *mode) {
  cookie_io_functions_t io = {stream_read, stream_write, NULL, NULL};
  return fopencookie(stream, mode, io);
}

static size_t count_env(char **env) {
  size_t n = 0;
  while (env != NULL && env[n] != NULL) n++;
  return n;
}

/* Points environ at request's variables followed by own. 0 on success, -1
 * when memory runs out (environ is then left alone). */
static int enter_env(char **request, char **own) {
  size_t n_request = count_env(request);
  size_t n_own = count_env(own);
  size_t need = n_request + n_own + 1;

  if (need > merged_capacity) {
    char **grown = (char **)realloc(merged_env, need * sizeof *grown);
    if (grown == NULL) return -1;
    merged_env = grown;
    merged_capacity = need;
  }
  if (n_request > 0) memcpy(merged_env, request, n_request * sizeof *request);
  if (n_own > 0) memcpy(merged_env + n_request, own, n_own * sizeof *own);
  merged_env[n_request + n_own] = NULL;
  environ = merged_env;
  return 0;
}

/* Set as the toolkit's fatal-page ending while a request is served. */
static void end_request(void) { longjmp(request_end, 1); }

/* An answer for a request that could not be set up: written on the raw
 * stream, since the stdio ones are what failed. */
static void refuse(FCGX_Stream *out) {
  FCGX_PutS(
      "Status: 503\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
      "Out of memory\n",
      out);
}

/* serve, or the jump of a fatal page; kept apart so no local of the
 * caller lives across the setjmp. */
static void run_request(void (*serve)(void)) {
  if (setjmp(request_end) == 0) serve();
}

/* Serves one accepted request with the process's environment and streams
 * swapped for the request's, and puts them back. */
static void serve_one(FCGX_Request *request, char **own_env,
                      void (*serve)(void)) {
  FILE *saved_in = stdin;
  FILE *saved_out = stdout;
  FILE *in = open_stream(request->in, "r");
  FILE *out = open_stream(request->out, "w");

  if (in == NULL || out == NULL || enter_env(request->envp, own_env) != 0) {
    if (in != NULL) fclose(in);
    if (out != NULL) fclose(out);
    refuse(request->out);
    return;
  }
  stdin = in;
  stdout = out;
  cgi_reset_request();
  run_request(serve);
  fflush(out);
  stdin = saved_in;
  stdout = saved_out;
  environ = own_env;
  fclose(out);
  fclose(in);
}

long nl_fastcgi_serve(void (*serve)(void)) {
  FCGX_Request request;
  char **own_env = environ;
  long served = 0;

  if (!nl_fastcgi_started()) return -1;
  if (FCGX_Init() != 0) return -1;
  if (FCGX_InitRequest(&request, STDIN_FILENO, 0) != 0) return -1;
  mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD);
  cgi_set_fatal_end(end_request);
  while (FCGX_Accept_r(&request) >= 0) {
    serve_one(&request, own_env, serve);
    FCGX_Finish_r(&request);
    if (mallinfo2().fordblks > KEPT_FREE_HEAP) malloc_trim(0);
    served++;
  }
  cgi_set_fatal_end(NULL);
  FCGX_Free(&request, 1);
  return served;
}
