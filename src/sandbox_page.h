/*
 * sandbox_page.h: the search sandbox page, compiled into api_router.
 *
 * The bytes are web/sandbox.html as it stood at build time; the build turns
 * that file into a generated source (src/embed_file.cmake), so the page and
 * the program can never be out of step once installed.
 */
#ifndef LMX_SANDBOX_PAGE_H
#define LMX_SANDBOX_PAGE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The page's bytes (UTF-8 HTML), not NUL-terminated; lmx_sandbox_html_len
 * of them. Read-only, static storage. */
extern const unsigned char lmx_sandbox_html[];
extern const size_t lmx_sandbox_html_len;

#ifdef __cplusplus
}
#endif

#endif /* LMX_SANDBOX_PAGE_H */
