/*
 * core_fixture.h: shared set-up of the catalog, documents and face tests: a
 * fresh storage directory opened with lumidex_init for every test, and small
 * readers of the engine's JSON answers.
 */
#ifndef LMX_TEST_CORE_FIXTURE_H
#define LMX_TEST_CORE_FIXTURE_H

#include <gtest/gtest.h>
#include <yyjson.h>

#include <string>
#include <vector>

#include "child.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"

namespace coretest {

/* The text, or "<null>" so a null result reads clearly in a failure. */
inline std::string str(const char *s) { return s ? s : "<null>"; }

inline std::string last_error() { return str(lumidex_last_error()); }

/* A parsed JSON answer; root() is null when the text does not parse. */
class Json {
 public:
  explicit Json(const char *text)
      : doc_(text ? yyjson_read(text, std::string(text).size(), 0) : nullptr) {}
  ~Json() { yyjson_doc_free(doc_); }
  Json(const Json &) = delete;
  Json &operator=(const Json &) = delete;
  yyjson_val *root() const {
    return doc_ ? yyjson_doc_get_root(doc_) : nullptr;
  }
  yyjson_val *get(const char *key) const { return yyjson_obj_get(root(), key); }
  long long integer(const char *key) const { return yyjson_get_sint(get(key)); }
  std::string text(const char *key) const {
    const char *s = yyjson_get_str(get(key));
    return s ? s : "<none>";
  }

 private:
  yyjson_doc *doc_;
};

/* The values of member `key` of each hit of a search answer, as compact
 * JSON texts, in hit order. */
inline std::vector<std::string> hit_values(const char *answer,
                                           const char *key) {
  std::vector<std::string> out;
  Json j(answer);
  yyjson_val *hits = j.get("hits");
  size_t idx, max;
  yyjson_val *hit;
  yyjson_arr_foreach(hits, idx, max, hit) {
    char *t = yyjson_val_write(yyjson_obj_get(hit, key), 0, nullptr);
    out.push_back(t ? t : "<none>");
    free(t);
  }
  return out;
}

/* Every document of index with its page position, in insertion order,
 * read through lumidex_documents_page_json page_size at a time: one
 * document a line, and after each page "next P". */
inline std::string documents(const char *index, int page_size) {
  std::string out;
  unsigned long long after = 0;
  do {
    Json page(lumidex_documents_page_json(index, after, page_size));
    size_t idx, max;
    yyjson_val *doc;
    yyjson_arr_foreach(page.get("documents"), idx, max, doc) {
      char *t = yyjson_val_write(doc, 0, nullptr);
      out += std::string(t ? t : "<none>") + "\n";
      free(t);
    }
    after = yyjson_get_uint(page.get("next"));
    out += "next " + std::to_string(after) + "\n";
  } while (after != 0);
  return out;
}

/* Every test starts on an empty storage directory of its own. */
class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lumidex_init(dir_.path().c_str()), 0); }
  void TearDown() override { lumidex_cleanup(); }
  const std::string &dir() const { return dir_.path(); }

 private:
  lmxtest::TempDir dir_;
};

}  // namespace coretest

#endif
