/*
 * test_router_documents.cpp: the documents routes of api_router as a CGI
 * process on a real engine: what the listing answers for numbers a double
 * cannot hold, and how a document beyond the engine's size limits is
 * refused.
 */
#include <gtest/gtest.h>

#include <string>

#include "child.h"
#include "expected_answers.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";

/* The whole CGI output of one request. */
std::string request(const std::string &storage, const std::string &method,
                    const std::string &path, const std::string &body) {
  ChildSpec job;
  job.env["REQUEST_METHOD"] = method;
  job.env["PATH_INFO"] = path;
  job.env["LUMIDEX_STORAGE_DIR"] = storage;
  if (!body.empty()) {
    job.env["CONTENT_LENGTH"] = std::to_string(body.size());
    job.stdin_kind = lmxtest::StdinKind::File;
    job.stdin_bytes = body;
  }
  ChildResult r = lmxtest::run_program(kRouter, {}, job);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out;
}

std::string body_of(const std::string &raw) {
  std::string headers, body;
  if (!lmxtest::split_response(raw, &headers, &body)) return "";
  return body;
}

std::string status_of(const std::string &raw) {
  size_t at = raw.find("Status: ");
  return at == std::string::npos ? "" : raw.substr(at + 8, 3);
}

}  // namespace

/* Every number is listed with the text it was stored with. */
TEST(RouterDocuments, TheListingShowsNumbersExactlyAsStored) {
  TempDir dir;
  const std::string doc =
      "{\"id\":1,\"big\":123456789012345678901234567890,\"price\":1.50,"
      "\"huge\":1e400,\"list\":[-0,2.50E+3]}";
  std::string added = request(dir.path(), "POST", "/indexes/n/documents", doc);
  ASSERT_EQ(status_of(added), "200") << added;
  std::string listed = request(dir.path(), "GET", "/indexes/n/documents", "");
  EXPECT_EQ(status_of(listed), "200") << listed;
  EXPECT_EQ(body_of(listed), "[" + doc + "]\n");
  EXPECT_EQ(body_of(request(dir.path(), "GET", "/indexes/n/documents/1", "")),
            doc + "\n");
}

/* A document beyond a limit: 400 "document_too_large" naming the limit and
 * the document, and nothing written, not even the index. */
TEST(RouterDocuments, ADocumentBeyondALimitIsDocumentTooLarge) {
  TempDir dir;
  const std::string deep =
      "{\"id\":2,\"v\":" + std::string(250001, '[') +
      std::string(250001, ']') + "}";
  std::string words = "{\"id\":3,\"t\":\"";
  for (int i = 0; i <= 1000000; ++i) words += "ab ";
  words += "\"}";
  struct Row {
    const char *what;
    std::string body;
    std::string message;
  } rows[] = {
      {"nesting", "{\"id\":1}\n" + deep,
       "Document at position 2 is too large: it is nested deeper than 250000 "
       "levels, the most a document may be."},
      {"words", "[" + words + "]",
       "Document at position 1 is too large: it holds more than 1000000 "
       "words, the most a document may hold."},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    std::string raw =
        request(dir.path(), "POST", "/indexes/big/documents", row.body);
    EXPECT_EQ(status_of(raw), "400") << raw;
    EXPECT_EQ(body_of(raw),
              answers::envelope("document_too_large", row.message));
    EXPECT_EQ(status_of(request(dir.path(), "GET", "/indexes/big", "")), "404");
  }
}
