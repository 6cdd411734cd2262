/*
 * engine_double.h: a test double of the engine library behind lumidex_core.h
 * (and the few entries of its other headers that the handler module calls).
 *
 * Linked instead of the real library into handler tests. Every lumidex_* call
 * is recorded with its arguments, and each function returns what the test
 * scripted (defaults: success, empty answers). It serves the answers a real
 * engine never gives (a null last error, an init failure, odd texts) and lets
 * tests watch the exact arguments a handler passes.
 *
 * Handler tests usually run the handler in a forked child (child.h); the
 * child then prints the call log with dbl::dump to standard error, which the
 * parent reads back.
 */
#ifndef LMX_ENGINE_DOUBLE_H
#define LMX_ENGINE_DOUBLE_H

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace dbl {

/* One recorded call. Null text arguments are recorded as std::nullopt. */
struct Call {
  std::string fn;                               /* e.g. "lumidex_search" */
  std::vector<std::optional<std::string>> args; /* text arguments in order */
  std::vector<int> ints;                        /* int arguments in order */
};

/* What each function returns; std::nullopt stands for a null text. */
struct Script {
  int init_result = 0;
  std::optional<std::string> search = std::string("{\"hits\":[]}");
  int add_result = 0;
  std::optional<std::string> document = std::nullopt;
  int document_delete_result = 0;
  int index_create_result = 0;
  int index_delete_result = 0;
  std::optional<std::string> indexes_list = std::string("[]");
  std::optional<std::string> stats = std::string("null");
  std::optional<std::string> last_error = std::nullopt;
  int last_error_code = 0; /* a lumidex_error_code */
  /* api_router's own entries (lumidex_search.h, lumidex_documents.h),
   * which the specified handlers never call: they fail unless scripted. */
  std::optional<std::string> search_request = std::nullopt;
  std::optional<std::string> documents_list = std::nullopt;
  long long bulk_result = -1; /* updates and deletions */
};

/* The script in force; tests change its members directly. */
Script &script();
/* Restores the default script and clears the call log. */
void reset();
/* Every call since the last reset, in order. */
const std::vector<Call> &calls();
/* The calls to fn only. */
std::vector<Call> calls_to(const std::string &fn);
/* One line per call: fn(arg|arg|int|int), null texts written as <null>. */
std::string log_text();
/* Writes log_text() to out and flushes it. */
void dump(FILE *out);

}  // namespace dbl

#endif
