/*
 * nl_cgi.h: the CGI toolkit. Request variables and query-string lookup, the
 * request body reader, the response header block and fatal-error pages, and
 * small string utilities and encoders.
 *
 * The toolkit knows nothing of the API or the engine. It works on plain
 * NUL-terminated byte strings and caller-supplied fixed buffers, keeps only
 * a few pieces of per-request state (the eight-slot query result ring and
 * its index, the binary-stdout flag, whether the body was taken from
 * standard input, the last status written and the header-block hook) and one
 * per-process setting (what a fatal page does once it is out), and never
 * fails loudly: null arguments are tolerated (a null source is "", a null
 * destination or size 0 writes nothing) and sizes always include the
 * terminator.
 *
 * Single-threaded by design. It reads the request from the process's
 * environment (getenv), standard input and standard output as they stand at
 * each call, so an entry that serves many requests in one process swaps in
 * each request's environment and streams and calls cgi_reset_request before
 * it; the toolkit itself never learns how the request arrived.
 */
#ifndef NL_CGI_H
#define NL_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Request state ------------------------------------------------------ */

/* Forgets everything the toolkit kept from the previous request: the query
 * result ring starts again at its first slot and is emptied, standard output
 * counts as not yet switched to binary mode, and the body counts as unread
 * (so cgi_discard_post works on the new request's input). A process that
 * serves one request never needs it; an entry serving several calls it
 * before each one, after the request's environment and streams are in
 * place. The fatal-page ending set with cgi_set_fatal_end is a setting of
 * the process and stays. */
void cgi_reset_request(void);

/* ---- Request variables and query lookup ------------------------------- */

/* Size of each query result buffer; results hold at most 511 bytes. */
#define CGI_QUERY_VALUE_SIZE 512
/* Number of query result buffers in the ring. */
#define CGI_QUERY_SLOTS 8

/* Value of environment variable name when set and non-empty, else fallback,
 * else "" when fallback is null. name must not be null. Never null; the text
 * belongs to the environment or the caller and must not be written or
 * freed. */
const char *cgi_env(const char *name, const char *fallback);

/* REQUEST_METHOD when set and non-empty, else "GET", exactly as the host set
 * it (no case change, no trimming). Read afresh on each call. Never null. */
const char *cgi_method(void);

/* PATH_INFO when set and non-empty, else "/", unchanged. Never null. */
const char *cgi_path_info(void);

/* 1 when REQUEST_METHOD is set and begins with the bytes 'P','O' (upper
 * case; only these two bytes are looked at), else 0. Read afresh. */
int cgi_is_post(void);

/* Decoded value of the first QUERY_STRING parameter whose name equals key
 * byte for byte (names are not decoded). In the value "+" is a space, "%XX"
 * with two hex digits of either case is that byte, any other "%" stays
 * literal; a decoded %00 ends the text; the result is cut at 511 bytes.
 * "" when key is null or empty (the ring is not advanced), and when the
 * parameter is absent, has no "=" or an empty value: callers cannot tell
 * these apart. When QUERY_STRING is unset or empty, the environment variable
 * named key is returned as it is (not copied, not decoded), or "" when it is
 * unset, empty, or holds both ';' and ':'.
 * Never null. Results live in a ring of CGI_QUERY_SLOTS buffers of
 * CGI_QUERY_VALUE_SIZE bytes: every lookup with a non-empty key takes the
 * next one, so a result stays intact through the next seven such lookups
 * and is overwritten by the eighth. Read-only; never freed by the caller. */
const char *cgi_query(const char *key);

/* Reads the next parameter of QUERY_STRING, for a caller that must see
 * every parameter (to refuse those it does not know). *pos is the byte
 * offset to read from: 0 for the first call, then left as this call sets
 * it. The name is copied as it stands (names are not decoded, as in
 * cgi_query) into name (name_size bytes), the value decoded with the rules
 * of cgi_query into value (value_size bytes; "" when the parameter has no
 * "="), each cut to fit and terminated; *name_len and *value_len (either
 * may be null) receive their whole lengths, cut or not, so a caller can
 * tell a cut text, and value_len counts decoded NUL bytes too. Empty
 * segments are skipped. Returns 1 when a parameter was read, 0 when none
 * is left (also when QUERY_STRING is unset or empty: there is no fallback
 * to the environment here) or pos, name or value is null or of size 0.
 * Keeps no state: any number of walks may run; the query result ring is
 * not touched. */
int cgi_query_next(size_t *pos, char *name, size_t name_size, size_t *name_len,
                   char *value, size_t value_size, size_t *value_len);

/* ---- Request body reader ---------------------------------------------- */

/* Reads the whole request body into a new malloc'd buffer with one NUL
 * appended. The file named by POST_BODY_FILE is the body whenever it can be
 * opened (standard input is then never read): a seekable file is read with
 * one call into a buffer of its size plus one; an unseekable one (a pipe) is
 * streamed 8192 bytes at a time into a buffer of 65536 bytes that doubles as
 * needed. Otherwise up to CONTENT_LENGTH bytes (parsed as strtol with base
 * 10 does, values beyond 2147483647 counting as 2147483647) are read from
 * standard input in binary mode with one call.
 * *out_len (out_len may be null) receives the number of body bytes, without
 * the NUL; it is 0 whenever the result is null. The body may hold NUL bytes.
 * Null when there is no body (no openable file and CONTENT_LENGTH unset, 0,
 * negative or without leading digits) or memory runs out. An empty body file
 * gives a buffer holding only the NUL; a short input gives the bytes actually
 * read. The caller frees the buffer with free(). */
char *cgi_read_post(uint64_t *out_len);

/* Reads and drops what is left of a body on standard input: up to
 * CONTENT_LENGTH bytes (as cgi_read_post counts them), or until end of
 * input, unless cgi_read_post already read the body from standard input or
 * POST_BODY_FILE names a body file. A program calls it before exiting
 * after answering without reading the body (a refusal): some hosts treat a
 * CGI program that exits with its input unread as a failed request. Never
 * reads beyond CONTENT_LENGTH, so it cannot wait on a host that keeps the
 * input open after the body. A read error ends it. */
void cgi_discard_post(void);

/* ---- Response headers and fatal-error pages ---------------------------- */
/* Every writer writes to standard output, in the order called, and puts it
 * into binary mode before its first line; header lines end with CR LF and
 * are neither checked nor merged (a CR or LF inside a caller's text is
 * written as it is). Write errors are ignored. Expected order: at most one
 * status line, the content type, extra lines, cgi_headers_end, the body. */

/* "Status: %d %s" when reason is non-null and non-empty, else "Status: %d". */
void cgi_header_status(int status, const char *reason);
/* "Content-Type: application/json; charset=utf-8". */
void cgi_header_json(void);
/* "Content-Type: text/html; charset=utf-8". */
void cgi_header_html(void);
/* "Content-Type: text/plain; charset=utf-8". */
void cgi_header_text(void);
/* "Content-Type: %s" with content_type (not null). */
void cgi_header_ct(const char *content_type);
/* line (not null, without line end) followed by CR LF, unchanged. */
void cgi_header_extra(const char *line);
/* The empty line ending the header block; flushes standard output, so the
 * block is out before any body written past stdio, and puts it into binary
 * mode again. The hook set with cgi_on_headers_end, if any, runs first. */
void cgi_headers_end(void);

/* The status of the latest cgi_header_status call (the fatal pages' too),
 * or 0 when none was written since the start or cgi_response_reset. A
 * block without a Status line is 200 to a CGI host. */
int cgi_response_status(void);
/* Forgets the remembered status (cgi_response_status gives 0 again), for a
 * program that answers more than one request in one process. */
void cgi_response_reset(void);
/* Sets the function cgi_headers_end calls, before writing the empty line,
 * with the status cgi_response_status gives: it may add header lines with
 * the writers above (not cgi_headers_end, nor a fatal page). It runs for
 * every block, the fatal pages' included. Null removes it; a later call
 * replaces the earlier hook. */
void cgi_on_headers_end(void (*hook)(int status));

/* Writes text JSON-escaped to out (not null), without surrounding quotes:
 * '"' '\\' and LF CR TAB as two-character escapes, the other bytes 0x01-0x1F
 * as \u00xx with lower-case hex (backspace and form feed too), every byte
 * 0x20-0xFF unchanged (so '/' and 0x7F too, and UTF-8 stays UTF-8). A null
 * text writes nothing. */
void json_escape_f(FILE *out, const char *text);
/* Newly malloc'd copy of src (null is "") JSON-escaped with exactly the
 * rules of json_escape_f, without surrounding quotes, for inserting a value
 * into a fixed JSON template; null when the allocation fails. The caller
 * frees it. */
char *json_escape_dup(const char *src);
/* Writes text HTML-escaped to out (not null): " & ' < > as &quot; &amp;
 * &#39; &lt; &gt;, every other byte unchanged, nothing cut. A null text
 * writes nothing. */
void html_escape_f(FILE *out, const char *text);

/* Fatal-error pages: each writes a whole header block of its own (status
 * line without reason, content type, empty line) whatever was written
 * before, then its body and a line feed, flushes, and ends the request: by
 * default the process ends with exit(0) (the status travels in the Status
 * line); with an ending set by cgi_set_fatal_end, that function is called
 * instead. They never return. */

/* Sets what a fatal page calls once the page is flushed, in place of
 * exit(0). end must not return (an entry serving many requests in one
 * process jumps back to its request loop, so a fatal page ends the request
 * and not the process); if it does return, the process exits as by default.
 * Null restores the default. */
void cgi_set_fatal_end(void (*end)(void));

/* Plain-text page: message unescaped (null writes only the line feed). */
void cgi_die_text(int status, const char *message);
/* HTML page on a dark background: <h1>title</h1> with title HTML-escaped
 * (left out when title is null), then fragment unescaped, as the caller's
 * own HTML (left out when null). */
void cgi_die_html(int status, const char *title, const char *fragment);
/* JSON page {"ok":false,"error":"MESSAGE"} with message JSON-escaped; a
 * null message reads "error", an empty one stays empty. */
void cgi_die_json(int status, const char *message);

/* ---- String utilities and encoders ------------------------------------ */
/* Null or zero-sized destinations are left alone, null sources are "", text
 * that does not fit is cut silently, and a destination of size >= 1 is
 * always left terminated. None of them keeps state. */

/* Copies at most size-1 bytes of src (null is "") into dst and terminates.
 * Nothing is written when dst is null or size is 0. No length is returned:
 * a cut copy cannot be told from a whole one. */
void nl_strlcpy(char *dst, const char *src, size_t size);

/* vsnprintf into dst of size bytes, then dst[size-1] = NUL whatever the
 * formatter wrote. Returns the full formatted length without terminator
 * (>= size means the text was cut), a negative value on a formatting error,
 * -1 for a null dst or size 0 (nothing written). */
int nl_snprintf(char *dst, size_t size, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* Removes trailing spaces, tabs, CR and LF in place (vertical tab, form
 * feed and leading white space stay). Null is left alone. */
void nl_rtrim(char *text);

/* 1 when text is non-empty, holds no "..", and every byte is an ASCII
 * letter, digit, '-', '.' or '_'; else 0 (also for null). No length limit;
 * "." and ".hidden" are valid. */
int nl_valid_repo_name(const char *text);
/* As nl_valid_repo_name, with '/' and ':' also accepted (never '\\'). */
int nl_valid_ref(const char *text);

/* dst = first (cut to size-1 bytes), then a backslash when that is
 * non-empty, does not end in '/' or '\\' and leaves room for one more byte,
 * then second, cut so the whole keeps at most size-1 bytes. The backslash is
 * the separator on every host; nothing is normalised. Null parts are "";
 * an empty first part gives second alone; an empty second part leaves the
 * separator in place. Nothing is written when dst is null or size is 0. */
void nl_path_join(char *dst, size_t size, const char *first,
                  const char *second);

/* HTML-escapes src (null is "") into dst of size bytes with the entities of
 * html_escape_f; stops before a source byte when fewer than 9 bytes are
 * free, so an entity is never cut and up to 8 bytes at the end stay unused
 * (a buffer of 8 bytes or fewer always gets ""). Nothing is written when dst
 * is null or size is 0. */
void html_escape(const char *src, char *dst, size_t size);
/* Newly malloc'd, complete HTML-escaped copy of src (null is ""); null when
 * the allocation fails. The caller frees it. */
char *html_escape_dup(const char *src);
/* Percent-encodes src (null is "") into dst of size bytes: ASCII letters,
 * digits and - . _ ~ stay, every other byte becomes %XX with upper-case hex
 * (a space is %20, never '+'). Stops before a source byte when fewer than 5
 * bytes are free (a buffer of 4 bytes or fewer always gets ""). Nothing is
 * written when dst is null or size is 0. */
void url_encode(const char *src, char *dst, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* NL_CGI_H */
