/*
 * fuzz_engine_query.cpp: the engine's query language on arbitrary text.
 * A small index is built once in a temporary storage directory; every input
 * (cut at a NUL) is searched with limits and offsets taken from its first
 * bytes (one document is in scripts written without spaces, so their
 * characters, pairs and highlighting are exercised too). The engine must
 * answer every query with a JSON object (valid UTF-8) whose "hits"
 * array holds at most `limit` documents, and must never fail or crash.
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

static const char kCorpus[] =
    "{\"id\":\"1\",\"title\":\"Web server for small sites\",\"body\":\"fast "
    "and light\"}\n"
    "{\"id\":\"2\",\"title\":\"Émile's café\",\"body\":\"crème brûlée AND "
    "more\"}\n"
    "{\"id\":\"3\",\"title\":\"Library of "
    "functions\",\"tags\":[\"lib\",\"c\"],\"n\":42}\n"
    "{\"id\":\"4\",\"title\":\"Postgres client\",\"nested\":{\"deep\":\"python "
    "bindings\"}}\n"
    "{\"id\":\"5\",\"title\":\"\\\"quoted\\\" (paren) *star* NEAR: "
    "colon^caret\"}\n"
    "{\"id\":\"6\",\"title\":\"吾輩は猫である Linux "
    "カーネル2.6\",\"body\":\"ที่นี่ ｶﾞｽ\"}\n";

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzcheck::open_scratch_engine("engine");
  require(lumidex_documents_add("docs", kCorpus) == 6, "corpus not added");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int limit = size > 0 ? static_cast<int8_t>(data[0]) : 20;
  int offset = size > 1 ? static_cast<int8_t>(data[1]) : 0;
  std::string q(reinterpret_cast<const char *>(data), size);
  q = q.c_str();
  const char *ans = lumidex_search("docs", q.c_str(), limit, offset);
  require(ans != nullptr, "search failed", q);
  yyjson_doc *doc = yyjson_read(ans, strlen(ans), 0);
  require(doc != nullptr, "answer is not JSON", ans);
  yyjson_val *root = yyjson_doc_get_root(doc);
  require(yyjson_is_obj(root), "answer is not an object", ans);
  yyjson_val *hits = yyjson_obj_get(root, "hits");
  require(yyjson_is_arr(hits), "answer has no hits array", ans);
  int want_max = limit < 0 ? 0 : (limit > 1000 ? 1000 : limit);
  require(static_cast<int>(yyjson_arr_size(hits)) <= want_max,
          "more hits than the limit", ans);
  require(yyjson_is_int(yyjson_obj_get(root, "total_hits")) ||
              yyjson_is_uint(yyjson_obj_get(root, "total_hits")),
          "total_hits missing", ans);
  yyjson_doc_free(doc);
  return 0;
}
