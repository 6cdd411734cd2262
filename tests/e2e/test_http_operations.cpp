/*
 * test_http_operations.cpp: running the API behind a real lighttpd, as an
 * operator does: the host's own errors in the API's JSON envelope, the
 * program's failures and requests in the server's error log, /health for a
 * load balancer, and cross-origin answers passing through the host.
 *
 * lighttpd runs on a free loopback port with the project's configuration
 * rendered by deploy/render-lighttpd-conf. To see what the host answers when
 * the program fails, some tests install a stand-in program under the name
 * the configuration runs (api_router) that dies or writes no valid header
 * block. The error log is read after the answer has arrived: lighttpd ends
 * the answer only once the program has exited, and the program writes its
 * log line before that.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <yyjson.h>

#include <map>
#include <string>
#include <vector>

#include "child.h"
#include "lighttpd.h"
#include "lmx_common.h"

namespace {

using lmxtest::HttpResponse;
using lmxtest::LighttpdServer;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kRender =
    std::string(LMX_SOURCE_DIR) + "/deploy/render-lighttpd-conf";
const std::string kHostErrors =
    std::string(LMX_SOURCE_DIR) + "/deploy/host-errors/";

#define REQUIRE_SERVER(s) \
  ASSERT_TRUE((s).running()) << "lighttpd did not start: " << (s).error_log()

/* The value of header name in the answer's header block, or "<none>". */
std::string header(const HttpResponse &res, const std::string &name) {
  std::string block = res.headers + "\r\n";
  size_t at = block.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "<none>";
  size_t start = at + 4 + name.size();
  return block.substr(start, block.find("\r\n", start) - start);
}

/* Members of an error envelope; code is "" when body is not one. */
struct Envelope {
  std::string message, code, type, link;
};

Envelope envelope_of(const std::string &body) {
  Envelope e;
  yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  auto member = [&](const char *key) {
    const char *s = yyjson_get_str(yyjson_obj_get(root, key));
    return std::string(s ? s : "");
  };
  if (yyjson_is_obj(root) && yyjson_obj_size(root) == 4) {
    e.message = member("message");
    e.code = member("code");
    e.type = member("type");
    e.link = member("link");
  }
  yyjson_doc_free(doc);
  return e;
}

/* Checks res is the host's own answer for its status: the file of
 * deploy/host-errors/, an envelope with code, served as JSON. */
void expect_host_error(const HttpResponse &res, int status,
                       const std::string &code) {
  EXPECT_EQ(res.status, status) << res.headers << "\n" << res.body;
  EXPECT_EQ(header(res, "Content-Type"), "application/json; charset=utf-8");
  auto file =
      lmxtest::read_file(kHostErrors + std::to_string(status) + ".html");
  ASSERT_TRUE(file.has_value()) << status;
  EXPECT_EQ(res.body, *file);
  Envelope e = envelope_of(res.body);
  EXPECT_EQ(e.code, code);
  EXPECT_EQ(e.type, "invalid_request");
  EXPECT_EQ(e.link, "https://" LMX_DOCS_HOST "/errors#" + code);
  EXPECT_FALSE(e.message.empty());
}

TEST(HttpOperations, EveryHostErrorFileIsAnEnvelopeNamedForItsStatus) {
  struct Row {
    int status;
    const char *code;
  } rows[] = {{400, "bad_request"},       {413, "payload_too_large"},
              {431, "headers_too_large"}, {501, "not_implemented"},
              {500, "host_error"},        {502, "host_error"},
              {503, "host_error"},        {504, "host_error"}};
  std::vector<std::string> expected;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.status);
    auto file =
        lmxtest::read_file(kHostErrors + std::to_string(row.status) + ".html");
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(envelope_of(*file).code, row.code) << *file;
    EXPECT_EQ(file->back(), '\n');
    expected.push_back(std::to_string(row.status) + ".html");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lmxtest::entries_of(kHostErrors), expected);
}

TEST(HttpOperations, HostRefusalsComeAsJsonEnvelopes) {
  TempDir dir;
  LighttpdServer server(kRouter, kRender, dir.sub("storage"));
  REQUIRE_SERVER(server);
  const std::string huge(17 * 1024 * 1024, 'x');
  const std::string big_header = "X-Big: " + std::string(70000, 'h');
  struct Row {
    const char *what;
    std::string method, target, body;
    std::vector<std::string> headers;
    int status;
    const char *code;
  } rows[] = {
      {"a body over the limit",
       "POST",
       "/indexes/big/documents",
       huge,
       {},
       413,
       "payload_too_large"},
      {"an encoded slash", "GET", "/indexes/a%2Fb", "", {}, 400, "bad_request"},
      {"headers over the limit",
       "GET",
       "/indexes",
       "",
       {big_header},
       431,
       "headers_too_large"},
      {"a method the host does not know",
       "BREW",
       "/indexes",
       "",
       {},
       501,
       "not_implemented"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    HttpResponse res = lmxtest::http_request(server.port(), row.method,
                                             row.target, row.body, row.headers);
    expect_host_error(res, row.status, row.code);
  }
  /* The refused body was never stored. */
  HttpResponse list = lmxtest::http_request(server.port(), "GET", "/indexes");
  EXPECT_EQ(list.status, 200);
  EXPECT_NE(list.body.find("\"total\":0"), std::string::npos) << list.body;
}

/* A stand-in for the program, under the name the configuration runs. */
std::string stand_in(const TempDir &dir, const std::string &script) {
  std::string path = dir.sub("api_router");
  EXPECT_TRUE(lmxtest::write_file(path, "#!/bin/sh\n" + script + "\n"));
  EXPECT_EQ(chmod(path.c_str(), 0755), 0);
  return path;
}

TEST(HttpOperations, AProgramThatFailsGetsTheHostErrorEnvelope) {
  struct Row {
    const char *what;
    std::string script;
    int status;
  } rows[] = {
      {"exits without answering", "exit 1", 500},
      {"is killed", "kill -9 $$", 500},
      {"writes a broken status line", "printf 'Status: abc\\r\\n\\r\\nx'", 502},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    LighttpdServer server(stand_in(dir, row.script), kRender,
                          dir.sub("storage"));
    REQUIRE_SERVER(server);
    HttpResponse res =
        lmxtest::http_request(server.port(), "GET", "/indexes/a/search?q=x");
    expect_host_error(res, row.status, "host_error");
  }
}

TEST(HttpOperations, TheProgramsOwnFailurePassesWholeAndIsLoggedWithItsReason) {
  TempDir dir;
  std::string storage = dir.sub("storage");
  LighttpdServer server(kRouter, kRender, storage);
  REQUIRE_SERVER(server);
  ASSERT_EQ(chmod(storage.c_str(), 0777), 0);

  HttpResponse res = lmxtest::http_request(server.port(), "GET", "/indexes");
  EXPECT_EQ(res.status, 500);
  EXPECT_EQ(res.body,
            "{\"message\":\"Failed to initialize lumidex engine\",\"code\":"
            "\"engine_init_failed\",\"type\":\"invalid_request\",\"link\":"
            "\"https://" LMX_DOCS_HOST "/errors#engine_init_failed\"}\n");
  std::string log = server.error_log();
  EXPECT_NE(log.find("lumidex GET /indexes 500 "), std::string::npos) << log;
  EXPECT_NE(log.find("reason: Storage directory `" + storage +
                     "` is writable by every user"),
            std::string::npos)
      << log;
}

TEST(HttpOperations, EveryRequestIsLoggedWhenAskedFor) {
  TempDir dir;
  LighttpdServer server(kRouter, kRender, dir.sub("storage"),
                        {{"LUMIDEX_LOG", "requests"}});
  REQUIRE_SERVER(server);
  struct Row {
    std::string method, target, line;
  } rows[] = {
      {"GET", "/indexes?secret=1", "lumidex GET /indexes 200 "},
      {"PUT", "/indexes/books", "lumidex PUT /indexes/books 405 "},
      {"GET", "/indexes/caf%C3%A9%20x",
       "lumidex GET /indexes/caf\\xc3\\xa9\\x20x 404 "},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.target);
    HttpResponse res =
        lmxtest::http_request(server.port(), row.method, row.target);
    EXPECT_NE(res.status, 0);
    std::string log = server.error_log();
    EXPECT_NE(log.find(row.line), std::string::npos) << log;
  }
  EXPECT_EQ(server.error_log().find("secret"), std::string::npos);
}

TEST(HttpOperations, HealthTellsALoadBalancerWhetherThisInstanceServes) {
  TempDir dir;
  std::string storage = dir.sub("storage");
  LighttpdServer server(kRouter, kRender, storage,
                        {{"LUMIDEX_READ_KEY", "r-key"}});
  REQUIRE_SERVER(server);
  HttpResponse up = lmxtest::http_request(server.port(), "GET", "/health");
  EXPECT_EQ(up.status, 200);
  EXPECT_EQ(up.body, "{\"status\":\"available\"}\n");

  ASSERT_EQ(chmod(storage.c_str(), 0777), 0);
  HttpResponse down = lmxtest::http_request(server.port(), "GET", "/health");
  EXPECT_EQ(down.status, 503);
  EXPECT_EQ(envelope_of(down.body).code, "storage_unavailable");
  EXPECT_NE(down.body.find("is writable by every user"), std::string::npos);
  EXPECT_NE(server.error_log().find("lumidex GET /health 503 "),
            std::string::npos)
      << server.error_log();
  ASSERT_EQ(chmod(storage.c_str(), 0700), 0);
  EXPECT_EQ(lmxtest::http_request(server.port(), "GET", "/health").status, 200);
}

TEST(HttpOperations, CrossOriginAnswersPassThroughTheHost) {
  TempDir dir;
  LighttpdServer server(kRouter, kRender, dir.sub("storage"),
                        {{"LUMIDEX_CORS_ORIGINS", "http://127.0.0.1:8080"},
                         {"LUMIDEX_WRITE_KEY", "w-key"}});
  REQUIRE_SERVER(server);
  HttpResponse preflight = lmxtest::http_request(
      server.port(), "OPTIONS", "/indexes/books/documents", "",
      {"Origin: http://127.0.0.1:8080", "Access-Control-Request-Method: POST",
       "Access-Control-Request-Headers: content-type, x-lumidex-key"});
  EXPECT_EQ(preflight.status, 204) << preflight.headers;
  EXPECT_EQ(header(preflight, "Access-Control-Allow-Origin"),
            "http://127.0.0.1:8080");
  EXPECT_EQ(header(preflight, "Access-Control-Allow-Methods"),
            "GET, POST, PATCH, DELETE");
  EXPECT_EQ(header(preflight, "Access-Control-Allow-Headers"),
            "Content-Type, X-Lumidex-Key");
  EXPECT_EQ(preflight.body, "");

  HttpResponse added = lmxtest::http_request(
      server.port(), "POST", "/indexes/books/documents", "{\"id\":\"1\"}",
      {"Origin: http://127.0.0.1:8080", "X-Lumidex-Key: w-key"});
  EXPECT_EQ(added.status, 200) << added.body;
  EXPECT_EQ(header(added, "Access-Control-Allow-Origin"),
            "http://127.0.0.1:8080");
  EXPECT_EQ(header(added, "Vary"), "Origin");

  HttpResponse other = lmxtest::http_request(
      server.port(), "OPTIONS", "/indexes/books/documents", "",
      {"Origin: http://127.0.0.1:9090", "Access-Control-Request-Method: POST"});
  EXPECT_EQ(other.status, 403);
  EXPECT_EQ(header(other, "Access-Control-Allow-Origin"), "<none>");
  EXPECT_EQ(envelope_of(other.body).code, "origin_not_allowed");
}

}  // namespace
