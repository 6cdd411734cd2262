/*
 * tool_common.cpp: what every `lumidex` command shares: the one-line error
 * messages, opening the engine on the storage directory, and reading an
 * index's primary key and document count from the engine's statistics, and
 * printing the engine's JSON answers.
 *
 * Without --storage-dir the directory comes from lmx_get_storage_dir(), the
 * same resolution the CGI programs use (LUMIDEX_STORAGE_DIR, then
 * LUMIDEX_DATA_DIR, then the fallbacks), so the tool and the served API see
 * the same indexes by default.
 */
#include <unistd.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lmx_common.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "tool.h"

namespace lmxtool {

namespace {

bool s_engine_open = false;

void vmessage(const char *fmt, va_list ap) {
  fputs("lumidex: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  fflush(stderr);
}

/* The engine's statistics of index, parsed; null when it does not exist. */
yyjson_doc *read_stats(const std::string &index) {
  const char *text = lumidex_index_stats_json(index.c_str());
  if (!text) return nullptr;
  yyjson_doc *doc = yyjson_read(text, strlen(text), YYJSON_READ_NOFLAG);
  if (doc && !yyjson_is_obj(yyjson_doc_get_root(doc))) {
    yyjson_doc_free(doc); /* "null": no such index */
    return nullptr;
  }
  return doc;
}

}  // namespace

int fail(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vmessage(fmt, ap);
  va_end(ap);
  return kExitFailure;
}

int usage_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vmessage(fmt, ap);
  va_end(ap);
  return kExitUsage;
}

const char *engine_error(const char *fallback) {
  const char *text = lumidex_last_error();
  return text && *text ? text : fallback;
}

bool open_engine(const GlobalOptions &g, bool create) {
  const char *dir =
      g.storage_dir.empty() ? lmx_get_storage_dir() : g.storage_dir.c_str();
  if (create) lmx_mkdir_p(dir); /* an existing directory is not an error */
  if (lumidex_init(dir) != 0) {
    fail("cannot open the storage directory `%s`: %s", dir,
         engine_error("the engine refused it"));
    return false;
  }
  s_engine_open = true;
  return true;
}

void close_engine() {
  if (!s_engine_open) return;
  lumidex_cleanup();
  s_engine_open = false;
}

bool index_primary_key(const std::string &index, std::string *key) {
  yyjson_doc *doc = read_stats(index);
  if (!doc) return false;
  const char *pk =
      yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), "primary_key"));
  *key = pk ? pk : "";
  yyjson_doc_free(doc);
  return true;
}

uint64_t index_document_count(const std::string &index) {
  yyjson_doc *doc = read_stats(index);
  if (!doc) return 0;
  yyjson_val *n = yyjson_obj_get(yyjson_doc_get_root(doc), "document_count");
  uint64_t count = yyjson_is_uint(n) ? yyjson_get_uint(n) : 0;
  yyjson_doc_free(doc);
  return count;
}

int compact_index(const GlobalOptions &g, const std::string &index) {
  const char *text = lumidex_index_compact_json(index.c_str());
  if (!text)
    return fail("cannot compact `%s`: %s", index.c_str(),
                engine_error("the engine refused"));
  if (g.quiet) return kExitOk;
  yyjson_doc *doc = yyjson_read(text, strlen(text), YYJSON_READ_NOFLAG);
  yyjson_val *root = yyjson_doc_get_root(doc);
  yyjson_val *n = yyjson_obj_get(root, "document_count");
  unsigned long long count = yyjson_is_uint(n) ? yyjson_get_uint(n) : 0;
  if (yyjson_get_bool(yyjson_obj_get(root, "compacted")))
    fprintf(stderr, "lumidex: compacted `%s` (%llu documents)\n",
            index.c_str(), count);
  else
    fprintf(stderr,
            "lumidex: `%s` left as it is: this system cannot exchange two "
            "directories in one step\n",
            index.c_str());
  yyjson_doc_free(doc);
  return kExitOk;
}

int print_json(const char *text) {
  char *pretty = nullptr;
  if (isatty(STDOUT_FILENO)) {
    yyjson_doc *doc =
        yyjson_read(text, strlen(text), YYJSON_READ_NUMBER_AS_RAW);
    if (doc)
      pretty = yyjson_write(doc, YYJSON_WRITE_PRETTY_TWO_SPACES, nullptr);
    yyjson_doc_free(doc);
  }
  fputs(pretty ? pretty : text, stdout);
  fputc('\n', stdout);
  free(pretty);
  if (fflush(stdout) != 0 || ferror(stdout))
    return fail("cannot write to standard output: %s", strerror(errno));
  return kExitOk;
}

}  // namespace lmxtool
