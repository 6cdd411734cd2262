/*
 * nl_cgi_state.h: private to the toolkit's sources. Each source file keeps
 * its per-request state static and offers one function here that forgets
 * it; cgi_reset_request (nl_cgi.h) calls them all. Nothing outside the
 * toolkit includes this header.
 */
#ifndef NL_CGI_STATE_H
#define NL_CGI_STATE_H

#ifdef __cplusplus
extern "C" {
#endif

/* The body counts as not yet read from standard input. */
void nl_cgi_body_reset(void);
/* Standard output counts as not yet switched to binary mode. */
void nl_cgi_response_reset(void);

#ifdef __cplusplus
}
#endif

#endif /* NL_CGI_STATE_H */
