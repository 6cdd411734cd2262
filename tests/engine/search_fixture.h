/*
 * search_fixture.h: shared set-up of the search tests: an index "t" filled
 * with a small hand-made corpus, and readers of a search answer (the ids of
 * its hits in order, its counters, the hits themselves).
 */
#ifndef LMX_TEST_SEARCH_FIXTURE_H
#define LMX_TEST_SEARCH_FIXTURE_H

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "lumidex_search.h"

namespace searchtest {

/* A search answer, parsed. ok() is false when the engine returned null or
 * text that is not a JSON object with a "hits" array. */
class Answer {
 public:
  explicit Answer(const char *text) : raw_(coretest::str(text)), json_(text) {}
  bool ok() const {
    return yyjson_is_obj(json_.root()) && yyjson_is_arr(json_.get("hits"));
  }
  const std::string &raw() const { return raw_; }
  const coretest::Json &json() const { return json_; }
  /* The "id" of every hit, in order. */
  std::vector<std::string> ids() const {
    std::vector<std::string> out;
    size_t idx, max;
    yyjson_val *hit;
    yyjson_arr_foreach(json_.get("hits"), idx, max, hit) {
      const char *id = yyjson_get_str(yyjson_obj_get(hit, "id"));
      out.push_back(id ? id : "<no id>");
    }
    return out;
  }
  yyjson_val *hit(size_t i) const {
    return yyjson_arr_get(json_.get("hits"), i);
  }
  long long total() const { return json_.integer("total_hits"); }

 private:
  std::string raw_;
  coretest::Json json_;
};

class SearchTest : public coretest::CoreTest {
 protected:
  /* Adds the documents of body (NDJSON or an array) to index "t". */
  void add(const std::string &body) {
    ASSERT_GE(lumidex_documents_add("t", body.c_str()), 1)
        << coretest::last_error();
  }
  /* lumidex_search, or with a strategy set lumidex_search_request with
   * the same query, limit, offset and that strategy. */
  Answer search(const std::string &q, int limit = 20, int offset = 0) {
    if (!strategy_)
      return Answer(lumidex_search("t", q.c_str(), limit, offset));
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    yyjson_mut_doc_set_root(doc, root);
    yyjson_mut_obj_add_strncpy(doc, root, "q", q.data(), q.size());
    yyjson_mut_obj_add_int(doc, root, "limit", limit);
    yyjson_mut_obj_add_int(doc, root, "offset", offset);
    yyjson_mut_obj_add_str(doc, root, "matchingStrategy", strategy_);
    char *json =
        yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
    const char *answer = lumidex_search_request("t", json);
    free(json);
    yyjson_mut_doc_free(doc);
    return Answer(answer);
  }
  /* Adds n documents whose names build on base ("base-1", "base-2",
   * ...), with text that matches no query of the ranking tests: a name
   * family for the prior (prior.h). */
  void add_family(const std::string &base, int n) {
    std::string body;
    for (int k = 1; k <= n; ++k)
      body += R"({"id":")" + base + "-" + std::to_string(k) + R"(","name":")" +
              base + "-" + std::to_string(k) +
              R"(","text":"companion package"})" + "\n";
    add(body);
  }
  std::vector<std::string> ids(const std::string &q, int limit = 20,
                               int offset = 0) {
    return search(q, limit, offset).ids();
  }
  /* The matching strategy search() asks for: null is lumidex_search's
   * default ("most"); tests of which words must match set "all". */
  const char *strategy_ = nullptr;
};

using Ids = std::vector<std::string>;

}  // namespace searchtest

#endif
