/*
 * fuzz_checks.h: output checks shared by the fuzz targets. A failed check
 * prints what was wrong and aborts, which libFuzzer reports as a finding.
 */
#ifndef LMX_FUZZ_CHECKS_H
#define LMX_FUZZ_CHECKS_H

#include <string>
#include <string_view>

namespace fuzzcheck {

/* Aborts with msg when cond is false. */
void require(bool cond, const char *msg, std::string_view context = {});

/* True when s is valid UTF-8. */
bool valid_utf8(std::string_view s);

/* Checks a whole CGI response: header lines ended by CR LF, an optional
 * "Status: NNN" line with 100 <= NNN <= 599, exactly one Content-Type line,
 * then the empty line. For a JSON content type the body must parse as JSON,
 * and for a status of 400 or more it must be the error envelope with the
 * four string members message, code, type, link in that order, a snake_case
 * code, the type "invalid_request" and an https link ending in
 * "/errors#CODE". Returns the status (200 when no Status line was
 * written). */
int check_cgi_response(const std::string &raw);

/* Parses text as JSON and aborts when it does not parse. Returns true when
 * the root is an object. */
bool check_json(std::string_view text, std::string_view context);

}  // namespace fuzzcheck

#endif
