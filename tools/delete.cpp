/*
 * delete.cpp: `lumidex delete INDEX --ids FILE` and `lumidex delete INDEX
 * --filter EXPR`: deletes many documents of an index in one engine
 * transaction (lumidex_documents.h), so the index loses all of them or,
 * when anything fails or the process is killed, none.
 *
 * FILE ("-" = standard input) holds one id per line; blank lines and
 * spaces around an id are skipped, a CR before the line feed too. The ids
 * go to the engine as one JSON array of strings (an integer id and its
 * decimal text name the same document), and a line that is no id is
 * refused with its line number before anything is deleted. EXPR is a
 * filter expression on the index's filterable attributes.
 *
 * Output: a progress line on standard error while the engine deletes (at a
 * terminal, without -q), then "lumidex: deleted N documents from `INDEX`"
 * unless -q; N counts the documents that existed and are gone.
 */
#include <unistd.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lumidex_admin.h"
#include "lumidex_documents.h"
#include "platform.h" /* getline on Windows */
#include "progress.h"
#include "tool.h"

namespace lmxtool {
namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

/* Reads the ids of file into a JSON array text; false after saying why. */
bool read_ids(const std::string &file, std::string *json) {
  FILE *in = file == "-" ? stdin : fopen(file.c_str(), "rb");
  if (!in) {
    fail("cannot read `%s`: %s", file.c_str(), strerror(errno));
    return false;
  }
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *arr = doc ? yyjson_mut_arr(doc) : nullptr;
  bool ok = arr != nullptr;
  if (ok) yyjson_mut_doc_set_root(doc, arr);
  char *line = nullptr;
  size_t size = 0;
  ssize_t len;
  while (ok && (len = getline(&line, &size, in)) >= 0) {
    size_t start = 0, end = static_cast<size_t>(len);
    if (end > 0 && line[end - 1] == '\n') --end;
    while (start < end && blank(line[start])) ++start;
    while (end > start && blank(line[end - 1])) --end;
    if (end > start)
      ok = yyjson_mut_arr_add_strncpy(doc, arr, line + start, end - start);
  }
  bool read_ok = !ferror(in);
  free(line);
  if (in != stdin) fclose(in);
  char *text =
      ok ? yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr)
         : nullptr;
  yyjson_mut_doc_free(doc);
  if (!read_ok || !text) {
    free(text);
    fail("cannot read `%s`: %s", file.c_str(),
         read_ok ? "out of memory" : strerror(errno));
    return false;
  }
  json->assign(text);
  free(text);
  return true;
}

/* The filter expression as a JSON request {"filter": EXPR}. */
std::string filter_request(const std::string &expression) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_strncpy(doc, root, "filter", expression.data(),
                             expression.size());
  char *text =
      yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  std::string out = text ? text : "";
  free(text);
  yyjson_mut_doc_free(doc);
  return out;
}

void on_progress(unsigned long long done, unsigned long long total,
                 void *user) {
  (void)total; /* the drawing counts documents; its total stays unknown */
  static_cast<Progress *>(user)->update(done, 0);
}

/* Says which element of the id list was refused, as a line of FILE. */
int refused_ids(const std::string &file) {
  unsigned long long element = 0;
  lumidex_last_error_position(&element, nullptr);
  if (lumidex_last_error_code() == LUMIDEX_ERROR_INVALID_BODY && element > 0)
    return fail(
        "`%s`: id %llu (not counting blank lines) is not a document "
        "id: %s",
        file.c_str(), element, engine_error("refused"));
  return fail("%s", engine_error("the engine refused the deletion"));
}

}  // namespace

int run_delete(const GlobalOptions &g, const std::string &index,
               const std::string &ids_file, const std::string &filter) {
  if (ids_file.empty() == filter.empty())
    return usage_error("give either --ids FILE or --filter EXPR");
  std::string request;
  if (!ids_file.empty() ? !read_ids(ids_file, &request)
                        : (request = filter_request(filter)).empty())
    return kExitFailure;
  if (!open_engine(g, false)) return kExitFailure;
  bool tty = isatty(STDERR_FILENO) != 0;
  Progress progress("deleting", 0, tty && !g.quiet);
  long long deleted =
      ids_file.empty()
          ? lumidex_documents_delete_filter(index.c_str(), request.c_str(),
                                            on_progress, &progress)
          : lumidex_documents_delete_ids(index.c_str(), request.c_str(),
                                         on_progress, &progress);
  progress.finish();
  int rc = kExitOk;
  if (deleted < 0)
    rc = ids_file.empty() ? fail("%s", engine_error("the engine refused it"))
                          : refused_ids(ids_file);
  else if (!g.quiet)
    fprintf(stderr, "lumidex: deleted %lld documents from `%s` in %.1f s\n",
            deleted, index.c_str(), progress.elapsed());
  close_engine();
  return rc;
}

}  // namespace lmxtool
