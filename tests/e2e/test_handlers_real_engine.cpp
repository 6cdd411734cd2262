/*
 * test_handlers_real_engine.cpp: the documents, indexes and statistics
 * handlers against the real engine on a storage directory in a temporary
 * directory. Each handler call runs in a forked child with the CGI
 * environment, opening the engine, serving one request and closing the
 * engine again, as one CGI process does; the index files persist between
 * calls in the storage directory.
 */
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "lmx_common.h"
#include "expected_answers.h"
#include "lumidex_core.h"

namespace {

using answers::created;
using answers::entry;
using answers::envelope;
using answers::json_headers;
using answers::looked_up;

enum class BodyVia { None, File, Stdin };

struct Request {
  std::string method = "GET";
  std::optional<std::string> query;
  std::string body;
  BodyVia body_via = BodyVia::None;
};

struct Reply {
  std::string headers;
  std::string body;
  std::string side; /* what the child's after-step printed to stderr */
};

const std::string kDocDeleted =
    "{\"status\":\"succeeded\",\"taskUid\":1,\"type\":\"documentDeletion\"}\n";
const std::string kIndexDeleted =
    "{\"status\":\"succeeded\",\"taskUid\":1,\"type\":\"indexDeletion\"}\n";

std::string added(int n) {
  return "{\"status\":\"succeeded\",\"type\":\"documentAdditionOrUpdate\","
         "\"taskUid\":1,\"added\":" +
         std::to_string(n) + "}\n";
}

/* The engine's last error, JSON-escaped as the error envelope writes it. */
void print_last_error() {
  const char *text = lumidex_last_error();
  for (const char *p = text ? text : ""; *p; p++) {
    if (*p == '"' || *p == '\\') fputc('\\', stderr);
    fputc(*p, stderr);
  }
}

class LmxHandlersRealEngine : public ::testing::Test {
 protected:
  lmxtest::TempDir root_;
  std::string storage_ = root_.sub("storage");

  /* Serves req with handler in a fresh child; after, when given, runs in the
   * same child while the engine is still open, printing to stderr. */
  Reply serve(const std::function<void()> &handler, const Request &req,
              const std::function<void()> &after = nullptr) {
    lmxtest::ChildSpec job;
    job.env["LUMIDEX_STORAGE_DIR"] = storage_;
    job.env["REQUEST_METHOD"] = req.method;
    if (req.query) job.env["QUERY_STRING"] = *req.query;
    std::string body_path = root_.sub("body");
    if (req.body_via == BodyVia::File) {
      lmxtest::write_file(body_path, req.body);
      job.env["POST_BODY_FILE"] = body_path;
    } else if (req.body_via == BodyVia::Stdin) {
      job.env["CONTENT_LENGTH"] = std::to_string(req.body.size());
      job.stdin_kind = lmxtest::StdinKind::Pipe;
      job.stdin_bytes = req.body;
    }
    lmxtest::ChildResult res = lmxtest::run_child(
        [&]() {
          if (lmx_init_engine() != 0) {
            fputs("engine did not open", stderr);
            return;
          }
          handler();
          fflush(stdout);
          if (after) after();
          fflush(stderr);
          lmx_cleanup_engine();
        },
        job);
    Reply rep;
    lmxtest::split_response(res.out, &rep.headers, &rep.body);
    rep.side = res.err;
    std::remove(body_path.c_str());
    return rep;
  }

  Reply indexes(const char *name, const Request &req,
                const std::function<void()> &after = nullptr) {
    return serve([&]() { lmx_execute_indexes(name); }, req, after);
  }
  Reply documents(const char *name, const char *doc_id, const Request &req,
                  const std::function<void()> &after = nullptr) {
    return serve([&]() { lmx_execute_documents(name, doc_id); }, req, after);
  }
  Reply stats(const char *name, const std::function<void()> &after = nullptr) {
    return serve([&]() { lmx_execute_stats(name); }, Request{}, after);
  }

  static Request post(const std::string &body, BodyVia via) {
    Request req;
    req.method = "POST";
    req.body = body;
    req.body_via = via;
    return req;
  }
  static Request method(const char *m) {
    Request req;
    req.method = m;
    return req;
  }
};

/* Serves the request once and checks its status and body. */
#define EXPECT_REPLY(call, status, text)                    \
  do {                                                      \
    const Reply expect_reply_ = (call);                     \
    EXPECT_EQ(expect_reply_.headers, json_headers(status)); \
    EXPECT_EQ(expect_reply_.body, (text));                  \
  } while (0)

TEST_F(LmxHandlersRealEngine, IndexAndDocumentLifecycleGivesExactAnswers) {
  EXPECT_REPLY(
      indexes(nullptr, post("{\"uid\":\"books\",\"primaryKey\":\"isbn\"}",
                            BodyVia::File)),
      201, created("books", "isbn"));
  EXPECT_REPLY(indexes("films", method("POST")), 201, created("films", "id"));
  EXPECT_REPLY(
      indexes("books", method("POST")), 400,
      envelope("index_already_exists", "Index `books` already exists."));

  const std::string dune = "{\"isbn\":\"1\",\"title\":\"Dune\"}";
  const std::string emma = "{\"isbn\":\"2\",\"title\":\"Emma\"}";
  const std::string ulysses = "{\"isbn\":\"3\",\"title\":\"Ulysses\"}";
  EXPECT_REPLY(documents("books", nullptr,
                         post("[" + dune + ",\n " + emma + "]", BodyVia::File)),
               200, added(2));
  EXPECT_REPLY(documents("books", "", post(ulysses, BodyVia::Stdin)), 200,
               added(1));
  EXPECT_REPLY(documents("books", nullptr, method("GET")), 200,
               "[" + dune + "," + emma + "," + ulysses + "]\n");
  EXPECT_REPLY(documents("books", "2", method("GET")), 200, emma + "\n");

  EXPECT_REPLY(documents("books", "2", method("DELETE")), 200, kDocDeleted);
  EXPECT_REPLY(documents("books", "2", method("GET")), 404,
               envelope("document_not_found", "Document not found"));
  Reply again = documents("books", "2", method("DELETE"), print_last_error);
  EXPECT_REPLY(again, 404, envelope("document_not_found", again.side));
  EXPECT_NE(again.side, "");
  EXPECT_REPLY(documents("books", nullptr, method("GET")), 200,
               "[" + dune + "," + ulysses + "]\n");

  EXPECT_REPLY(indexes("", method("GET")), 200,
               "{\"results\":[" + entry("books", "isbn") + "," +
                   entry("films", "id") +
                   "],\"offset\":0,\"limit\":20,\"total\":2}\n");
  EXPECT_REPLY(indexes("books", method("GET")), 200,
               looked_up("books", "isbn"));
  EXPECT_REPLY(indexes("Books", method("GET")), 404,
               envelope("index_not_found", "Index not found"));

  /* The statistics slot is the engine's own text, read in the same process. */
  Reply st = stats("books",
                   []() { fputs(lumidex_index_stats_json("books"), stderr); });
  EXPECT_EQ(st.headers, json_headers(200));
  EXPECT_EQ(st.body,
            "{\"numberOfDocuments\":2,\"document_count\":2,"
            "\"isIndexing\":false,\"fieldDistribution\":{},\"stats\":" +
                st.side + "}\n");
  EXPECT_EQ(
      st.side.compare(0, 41, "{\"document_count\":2,\"primary_key\":\"isbn\","),
      0)
      << st.side;
  EXPECT_REPLY(stats("nosuch"), 404,
               envelope("index_not_found", "Index not found"));

  EXPECT_REPLY(indexes("books", method("DELETE")), 200, kIndexDeleted);
  EXPECT_REPLY(indexes("books", method("GET")), 404,
               envelope("index_not_found", "Index not found"));
  EXPECT_REPLY(indexes("books", method("DELETE")), 404,
               envelope("index_not_found", "Index `books` not found."));
  EXPECT_REPLY(stats("books"), 404,
               envelope("index_not_found", "Index not found"));
  EXPECT_REPLY(documents("books", nullptr, method("GET")), 200, "[]\n");
  EXPECT_REPLY(indexes(nullptr, method("GET")), 200,
               "{\"results\":[" + entry("films", "id") +
                   "],\"offset\":0,\"limit\":20,\"total\":1}\n");
}

TEST_F(LmxHandlersRealEngine, RefusedCreationsCreateNothing) {
  struct Row {
    const char *what;
    const char *name;
    std::string body;
    const char *engine_text_starts; /* the engine's reason */
  };
  const std::string long_name(200, 'n');
  const std::string name_128(128, 'm');
  const std::vector<Row> rows = {
      {"empty primary key", "books", "{\"primaryKey\":\"\"}",
       "Invalid primary key ``"},
      {"200-byte name in the body", nullptr, "{\"uid\":\"" + long_name + "\"}",
       "Invalid index name `nnnn"},
      {"128-byte name argument", name_128.c_str(), "",
       "Invalid index name `mmmm"},
      {"128-byte primary key", "books",
       "{\"primaryKey\":\"" + std::string(128, 'k') + "\"}",
       "Invalid primary key `kkkk"},
      {"name with a quote", "a\"b", "", "Invalid index name `a\\\"b`"},
  };
  for (const Row &row : rows) {
    Reply rep =
        indexes(row.name, post(row.body, BodyVia::Stdin), print_last_error);
    EXPECT_EQ(rep.headers, json_headers(400)) << row.what;
    EXPECT_EQ(rep.body, envelope("index_already_exists", rep.side)) << row.what;
    EXPECT_EQ(rep.side.rfind(row.engine_text_starts, 0), 0u)
        << row.what << ": " << rep.side;
  }
  EXPECT_REPLY(indexes(nullptr, method("GET")), 200,
               "{\"results\":[],\"offset\":0,\"limit\":20,\"total\":0}\n");
}

TEST_F(LmxHandlersRealEngine, LongestNamesAreCreatedAndAnsweredWhole) {
  const std::string name(127, 'x');
  const std::string key(127, 'k');
  EXPECT_REPLY(indexes(name.c_str(), post("{\"primary_key\":\"" + key + "\"}",
                                          BodyVia::File)),
               201, created(name, key));
  EXPECT_REPLY(indexes(name.c_str(), method("GET")), 200, looked_up(name, key));
}

TEST_F(LmxHandlersRealEngine, AdditionFailuresWriteNothing) {
  struct Row {
    const char *what;
    std::string body;
    BodyVia via;
    bool engine_text; /* the message is the engine's reason */
    std::string message;
  };
  const std::vector<Row> rows = {
      {"NUL byte in a body file",
       std::string("[{\"id\":\"1\"}]\0[{\"id\":\"2\"}]", 25), BodyVia::File,
       false, "Payload holds a NUL byte"},
      {"NUL byte on standard input", std::string("{\"id\":\"1\"}\0", 11),
       BodyVia::Stdin, false, "Payload holds a NUL byte"},
      {"not JSON", "[{\"id\":", BodyVia::Stdin, true, ""},
      {"document without its primary key", "[{\"title\":\"x\"}]", BodyVia::File,
       true, ""},
  };
  for (const Row &row : rows) {
    Reply rep =
        documents("books", nullptr, post(row.body, row.via), print_last_error);
    EXPECT_EQ(rep.headers, json_headers(400)) << row.what;
    std::string message = row.engine_text ? rep.side : row.message;
    EXPECT_EQ(rep.body, envelope("document_addition_failed", message))
        << row.what;
    if (row.engine_text) {
      EXPECT_NE(rep.side, "") << row.what;
    }
  }
  /* Nothing was added, so the index was never made. */
  EXPECT_REPLY(stats("books"), 404,
               envelope("index_not_found", "Index not found"));
  EXPECT_REPLY(documents("books", nullptr, post("", BodyVia::File)), 400,
               envelope("missing_payload", "Payload is required"));
}

}  // namespace
