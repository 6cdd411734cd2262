/*
 * fuzz_documents_add.cpp: document addition bodies. Every input (cut at a
 * NUL) is added to one index. A refused body must leave the document count
 * unchanged and give a one-line, valid UTF-8 error text; an accepted body
 * must answer a count of documents and leave the index searchable. The index
 * is dropped now and then so it stays small.
 */
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_checks.h"
#include "fuzz_engine.h"
#include "lumidex_core.h"

using fuzzcheck::require;

static long document_count() {
  const char *stats = lumidex_index_stats_json("docs");
  require(stats != nullptr, "stats failed");
  if (strcmp(stats, "null") == 0) return 0;
  yyjson_doc *doc = yyjson_read(stats, strlen(stats), 0);
  require(doc != nullptr, "stats are not JSON", stats);
  long n = static_cast<long>(yyjson_get_uint(
      yyjson_obj_get(yyjson_doc_get_root(doc), "document_count")));
  yyjson_doc_free(doc);
  return n;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzcheck::open_scratch_engine("docs");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static unsigned runs = 0;
  if (++runs % 200 == 0) lumidex_index_delete("docs");
  std::string body(reinterpret_cast<const char *>(data), size);
  body = body.c_str();
  long before = document_count();
  int added = lumidex_documents_add("docs", body.c_str());
  if (added < 0) {
    const char *err = lumidex_last_error();
    require(err != nullptr && err[0] != '\0', "refusal without an error text",
            body);
    std::string e = err;
    require(e.find('\n') == std::string::npos, "error text holds a newline", e);
    require(fuzzcheck::valid_utf8(e), "error text is not UTF-8", e);
    require(document_count() == before, "a refused batch changed the index",
            body);
  } else {
    long after = document_count();
    require(after >= before && after <= before + added,
            "document count does not match the batch", body);
    const char *ans = lumidex_search("docs", "", 1000, 0);
    require(ans != nullptr, "index not searchable after an addition", body);
    fuzzcheck::check_json(ans, body);
  }
  return 0;
}
