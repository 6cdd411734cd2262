/*
 * handlers_harness.h: runs one handler call in a forked child against the
 * engine test double and hands back the answer and the double's call log.
 *
 * The double's script is set in the parent before the call; the child
 * inherits it at fork time, runs the handler, and prints the call log to its
 * standard error, which becomes Reply::log. Requests are described by the
 * CGI variables the handlers read; a body travels in a POST_BODY_FILE or on
 * standard input with CONTENT_LENGTH.
 */
#ifndef LMX_HANDLERS_HARNESS_H
#define LMX_HANDLERS_HARNESS_H

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "child.h"
#include "expected_answers.h"
#include "engine_double.h"

namespace hh {

/* How a request body reaches the handler. */
enum class BodyVia { None, File, Stdin };

struct Request {
  std::optional<std::string> method = std::string("GET"); /* nullopt: unset */
  std::optional<std::string> query;                       /* QUERY_STRING */
  std::string body;
  BodyVia body_via = BodyVia::None;
};

struct Reply {
  std::string raw;     /* the whole standard output */
  std::string headers; /* header block, up to and including the empty line */
  std::string body;    /* everything after the header block */
  int status = 0;      /* from the Status line, 0 when there is none */
  std::string log;     /* the double's calls, one line each */
  int exit_code = -1;
};

/* Runs handler in a child for req. The body file, when used, lives in a
 * temporary directory for the duration of the call. */
inline Reply run(const std::function<void()> &handler, const Request &req) {
  lmxtest::TempDir dir;
  lmxtest::ChildSpec job;
  if (req.method) job.env["REQUEST_METHOD"] = *req.method;
  if (req.query) job.env["QUERY_STRING"] = *req.query;
  if (req.body_via == BodyVia::File) {
    std::string path = dir.sub("body");
    lmxtest::write_file(path, req.body);
    job.env["POST_BODY_FILE"] = path;
  } else if (req.body_via == BodyVia::Stdin) {
    job.env["CONTENT_LENGTH"] = std::to_string(req.body.size());
    job.stdin_kind = lmxtest::StdinKind::Pipe;
    job.stdin_bytes = req.body;
  }
  lmxtest::ChildResult res = lmxtest::run_child(
      [&]() {
        handler();
        fflush(stdout);
        dbl::dump(stderr);
      },
      job);
  Reply rep;
  rep.raw = res.out;
  lmxtest::split_response(res.out, &rep.headers, &rep.body);
  rep.status = lmxtest::response_status(res.out);
  rep.log = res.err;
  rep.exit_code = res.exit_code;
  return rep;
}

using answers::envelope;
using answers::json_headers;

}  // namespace hh

#endif
