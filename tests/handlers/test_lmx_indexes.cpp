/*
 * test_lmx_indexes.cpp: the indexes handler against the engine test double:
 * dispatch, listing, lookup, creation and deletion, with exact answers and
 * the exact engine calls, including engine answers a real engine never gives
 * (odd list elements, duplicate names, empty error texts) and names that
 * need escaping or are longer than any buffer.
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

using hh::BodyVia;
using hh::envelope;
using hh::json_headers;
using hh::Request;
using answers::created;
using answers::entry;
using answers::looked_up;

const std::string kEmptyListing =
    "{\"results\":[],\"offset\":0,\"limit\":20,\"total\":0}\n";

hh::Reply call(const char *index, const Request &req) {
  return hh::run([&]() { lmx_execute_indexes(index); }, req);
}

/* The string member key of the JSON object text, or nullopt when the text
 * does not parse or has no such string. */
std::optional<std::string> json_member(const std::string &text,
                                       const char *key) {
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  if (!doc) return std::nullopt;
  yyjson_val *v = yyjson_obj_get(yyjson_doc_get_root(doc), key);
  std::optional<std::string> out;
  if (yyjson_is_str(v)) out = std::string(yyjson_get_str(v), yyjson_get_len(v));
  yyjson_doc_free(doc);
  return out;
}

TEST(LmxIndexes, MethodsMatchExactlyAndAnUnsetMethodIsGet) {
  struct Row {
    std::optional<std::string> method;
    int status;
    std::string body;
    std::string log;
  };
  const std::vector<Row> rows = {
      {std::string("PUT"), 405,
       envelope("method_not_allowed", "Method not allowed"), ""},
      {std::string("PATCH"), 405,
       envelope("method_not_allowed", "Method not allowed"), ""},
      {std::string("HEAD"), 405,
       envelope("method_not_allowed", "Method not allowed"), ""},
      {std::string("get"), 405,
       envelope("method_not_allowed", "Method not allowed"), ""},
      {std::nullopt, 200, kEmptyListing, "lumidex_indexes_list_json()\n"},
      {std::string(""), 200, kEmptyListing, "lumidex_indexes_list_json()\n"},
  };
  for (const Row &row : rows) {
    dbl::reset();
    Request req;
    req.method = row.method;
    hh::Reply rep = call(nullptr, req);
    std::string what = row.method ? *row.method : "<unset>";
    EXPECT_EQ(rep.headers, json_headers(row.status)) << what;
    EXPECT_EQ(rep.body, row.body) << what;
    EXPECT_EQ(rep.log, row.log) << what;
  }
}

TEST(LmxIndexes, ListingCopiesEveryElementWithDefaults) {
  struct Row {
    const char *what;
    std::optional<std::string> list;
    std::string body;
  };
  const std::vector<Row> rows = {
      {"empty array", std::string("[]"), kEmptyListing},
      {"null list", std::nullopt, kEmptyListing},
      {"not JSON", std::string("[{\"name\":"), kEmptyListing},
      {"root object", std::string("{\"name\":\"books\"}"), kEmptyListing},
      {"odd elements",
       std::string("[{\"name\":\"books\",\"primary_key\":\"isbn\","
                   "\"document_count\":3},{\"name\":\"films\"},5,\"x\",null,"
                   "{\"name\":7,\"primary_key\":false}]"),
       "{\"results\":[" + entry("books", "isbn") + "," + entry("films", "id") +
           "," + entry("", "id") + "," + entry("", "id") + "," +
           entry("", "id") + "," + entry("", "id") +
           "],\"offset\":0,\"limit\":20,\"total\":6}\n"},
      {"duplicate names",
       std::string("[{\"name\":\"a\",\"primary_key\":\"k1\"},"
                   "{\"name\":\"a\",\"primary_key\":\"k2\"}]"),
       "{\"results\":[" + entry("a", "k1") + "," + entry("a", "k2") +
           "],\"offset\":0,\"limit\":20,\"total\":2}\n"},
      {"name needing escapes",
       std::string("[{\"name\":\"a\\\"b\\\\c\",\"primary_key\":\"k\\u0001\"}]"),
       "{\"results\":[" + entry("a\\\"b\\\\c", "k\\u0001") +
           "],\"offset\":0,\"limit\":20,\"total\":1}\n"},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().indexes_list = row.list;
    hh::Reply rep = call("", Request{});
    EXPECT_EQ(rep.headers, json_headers(200)) << row.what;
    EXPECT_EQ(rep.body, row.body) << row.what;
    EXPECT_EQ(rep.log, "lumidex_indexes_list_json()\n") << row.what;
  }
}

TEST(LmxIndexes, ListingHoldsEveryIndexWhateverTheQueryString) {
  dbl::reset();
  std::string list = "[";
  std::string results;
  for (int i = 0; i < 25; i++) {
    std::string name = "idx" + std::to_string(i);
    list += (i ? "," : "") + std::string("{\"name\":\"") + name + "\"}";
    results += (i ? "," : "") + entry(name, "id");
  }
  list += "]";
  dbl::script().indexes_list = list;
  Request req;
  req.query = "limit=5&offset=3";
  hh::Reply rep = call(nullptr, req);
  EXPECT_EQ(rep.body, "{\"results\":[" + results +
                          "],\"offset\":0,\"limit\":20,\"total\":25}\n");
}

TEST(LmxIndexes, LookupFindsTheFirstExactNameOrAnswersNotFound) {
  const std::string list =
      "[5,{\"name\":7},{\"name\":\"books\",\"primary_key\":\"isbn\"},"
      "{\"name\":\"books\",\"primary_key\":\"other\"},{\"name\":\"films\"},"
      "{\"name\":\"a\\\"b\\\\\",\"primary_key\":\"k\\\"\\n\"}]";
  struct Row {
    const char *what;
    std::optional<std::string> list;
    const char *name;
    int status;
    std::string body;
  };
  const std::string not_found = envelope("index_not_found", "Index not found");
  const std::vector<Row> rows = {
      {"first of duplicates", list, "books", 200, looked_up("books", "isbn")},
      {"no primary key", list, "films", 200, looked_up("films", "id")},
      {"escaped name and key", list, "a\"b\\", 200,
       looked_up("a\\\"b\\\\", "k\\\"\\n")},
      {"differs in case", list, "Books", 404, not_found},
      {"numeric name never matches", list, "7", 404, not_found},
      {"empty array", std::string("[]"), "books", 404, not_found},
      {"root object", std::string("{\"name\":\"books\"}"), "books", 404,
       not_found},
      {"not JSON", std::string("[{"), "books", 404, not_found},
      {"null list", std::nullopt, "books", 404, not_found},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().indexes_list = row.list;
    dbl::script().last_error = std::string("engine text never shown");
    hh::Reply rep = call(row.name, Request{});
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.body) << row.what;
    EXPECT_EQ(rep.log, "lumidex_indexes_list_json()\n") << row.what;
  }
}

TEST(LmxIndexes, LookupOfALongHostileNameIsCompleteJson) {
  /* Every byte doubles or grows sixfold when escaped; the answer must still
   * hold the whole name. */
  std::string name;
  for (int i = 0; i < 100; i++) name += "\"\\\x01";
  std::string list_name;
  for (int i = 0; i < 100; i++) list_name += "\\\"\\\\\\u0001";
  dbl::reset();
  dbl::script().indexes_list = "[{\"name\":\"" + list_name + "\"}]";
  hh::Reply rep = call(name.c_str(), Request{});
  ASSERT_EQ(rep.status, 200);
  EXPECT_EQ(json_member(rep.body, "uid"), name);
  EXPECT_EQ(json_member(rep.body, "name"), name);
  EXPECT_EQ(json_member(rep.body, "updatedAt"), "2026-09-06T00:00:00Z");
}

TEST(LmxIndexes, CreationTakesTheNameFromBodyArgumentOrQuery) {
  struct Row {
    const char *what;
    const char *index;
    std::string body;
    BodyVia via;
    std::optional<std::string> query;
    int status;
    std::string answer;
    std::string log;
    int result = 0; /* the engine's answer to the creation */
    std::optional<std::string> last_error = std::nullopt;
  };
  const std::vector<Row> rows = {
      {"uid before name", "arg", "{\"name\":\"n\",\"uid\":\"u\"}",
       BodyVia::Stdin, std::nullopt, 201, created("u", "id"),
       "lumidex_index_create(u|id)\n"},
      {"numeric uid hides name", "arg", "{\"uid\":5,\"name\":\"n\"}",
       BodyVia::File, std::nullopt, 201, created("arg", "id"),
       "lumidex_index_create(arg|id)\n"},
      {"body wins over argument", "arg", "{\"name\":\"n\"}", BodyVia::File,
       std::nullopt, 201, created("n", "id"), "lumidex_index_create(n|id)\n"},
      {"argument without body", "arg", "", BodyVia::None, std::string("uid=q"),
       201, created("arg", "id"), "lumidex_index_create(arg|id)\n"},
      {"body not JSON, query uid", nullptr, "uid=zz", BodyVia::Stdin,
       std::string("uid=x"), 201, created("x", "id"),
       "lumidex_index_create(x|id)\n"},
      {"empty query name, then uid", "", "[\"arr\"]", BodyVia::Stdin,
       std::string("name=&uid=y"), 201, created("y", "id"),
       "lumidex_index_create(y|id)\n"},
      {"query name before uid", "", "", BodyVia::None,
       std::string("uid=y&name=m%20n"), 201, created("m n", "id"),
       "lumidex_index_create(m n|id)\n"},
      {"no name anywhere", "", "{\"uid\":\"\"}", BodyVia::Stdin,
       std::string("name="), 400,
       envelope("missing_index_uid", "Index uid/name is required"), ""},
      {"empty primary key", "b", "{\"primaryKey\":\"\",\"primary_key\":\"x\"}",
       BodyVia::Stdin, std::nullopt, 201, created("b", ""),
       "lumidex_index_create(b|)\n"},
      {"numeric primaryKey hides primary_key", "b",
       "{\"primaryKey\":1,\"primary_key\":\"isbn\"}", BodyVia::Stdin,
       std::nullopt, 201, created("b", "id"), "lumidex_index_create(b|id)\n"},
      {"primary_key alone", "b", "{\"primary_key\":\"isbn\"}", BodyVia::Stdin,
       std::nullopt, 201, created("b", "isbn"),
       "lumidex_index_create(b|isbn)\n"},
      {"escaped in the answer", nullptr,
       "{\"uid\":\"a\\\"b\\\\c\\td\",\"primaryKey\":\"k\\u001f\"}",
       BodyVia::Stdin, std::nullopt, 201,
       created("a\\\"b\\\\c\\td", "k\\u001f"),
       "lumidex_index_create(a\"b\\c\td|k\x1f)\n"},
      {"NUL inside the body's name", "arg", "{\"uid\":\"ab\\u0000c\"}",
       BodyVia::Stdin, std::nullopt, 400,
       envelope("index_already_exists",
                "Index name or primary key holds a NUL byte"),
       ""},
      {"NUL inside the primary key", "arg", "{\"primaryKey\":\"i\\u0000d\"}",
       BodyVia::Stdin, std::nullopt, 400,
       envelope("index_already_exists",
                "Index name or primary key holds a NUL byte"),
       ""},
      {"refused with a reason", "books", "", BodyVia::None, std::nullopt, 400,
       envelope("index_already_exists", "index books already exists"),
       "lumidex_index_create(books|id)\nlumidex_last_error()\n", -1,
       std::string("index books already exists")},
      {"refused with an empty reason", "books", "", BodyVia::None, std::nullopt,
       400, envelope("index_already_exists", "Index creation failed"),
       "lumidex_index_create(books|id)\nlumidex_last_error()\n", 1,
       std::string("")},
      {"refused without a reason", "books", "", BodyVia::None, std::nullopt,
       400, envelope("index_already_exists", "Index creation failed"),
       "lumidex_index_create(books|id)\nlumidex_last_error()\n", -1},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().index_create_result = row.result;
    dbl::script().last_error = row.last_error;
    Request req;
    req.method = "POST";
    req.body = row.body;
    req.body_via = row.via;
    req.query = row.query;
    hh::Reply rep = call(row.index, req);
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.answer) << row.what;
    EXPECT_EQ(rep.log, row.log) << row.what;
  }
}

TEST(LmxIndexes, CreationHandsLongNamesAndKeysToTheEngineWhole) {
  const std::string name(200, 'n');
  const std::string key(300, 'k');
  /* An engine that accepted them: the answer holds both whole. */
  dbl::reset();
  Request req;
  req.method = "POST";
  req.body = "{\"uid\":\"" + name + "\",\"primaryKey\":\"" + key + "\"}";
  req.body_via = BodyVia::File;
  hh::Reply ok = call(nullptr, req);
  EXPECT_EQ(ok.status, 201);
  EXPECT_EQ(ok.body, created(name, key));
  EXPECT_EQ(ok.log, "lumidex_index_create(" + name + "|" + key + ")\n");

  /* The name argument is not cut either. */
  dbl::reset();
  dbl::script().index_create_result = -1;
  dbl::script().last_error = std::string("invalid index name");
  Request bare;
  bare.method = "POST";
  hh::Reply refused = call(name.c_str(), bare);
  EXPECT_EQ(refused.headers, json_headers(400));
  EXPECT_EQ(refused.body,
            envelope("index_already_exists", "invalid index name"));
  EXPECT_EQ(refused.log,
            "lumidex_index_create(" + name + "|id)\nlumidex_last_error()\n");
}

TEST(LmxIndexes, DeletionNeedsTheArgumentAndAnswersRefusals404) {
  struct Row {
    const char *what;
    const char *index;
    int result;
    std::optional<std::string> last_error;
    int status;
    std::string body;
    std::string log;
  };
  const std::vector<Row> rows = {
      {"empty name, named elsewhere", "", 0, std::nullopt, 400,
       envelope("missing_index_uid", "Index uid/name is required"), ""},
      {"null name", nullptr, 0, std::nullopt, 400,
       envelope("missing_index_uid", "Index uid/name is required"), ""},
      {"deleted", "books", 0, std::nullopt, 200,
       "{\"status\":\"succeeded\",\"taskUid\":1,\"type\":\"indexDeletion\"}\n",
       "lumidex_index_delete(books)\n"},
      {"engine text", "books", -1, std::string("no index books"), 404,
       envelope("index_not_found", "no index books"),
       "lumidex_index_delete(books)\nlumidex_last_error()\n"},
      {"empty engine text", "books", 2, std::string(""), 404,
       envelope("index_not_found", "Index not found"),
       "lumidex_index_delete(books)\nlumidex_last_error()\n"},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().index_delete_result = row.result;
    dbl::script().last_error = row.last_error;
    Request req;
    req.method = "DELETE";
    req.query = "name=books&uid=books";
    req.body = "{\"uid\":\"books\"}";
    req.body_via = BodyVia::Stdin;
    hh::Reply rep = call(row.index, req);
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.body) << row.what;
    EXPECT_EQ(rep.log, row.log) << row.what;
  }
}

}  // namespace
