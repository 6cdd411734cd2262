/*
 * lmx_log.cpp: the request log, one line on standard error per logged
 * request. Every common host puts a CGI program's standard error into its
 * error log (lighttpd's server.errorlog, Apache's ErrorLog, fcgiwrap's
 * journal).
 *
 * A request is logged when its answer is 500 or more, and every request is
 * when LUMIDEX_LOG is "requests" ("errors", or unset, logs failures only).
 * The line is
 *
 *   2026-12-09T18:21:24.123Z lumidex GET /indexes/books/search 500 1.84ms
 *   reason: Storage directory `/srv/x` is writable by every user; ...
 *
 * on one line: UTC time, method, path, status (a block without a Status
 * line counts as 200, as the host sends it), time since lmx_log_begin, and
 * for a failure the reason a caller noted with lmx_log_reason. Only these
 * are written: never the query string, a header, a key or a body. Method
 * and path are the client's, so every byte that could end the line, split a
 * field or fool a terminal (controls, space, '"', '\', bytes >= 0x7F) is
 * written as \xNN, and the path is cut at 256 bytes. The whole line goes
 * out in one write, so lines of processes sharing the log do not mix.
 *
 * Cost when nothing is logged: one clock read, one getenv and a compare.
 * State (file-private): the start time and the noted reason.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <chrono>

#include "lmx_common.h"
#include "nl_cgi.h"

/* The longest path shown; the rest is replaced by "...". */
#define LOG_PATH_SHOWN 256
/* Room for the longest line: every shown byte of the method (128), the path
 * (256) and the reason (511) may take four, plus the fixed fields. */
#define LOG_LINE_SIZE 4096

/* Monotonic, so a clock change during the request cannot show. */
static std::chrono::steady_clock::time_point s_started;
static char s_reason[LMX_PATH_SIZE];

/* What LUMIDEX_LOG asks for: 1 every request, 0 failures only, -1 a value
 * that is neither. */
static int log_every_request(void) {
  const char *mode = cgi_env("LUMIDEX_LOG", "errors");
  if (strcmp(mode, "requests") == 0) return 1;
  if (strcmp(mode, "errors") == 0) return 0;
  return -1;
}

int lmx_log_check(char *why, size_t size) {
  if (log_every_request() >= 0) return 0;
  nl_snprintf(why, size,
              "LUMIDEX_LOG must be \"errors\" (the default) or \"requests\"");
  return -1;
}

void lmx_log_begin(void) {
  s_started = std::chrono::steady_clock::now();
  s_reason[0] = '\0';
}

void lmx_log_reason(const char *reason) {
  nl_strlcpy(s_reason, reason, sizeof s_reason);
}

/* A line being built in a fixed buffer; whatever does not fit is left
 * out (the buffer is sized for the longest line). */
typedef struct log_line {
  char text[LOG_LINE_SIZE];
  size_t len;
} log_line;

static void put_bytes(log_line *line, const char *bytes, size_t n) {
  if (n > sizeof line->text - 1 - line->len)
    n = sizeof line->text - 1 - line->len;
  memcpy(line->text + line->len, bytes, n);
  line->len += n;
}

static void put_text(log_line *line, const char *text) {
  put_bytes(line, text, strlen(text));
}

/* Appends up to max bytes of text; bytes for which escape() is true become
 * \xNN; "..." marks a cut. */
static void put_escaped(log_line *line, const char *text, size_t max,
                        int (*escape)(unsigned char)) {
  static const char hex[] = "0123456789abcdef";
  size_t i;

  for (i = 0; text[i] != '\0' && i < max; i++) {
    unsigned char c = (unsigned char)text[i];
    if (escape(c)) {
      char esc[4] = {'\\', 'x', hex[c >> 4], hex[c & 15]};
      put_bytes(line, esc, sizeof esc);
    } else {
      put_bytes(line, (const char *)&c, 1);
    }
  }
  if (text[i] != '\0') put_text(line, "...");
}

/* Client text: only printable ASCII other than space, '"' and '\' stays. */
static int escape_client(unsigned char c) {
  return c <= 0x20 || c >= 0x7F || c == '"' || c == '\\';
}

/* Engine text is one line of valid UTF-8 already; controls are escaped all
 * the same, so no reason can ever start a second line. */
static int escape_control(unsigned char c) {
  return c < 0x20 || c == 0x7F || c == '\\';
}

/* The wall-clock time, UTC, to the millisecond. C++'s system clock counts
 * from 1970 on every host (C11's timespec_get is missing from the Windows
 * C runtime); gmtime is called by one thread only. */
static void put_time(log_line *line) {
  char text[40];
  size_t n = 0;

  long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  time_t seconds = (time_t)(ms / 1000);
  const struct tm *tm = gmtime(&seconds);
  if (tm != NULL) n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", tm);
  nl_snprintf(text + n, sizeof text - n, ".%03ldZ", (long)(ms % 1000));
  put_text(line, text);
}

static double elapsed_ms(void) {
  std::chrono::duration<double, std::milli> taken =
      std::chrono::steady_clock::now() - s_started;
  return taken.count();
}

void lmx_log_end(void) {
  int status = cgi_response_status();
  log_line line;
  char tail[64];

  if (status == 0) status = 200;
  if (status < 500 && log_every_request() != 1) return;
  line.len = 0;
  put_time(&line);
  put_text(&line, " lumidex ");
  put_escaped(&line, cgi_method(), LMX_ID_SIZE, escape_client);
  put_text(&line, " ");
  put_escaped(&line, cgi_path_info(), LOG_PATH_SHOWN, escape_client);
  nl_snprintf(tail, sizeof tail, " %d %.2fms", status, elapsed_ms());
  put_text(&line, tail);
  if (status >= 500 && s_reason[0] != '\0') {
    put_text(&line, " reason: ");
    put_escaped(&line, s_reason, sizeof s_reason, escape_control);
  }
  put_text(&line, "\n");
  /* stderr is unbuffered: one fwrite of the whole line is one write. */
  fwrite(line.text, 1, line.len, stderr);
  fflush(stderr);
}
