/*
 * test_face.cpp: the library's C face itself: the last-error text (absent
 * before any failure, one line of valid UTF-8 whatever the input), calls
 * made before lumidex_init, searches on missing indexes, and readers that
 * follow this process's own writes and deletions.
 */
#include <cstring>

#include "core_fixture.h"

using coretest::CoreTest;
using coretest::hit_values;
using coretest::Json;
using coretest::last_error;
using coretest::str;

namespace {

/* Strict UTF-8 check (no overlongs, surrogates or code points past
 * U+10FFFF), independent of the library's own. */
bool valid_utf8(const std::string &s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80         ? 1
               : (c >> 5) == 6  ? 2
               : (c >> 4) == 14 ? 3
               : (c >> 3) == 30 ? 4
                                : 0;
    if (n == 0 || i + n > s.size()) return false;
    unsigned cp = n == 1   ? c
                  : n == 2 ? (c & 0x1F)
                  : n == 3 ? (c & 0x0F)
                           : (c & 0x07);
    for (size_t k = 1; k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const unsigned kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

}  // namespace

TEST(Face, LastErrorIsNullUntilAFailureAndCallsBeforeInitFail) {
  /* A child starts from this program's untouched library state. */
  lmxtest::ChildSpec job;
  auto r = lmxtest::run_child(
      [] {
        if (lumidex_last_error() != nullptr) _exit(10);
        if (lumidex_search("x", "q", 10, 0) != nullptr) _exit(11);
        printf("%s\n", str(lumidex_last_error()).c_str());
        if (lumidex_documents_add("x", "{\"id\":1}") != -1) _exit(12);
        if (lumidex_indexes_list_json() != nullptr) _exit(13);
        if (lumidex_index_create("x", "id") != -1) _exit(14);
        lumidex_cleanup(); /* harmless with nothing open */
      },
      job);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "The engine is not open: lumidex_init was not called or "
            "failed.\n");

  auto ok = lmxtest::run_child(
      [] {
        lmxtest::TempDir tmp;
        if (lumidex_init(tmp.path().c_str()) != 0) _exit(20);
        if (lumidex_index_create("a", "id") != 0) _exit(21);
        if (lumidex_documents_add("a", "{\"id\":1}") != 1) _exit(22);
        if (lumidex_search("a", "", 10, 0) == nullptr) _exit(23);
        if (lumidex_last_error() != nullptr) _exit(24);
        /* A later success leaves the last failure's text in place. */
        lumidex_index_create("a", "id");
        lumidex_index_stats_json("a");
        printf("%s\n", str(lumidex_last_error()).c_str());
        lumidex_cleanup();
      },
      job);
  ASSERT_EQ(ok.exit_code, 0) << ok.err;
  EXPECT_EQ(ok.out, "Index `a` already exists.\n");
}

TEST_F(CoreTest, ErrorTextsQuotingInputAreOneLineOfValidUtf8) {
  ASSERT_EQ(lumidex_index_create("lib", "id"), 0);
  std::string huge(10000, 'n');
  struct Row {
    std::string input;
    bool replaced; /* holds bytes that must become U+FFFD */
  } rows[] = {
      {"bad\xff\xfename", true},
      {"cut\xc3", true},
      {"over\xc0\xaflong", true},
      {"surr\xed\xa0\x80", true},
      {"line\nbreak\r\ttab", false},
      {"caf\xc3\xa9 ok", false},
      {huge, false},
      {"\"quote\" and \\", false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.input.substr(0, 40));
    /* One quoting path per kind of input: index names, document ids, and
     * primary-key values inside a body. */
    EXPECT_EQ(lumidex_index_create(r.input.c_str(), "id"), -1);
    std::string by_name = last_error();
    EXPECT_EQ(lumidex_document_delete("lib", r.input.c_str()), -1);
    std::string by_id = last_error();
    std::string body = "{\"id\":1,\"pk\":\"\"}";
    EXPECT_EQ(lumidex_documents_add_pk("lib2", r.input.c_str(), body.c_str()),
              -1);
    std::string by_key = last_error();
    for (const std::string &text : {by_name, by_id, by_key}) {
      EXPECT_TRUE(valid_utf8(text)) << text;
      EXPECT_EQ(text.find_first_of("\n\r\t"), std::string::npos) << text;
      EXPECT_LT(text.size(), 400u);
      EXPECT_EQ(text.find("\xEF\xBF\xBD") != std::string::npos, r.replaced)
          << text;
    }
  }
  EXPECT_EQ(lumidex_index_create(huge.c_str(), "id"), -1);
  EXPECT_NE(last_error().find(std::string(200, 'n') + "...`"),
            std::string::npos);
}

TEST_F(CoreTest, SearchNeedsAnExistingIndexAndTakesANullQuery) {
  ASSERT_EQ(lumidex_documents_add("s", "[{\"id\":1},{\"id\":2}]"), 2);
  Json all(lumidex_search("s", nullptr, 10, 0));
  EXPECT_EQ(yyjson_arr_size(all.get("hits")), 2u) << last_error();

  for (const char *missing : {"nope", ""}) {
    EXPECT_EQ(lumidex_search(missing, "q", 10, 0), nullptr);
    EXPECT_EQ(last_error(), "Index `" + std::string(missing) + "` not found.");
  }
  EXPECT_EQ(lumidex_search(nullptr, "q", 10, 0), nullptr);
  EXPECT_EQ(lumidex_search("bad name", "q", 10, 0), nullptr);
}

TEST_F(CoreTest, ReadsFollowThisProcesssOwnWritesAndDeletions) {
  ASSERT_EQ(lumidex_index_create("live", "id"), 0);
  EXPECT_EQ(hit_values(lumidex_search("live", "ember ", 10, 0), "id").size(),
            0u);
  ASSERT_EQ(lumidex_documents_add("live", "{\"id\":1,\"t\":\"ember\"}"), 1);
  EXPECT_EQ(hit_values(lumidex_search("live", "ember ", 10, 0), "id"),
            std::vector<std::string>{"1"});
  EXPECT_EQ(Json(lumidex_index_stats_json("live")).integer("document_count"),
            1);
  ASSERT_EQ(lumidex_document_delete("live", "1"), 0);
  EXPECT_EQ(lumidex_document_get("live", "1"), nullptr);
  EXPECT_EQ(Json(lumidex_index_stats_json("live")).integer("document_count"),
            0);

  ASSERT_EQ(lumidex_documents_add("live", "{\"id\":2,\"t\":\"ember\"}"), 1);
  ASSERT_EQ(lumidex_index_delete("live"), 0);
  EXPECT_EQ(lumidex_search("live", "ember ", 10, 0), nullptr);
  ASSERT_EQ(lumidex_index_create("live", "id"), 0);
  EXPECT_EQ(hit_values(lumidex_search("live", "ember ", 10, 0), "id").size(),
            0u);
}

TEST(Face, InitOnASecondDirectorySwitchesAndCleanupTwiceIsHarmless) {
  lmxtest::TempDir one, two;
  ASSERT_EQ(lumidex_init(one.path().c_str()), 0);
  ASSERT_EQ(lumidex_index_create("only-in-one", "id"), 0);
  ASSERT_EQ(lumidex_init(two.path().c_str()), 0);
  EXPECT_EQ(str(lumidex_index_stats_json("only-in-one")), "null");
  EXPECT_EQ(str(lumidex_indexes_list_json()), "[]");
  /* A refused init leaves the engine closed rather than on the old dir. */
  EXPECT_NE(lumidex_init(one.sub("missing").c_str()), 0);
  EXPECT_EQ(lumidex_indexes_list_json(), nullptr);
  lumidex_cleanup();
  lumidex_cleanup();
}

/* Programs learn what a failure was about, and where in a body, as values:
 * the code and the position agree with the text for each kind of failure,
 * and a failure that is not about a body reports no position. */
TEST_F(CoreTest, FailuresCarryTheirCodeAndBodyPosition) {
  ASSERT_EQ(lumidex_index_create("a", "id"), 0);
  struct Row {
    const char *body;
    unsigned long long document;
    long long offset;
  };
  const Row rows[] = {
      /* NDJSON: the second document is not JSON; the reader stops at the
       * byte after "x". */
      {"{\"id\":1}\n{\"id\":x}\n", 2, 15},
      /* NDJSON: the third value is an array, offset of its first byte. */
      {"{\"id\":1}\n{\"id\":2}\n[1]\n", 3, 18},
      /* NDJSON: a document without the primary key. */
      {"{\"id\":1}\n  {\"name\":2}", 2, 11},
      /* A JSON array: the position is known, the member's offset is not. */
      {"[{\"id\":1},{\"id\":true}]", 2, -1},
      /* The body as a whole is not JSON. */
      {"[{\"id\":1},", 0, 10},
      /* Nothing at all. */
      {"   ", 0, -1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.body);
    EXPECT_EQ(lumidex_documents_add("a", row.body), -1);
    EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_BODY);
    unsigned long long document = 99;
    long long offset = 99;
    EXPECT_EQ(lumidex_last_error_position(&document, &offset), 1);
    EXPECT_EQ(document, row.document) << last_error();
    EXPECT_EQ(offset, row.offset) << last_error();
    if (row.document > 0) {
      EXPECT_NE(last_error().find("position " + std::to_string(row.document)),
                std::string::npos)
          << last_error();
    }
  }

  /* Failures that are not about a body: their code, and no position. */
  const struct {
    int (*call)();
    lumidex_error_code code;
  } calls[] = {
      {[] { return lumidex_index_create("a", "id"); },
       LUMIDEX_ERROR_INDEX_EXISTS},
      {[] { return lumidex_index_create("a/b", "id"); },
       LUMIDEX_ERROR_INVALID_ARGUMENT},
      {[] { return lumidex_index_delete("missing"); },
       LUMIDEX_ERROR_INDEX_NOT_FOUND},
      {[] { return lumidex_document_delete("a", "7"); },
       LUMIDEX_ERROR_DOCUMENT_NOT_FOUND},
      {[] { return lumidex_document_get("a", "7") ? 0 : -1; },
       LUMIDEX_ERROR_DOCUMENT_NOT_FOUND},
      {[] { return lumidex_document_get("nope", "7") ? 0 : -1; },
       LUMIDEX_ERROR_INDEX_NOT_FOUND},
      {[] { return lumidex_search("nope", "q", 1, 0) ? 0 : -1; },
       LUMIDEX_ERROR_INDEX_NOT_FOUND},
  };
  for (const auto &c : calls) {
    EXPECT_NE(c.call(), 0);
    EXPECT_EQ(lumidex_last_error_code(), c.code) << last_error();
    unsigned long long document = 99;
    long long offset = 99;
    EXPECT_EQ(lumidex_last_error_position(&document, &offset), 0);
    EXPECT_EQ(document, 0u);
    EXPECT_EQ(offset, -1);
  }
}
