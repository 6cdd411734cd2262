/*
 * lmx_status.cpp: the status handler, lmx_execute_status.
 *
 * Answers a status check of the server, always "available": a small JSON
 * object for programs, or a one-card HTML page for a browser. The engine is
 * not consulted and the request method is not examined.
 *
 * The JSON form is chosen when the decoded query parameter "format" is
 * exactly "json", or when the raw QUERY_STRING holds "format=json" anywhere
 * (so "format=json5" and "xformat=jsonp" also choose it); otherwise the HTML
 * page is served. The page goes out with a Content-Type line and no Status
 * line, leaving the status to the host server (200 under CGI).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lmx_common.h"
#include "nl_cgi.h"

static const char status_json[] =
    "{\"status\":\"available\",\"version\":\"1.0.0\","
    "\"engine\":\"nolvaris-lumidex-core\"}";

/* The whole status page, dark theme, one card. */
static const char status_page[] =
    "<!DOCTYPE html>\n"
    "<html lang=\"en\">\n"
    "<head>\n"
    "<meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, "
    "initial-scale=1.0\">\n"
    "<title>Nolvaris Lumidex Server Status</title>\n"
    "<style>\n"
    "body { background: #090d16; color: #f8fafc; "
    "font-family: -apple-system, BlinkMacSystemFont, 'Segoe UI', Roboto, "
    "sans-serif; display: flex; align-items: center; justify-content: center; "
    "min-height: 100vh; margin: 0; }\n"
    ".card { background: #131b2e; border: 1px solid #1e293b; "
    "border-radius: 12px; padding: 32px; max-width: 440px; width: 100%; "
    "box-shadow: 0 10px 25px -5px rgba(0,0,0,0.5); }\n"
    ".badge { display: inline-flex; align-items: center; gap: 6px; "
    "padding: 4px 12px; border-radius: 9999px; font-size: 13px; "
    "font-weight: 600; background: rgba(52, 211, 153, 0.15); color: #34d399; "
    "border: 1px solid rgba(52, 211, 153, 0.3); }\n"
    ".dot { width: 8px; height: 8px; border-radius: 50%; "
    "background: #10b981; box-shadow: 0 0 12px #10b981; }\n"
    "h1 { margin: 16px 0 8px; font-size: 20px; font-weight: 700; }\n"
    "p { margin: 0 0 20px; color: #94a3b8; font-size: 14px; "
    "line-height: 1.5; }\n"
    ".meta { border-top: 1px solid #1e293b; padding-top: 16px; display: flex; "
    "flex-direction: column; gap: 8px; font-size: 13px; color: #cbd5e1; }\n"
    ".row { display: flex; justify-content: space-between; }\n"
    ".key { color: #64748b; }\n"
    "a { color: #38bdf8; text-decoration: none; font-size: 13px; "
    "display: inline-block; margin-top: 16px; }\n"
    "a:hover { text-decoration: underline; }\n"
    "</style>\n"
    "</head>\n"
    "<body>\n"
    "<div class=\"card\">\n"
    "<div class=\"badge\"><span class=\"dot\"></span> Available</div>\n"
    "<h1>Nolvaris Lumidex Server</h1>\n"
    "<p>A fast, typo-tolerant full-text search engine running on "
    "nolvaris-server.dll</p>\n"
    "<div class=\"meta\">\n"
    "<div class=\"row\"><span class=\"key\">Engine</span>"
    "<span>nolvaris-lumidex-core</span></div>\n"
    "<div class=\"row\"><span class=\"key\">Version</span>"
    "<span>1.0.0</span></div>\n"
    "<div class=\"row\"><span class=\"key\">Status</span>"
    "<span style=\"color: #34d399\">Healthy (HTTP 200)</span></div>\n"
    "</div>\n"
    "<a href=\"/\">&larr; Return to Search Sandbox</a>\n"
    "</div>\n"
    "</body>\n"
    "</html>\n";

/* True when the request asks for the JSON form. */
static bool wants_json(void) {
  /* The decoded parameter is read first, then the raw query string, which
   * also catches "format=json" glued into another parameter. */
  const char *format = cgi_query("format");
  const char *raw = getenv("QUERY_STRING");
  return strcmp(format, "json") == 0 || (raw && strstr(raw, "format=json"));
}

void lmx_execute_status(void) {
  if (wants_json()) {
    lmx_respond_json(200, status_json);
    return;
  }
  cgi_header_html();
  cgi_headers_end();
  fwrite(status_page, 1, sizeof status_page - 1, stdout);
  fflush(stdout);
}
