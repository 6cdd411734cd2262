/*
 * nl_cgi.h: the CGI toolkit. Request variables and query-string lookup, the
 * request body reader, the response header block and fatal-error pages, and
 * small string utilities and encoders.
 *
 * The toolkit knows nothing of the API or the engine. It works on plain
 * NUL-terminated byte strings and caller-supplied fixed buffers, keeps only
 * three pieces of state (the eight-slot query result ring and its index, and
 * the binary-stdout flag), and never fails loudly: null arguments are
 * tolerated (a null source is "", a null destination or size 0 writes
 * nothing) and sizes always include the terminator.
 *
 * Single-threaded by design: one process serves one request.
 */
#ifndef NL_CGI_H
#define NL_CGI_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Request variables and query lookup ------------------------------- */

/* Size of each query result buffer; results hold at most 511 bytes. */
#define CGI_QUERY_VALUE_SIZE 512
/* Number of query result buffers in the ring. */
#define CGI_QUERY_SLOTS 8

/* Value of environment variable name when set and non-empty, else fallback,
 * else "" when fallback is null. name must not be null. Never null; the text
 * belongs to the environment or the caller. */
const char *cgi_env(const char *name, const char *fallback);

/* REQUEST_METHOD when set and non-empty, else "GET". Read afresh each call. */
const char *cgi_method(void);

/* PATH_INFO when set and non-empty, else "/". */
const char *cgi_path_info(void);

/* 1 when REQUEST_METHOD is set and begins with the bytes 'P','O', else 0. */
int cgi_is_post(void);

/* Decoded value of the first QUERY_STRING parameter whose name equals key
 * byte for byte ("+" is a space, "%XX" a byte, malformed escapes stay
 * literal; cut at 511 bytes). "" when key is null or empty (the ring is not
 * advanced), when the parameter is absent, has no "=" or an empty value.
 * When QUERY_STRING is unset or empty, the environment variable named key is
 * returned as it is, unless it holds both ';' and ':'. Never null; a result
 * in the ring stays intact through the next seven lookups with a non-empty
 * key. Read-only; never freed by the caller. */
const char *cgi_query(const char *key);

/* ---- Request body reader ---------------------------------------------- */

/* Reads the whole request body into a new malloc'd buffer with one NUL
 * appended, from the file named by POST_BODY_FILE when it can be opened,
 * else from standard input with CONTENT_LENGTH bytes (parsed as strtol does,
 * clamped to 2147483647). *out_len (out_len may be null) receives the byte
 * count without the NUL, 0 whenever the result is null. Null when there is no
 * body (CONTENT_LENGTH unset, 0, negative or without digits) or memory runs
 * out. An empty or unpositionable body file gives a buffer holding only the
 * NUL. The caller frees the buffer. */
char *cgi_read_post(uint64_t *out_len);

/* ---- Response headers and fatal-error pages ---------------------------- */
/* Every writer writes to standard output; header lines end with CR LF. */

/* "Status: %d %s" (reason non-null and non-empty) or "Status: %d". */
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
/* The empty line ending the header block; flushes standard output and puts
 * it into binary mode again. */
void cgi_headers_end(void);

/* Writes text JSON-escaped to out (no surrounding quotes): '"' '\\' and
 * LF CR TAB as two-character escapes, other bytes 0x01-0x1F as \u00xx, every
 * byte 0x20-0xFF unchanged. A null text writes nothing. */
void json_escape_f(FILE *out, const char *text);
/* Writes text HTML-escaped to out (" & ' < > as entities). Null writes
 * nothing. */
void html_escape_f(FILE *out, const char *text);

/* Complete plain-text response with status and message (null writes only the
 * line feed), then exit(0). */
void cgi_die_text(int status, const char *message);
/* Complete HTML page: optional escaped <h1>title</h1>, then the caller's
 * fragment unescaped (each may be null), then exit(0). */
void cgi_die_html(int status, const char *title, const char *fragment);
/* Complete JSON response {"ok":false,"error":"MESSAGE"} (null message reads
 * "error"), then exit(0). */
void cgi_die_json(int status, const char *message);

/* ---- String utilities and encoders ------------------------------------ */

/* Copies at most size-1 bytes of src (null is "") into dst and terminates.
 * Nothing is written when dst is null or size is 0. */
void nl_strlcpy(char *dst, const char *src, size_t size);

/* vsnprintf into dst of size bytes, then dst[size-1] = NUL. Returns the full
 * formatted length (>= size means cut), negative on a format error, -1 for a
 * null dst or size 0 (nothing written). */
int nl_snprintf(char *dst, size_t size, const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* Removes trailing spaces, tabs, CR and LF in place. Null is left alone. */
void nl_rtrim(char *text);

/* 1 when text is non-empty, holds no "..", and every byte is a letter, digit,
 * '-', '.' or '_'; else 0 (also for null). */
int nl_valid_repo_name(const char *text);
/* As nl_valid_repo_name, with '/' and ':' also accepted. */
int nl_valid_ref(const char *text);

/* dst = first, a '\\' when first is non-empty, does not end in '/' or '\\'
 * and there is room, then second; cut to size-1 bytes. Null parts are "".
 * Nothing is written when dst is null or size is 0. */
void nl_path_join(char *dst, size_t size, const char *first,
                  const char *second);

/* HTML-escapes src into dst of size bytes; stops before a source byte when
 * fewer than 9 bytes are free, so entities are never cut. */
void html_escape(const char *src, char *dst, size_t size);
/* Newly malloc'd, complete HTML-escaped copy of src (null is ""); null when
 * the allocation fails. The caller frees it. */
char *html_escape_dup(const char *src);
/* Percent-encodes src into dst (letters, digits and - . _ ~ stay; others
 * %XX upper case); stops before a source byte when fewer than 5 bytes are
 * free. */
void url_encode(const char *src, char *dst, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* NL_CGI_H */
