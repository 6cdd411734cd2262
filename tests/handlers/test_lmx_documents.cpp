/*
 * test_lmx_documents.cpp: the documents handler against the engine test
 * double: dispatch, addition, listing, fetch and deletion, each with the
 * exact answer and the exact engine calls.
 */
#include <gtest/gtest.h>

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

const std::string kDeleted =
    "{\"status\":\"succeeded\",\"taskUid\":1,\"type\":\"documentDeletion\"}\n";

std::string added(const std::string &n) {
  return "{\"status\":\"succeeded\",\"type\":\"documentAdditionOrUpdate\","
         "\"taskUid\":1,\"added\":" +
         n + "}\n";
}

hh::Reply call(const char *index, const char *doc_id, const Request &req) {
  return hh::run([&]() { lmx_execute_documents(index, doc_id); }, req);
}

TEST(LmxDocuments, NameIsCheckedBeforeTheMethodAndMethodsMatchExactly) {
  struct Row {
    const char *what;
    std::optional<std::string> method;
    const char *index;
    int status;
    std::string body;
    std::string log;
  };
  const std::vector<Row> rows = {
      {"empty name with PUT", std::string("PUT"), "", 400,
       envelope("missing_index_name", "Index name is required"), ""},
      {"null name with POST", std::string("POST"), nullptr, 400,
       envelope("missing_index_name", "Index name is required"), ""},
      {"lower-case delete", std::string("delete"), "books", 405,
       envelope("method_not_allowed", "Method not allowed"), ""},
      {"PATCH", std::string("PATCH"), "books", 405,
       envelope("method_not_allowed", "Method not allowed"), ""},
      {"HEAD", std::string("HEAD"), "books", 405,
       envelope("method_not_allowed", "Method not allowed"), ""},
      {"unset method lists", std::nullopt, "books", 200, "[]\n",
       "lumidex_search(books||20|0)\n"},
      {"empty method lists", std::string(""), "books", 200, "[]\n",
       "lumidex_search(books||20|0)\n"},
  };
  for (const Row &row : rows) {
    dbl::reset();
    Request req;
    req.method = row.method;
    hh::Reply rep = call(row.index, "", req);
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.body) << row.what;
    EXPECT_EQ(rep.log, row.log) << row.what;
  }
}

TEST(LmxDocuments, AdditionAnswersTheCountOrTheEngineFailure) {
  struct Row {
    const char *what;
    BodyVia via;
    std::string body;
    int add_result;
    std::optional<std::string> last_error;
    int status;
    std::string answer;
    std::string log;
  };
  const std::string docs = "[{\"id\":\"1\"},{\"id\":\"2\"}]";
  const std::vector<Row> rows = {
      {"no body at all", BodyVia::None, "", 0, std::nullopt, 400,
       envelope("missing_payload", "Payload is required"), ""},
      {"empty body file", BodyVia::File, "", 0, std::nullopt, 400,
       envelope("missing_payload", "Payload is required"), ""},
      {"body file", BodyVia::File, docs, 2, std::nullopt, 200, added("2"),
       "lumidex_documents_add(books|" + docs + ")\n"},
      {"standard input", BodyVia::Stdin, docs, 2, std::nullopt, 200, added("2"),
       "lumidex_documents_add(books|" + docs + ")\n"},
      {"engine adds none", BodyVia::Stdin, "[]", 0, std::nullopt, 200,
       added("0"), "lumidex_documents_add(books|[])\n"},
      {"largest count", BodyVia::Stdin, docs, 2147483647, std::nullopt, 200,
       added("2147483647"), "lumidex_documents_add(books|" + docs + ")\n"},
      {"engine text", BodyVia::Stdin, "{", -1,
       std::string("Body is not \"JSON\""), 400,
       envelope("document_addition_failed", "Body is not \\\"JSON\\\""),
       "lumidex_documents_add(books|{)\nlumidex_last_error()\n"},
      {"empty engine text", BodyVia::Stdin, "{", -1, std::string(""), 400,
       envelope("document_addition_failed", "Failed to add documents"),
       "lumidex_documents_add(books|{)\nlumidex_last_error()\n"},
      {"null engine text", BodyVia::Stdin, "{", -7, std::nullopt, 400,
       envelope("document_addition_failed", "Failed to add documents"),
       "lumidex_documents_add(books|{)\nlumidex_last_error()\n"},
      {"NUL byte in a body file", BodyVia::File,
       std::string("[{\"id\":\"1\"}]\0[{\"id\":\"2\"}]", 25), 1, std::nullopt,
       400, envelope("document_addition_failed", "Payload holds a NUL byte"),
       ""},
      {"NUL byte on standard input", BodyVia::Stdin, std::string("\0[]", 3), 1,
       std::nullopt, 400,
       envelope("document_addition_failed", "Payload holds a NUL byte"), ""},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().add_result = row.add_result;
    dbl::script().last_error = row.last_error;
    Request req;
    req.method = "POST";
    req.body = row.body;
    req.body_via = row.via;
    hh::Reply rep = call("books", "", req);
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.answer) << row.what;
    EXPECT_EQ(rep.log, row.log) << row.what;
  }
}

/* Only the router's entry names a document beyond the engine's limits; the
 * plain handler answers every failed addition alike, and neither asks for
 * the code after a success. */
TEST(LmxDocuments, OnlyTheRoutedEntryAnswersDocumentTooLarge) {
  struct Row {
    const char *what;
    bool routed;
    int add_result;
    int code;
    int status;
    std::string answer;
    std::string log;
  };
  const std::string text =
      "Document at position 2 is too large: it holds "
      "more than 1000000 words, the most a document "
      "may hold.";
  const std::string add = "lumidex_documents_add(books|[])\n";
  const std::vector<Row> rows = {
      {"routed, too large", true, -1, 8, 400,
       envelope("document_too_large", text),
       add + "lumidex_last_error_code()\nlumidex_last_error()\n"},
      {"routed, other failure", true, -1, 7, 400,
       envelope("document_addition_failed", text),
       add + "lumidex_last_error_code()\nlumidex_last_error()\n"},
      {"routed, success", true, 2, 8, 200, added("2"), add},
      {"plain, too large", false, -1, 8, 400,
       envelope("document_addition_failed", text),
       add + "lumidex_last_error()\n"},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().add_result = row.add_result;
    dbl::script().last_error = text;
    dbl::script().last_error_code = row.code;
    Request req;
    req.method = "POST";
    req.body = "[]";
    req.body_via = BodyVia::Stdin;
    hh::Reply rep = hh::run(
        [&]() {
          if (row.routed)
            lmx_execute_documents_routed("books", "");
          else
            lmx_execute_documents("books", "");
        },
        req);
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.answer) << row.what;
    EXPECT_EQ(rep.log, row.log) << row.what;
  }
}

TEST(LmxDocuments, AdditionIgnoresTheDocumentIdentifier) {
  dbl::reset();
  dbl::script().add_result = 1;
  Request req;
  req.method = "POST";
  req.body = "{\"id\":\"7\"}";
  req.body_via = BodyVia::Stdin;
  hh::Reply with_id = call("books", "99", req);
  hh::Reply without = call("books", nullptr, req);
  EXPECT_EQ(with_id.raw, without.raw);
  EXPECT_EQ(with_id.log, without.log);
  EXPECT_EQ(with_id.log, "lumidex_documents_add(books|{\"id\":\"7\"})\n");
}

TEST(LmxDocuments, ListingAnswersTheHitsMemberCompactOrAnEmptyArray) {
  struct Row {
    const char *what;
    std::optional<std::string> search;
    std::string body;
  };
  const std::vector<Row> rows = {
      {"hits among other members, spaced",
       std::string("{ \"query\" : \"\",\n \"hits\" : [ {\"id\" : \"1\", "
                   "\"t\" : [1, 2]} ],\n \"total_hits\" : 1 }"),
       "[{\"id\":\"1\",\"t\":[1,2]}]\n"},
      {"hits holding null", std::string("{\"hits\":null}"), "null\n"},
      {"hits holding an object", std::string("{\"hits\":{\"a\": 1}}"),
       "{\"a\":1}\n"},
      {"hits holding a string", std::string("{\"hits\":\"x\\\"y\"}"),
       "\"x\\\"y\"\n"},
      {"first of two hits members", std::string("{\"hits\":[1],\"hits\":[2]}"),
       "[1]\n"},
      {"root array", std::string("[{\"hits\":[1]}]"), "[]\n"},
      {"key differing in case", std::string("{\"Hits\":[1]}"), "[]\n"},
      {"no hits member", std::string("{\"total_hits\":0}"), "[]\n"},
      {"not JSON", std::string("index books not found"), "[]\n"},
      {"null result", std::nullopt, "[]\n"},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().search = row.search;
    dbl::script().last_error = std::string("engine failure");
    hh::Reply rep = call("books", nullptr, Request{});
    EXPECT_EQ(rep.headers, json_headers(200)) << row.what;
    EXPECT_EQ(rep.body, row.body) << row.what;
    /* The listing never asks the engine why. */
    EXPECT_EQ(rep.log, "lumidex_search(books||20|0)\n") << row.what;
  }
}

/* Numbers are listed with the text they were stored with: no rounding of
 * long integers, no trailing zeros dropped, and a number beyond a double's
 * range does not turn the whole listing into "[]". */
TEST(LmxDocuments, ListingKeepsEveryNumberAsStored) {
  const std::vector<std::string> numbers = {"123456789012345678901234567890",
                                            "1.50",
                                            "1e400",
                                            "-1E-400",
                                            "1e2",
                                            "-0",
                                            "0.1",
                                            "18446744073709551616",
                                            "7"};
  for (const std::string &n : numbers) {
    dbl::reset();
    dbl::script().search =
        "{\"hits\": [ {\"id\":1, \"n\": " + n + "}, {\"m\":[" + n + "]} ]}";
    hh::Reply rep = call("books", nullptr, Request{});
    EXPECT_EQ(rep.headers, json_headers(200)) << n;
    EXPECT_EQ(rep.body, "[{\"id\":1,\"n\":" + n + "},{\"m\":[" + n + "]}]\n")
        << n;
  }
}

TEST(LmxDocuments, FetchAnswersTheEngineTextOrAFixedNotFound) {
  dbl::reset();
  const std::string doc = "{\"id\":\"7\", \"title\":\"Dune\"}";
  dbl::script().document = doc;
  hh::Reply found = call("books", "7", Request{});
  EXPECT_EQ(found.headers, json_headers(200));
  EXPECT_EQ(found.body, doc + "\n");
  EXPECT_EQ(found.log, "lumidex_document_get(books|7)\n");

  dbl::reset();
  dbl::script().document = std::nullopt;
  dbl::script().last_error = std::string("no document 8 in books");
  hh::Reply missing = call("books", "8", Request{});
  EXPECT_EQ(missing.headers, json_headers(404));
  EXPECT_EQ(missing.body, envelope("document_not_found", "Document not found"));
  EXPECT_EQ(missing.log, "lumidex_document_get(books|8)\n");
}

TEST(LmxDocuments, DeletionNeedsAnIdentifierAndAnswersEveryFailure404) {
  struct Row {
    const char *what;
    const char *doc_id;
    int result;
    std::optional<std::string> last_error;
    int status;
    std::string body;
    std::string log;
  };
  const std::vector<Row> rows = {
      {"empty identifier", "", 0, std::nullopt, 400,
       envelope("missing_document_id", "Document ID is required for deletion"),
       ""},
      {"null identifier", nullptr, 0, std::nullopt, 400,
       envelope("missing_document_id", "Document ID is required for deletion"),
       ""},
      {"deleted", "7", 0, std::nullopt, 200, kDeleted,
       "lumidex_document_delete(books|7)\n"},
      {"engine text", "8", -1, std::string("no document 8"), 404,
       envelope("document_not_found", "no document 8"),
       "lumidex_document_delete(books|8)\nlumidex_last_error()\n"},
      {"positive result, empty text", "8", 1, std::string(""), 404,
       envelope("document_not_found", "Document not found"),
       "lumidex_document_delete(books|8)\nlumidex_last_error()\n"},
      {"null text", "8", -1, std::nullopt, 404,
       envelope("document_not_found", "Document not found"),
       "lumidex_document_delete(books|8)\nlumidex_last_error()\n"},
  };
  for (const Row &row : rows) {
    dbl::reset();
    dbl::script().document_delete_result = row.result;
    dbl::script().last_error = row.last_error;
    Request req;
    req.method = "DELETE";
    hh::Reply rep = call("books", row.doc_id, req);
    EXPECT_EQ(rep.headers, json_headers(row.status)) << row.what;
    EXPECT_EQ(rep.body, row.body) << row.what;
    EXPECT_EQ(rep.log, row.log) << row.what;
  }
}

}  // namespace
