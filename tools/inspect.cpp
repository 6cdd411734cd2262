/*
 * inspect.cpp: `lumidex indexes`, `stats`, `search`, `delete-index` and
 * `compact`.
 *
 * The first three print the engine's JSON answer (print_json, tool.h).
 * delete-index and compact have no answer to print; they say what they did
 * on standard error like import and export do.
 */
#include <cstdio>
#include <cstring>

#include "lumidex_core.h"
#include "tool.h"

namespace lmxtool {
namespace {

/* Runs fn between opening and closing the engine. */
template <typename Fn>
int with_engine(const GlobalOptions &g, Fn fn) {
  if (!open_engine(g, false)) return kExitFailure;
  int rc = fn();
  close_engine();
  return rc;
}

}  // namespace

int run_indexes(const GlobalOptions &g) {
  return with_engine(g, [] {
    const char *list = lumidex_indexes_list_json();
    if (!list)
      return fail("cannot list the indexes: %s",
                  engine_error("the engine gave no list"));
    return print_json(list);
  });
}

int run_stats(const GlobalOptions &g, const std::string &index) {
  return with_engine(g, [&index] {
    const char *stats = lumidex_index_stats_json(index.c_str());
    if (!stats || strcmp(stats, "null") == 0)
      return fail("index `%s` not found", index.c_str());
    return print_json(stats);
  });
}

int run_search(const GlobalOptions &g, const std::string &index,
               const std::string &query, int limit, int offset) {
  return with_engine(g, [&] {
    const char *hits =
        lumidex_search(index.c_str(), query.c_str(), limit, offset);
    if (!hits)
      return fail("cannot search index `%s`: %s", index.c_str(),
                  engine_error("the engine refused the search"));
    return print_json(hits);
  });
}

int run_delete_index(const GlobalOptions &g, const std::string &index) {
  return with_engine(g, [&] {
    if (lumidex_index_delete(index.c_str()) != 0)
      return fail("cannot delete index `%s`: %s", index.c_str(),
                  engine_error("the engine refused it"));
    if (!g.quiet)
      fprintf(stderr, "lumidex: deleted index `%s`\n", index.c_str());
    return kExitOk;
  });
}

int run_compact(const GlobalOptions &g, const std::string &index) {
  return with_engine(g, [&] { return compact_index(g, index); });
}

}  // namespace lmxtool
