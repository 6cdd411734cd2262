/*
 * test_document_bulk.cpp: the bulk document operations of
 * lumidex_documents.h on real index files: the listing's paging, fields
 * and refusals, partial updates, and deletions by id and of everything.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "lumidex_documents.h"
#include "lumidex_search.h"

namespace {

using coretest::CoreTest;
using coretest::Json;
using coretest::last_error;
using coretest::str;

class DocumentBulk : public CoreTest {
 protected:
  /* Adds n documents {"id":"dK","n":K,"t":"word K"} for K in [from, from+n). */
  void add_numbered(const char *index, int from, int n) {
    std::string body = "[";
    for (int k = from; k < from + n; ++k) {
      if (k > from) body += ",";
      body += "{\"id\":\"d" + std::to_string(k) +
              "\",\"n\":" + std::to_string(k) + ",\"t\":\"word" +
              std::to_string(k) + "\"}";
    }
    body += "]";
    ASSERT_EQ(lumidex_documents_add(index, body.c_str()), n) << last_error();
  }

  /* The "documents" array of a listing as compact JSON, and its "next". */
  std::string listed(const char *index, const char *request,
                     unsigned long long *next = nullptr) {
    const char *page = lumidex_documents_list_json(index, request);
    if (!page) return "<null> " + last_error();
    /* Numbers as raw text, so they read as the engine wrote them. */
    yyjson_doc *j =
        yyjson_read_opts(const_cast<char *>(page), strlen(page),
                         YYJSON_READ_NUMBER_AS_RAW, nullptr, nullptr);
    yyjson_val *root = yyjson_doc_get_root(j);
    char *docs =
        yyjson_val_write(yyjson_obj_get(root, "documents"), 0, nullptr);
    std::string out = docs ? docs : "<none>";
    free(docs);
    if (next)
      *next =
          strtoull(yyjson_get_raw(yyjson_obj_get(root, "next")), nullptr, 10);
    yyjson_doc_free(j);
    return out;
  }

  /* The ids of a listing, space-separated. */
  std::string ids(const char *index, const char *request,
                  unsigned long long *next = nullptr) {
    const char *page = lumidex_documents_list_json(index, request);
    if (!page) return "<null> " + last_error();
    Json j(page);
    std::string out;
    size_t idx, max;
    yyjson_val *doc;
    yyjson_arr_foreach(j.get("documents"), idx, max, doc) {
      if (!out.empty()) out += " ";
      out += yyjson_get_str(yyjson_obj_get(doc, "id"));
    }
    if (next) *next = yyjson_get_uint(j.get("next"));
    return out;
  }

  std::string get(const char *index, const char *id) {
    return str(lumidex_document_get(index, id));
  }
};

/* The hits of the empty search, compact: what the listing always was. */
std::string empty_search_hits(const char *index) {
  Json j(lumidex_search(index, "", 20, 0));
  char *hits = yyjson_val_write(j.get("hits"), 0, nullptr);
  std::string out = hits ? hits : "<none>";
  free(hits);
  return out;
}

}  // namespace

/* Without parameters the listing is the empty search's hits, also when
 * the settings cut what documents show. */
TEST_F(DocumentBulk, TheDefaultListingIsTheEmptySearchsHits) {
  add_numbered("l", 0, 25);
  ASSERT_EQ(lumidex_documents_add(
                "l", "{\"id\":\"x\",\"a\":{\"b\":1,\"c\":2},\"t\":\"q\"}"),
            1);
  EXPECT_EQ(listed("l", nullptr), empty_search_hits("l"));
  EXPECT_EQ(listed("l", "{}"), empty_search_hits("l"));
  ASSERT_NE(
      lumidex_settings_update_json(
          "l", "{\"displayedAttributes\":[\"a.b\",\"t\"]}", nullptr, nullptr),
      nullptr)
      << last_error();
  EXPECT_EQ(listed("l", ""), empty_search_hits("l"));
  EXPECT_NE(listed("l", "").find("{\"id\":\"d0\",\"t\":\"word0\"}"),
            std::string::npos)
      << listed("l", "");
}

TEST_F(DocumentBulk, PagesFollowInsertionOrderWithOffsetLimitAndAfter) {
  add_numbered("p", 0, 30);
  for (const char *id : {"d3", "d4", "d10"})
    ASSERT_EQ(lumidex_document_delete("p", id), 0);
  unsigned long long next = 0;
  struct Row {
    const char *request;
    const char *ids;
  } rows[] = {
      {"{\"limit\":3}", "d0 d1 d2"},
      {"{\"limit\":3,\"offset\":2}", "d2 d5 d6"},
      {"{\"limit\":2,\"offset\":25}", "d28 d29"},
      {"{\"offset\":27}", ""},
      {"{\"offset\":4294967295}", ""},
      {"{\"after\":3,\"limit\":2}", "d5 d6"},
      {"{\"after\":5,\"offset\":1,\"limit\":1}", "d6"},
      {"{\"after\":30}", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.request);
    EXPECT_EQ(ids("p", row.request), row.ids);
  }
  /* A walk by "next" meets every document once, in order. */
  std::string walked;
  unsigned long long after = 0;
  int pages = 0;
  do {
    std::string request =
        "{\"limit\":4,\"after\":" + std::to_string(after) + "}";
    std::string page = ids("p", request.c_str(), &next);
    walked += (walked.empty() ? "" : " ") + page;
    ASSERT_TRUE(next == 0 || next > after) << next;
    after = next;
  } while (next != 0 && ++pages < 20);
  EXPECT_EQ(walked,
            "d0 d1 d2 d5 d6 d7 d8 d9 d11 d12 d13 d14 d15 d16 d17 d18 d19 d20 "
            "d21 d22 d23 d24 d25 d26 d27 d28 d29");
  /* The last full page says no more when nothing follows it. */
  ids("p", "{\"offset\":23,\"limit\":4}", &next);
  EXPECT_EQ(next, 0u);
  ids("p", "{\"offset\":22,\"limit\":4}", &next);
  EXPECT_NE(next, 0u);
}

TEST_F(DocumentBulk, FieldsCutDocumentsWithinTheDisplayedOnes) {
  ASSERT_EQ(
      lumidex_documents_add("f",
                            "{\"id\":1,\"title\":\"T\",\"price\":1.50,"
                            "\"author\":{\"name\":\"N\",\"born\":1900},"
                            "\"tags\":[{\"k\":\"a\",\"v\":1},{\"k\":\"b\"}]}"),
      1);
  struct Row {
    const char *request;
    const char *listed;
  } rows[] = {
      {"{\"fields\":[\"title\"]}", "[{\"id\":1,\"title\":\"T\"}]"},
      {"{\"fields\":[\"price\",\"title\"]}",
       "[{\"id\":1,\"title\":\"T\",\"price\":1.50}]"},
      {"{\"fields\":[\"author.name\",\"tags.k\"]}",
       "[{\"id\":1,\"author\":{\"name\":\"N\"},\"tags\":[{\"k\":\"a\"},{\"k\":"
       "\"b\"}]}]"},
      {"{\"fields\":[\"nothing\"]}", "[{\"id\":1}]"},
      {"{\"fields\":[\"*\"]}",
       "[{\"id\":1,\"title\":\"T\",\"price\":1.50,\"author\":{\"name\":\"N\","
       "\"born\":1900},\"tags\":[{\"k\":\"a\",\"v\":1},{\"k\":\"b\"}]}]"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.request);
    EXPECT_EQ(listed("f", row.request), row.listed);
  }
  ASSERT_NE(lumidex_settings_update_json(
                "f", "{\"displayedAttributes\":[\"price\"]}", nullptr, nullptr),
            nullptr);
  EXPECT_EQ(listed("f", "{\"fields\":[\"title\",\"price\"]}"),
            "[{\"id\":1,\"price\":1.50}]");
  EXPECT_EQ(listed("f", "{\"fields\":[\"title\"]}"), "[{\"id\":1}]");
}

TEST_F(DocumentBulk, BadListingRequestsAreRefusedNamingTheMember) {
  add_numbered("r", 0, 2);
  struct Row {
    const char *request;
    const char *names;
  } rows[] = {
      {"{\"limit\":0}", "`limit`: expected an integer from 1 to 1000"},
      {"{\"limit\":1001}", "`limit`"},
      {"{\"limit\":\"5\"}", "`limit`"},
      {"{\"limit\":2.5}", "`limit`"},
      {"{\"offset\":-1}", "`offset`"},
      {"{\"offset\":4294967296}", "`offset`"},
      {"{\"after\":null}", "`after`"},
      {"{\"fields\":\"title\"}", "`fields`"},
      {"{\"fields\":[\"\"]}", "`fields`"},
      {"{\"fields\":[]}", "`fields`"},
      {"{\"fields\":[\"a..b\"]}", "`fields`"},
      {"{\"fields\":[\".a\"]}", "`fields`"},
      {"{\"fields\":[1]}", "`fields`"},
      {"{\"limit\":1,\"limit\":2}", "`limit`: given more than once"},
      {"{\"filters\":\"a = 1\"}",
       "Unknown documents parameter `filters`: the parameters are offset, "
       "limit, after, fields, filter."},
      {"[]", "expected a JSON object"},
      {"{\"limit\":", "expected a JSON object"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.request);
    EXPECT_EQ(lumidex_documents_list_json("r", row.request), nullptr);
    EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_LIST_PARAMETER);
    EXPECT_NE(last_error().find(row.names), std::string::npos) << last_error();
  }
  /* The request is checked first; then the index. */
  EXPECT_EQ(lumidex_documents_list_json("none", "{\"limit\":0}"), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_LIST_PARAMETER);
  EXPECT_EQ(lumidex_documents_list_json("none", "{}"), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
}

TEST_F(DocumentBulk, PartialUpdatesReplaceTheGivenMembersAndKeepTheOthers) {
  ASSERT_EQ(
      lumidex_documents_add(
          "u",
          "[{\"id\":\"a\",\"title\":\"old words\",\"n\":1,\"keep\":[1,2]},"
          "{\"id\":7,\"title\":\"seven\"}]"),
      2);
  struct Row {
    const char *what;
    const char *body;
    long long updated;
  } rows[] = {
      {"object", "{\"id\":\"a\",\"title\":\"new text\",\"extra\":1.50}", 1},
      {"ndjson, an integer id naming a string one, null stored",
       "{\"id\":\"7\",\"n\":null}\n\n{\"id\":\"b\",\"title\":\"fresh\"}\n", 2},
      {"array, one id twice applied in order",
       "[{\"id\":\"a\",\"n\":2},{\"id\":\"a\",\"n\":3,\"z\":true}]", 2},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(lumidex_documents_update("u", row.body, nullptr, nullptr),
              row.updated)
        << last_error();
  }
  EXPECT_EQ(get("u", "a"),
            "{\"id\":\"a\",\"title\":\"new text\",\"n\":3,\"keep\":[1,2],"
            "\"extra\":1.50,\"z\":true}");
  /* The primary key is a member like the others: as sent last. */
  EXPECT_EQ(get("u", "7"), "{\"id\":\"7\",\"title\":\"seven\",\"n\":null}");
  EXPECT_EQ(get("u", "b"), "{\"id\":\"b\",\"title\":\"fresh\"}");
  /* The terms follow the merged document: the new words find it, the
   * replaced ones no longer do, the kept ones still do. */
  Json fresh(lumidex_search("u", "new", 10, 0));
  EXPECT_EQ(fresh.integer("total_hits"), 1);
  Json old(lumidex_search("u", "old", 10, 0));
  EXPECT_EQ(old.integer("total_hits"), 0);
  Json seven(lumidex_search("u", "seven", 10, 0));
  EXPECT_EQ(seven.integer("total_hits"), 1);
  EXPECT_EQ(ids("u", "{}"), "a 7 b") << "insertion order is kept";
}

TEST_F(DocumentBulk, AFailedPartialUpdateWritesNothing) {
  ASSERT_EQ(lumidex_documents_add("v", "{\"id\":\"a\",\"n\":1}"), 1);
  struct Row {
    const char *body;
    lumidex_error_code code;
    unsigned long long position;
  } rows[] = {
      {"[{\"id\":\"a\",\"n\":2},{\"n\":3}]", LUMIDEX_ERROR_INVALID_BODY, 2},
      {"{\"id\":\"a\",\"n\":2}\n{\"id\":\"bad id\"}",
       LUMIDEX_ERROR_INVALID_BODY, 2},
      {"{\"id\":\"a\",\"n\":2}\n[1]", LUMIDEX_ERROR_INVALID_BODY, 2},
      {"", LUMIDEX_ERROR_INVALID_BODY, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.body);
    EXPECT_EQ(lumidex_documents_update("v", row.body, nullptr, nullptr), -1);
    EXPECT_EQ(lumidex_last_error_code(), row.code);
    unsigned long long position = 99;
    lumidex_last_error_position(&position, nullptr);
    EXPECT_EQ(position, row.position);
    EXPECT_EQ(get("v", "a"), "{\"id\":\"a\",\"n\":1}");
  }
  /* A missing index is made, as an addition makes it. */
  EXPECT_EQ(lumidex_documents_update("new", "{\"id\":1,\"t\":\"x\"}", nullptr,
                                     nullptr),
            1);
  EXPECT_EQ(get("new", "1"), "{\"id\":1,\"t\":\"x\"}");
}

TEST_F(DocumentBulk, DeletingByIdsCountsTheDocumentsThatWereThere) {
  add_numbered("d", 0, 6);
  ASSERT_EQ(lumidex_documents_add("d", "{\"id\":42}"), 1);
  struct Row {
    const char *ids;
    long long deleted;
    const char *left;
  } rows[] = {
      {"[]", 0, "d0 d1 d2 d3 d4 d5 42"},
      {"[\"nope\"]", 0, "d0 d1 d2 d3 d4 d5 42"},
      {"[\"d1\",\"d1\",\"missing\",\"d4\"]", 2, "d0 d2 d3 d5 42"},
      {"[\"42\",\"d1\"]", 1, "d0 d2 d3 d5"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.ids);
    EXPECT_EQ(lumidex_documents_delete_ids("d", row.ids, nullptr, nullptr),
              row.deleted)
        << last_error();
    std::string left;
    for (const char *id : {"d0", "d1", "d2", "d3", "d4", "d5", "42"})
      if (lumidex_document_get("d", id))
        left += (left.empty() ? "" : " ") + std::string(id);
    EXPECT_EQ(left, row.left);
  }
  Json stats(lumidex_index_stats_json("d"));
  EXPECT_EQ(stats.integer("document_count"), 4);
}

TEST_F(DocumentBulk, ABadIdListDeletesNothing) {
  add_numbered("e", 0, 3);
  struct Row {
    const char *ids;
    unsigned long long position;
  } rows[] = {
      {"{\"ids\":[\"d0\"]}", 0},
      {"[\"d0\",\"a b\"]", 2},
      {"[\"d0\",1.5]", 2},
      {"[null]", 1},
      {"[[\"d0\"]]", 1},
      {"", 0},
      {"[\"d0\"", 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.ids);
    EXPECT_EQ(lumidex_documents_delete_ids("e", row.ids, nullptr, nullptr), -1);
    EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_BODY);
    unsigned long long position = 99;
    lumidex_last_error_position(&position, nullptr);
    EXPECT_EQ(position, row.position) << last_error();
    EXPECT_EQ(ids("e", "{}"), "d0 d1 d2");
  }
  EXPECT_EQ(lumidex_documents_delete_ids("nope", "[\"a\"]", nullptr, nullptr),
            -1);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
}

TEST_F(DocumentBulk, DeletingEverythingKeepsTheIndexAndItsSettings) {
  add_numbered("all", 0, 150);
  ASSERT_NE(lumidex_settings_update_json(
                "all", "{\"displayedAttributes\":[\"t\"]}", nullptr, nullptr),
            nullptr);
  std::vector<std::pair<unsigned long long, unsigned long long>> seen;
  auto note = [](unsigned long long done, unsigned long long total, void *u) {
    static_cast<decltype(seen) *>(u)->emplace_back(done, total);
  };
  EXPECT_EQ(lumidex_documents_delete_all("all", note, &seen), 150);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), std::make_pair(150ull, 150ull));
  EXPECT_EQ(seen.front().first, 1ull) << "reported every 1%";
  EXPECT_EQ(ids("all", "{}"), "");
  EXPECT_EQ(lumidex_documents_delete_all("all", nullptr, nullptr), 0);
  EXPECT_NE(str(lumidex_settings_get_json("all")).find("[\"t\"]"),
            std::string::npos);
  ASSERT_EQ(lumidex_documents_add("all", "{\"id\":\"d3\",\"t\":\"again\"}"), 1);
  EXPECT_EQ(listed("all", "{}"), "[{\"id\":\"d3\",\"t\":\"again\"}]");
  EXPECT_EQ(lumidex_documents_delete_all("gone", nullptr, nullptr), -1);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
}

/* The listing's filter, and deleting by filter, match on the filterable
 * attributes as a search's filter does; refusals name the attribute. */
TEST_F(DocumentBulk, FiltersListAndDeleteTheMatchingDocuments) {
  add_numbered("flt", 0, 12);
  ASSERT_NE(
      lumidex_settings_update_json(
          "flt", "{\"filterableAttributes\":[\"n\",\"t\"]}", nullptr, nullptr),
      nullptr)
      << last_error();
  struct Row {
    const char *request;
    const char *ids;
  } rows[] = {
      {"{\"filter\":\"n < 3\"}", "d0 d1 d2"},
      {"{\"filter\":\"n 4 TO 6 OR t = word11\"}", "d4 d5 d6 d11"},
      {"{\"filter\":[\"n >= 2\",[\"t = word3\",\"t = word9\"]]}", "d3 d9"},
      {"{\"filter\":\"NOT n >= 2\",\"limit\":1,\"offset\":1}", "d1"},
      {"{\"filter\":\"n > 100\"}", ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.request);
    EXPECT_EQ(ids("flt", row.request), row.ids);
  }
  struct Bad {
    const char *request;
    const char *text;
  } bad[] = {
      {"{\"filter\":\"x = 1\"}",
       "Attribute `x` is not filterable; the filterable attributes are `n`, "
       "`t`."},
      {"{\"filter\":\"n >\"}", "at byte"},
      {"{\"filter\":5}", "filter"},
  };
  for (const Bad &row : bad) {
    SCOPED_TRACE(row.request);
    EXPECT_EQ(lumidex_documents_list_json("flt", row.request), nullptr);
    EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_FILTER);
    EXPECT_NE(last_error().find(row.text), std::string::npos) << last_error();
    EXPECT_EQ(lumidex_documents_delete_filter(
                  "flt", (std::string(row.request)).c_str(), nullptr, nullptr),
              -1);
    EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_FILTER);
  }
  for (const char *body : {"{}", "[]", "{\"filter\":\"n = 1\",\"x\":1}", ""}) {
    SCOPED_TRACE(body);
    EXPECT_EQ(lumidex_documents_delete_filter("flt", body, nullptr, nullptr),
              -1);
    EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INVALID_BODY);
  }
  EXPECT_EQ(ids("flt", "{}"), "d0 d1 d2 d3 d4 d5 d6 d7 d8 d9 d10 d11");
  EXPECT_EQ(lumidex_documents_delete_filter(
                "flt", "{\"filter\":\"n 2 TO 9 AND NOT t = word5\"}", nullptr,
                nullptr),
            7)
      << last_error();
  EXPECT_EQ(ids("flt", "{}"), "d0 d1 d5 d10 d11");
  EXPECT_EQ(lumidex_documents_delete_filter("flt", "{\"filter\":\"n > 50\"}",
                                            nullptr, nullptr),
            0);
  /* The export page: stored documents whatever is displayed, filtered. */
  ASSERT_NE(lumidex_settings_update_json(
                "flt", "{\"displayedAttributes\":[\"t\"]}", nullptr, nullptr),
            nullptr);
  const char *page =
      lumidex_documents_export_page_json("flt", 0, 2, "\"n >= 1\"");
  EXPECT_EQ(str(page),
            "{\"documents\":[{\"id\":\"d1\",\"n\":1,\"t\":\"word1\"},"
            "{\"id\":\"d5\",\"n\":5,\"t\":\"word5\"}],\"next\":6}");
  EXPECT_EQ(str(lumidex_documents_export_page_json("flt", 6, 2, "\"n >= 1\"")),
            "{\"documents\":[{\"id\":\"d10\",\"n\":10,\"t\":\"word10\"},"
            "{\"id\":\"d11\",\"n\":11,\"t\":\"word11\"}],\"next\":0}");
}
