/*
 * test_lmx_stats.cpp: the statistics handler against the engine test double:
 * the not-found and unparsable paths, the document-count rules on counts a
 * real engine never writes, and statistics texts long enough that a fixed
 * answer buffer would cut them.
 */
#include <gtest/gtest.h>
#include <yyjson.h>

#include <optional>
#include <string>
#include <vector>

#include "engine_double.h"
#include "handlers_harness.h"
#include "lmx_common.h"

namespace {

using hh::envelope;
using hh::json_headers;
using hh::Request;

std::string wrapped(const std::string &count, const std::string &stats) {
  return "{\"numberOfDocuments\":" + count + ",\"document_count\":" + count +
         ",\"isIndexing\":false,\"fieldDistribution\":{},\"stats\":" + stats +
         "}\n";
}

hh::Reply call(const char *index, const Request &req = Request{}) {
  return hh::run([&]() { lmx_execute_stats(index); }, req);
}

/* A statistics object of exactly len bytes with the given count. */
std::string stats_of_length(size_t len, int count) {
  std::string head =
      "{\"document_count\":" + std::to_string(count) + ",\"pad\":\"";
  std::string tail = "\"}";
  return head + std::string(len - head.size() - tail.size(), 'p') + tail;
}

TEST(LmxStats, AnswersNotFoundRawOrWrappedByTheEngineText) {
  struct Row {
    const char *what;
    const char *index;
    std::optional<std::string> stats;
    int status;
    std::string body;
    std::string log;
  };
  const std::string not_found = envelope("index_not_found", "Index not found");
  const std::string asked = "lumidex_index_stats_json(books)\n";
  const std::vector<Row> rows = {
      {"empty name", "", std::string("{}"), 400,
       envelope("missing_index_name", "Index name is required"), ""},
      {"null name", nullptr, std::string("{}"), 400,
       envelope("missing_index_name", "Index name is required"), ""},
      {"null result", "books", std::nullopt, 404, not_found, asked},
      {"the text null", "books", std::string("null"), 404, not_found, asked},
      {"null with spaces", "books", std::string(" null "), 200,
       wrapped("0", " null "), asked},
      {"not JSON", "books", std::string("plain words"), 200, "plain words\n",
       asked},
      {"count 3", "books",
       std::string("{\"document_count\":3, \"primary_key\":\"id\"}"), 200,
       wrapped("3", "{\"document_count\":3, \"primary_key\":\"id\"}"), asked},
      {"real 12.0", "books", std::string("{\"document_count\":12.0}"), 200,
       wrapped("0", "{\"document_count\":12.0}"), asked},
      {"string 12", "books", std::string("{\"document_count\":\"12\"}"), 200,
       wrapped("0", "{\"document_count\":\"12\"}"), asked},
      {"boolean", "books", std::string("{\"document_count\":true}"), 200,
       wrapped("0", "{\"document_count\":true}"), asked},
      {"minus one", "books", std::string("{\"document_count\":-1}"), 200,
       wrapped("4294967295", "{\"document_count\":-1}"), asked},
      {"2^32 + 5", "books", std::string("{\"document_count\":4294967301}"), 200,
       wrapped("5", "{\"document_count\":4294967301}"), asked},
      {"nested", "books", std::string("{\"index\":{\"document_count\":9}}"),
       200, wrapped("0", "{\"index\":{\"document_count\":9}}"), asked},
      {"first of two", "books",
       std::string("{\"document_count\":4,\"document_count\":8}"), 200,
       wrapped("4", "{\"document_count\":4,\"document_count\":8}"), asked},
      {"root array", "books", std::string("[{\"document_count\":2}]"), 200,
       wrapped("0", "[{\"document_count\":2}]"), asked},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().stats = row.stats;
    hh::Reply rep = call(row.index);
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.body) << row.what;
    EXPECT_EQ(rep.log, row.log) << row.what;
  }
}

TEST(LmxStats, LongStatisticsAreWrappedWholeAsValidJson) {
  /* 930 and 931 bytes sit on either side of a 1024-byte answer with one-digit
   * counts; the longer ones are far beyond it. */
  for (size_t len : {930u, 931u, 4000u, 70000u}) {
    for (int count : {7, 2000000000}) {
      dbl::reset();
      std::string stats = stats_of_length(len, count);
      ASSERT_EQ(stats.size(), len);
      dbl::script().stats = stats;
      hh::Reply rep = call("books");
      ASSERT_EQ(rep.status, 200) << len;
      const std::string c = std::to_string(count);
      EXPECT_EQ(rep.body, wrapped(c, stats)) << len << " " << count;
      yyjson_doc *doc = yyjson_read(rep.body.data(), rep.body.size(), 0);
      ASSERT_NE(doc, nullptr) << len;
      yyjson_val *inner = yyjson_obj_get(yyjson_doc_get_root(doc), "stats");
      /* The whole pad survived: the text ends with the pad and "}. */
      EXPECT_EQ(yyjson_get_len(yyjson_obj_get(inner, "pad")),
                len - stats.find("\":\"p") - 5);
      yyjson_doc_free(doc);
    }
  }
}

TEST(LmxStats, EveryMethodGetsTheSameAnswer) {
  dbl::reset();
  dbl::script().stats = std::string("{\"document_count\":2}");
  Request get;
  hh::Reply expected = call("books", get);
  ASSERT_EQ(expected.body, wrapped("2", "{\"document_count\":2}"));
  for (std::optional<std::string> method :
       {std::optional<std::string>("DELETE"),
        std::optional<std::string>("POST"), std::optional<std::string>("put"),
        std::optional<std::string>()}) {
    Request req;
    req.method = method;
    hh::Reply rep = call("books", req);
    EXPECT_EQ(rep.raw, expected.raw) << (method ? *method : "<unset>");
  }
}

}  // namespace
