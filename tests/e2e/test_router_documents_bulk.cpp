/*
 * test_router_documents_bulk.cpp: api_router's documents routes beyond the
 * specified ones, as a CGI process and through a real lighttpd (CGI and
 * FastCGI), on a real engine: the listing's limit, offset and fields and
 * its refusals, partial updates (PATCH), deletions by ids and of every
 * document, the routes of documents named "delete" and "delete-batch",
 * the write key, and the Allow line.
 */
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "expected_answers.h"
#include "lighttpd.h"

namespace {

using lmxtest::CgiRequest;
using lmxtest::ChildResult;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kRender =
    std::string(LMX_SOURCE_DIR) + "/deploy/render-lighttpd-conf";

/* Status and body of one CGI request. */
struct Answer {
  int status = 0;
  std::string body;
  std::string raw;
};

Answer cgi(const std::string &storage, const CgiRequest &req) {
  ChildResult r = lmxtest::run_cgi(kRouter, req, storage);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return Answer{lmxtest::response_status(r.out), lmxtest::response_body(r.out),
                r.out};
}

std::string doc(int k) {
  return "{\"id\":\"d" + std::to_string(k) + "\",\"n\":" + std::to_string(k) +
         ",\"price\":" + std::to_string(k) + ".50,\"tag\":\"t" +
         std::to_string(k % 3) + "\"}";
}

/* A storage directory whose index "docs" holds doc(0) .. doc(n-1). */
class Seeded {
 public:
  explicit Seeded(int n) {
    std::string body = "[";
    for (int k = 0; k < n; ++k) body += (k ? "," : "") + doc(k);
    body += "]";
    Answer a = cgi(dir_.path(), {"POST", "/indexes/docs/documents", body});
    EXPECT_EQ(a.status, 200) << a.raw;
  }
  const std::string &path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

/* The JSON array of doc(k) for k in ks. */
std::string docs(const std::vector<int> &ks) {
  std::string out = "[";
  for (size_t i = 0; i < ks.size(); ++i) out += (i ? "," : "") + doc(ks[i]);
  return out + "]";
}

std::string range(int from, int to) {
  std::vector<int> ks;
  for (int k = from; k < to; ++k) ks.push_back(k);
  return docs(ks);
}

std::string deleted(int n) {
  return "{\"status\":\"succeeded\",\"type\":\"documentDeletion\","
         "\"taskUid\":1,\"deleted\":" +
         std::to_string(n) + "}\n";
}

std::string updated(int n) {
  return "{\"status\":\"succeeded\",\"type\":\"documentAdditionOrUpdate\","
         "\"taskUid\":1,\"updated\":" +
         std::to_string(n) + "}\n";
}

}  // namespace

TEST(RouterDocumentsBulk, TheListingReadsLimitOffsetAndFields) {
  Seeded s(30);
  struct Row {
    std::string query;
    std::string body;
  } rows[] = {
      {"", range(0, 20)},
      {"limit=3", range(0, 3)},
      {"limit=1000", range(0, 30)},
      {"offset=28", range(28, 30)},
      {"offset=2&limit=2", range(2, 4)},
      {"offset=30", "[]"},
      {"after=2&limit=2", range(2, 4)},
      {"limit=1&fields=price", "[{\"id\":\"d0\",\"price\":0.50}]"},
      {"limit=1&fields=tag,n", "[{\"id\":\"d0\",\"n\":0,\"tag\":\"t0\"}]"},
      {"limit=1&fields=%2A", range(0, 1)},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.query);
    Answer a =
        cgi(s.path(), {"GET", "/indexes/docs/documents", "", {}, row.query});
    EXPECT_EQ(a.status, 200) << a.raw;
    EXPECT_EQ(a.body, row.body + "\n");
  }
  /* A missing index lists nothing, as the listing always answered. */
  Answer none =
      cgi(s.path(), {"GET", "/indexes/none/documents", "", {}, "limit=5"});
  EXPECT_EQ(none.status, 200);
  EXPECT_EQ(none.body, "[]\n");
}

TEST(RouterDocumentsBulk, BadListingParametersAre400SayingWhatIsExpected) {
  Seeded s(3);
  const std::string limit =
      "Invalid documents parameter `limit`: expected an integer from 1 to "
      "1000.";
  const std::string offset =
      "Invalid documents parameter `offset`: expected an integer from 0 to "
      "4294967295.";
  const std::string fields =
      "Invalid documents parameter `fields`: expected an array of 1 to "
      "256 field names (dotted paths such as author.name, or \\\"*\\\" for "
      "every field).";
  struct Row {
    std::string query;
    std::string message;
  } rows[] = {
      {"limit=0", limit},
      {"limit=1001", limit},
      {"limit=-1", limit},
      {"limit=ten", limit},
      {"limit=", limit},
      {"offset=1.5", offset},
      {"offset=99999999999", offset},
      {"fields=", fields},
      {"fields=a,,b", fields},
      {"fields=a.", fields},
      {"limit=1&limit=2",
       "Invalid documents parameter `limit`: given more than once."},
      {"q=x",
       "Unknown documents parameter `q`: the parameters are offset, limit, "
       "after, fields, filter."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.query);
    Answer a =
        cgi(s.path(), {"GET", "/indexes/docs/documents", "", {}, row.query});
    EXPECT_EQ(a.status, 400) << a.raw;
    EXPECT_EQ(a.body,
              answers::envelope("invalid_document_parameter", row.message));
  }
}

TEST(RouterDocumentsBulk, PatchReplacesGivenMembersAndAddsMissingDocuments) {
  Seeded s(3);
  struct Row {
    const char *what;
    std::string body;
    std::string answer;
  } rows[] = {
      {"object", "{\"id\":\"d0\",\"price\":9.90}", updated(1)},
      {"array, a new member and a new document",
       "[{\"id\":\"d1\",\"tag\":\"x\",\"more\":[1]},{\"id\":\"n1\",\"t\":1}]",
       updated(2)},
      {"ndjson", "{\"id\":\"d2\",\"n\":20}\n{\"id\":\"n2\"}\n", updated(2)},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Answer a = cgi(s.path(), {"PATCH", "/indexes/docs/documents", row.body});
    EXPECT_EQ(a.status, 200) << a.raw;
    EXPECT_EQ(a.body, row.answer);
  }
  Answer list = cgi(s.path(), {"GET", "/indexes/docs/documents"});
  EXPECT_EQ(list.body,
            "[{\"id\":\"d0\",\"n\":0,\"price\":9.90,\"tag\":\"t0\"},"
            "{\"id\":\"d1\",\"n\":1,\"price\":1.50,\"tag\":\"x\",\"more\":[1]},"
            "{\"id\":\"d2\",\"n\":20,\"price\":2.50,\"tag\":\"t2\"},"
            "{\"id\":\"n1\",\"t\":1},{\"id\":\"n2\"}]\n");
}

TEST(RouterDocumentsBulk, RefusedPatchesChangeNothing) {
  Seeded s(2);
  struct Row {
    std::string body;
    std::string query;
    int status;
    std::string code;
  } rows[] = {
      {"", "", 400, "missing_payload"},
      {"[{\"id\":\"d0\",\"n\":5},{\"n\":6}]", "", 400,
       "document_addition_failed"},
      {"{\"id\":\"d0\",\"n\":5}\nnot json", "", 400,
       "document_addition_failed"},
      {"{\"id\":\"d0\",\"n\":5}", "limit=1", 400, "invalid_document_parameter"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.body);
    Answer a =
        cgi(s.path(),
            {"PATCH", "/indexes/docs/documents", row.body, {}, row.query});
    EXPECT_EQ(a.status, row.status) << a.raw;
    EXPECT_NE(a.body.find("\"code\":\"" + row.code + "\""), std::string::npos)
        << a.body;
    EXPECT_EQ(cgi(s.path(), {"GET", "/indexes/docs/documents"}).body,
              range(0, 2) + "\n");
  }
  /* PATCH names the collection, not one document. */
  Answer one =
      cgi(s.path(), {"PATCH", "/indexes/docs/documents/d0", "{\"id\":\"d0\"}"});
  EXPECT_EQ(one.status, 405);
}

TEST(RouterDocumentsBulk, DeleteBatchCountsTheDocumentsThatExisted) {
  Seeded s(6);
  struct Row {
    std::string ids;
    int status;
    std::string body;
    std::string left;
  } rows[] = {
      {"[]", 200, deleted(0), range(0, 6)},
      {"[\"d1\",\"missing\",\"d1\",\"d3\"]", 200, deleted(2),
       docs({0, 2, 4, 5})},
      {"[\"d0\",\"d 2\"]", 400,
       answers::envelope(
           "invalid_document_ids",
           "Element 2 of the body is no document id: `d 2`; an id is a "
           "string of 1 to 127 bytes of A-Z a-z 0-9 - _, or an integer."),
       docs({0, 2, 4, 5})},
      {"{\"ids\":[\"d0\"]}", 400,
       answers::envelope("invalid_document_ids",
                         "The body must be a JSON array of document ids, "
                         "such as [\\\"a1\\\", 42]."),
       docs({0, 2, 4, 5})},
      {"", 400,
       answers::envelope("missing_payload",
                         "Payload is required: a JSON array of document ids"),
       docs({0, 2, 4, 5})},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.ids);
    Answer a = cgi(s.path(),
                   {"POST", "/indexes/docs/documents/delete-batch", row.ids});
    EXPECT_EQ(a.status, row.status) << a.raw;
    EXPECT_EQ(a.body, row.body);
    EXPECT_EQ(cgi(s.path(), {"GET", "/indexes/docs/documents"}).body,
              row.left + "\n");
  }
  Answer missing = cgi(
      s.path(), {"POST", "/indexes/none/documents/delete-batch", "[\"a\"]"});
  EXPECT_EQ(missing.status, 404) << missing.raw;
  EXPECT_NE(missing.body.find("\"code\":\"index_not_found\""),
            std::string::npos);
}

TEST(RouterDocumentsBulk, DeleteOnTheCollectionRemovesEveryDocument) {
  Seeded s(25);
  Answer a = cgi(s.path(), {"DELETE", "/indexes/docs/documents"});
  EXPECT_EQ(a.status, 200) << a.raw;
  EXPECT_EQ(a.body, deleted(25));
  EXPECT_EQ(cgi(s.path(), {"GET", "/indexes/docs/documents"}).body, "[]\n");
  EXPECT_EQ(cgi(s.path(), {"DELETE", "/indexes/docs/documents"}).body,
            deleted(0));
  EXPECT_EQ(cgi(s.path(), {"GET", "/indexes/docs"}).status, 200)
      << "the index stays";
  EXPECT_EQ(cgi(s.path(), {"DELETE", "/indexes/none/documents"}).status, 404);
  EXPECT_EQ(
      cgi(s.path(), {"DELETE", "/indexes/docs/documents", "", {}, "all=1"})
          .status,
      400);
}

/* A document named like the batch routes is still reached on its own
 * route; only a POST there is the batch. */
TEST(RouterDocumentsBulk, DocumentsNamedDeleteKeepTheirOwnRoutes) {
  TempDir dir;
  const std::string body =
      "[{\"id\":\"delete\",\"v\":1},{\"id\":\"delete-batch\",\"v\":2},"
      "{\"id\":\"x\"}]";
  ASSERT_EQ(cgi(dir.path(), {"POST", "/indexes/i/documents", body}).status,
            200);
  for (const char *id : {"delete", "delete-batch"}) {
    SCOPED_TRACE(id);
    std::string path = std::string("/indexes/i/documents/") + id;
    Answer got = cgi(dir.path(), {"GET", path});
    EXPECT_EQ(got.status, 200);
    EXPECT_NE(got.body.find(std::string("\"id\":\"") + id + "\""),
              std::string::npos);
  }
  Answer batch = cgi(dir.path(), {"POST", "/indexes/i/documents/delete-batch",
                                  "[\"delete\",\"x\"]"});
  EXPECT_EQ(batch.body, deleted(2));
  EXPECT_EQ(cgi(dir.path(), {"GET", "/indexes/i/documents/delete"}).status,
            404);
  Answer one = cgi(dir.path(), {"DELETE", "/indexes/i/documents/delete-batch"});
  EXPECT_EQ(one.status, 200) << one.raw;
  EXPECT_EQ(one.body,
            "{\"status\":\"succeeded\",\"taskUid\":1,"
            "\"type\":\"documentDeletion\"}\n");
  EXPECT_EQ(cgi(dir.path(), {"GET", "/indexes/i/documents"}).body, "[]\n");
}

TEST(RouterDocumentsBulk, BulkWritesNeedTheWriteKey) {
  Seeded s(3);
  const std::map<std::string, std::string> keys = {
      {"LUMIDEX_WRITE_KEY", "w-secret"}, {"LUMIDEX_READ_KEY", "r-secret"}};
  struct Row {
    CgiRequest req;
    std::string key;
    int status;
  } rows[] = {
      {{"PATCH", "/indexes/docs/documents", "{\"id\":\"d0\",\"n\":1}"},
       "",
       401},
      {{"PATCH", "/indexes/docs/documents", "{\"id\":\"d0\",\"n\":1}"},
       "r-secret",
       401},
      {{"POST", "/indexes/docs/documents/delete-batch", "[\"d0\"]"},
       "r-secret",
       401},
      {{"DELETE", "/indexes/docs/documents"}, "r-secret", 401},
      {{"GET", "/indexes/docs/documents", "", {}, "limit=1"}, "", 401},
      {{"GET", "/indexes/docs/documents", "", {}, "limit=1"}, "r-secret", 200},
      {{"PATCH", "/indexes/docs/documents", "{\"id\":\"d0\",\"n\":1}"},
       "w-secret",
       200},
      {{"POST", "/indexes/docs/documents/delete-batch", "[\"d0\"]"},
       "w-secret",
       200},
      {{"DELETE", "/indexes/docs/documents"}, "w-secret", 200},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.req.method + " " + row.req.path + " key " + row.key);
    row.req.env = keys;
    if (!row.key.empty()) row.req.env["HTTP_X_LUMIDEX_KEY"] = row.key;
    Answer a = cgi(s.path(), row.req);
    EXPECT_EQ(a.status, row.status) << a.raw;
  }
}

TEST(RouterDocumentsBulk, TheCollectionAllowsPatch) {
  Seeded s(1);
  Answer a = cgi(s.path(), {"PUT", "/indexes/docs/documents", "[]"});
  EXPECT_EQ(a.status, 405);
  EXPECT_NE(a.raw.find("Allow: GET, POST, PATCH, DELETE\r\n"),
            std::string::npos)
      << a.raw;
}

/* The same operations through lighttpd, as CGI and as FastCGI workers. */
TEST(RouterDocumentsBulk, ThroughLighttpd) {
  for (lmxtest::HostMode mode :
       {lmxtest::HostMode::Cgi, lmxtest::HostMode::FastCgi}) {
    SCOPED_TRACE(lmxtest::host_mode_name(mode));
    TempDir dir;
    lmxtest::LighttpdServer server(kRouter, kRender, dir.sub("storage"), {},
                                   mode);
    ASSERT_TRUE(server.running()) << server.error_log();
    int port = server.port();
    std::string seed = "[";
    for (int k = 0; k < 5; ++k) seed += (k ? "," : "") + doc(k);
    seed += "]";
    ASSERT_EQ(lmxtest::http_request(port, "POST", "/indexes/docs/documents",
                                    seed, {"Content-Type: application/json"})
                  .status,
              200)
        << server.error_log();
    struct Row {
      std::string method, target, body;
      int status;
      std::string answer;
    } rows[] = {
        {"GET", "/indexes/docs/documents?offset=1&limit=2", "", 200,
         range(1, 3) + "\n"},
        {"GET", "/indexes/docs/documents?fields=tag&limit=1", "", 200,
         "[{\"id\":\"d0\",\"tag\":\"t0\"}]\n"},
        {"GET", "/indexes/docs/documents?limit=0", "", 400,
         answers::envelope("invalid_document_parameter",
                           "Invalid documents parameter `limit`: expected an "
                           "integer from 1 to 1000.")},
        {"PATCH", "/indexes/docs/documents", "{\"id\":\"d4\",\"n\":40}", 200,
         updated(1)},
        {"GET", "/indexes/docs/documents/d4", "", 200,
         "{\"id\":\"d4\",\"n\":40,\"price\":4.50,\"tag\":\"t1\"}\n"},
        {"POST", "/indexes/docs/documents/delete-batch", "[\"d0\",\"zz\"]", 200,
         deleted(1)},
        {"DELETE", "/indexes/docs/documents", "", 200, deleted(4)},
        {"GET", "/indexes/docs/documents", "", 200, "[]\n"},
    };
    for (const Row &row : rows) {
      SCOPED_TRACE(row.method + " " + row.target);
      lmxtest::HttpResponse r =
          lmxtest::http_request(port, row.method, row.target, row.body,
                                {"Content-Type: application/json"});
      EXPECT_EQ(r.status, row.status) << r.headers << r.body;
      EXPECT_EQ(r.body, row.answer);
    }
  }
}

/* The listing's filter and POST .../delete on the filterable attributes. */
TEST(RouterDocumentsBulk, FiltersNarrowTheListingAndChooseWhatIsDeleted) {
  Seeded s(9);
  Answer set = cgi(s.path(), {"PATCH", "/indexes/docs/settings",
                              "{\"filterableAttributes\":[\"tag\",\"n\"]}"});
  ASSERT_EQ(set.status, 200) << set.raw;
  const std::string not_filterable =
      "Attribute `price` is not filterable; the filterable attributes are "
      "`tag`, `n`.";
  struct Row {
    std::string query;
    int status;
    std::string body;
  } rows[] = {
      {"filter=tag%20%3D%20t1", 200, docs({1, 4, 7})},
      {"filter=n%20%3E%3D%206%20OR%20n%20%3D%200&limit=2&offset=1", 200,
       docs({6, 7})},
      {"filter=tag%20IN%20%5Bt0%2C%20t2%5D&fields=n&limit=2", 200,
       "[{\"id\":\"d0\",\"n\":0},{\"id\":\"d2\",\"n\":2}]"},
      {"filter=price%20%3C%201", 400,
       answers::envelope("invalid_document_filter", not_filterable)},
      {"filter=tag%20%3D", 400, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.query);
    Answer a =
        cgi(s.path(), {"GET", "/indexes/docs/documents", "", {}, row.query});
    EXPECT_EQ(a.status, row.status) << a.raw;
    if (row.status == 200) {
      EXPECT_EQ(a.body, row.body + "\n");
    } else if (!row.body.empty()) {
      EXPECT_EQ(a.body, row.body);
    } else {
      EXPECT_NE(a.body.find("\"code\":\"invalid_document_filter\""),
                std::string::npos)
          << a.body;
    }
  }
  struct Deletion {
    std::string body;
    int status;
    std::string answer;
    std::string left;
  } deletions[] = {
      {"{\"filter\":\"price < 1\"}", 400,
       answers::envelope("invalid_document_filter", not_filterable),
       range(0, 9)},
      {"{\"filter\":\"tag = \"}", 400, "", range(0, 9)},
      {"[\"d0\"]", 400, "", range(0, 9)},
      {"{\"filter\":\"tag = t1\"}", 200, deleted(3), docs({0, 2, 3, 5, 6, 8})},
      {"{\"filter\":[\"n > 2\",[\"tag = t0\",\"tag = t2\"]]}", 200, deleted(4),
       docs({0, 2})},
      {"{\"filter\":\"n > 100\"}", 200, deleted(0), docs({0, 2})},
  };
  for (const Deletion &row : deletions) {
    SCOPED_TRACE(row.body);
    Answer a =
        cgi(s.path(), {"POST", "/indexes/docs/documents/delete", row.body});
    EXPECT_EQ(a.status, row.status) << a.raw;
    if (!row.answer.empty()) {
      EXPECT_EQ(a.body, row.answer);
    } else {
      EXPECT_NE(a.body.find("\"code\":\"invalid_document_filter\""),
                std::string::npos)
          << a.body;
    }
    EXPECT_EQ(cgi(s.path(), {"GET", "/indexes/docs/documents"}).body,
              row.left + "\n");
  }
}
