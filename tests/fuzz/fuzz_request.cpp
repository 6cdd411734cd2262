/*
 * fuzz_request.cpp: whole requests through the built api_router, run as a
 * CGI child process against the real engine on a storage directory that
 * holds one small index.
 *
 * Input layout:
 *   byte 0, bits 0-2  method: GET POST DELETE PUT PATCH HEAD get (empty)
 *   byte 0, bits 3-4  body transport: 0 standard input with an exact
 *                     CONTENT_LENGTH, 1 a POST_BODY_FILE, 2 standard input
 *                     with the CONTENT_LENGTH text of the input, 3 a
 *                     POST_BODY_FILE that does not exist (so standard input
 *                     with an exact CONTENT_LENGTH)
 *   byte 0, bits 5-7  access keys: 0-3 none set; 4 write key set and sent;
 *                     5 write key set, a wrong key sent; 6 both keys set,
 *                     the read key sent; 7 both keys set, no key sent
 *   then, separated by NUL bytes: PATH_INFO, QUERY_STRING, the CONTENT_LENGTH
 *   text (used by transport 2), and the body: everything that is left, NUL
 *   bytes included.
 *
 * Checks: the program exits 0 without a signal and writes nothing to
 * standard error (sanitizer reports included); the response is a well-formed
 * CGI answer (fuzz_checks.h) with one of the statuses the API answers (never
 * 500: the storage directory is sound); with both keys set and none sent,
 * everything but the status, sandbox and health pages is 401; a key the
 * client did not send is never echoed; nothing appears next to the storage
 * directory.
 *
 * libFuzzer sees the coverage of this process only, not of the child, so
 * this target mutates blindly; its value is in running the real program on
 * every odd request shape.
 */
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "fuzz_checks.h"

using fuzzcheck::require;

namespace {

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const char kWriteKey[] = "fuzz-write-key-5d1c";
const char kReadKey[] = "fuzz-read-key-94ae";
/* The storage is rebuilt this often, so it stays small and a broken state
 * left by one input does not hide behind it forever. */
constexpr unsigned kResetEvery = 500;

std::string g_parent;  /* temporary directory holding storage and body */
std::string g_storage; /* parent/storage */
std::string g_body;    /* parent/body */

std::map<std::string, std::string> base_env() {
  return {{"LUMIDEX_STORAGE_DIR", g_storage},
          {"ASAN_OPTIONS", "detect_leaks=1"},
          {"UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1"}};
}

lmxtest::ChildResult run_router(const lmxtest::ChildSpec &job) {
  lmxtest::ChildResult r = lmxtest::run_program(kRouter, {}, job);
  require(!r.timed_out, "api_router did not finish in time", r.err);
  require(r.term_signal == 0, "api_router was killed by a signal", r.err);
  require(r.exit_code == 0, "api_router exited non-zero", r.err);
  require(r.err.empty(), "api_router wrote to standard error", r.err);
  return r;
}

void seed_storage() {
  std::error_code ec;
  std::filesystem::remove_all(g_storage, ec);
  require(mkdir(g_storage.c_str(), 0700) == 0, "cannot create the storage");
  lmxtest::ChildSpec job;
  job.env = base_env();
  job.env["REQUEST_METHOD"] = "POST";
  job.env["PATH_INFO"] = "/indexes/books/documents";
  job.stdin_kind = lmxtest::StdinKind::File;
  job.stdin_bytes =
      "[{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Frank Herbert\"},"
      "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Jane Austen\"},"
      "{\"id\":\"3\",\"title\":\"Caf\xC3\xA9 "
      "society\",\"tags\":[\"a\",\"b\"]}]";
  job.env["CONTENT_LENGTH"] = std::to_string(job.stdin_bytes.size());
  lmxtest::ChildResult r = run_router(job);
  require(lmxtest::response_status(r.out) == 200, "seeding failed", r.out);
}

/* Splits off the text up to the next NUL (or the end). */
std::string take_field(const uint8_t *&p, const uint8_t *end) {
  const uint8_t *nul = static_cast<const uint8_t *>(memchr(p, 0, end - p));
  const uint8_t *stop = nul ? nul : end;
  std::string field(reinterpret_cast<const char *>(p), stop - p);
  p = nul ? nul + 1 : end;
  return field;
}

/* The status and sandbox pages are open whatever keys are set, and so is
 * the health check: the whole path is "health" between slashes. */
bool open_route(std::string path) {
  size_t from = path.find_first_not_of('/');
  size_t to = path.find_last_not_of('/');
  if (from != std::string::npos && path.substr(from, to - from + 1) == "health")
    return true;
  /* The route parser looks at the first 511 bytes only. */
  path = path.substr(0, 511);
  size_t start = path.find_first_not_of('/');
  if (start == std::string::npos) return true;
  size_t stop = path.find('/', start);
  std::string first = path.substr(
      start, stop == std::string::npos ? std::string::npos : stop - start);
  /* The route parser stops at '?' inside PATH_INFO as well. */
  first = first.substr(0, first.find('?'));
  return first == "status" || first == "index" || first.empty();
}

std::set<std::string> entries_of(const std::string &dir) {
  std::set<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") out.insert(name);
    }
    closedir(d);
  }
  return out;
}

/* Leaves no temporary tree behind after a run that ends normally. */
void remove_parent() {
  std::error_code ec;
  std::filesystem::remove_all(g_parent, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char tmpl[] = "/tmp/lmxfuzz-request-XXXXXX";
  const char *dir = mkdtemp(tmpl);
  require(dir != nullptr, "cannot create a temporary directory");
  g_parent = dir;
  atexit(remove_parent);
  g_storage = g_parent + "/storage";
  g_body = g_parent + "/body";
  seed_storage();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const char *const kMethods[] = {"GET",   "POST", "DELETE", "PUT",
                                         "PATCH", "HEAD", "get",    ""};
  static unsigned runs = 0;
  if (++runs % kResetEvery == 0) seed_storage();
  if (size == 0) return 0;

  unsigned mode = data[0];
  const uint8_t *p = data + 1, *end = data + size;
  std::string path = take_field(p, end);
  std::string query = take_field(p, end);
  std::string length_text = take_field(p, end);
  std::string body(reinterpret_cast<const char *>(p), end - p);
  unsigned transport = (mode >> 3) & 3;
  unsigned keys = mode >> 5;

  lmxtest::ChildSpec job;
  job.env = base_env();
  job.timeout_seconds = 20;
  if (kMethods[mode & 7][0] != '\0')
    job.env["REQUEST_METHOD"] = kMethods[mode & 7];
  job.env["PATH_INFO"] = path;
  job.env["QUERY_STRING"] = query;
  job.stdin_kind = lmxtest::StdinKind::File;
  job.stdin_bytes = body;
  job.env["CONTENT_LENGTH"] = std::to_string(body.size());
  if (transport == 1) {
    require(lmxtest::write_file(g_body, body), "cannot write the body file");
    job.env["POST_BODY_FILE"] = g_body;
    job.stdin_kind = lmxtest::StdinKind::Null;
  } else if (transport == 2) {
    job.env["CONTENT_LENGTH"] = length_text;
  } else if (transport == 3) {
    job.env["POST_BODY_FILE"] = g_parent + "/no-such-body";
  }
  if (keys >= 4) job.env["LUMIDEX_WRITE_KEY"] = kWriteKey;
  if (keys >= 6) job.env["LUMIDEX_READ_KEY"] = kReadKey;
  if (keys == 4) job.env["HTTP_X_LUMIDEX_KEY"] = kWriteKey;
  if (keys == 5) job.env["HTTP_X_LUMIDEX_KEY"] = "not-the-key";
  if (keys == 6) job.env["HTTP_X_LUMIDEX_KEY"] = kReadKey;

  lmxtest::ChildResult r = run_router(job);
  int status = fuzzcheck::check_cgi_response(r.out);
  require(status == 200 || status == 201 || status == 400 || status == 401 ||
              status == 404 || status == 405,
          "status the API never answers on sound storage", r.out);
  if (keys == 7 && !open_route(path))
    require(status == 401, "a request without a key was let through", r.out);
  /* The client may send a key's text itself (a search echoes its query);
   * only a key the client did not send must never show. */
  std::string sent(reinterpret_cast<const char *>(data), size);
  for (const char *key : {kWriteKey, kReadKey}) {
    if (sent.find(key) == std::string::npos)
      require(r.out.find(key) == std::string::npos, "a key was echoed", r.out);
  }
  std::set<std::string> expected = {"storage"};
  if (transport == 1) expected.insert("body");
  require(entries_of(g_parent) == expected,
          "something was created next to the storage directory", path);
  if (transport == 1) unlink(g_body.c_str());
  return 0;
}
