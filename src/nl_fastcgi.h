/*
 * nl_fastcgi.h: runs a CGI program's request handling once per request of a
 * FastCGI host, in one long-lived process.
 *
 * A FastCGI host (lighttpd's mod_fastcgi, spawn-fcgi behind nginx, ...)
 * starts the program with a listening socket as its standard input and
 * sends it request after request: each one the CGI variables, the body and
 * a stream for the answer. This module gives each request to the program
 * exactly as a CGI process would see it: while the request is served, the
 * process environment is the request's variables followed by the process's
 * own environment (so getenv finds the request's value first, and settings
 * the worker was started with, such as access keys, where the request
 * carries none), standard input reads the request's body and standard
 * output writes its answer. The toolkit (nl_cgi.h) keeps working unchanged
 * on getenv, stdin and stdout and never learns about FastCGI; its state is
 * reset before each request (cgi_reset_request).
 *
 * Built with libfcgi on hosts whose C library can make a stdio stream of
 * two functions (glibc's fopencookie); elsewhere a stand-in reports every
 * start as a CGI start.
 */
#ifndef NL_FASTCGI_H
#define NL_FASTCGI_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 when the process was started by a FastCGI host: standard input is a
 * socket with no peer (a listening socket), the FastCGI convention; 0 for a
 * CGI start (a pipe, a file, a terminal, a closed input). Touches nothing
 * and costs one system call. */
int nl_fastcgi_started(void);

/* Serves FastCGI requests until the host stops sending them, calling serve
 * (not null) once per request with that request's environment, standard
 * input and standard output in place and the toolkit's state reset; when
 * serve returns, the answer is flushed and the request finished, and the
 * process's own environment and streams are put back. A fatal page of the
 * toolkit (cgi_die_*) ends only its request: its page is delivered and the
 * next request is served (serve must keep nothing half-done across a call
 * to cgi_die_*, which does not return to it). Memory a request freed goes
 * back to the system before the next request (allocations of 256 KiB and
 * more are mapped on their own and unmapped when freed, and the heap is
 * trimmed after each request), so one large body does not stay resident.
 * Returns the number of requests served, or -1 when the process was not
 * started by a FastCGI host (nothing is done) or the FastCGI library cannot
 * start. */
long nl_fastcgi_serve(void (*serve)(void));

#ifdef __cplusplus
}
#endif

#endif /* NL_FASTCGI_H */
