/*
 * lighttpd.h: a real lighttpd on a free loopback port serving api_router,
 * as CGI or through FastCGI workers it spawns itself, and one-shot HTTP/1.0
 * requests to it, for end-to-end tests.
 *
 * The server runs in the foreground (-D) with the project's configuration
 * template filled in by deploy/render-lighttpd-conf, in a temporary
 * directory of its own that also holds its error log. Requests are written
 * byte for byte on a plain socket, so the request target reaches the server
 * exactly as given (percent escapes included). Nothing here uses gtest: a
 * caller checks running() and reports error_log() itself.
 */
#ifndef LMX_TEST_LIGHTTPD_H
#define LMX_TEST_LIGHTTPD_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "child.h"

namespace lmxtest {

struct HttpResponse {
  int status = 0; /* 0 when no HTTP answer came back */
  std::string
      headers; /* status line and header lines, without the blank line */
  std::string body;
};

/* A port on 127.0.0.1 that nobody listens on right now (the kernel's pick;
 * another process may take it before the caller binds it). 0 on failure. */
int free_loopback_port();

/* One HTTP/1.0 exchange with 127.0.0.1:port. target is sent unchanged; a
 * Content-Length line is added when body is non-empty or the method is POST
 * or PUT; each entry of headers is one "Name: value" line. The whole answer
 * is read until the server closes. A status of 0 means no answer. */
HttpResponse http_request(int port, const std::string &method,
                          const std::string &target,
                          const std::string &body = "",
                          const std::vector<std::string> &headers = {});

/* How lighttpd runs the program. */
enum class HostMode {
  Cgi,    /* one process per request (mod_cgi) */
  FastCgi /* workers spawned by lighttpd (mod_fastcgi) */
};

/* "cgi" or "fastcgi", for test names. */
const char *host_mode_name(HostMode mode);

/* VmRSS of process pid in KiB from /proc, or -1 when it cannot be read. */
long resident_kib(pid_t pid);

class LighttpdServer {
 public:
  /* Starts lighttpd on a free port for the api_router at router, with the
   * configuration rendered by the script at render (the project's
   * deploy/render-lighttpd-conf) and storage as LUMIDEX_STORAGE_DIR
   * (created 0700 when missing). env holds
   * variables for lighttpd's own environment, e.g. LUMIDEX_WRITE_KEY, which
   * also switch the key lines of the template on. A port taken between the
   * pick and the bind is retried a few times. */
  LighttpdServer(const std::string &router, const std::string &render,
                 const std::string &storage,
                 const std::map<std::string, std::string> &env = {},
                 HostMode mode = HostMode::Cgi, int workers = 2);
  ~LighttpdServer();
  LighttpdServer(const LighttpdServer &) = delete;
  LighttpdServer &operator=(const LighttpdServer &) = delete;

  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  /* lighttpd's error log (also the programs' standard error), or what went
   * wrong while starting it. */
  std::string error_log() const;
  /* The running children of lighttpd (its FastCGI workers), by process
   * id; empty under CGI between requests. */
  std::vector<pid_t> children() const;

 private:
  void try_start();

  std::string router_;
  std::string render_;
  std::string storage_;
  std::map<std::string, std::string> env_;
  HostMode mode_;
  int workers_;
  TempDir dir_;
  std::string start_failure_;
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace lmxtest

#endif
