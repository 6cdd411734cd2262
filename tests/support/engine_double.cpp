/*
 * engine_double.cpp: the scripted, recording engine library for handler
 * tests (see engine_double.h). Returned texts live in the script and stay
 * valid until the test changes it, as the real library's stay valid until
 * the next call.
 */
#include "engine_double.h"

#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "lumidex_documents.h"
#include "lumidex_search.h"

namespace dbl {
namespace {

Script g_script;
std::vector<Call> g_calls;

std::optional<std::string> opt(const char *s) {
  if (!s) return std::nullopt;
  return std::string(s);
}

void record(const char *fn, std::vector<std::optional<std::string>> args,
            std::vector<int> ints = {}) {
  g_calls.push_back(Call{fn, std::move(args), std::move(ints)});
}

const char *text(const std::optional<std::string> &t) {
  return t ? t->c_str() : nullptr;
}

}  // namespace

Script &script() { return g_script; }

void reset() {
  g_script = Script();
  g_calls.clear();
}

const std::vector<Call> &calls() { return g_calls; }

std::vector<Call> calls_to(const std::string &fn) {
  std::vector<Call> out;
  for (const auto &c : g_calls)
    if (c.fn == fn) out.push_back(c);
  return out;
}

std::string log_text() {
  std::string s;
  for (const auto &c : g_calls) {
    s += c.fn + "(";
    bool first = true;
    for (const auto &a : c.args) {
      if (!first) s += "|";
      s += a ? *a : "<null>";
      first = false;
    }
    for (int i : c.ints) {
      if (!first) s += "|";
      s += std::to_string(i);
      first = false;
    }
    s += ")\n";
  }
  return s;
}

void dump(FILE *out) {
  std::string s = log_text();
  fwrite(s.data(), 1, s.size(), out);
  fflush(out);
}

}  // namespace dbl



extern "C" {

int lumidex_init(const char *storage_dir) {
  dbl::record("lumidex_init", {dbl::opt(storage_dir)});
  return dbl::g_script.init_result;
}

void lumidex_cleanup(void) { dbl::record("lumidex_cleanup", {}); }

const char *lumidex_search(const char *index, const char *query, int limit,
                           int offset) {
  dbl::record("lumidex_search", {dbl::opt(index), dbl::opt(query)},
              {limit, offset});
  return dbl::text(dbl::g_script.search);
}

int lumidex_documents_add(const char *index, const char *body) {
  dbl::record("lumidex_documents_add", {dbl::opt(index), dbl::opt(body)});
  return dbl::g_script.add_result;
}

const char *lumidex_document_get(const char *index, const char *doc_id) {
  dbl::record("lumidex_document_get", {dbl::opt(index), dbl::opt(doc_id)});
  return dbl::text(dbl::g_script.document);
}

int lumidex_document_delete(const char *index, const char *doc_id) {
  dbl::record("lumidex_document_delete", {dbl::opt(index), dbl::opt(doc_id)});
  return dbl::g_script.document_delete_result;
}

int lumidex_index_create(const char *index, const char *primary_key) {
  dbl::record("lumidex_index_create", {dbl::opt(index), dbl::opt(primary_key)});
  return dbl::g_script.index_create_result;
}

int lumidex_index_delete(const char *index) {
  dbl::record("lumidex_index_delete", {dbl::opt(index)});
  return dbl::g_script.index_delete_result;
}

const char *lumidex_indexes_list_json(void) {
  dbl::record("lumidex_indexes_list_json", {});
  return dbl::text(dbl::g_script.indexes_list);
}

const char *lumidex_index_stats_json(const char *index) {
  dbl::record("lumidex_index_stats_json", {dbl::opt(index)});
  return dbl::text(dbl::g_script.stats);
}

const char *lumidex_last_error(void) {
  dbl::record("lumidex_last_error", {});
  return dbl::text(dbl::g_script.last_error);
}

int lumidex_last_error_code(void) {
  dbl::record("lumidex_last_error_code", {});
  return dbl::g_script.last_error_code;
}

const char *lumidex_search_request(const char *index,
                                   const char *request_json) {
  dbl::record("lumidex_search_request",
              {dbl::opt(index), dbl::opt(request_json)});
  return dbl::text(dbl::g_script.search_request);
}

const char *lumidex_documents_list_json(const char *index,
                                        const char *request_json) {
  dbl::record("lumidex_documents_list_json",
              {dbl::opt(index), dbl::opt(request_json)});
  return dbl::text(dbl::g_script.documents_list);
}

long long lumidex_documents_update(const char *index, const char *body,
                                   lumidex_progress_fn, void *) {
  dbl::record("lumidex_documents_update", {dbl::opt(index), dbl::opt(body)});
  return dbl::g_script.bulk_result;
}

long long lumidex_documents_delete_ids(const char *index, const char *ids_json,
                                       lumidex_progress_fn, void *) {
  dbl::record("lumidex_documents_delete_ids",
              {dbl::opt(index), dbl::opt(ids_json)});
  return dbl::g_script.bulk_result;
}

long long lumidex_documents_delete_filter(const char *index,
                                          const char *request_json,
                                          lumidex_progress_fn, void *) {
  dbl::record("lumidex_documents_delete_filter",
              {dbl::opt(index), dbl::opt(request_json)});
  return dbl::g_script.bulk_result;
}

long long lumidex_documents_delete_all(const char *index, lumidex_progress_fn,
                                       void *) {
  dbl::record("lumidex_documents_delete_all", {dbl::opt(index)});
  return dbl::g_script.bulk_result;
}

}  // extern "C"
