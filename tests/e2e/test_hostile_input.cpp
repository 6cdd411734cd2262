/*
 * test_hostile_input.cpp: api_router run as CGI on input anyone on the
 * network could send, and on storage directories in bad shape.
 *
 * Every request must end with exit code 0, nothing on standard error, a
 * well-formed CGI header block and a body that parses as strict JSON (valid
 * UTF-8 included); a failure is the four-member error envelope with the
 * documented status and code. Around each table the tree of the temporary
 * directory that holds the storage directory is compared before and after:
 * nothing may appear outside the storage directory. The seeded documents
 * must all still be there, unchanged, at the end.
 *
 * Read-only storage cannot be shown to root, which ignores file modes: the
 * tree is then handed to the unprivileged user nobody (uid 65534) and the
 * program is run as that user, from a copy in a directory of its own: the
 * build tree may sit where nobody cannot enter (a 0700 home or mktemp -d
 * directory), and the test must not depend on where the checkout lives.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "lumidex_core.h"
#include "patterns.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter =
    lmxtest::build_dir(LMX_BUILD_DIR) + "/src/api_router";
constexpr uid_t kNobody = 65534;

/* api_router as the user nobody can run it: a copy, made once, in a
 * directory every user can enter. */
const std::string &router_for_nobody() {
  static TempDir dir;
  static const std::string copy =
      lmxtest::copy_program_for_others(kRouter, dir.path());
  return copy;
}

const char kSeed[] =
    "[{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Frank Herbert\"},"
    "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Jane Austen\"},"
    "{\"id\":\"3\",\"title\":\"Caf\xC3\xA9 society\"}]";

struct Request {
  std::string method;
  std::string path;
  std::string query;
  std::string body;
  /* CONTENT_LENGTH as sent; "=" means the body's true length, "" none. */
  std::string content_length = "=";
  /* POST_BODY_FILE as sent, "" for none. */
  std::string body_file = "";
};

struct Answer {
  int status = 0;
  std::string body;
  ChildResult raw;
};

std::string shown(const Request &r) {
  std::string text = r.method + " " + r.path.substr(0, 200);
  if (!r.query.empty()) text += "?" + r.query.substr(0, 200);
  if (!r.body.empty())
    text +=
        " body[" + std::to_string(r.body.size()) + "] " + r.body.substr(0, 200);
  text += " CONTENT_LENGTH=" + r.content_length;
  if (!r.body_file.empty()) text += " POST_BODY_FILE=" + r.body_file;
  std::string printable;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      printable += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      printable += hex;
    }
  }
  return printable;
}

/* Runs the request; as_nobody drops to uid 65534 first (when root). */
Answer send(const Request &r, const std::string &storage,
            bool as_nobody = false) {
  ChildSpec job;
  job.env = {{"REQUEST_METHOD", r.method},
             {"PATH_INFO", r.path},
             {"QUERY_STRING", r.query},
             {"LUMIDEX_STORAGE_DIR", storage}};
  if (r.content_length == "=")
    job.env["CONTENT_LENGTH"] = std::to_string(r.body.size());
  else if (!r.content_length.empty())
    job.env["CONTENT_LENGTH"] = r.content_length;
  if (!r.body_file.empty()) job.env["POST_BODY_FILE"] = r.body_file;
  job.stdin_kind = lmxtest::StdinKind::File;
  job.stdin_bytes = r.body;
  bool drop = as_nobody && geteuid() == 0;
  const std::string &program = drop ? router_for_nobody() : kRouter;
  Answer a;
  a.raw = lmxtest::run_child(
      [&] {
        if (drop && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(90);
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        _exit(127);
      },
      job);
  a.status = lmxtest::response_status(a.raw.out);
  lmxtest::split_response(a.raw.out, nullptr, &a.body);
  return a;
}

/* The error code of an envelope after checking its shape, or "" for a
 * success body; records failures against the request. */
std::string check_answer(const Answer &a, const std::string &what) {
  EXPECT_EQ(a.raw.exit_code, 0) << what << "\n" << a.raw.err;
  /* Nothing on standard error but, for a failure (500 or more), the request
   * log's one line about it. */
  if (a.status >= 500) {
    EXPECT_TRUE(lmxtest::full_match(a.raw.err,
                                    "[^\n]* lumidex [^\n]* 5[0-9]{2} [^\n]*\n"))
        << what << "\n"
        << a.raw.err;
  } else {
    EXPECT_EQ(a.raw.err, "") << what;
  }
  EXPECT_EQ(a.raw.out.find("Content-Type: application/json; charset=utf-8\r\n"),
            a.raw.out.find("\r\n") + 2)
      << what << "\n"
      << a.raw.out.substr(0, 300);
  yyjson_doc *doc = yyjson_read(a.body.data(), a.body.size(), 0);
  EXPECT_NE(doc, nullptr) << what << ": body is not strict JSON: "
                          << a.body.substr(0, 300);
  std::string code;
  if (doc && a.status >= 400) {
    static const char *const kMembers[] = {"message", "code", "type", "link"};
    yyjson_val *root = yyjson_doc_get_root(doc);
    EXPECT_EQ(yyjson_obj_size(root), 4u) << what;
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    for (const char *member : kMembers) {
      yyjson_val *key = yyjson_obj_iter_next(&it);
      EXPECT_TRUE(key && strcmp(yyjson_get_str(key), member) == 0) << what;
      if (!key) break;
      EXPECT_TRUE(yyjson_is_str(yyjson_obj_iter_get_val(key))) << what;
    }
    const char *c = yyjson_get_str(yyjson_obj_get(root, "code"));
    code = c ? c : "";
  }
  yyjson_doc_free(doc);
  return code;
}

/* Every path under root except those under skip, with sizes of files. */
std::set<std::string> tree_of(const std::string &root,
                              const std::string &skip) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    std::string p = it->path().string();
    if (!skip.empty() && (p == skip || p.rfind(skip + "/", 0) == 0)) {
      if (it->is_directory()) it.disable_recursion_pending();
      if (p != skip) continue;
    }
    std::string entry = p;
    if (it->is_regular_file(ec))
      entry += " " + std::to_string(it->file_size(ec));
    out.insert(entry);
  }
  return out;
}

void seed(const std::string &storage) {
  ASSERT_EQ(mkdir(storage.c_str(), 0700), 0);
  ChildResult r = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.c_str()) != 0) std::exit(3);
        if (lumidex_documents_add("books", kSeed) != 3) std::exit(4);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

/* The seeded books are all there with their exact text. */
void expect_seed_intact(const std::string &storage, bool as_nobody = false) {
  const std::pair<const char *, const char *> docs[] = {
      {"1", "{\"id\":\"1\",\"title\":\"Dune\",\"author\":\"Frank Herbert\"}"},
      {"2", "{\"id\":\"2\",\"title\":\"Emma\",\"author\":\"Jane Austen\"}"},
      {"3", "{\"id\":\"3\",\"title\":\"Caf\xC3\xA9 society\"}"}};
  for (const auto &d : docs) {
    Answer a = send(
        {"GET", std::string("/indexes/books/documents/") + d.first, "", ""},
        storage, as_nobody);
    EXPECT_EQ(a.status, 200) << "seeded document " << d.first << " lost";
    EXPECT_EQ(a.body, std::string(d.second) + "\n");
  }
  Answer stats =
      send({"GET", "/indexes/books/stats", "", ""}, storage, as_nobody);
  EXPECT_NE(stats.body.find("\"numberOfDocuments\":3"), std::string::npos)
      << stats.body;
}

struct Row {
  const char *what;
  Request req;
  int status;
  const char *code;   /* error code, or "" for a success */
  const char *expect; /* a piece of the body, or "" */
};

void run_rows(const std::vector<Row> &rows, const std::string &storage,
              bool as_nobody = false) {
  for (const Row &row : rows) {
    std::string what = std::string(row.what) + ": " + shown(row.req);
    SCOPED_TRACE(what);
    Answer a = send(row.req, storage, as_nobody);
    EXPECT_EQ(a.status, row.status) << a.body.substr(0, 400);
    EXPECT_EQ(check_answer(a, what), row.code) << a.body.substr(0, 400);
    EXPECT_NE(a.body.find(row.expect), std::string::npos)
        << a.body.substr(0, 400);
  }
}

const std::string kLong300(300, 'n');

TEST(HostileInput, MalformedBodiesAreRefusedWholeAndChangeNothing) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  seed(storage);
  auto before = tree_of(tmp.path(), storage);
  const std::string docs = "/indexes/books/documents";
  const std::string nul_body =
      std::string("{\"id\":\"9\"}\0{\"id\":\"10\"}", 22);
  std::vector<Row> rows = {
      {"truncated array",
       {"POST", docs, "", "[{\"id\":\"9\",\"title\":\"cut"},
       400,
       "document_addition_failed",
       "not valid JSON"},
      {"trailing comma",
       {"POST", docs, "", "{\"id\":\"9\",}"},
       400,
       "document_addition_failed",
       ""},
      {"not JSON at all",
       {"POST", docs, "", "id=9&title=x"},
       400,
       "document_addition_failed",
       ""},
      {"array of numbers",
       {"POST", docs, "", "[1,2]"},
       400,
       "document_addition_failed",
       "not a JSON object"},
      {"second document broken",
       {"POST", docs, "", "{\"id\":\"9\"}\n{\"id\":"},
       400,
       "document_addition_failed",
       "position 2"},
      {"NUL between documents",
       {"POST", docs, "", nul_body},
       400,
       "document_addition_failed",
       "NUL"},
      {"a lone NUL",
       {"POST", docs, "", std::string(1, '\0')},
       400,
       "document_addition_failed",
       ""},
      {"invalid UTF-8 in a value",
       {"POST", docs, "", "{\"id\":\"9\",\"t\":\"\xFF\xFE\"}"},
       400,
       "document_addition_failed",
       "UTF-8"},
      {"invalid UTF-8 in a key",
       {"POST", docs, "", "{\"id\":\"9\",\"\xC3\":1}"},
       400,
       "document_addition_failed",
       ""},
      {"overlong encoding",
       {"POST", docs, "", "{\"id\":\"9\",\"t\":\"\xC0\xAF\"}"},
       400,
       "document_addition_failed",
       ""},
      {"one bad id spoils the batch",
       {"POST", docs, "", "[{\"id\":\"9\"},{\"id\":\"../x\"}]"},
       400,
       "document_addition_failed",
       "position 2"},
      {"id with a slash",
       {"POST", docs, "", "{\"id\":\"a/b\"}"},
       400,
       "document_addition_failed",
       "invalid primary key"},
      {"id with SQL",
       {"POST", docs, "", "{\"id\":\"a;DROP TABLE x\"}"},
       400,
       "document_addition_failed",
       "invalid primary key"},
      {"id a quote",
       {"POST", docs, "", "{\"id\":\"\\\"\"}"},
       400,
       "document_addition_failed",
       "invalid primary key"},
      {"id %00",
       {"POST", docs, "", "{\"id\":\"%00\"}"},
       400,
       "document_addition_failed",
       "invalid primary key"},
      {"id with an escaped NUL",
       {"POST", docs, "", "{\"id\":\"a\\u0000b\"}"},
       400,
       "document_addition_failed",
       "invalid primary key"},
      {"id of 300 bytes",
       {"POST", docs, "", "{\"id\":\"" + kLong300 + "\"}"},
       400,
       "document_addition_failed",
       "invalid primary key"},
      {"id invalid UTF-8",
       {"POST", docs, "", "{\"id\":\"\xFF\"}"},
       400,
       "document_addition_failed",
       ""},
      {"no body", {"POST", docs, "", ""}, 400, "missing_payload", ""},
      {"negative CONTENT_LENGTH",
       {"POST", docs, "", "{\"id\":\"9\"}", "-5"},
       400,
       "missing_payload",
       ""},
      {"CONTENT_LENGTH not a number",
       {"POST", docs, "", "{\"id\":\"9\"}", "abc"},
       400,
       "missing_payload",
       ""},
      {"CONTENT_LENGTH shorter than the body cuts it",
       {"POST", docs, "", "{\"id\":\"9\"}", "5"},
       400,
       "document_addition_failed",
       ""},
      {"index creation body truncated",
       {"POST", "/indexes", "", "{\"uid\":\"x"},
       400,
       "missing_index_uid",
       ""},
      {"index creation body with NUL",
       {"POST", "/indexes", "", std::string("{\"uid\":\"a\\u0000b\"}")},
       400,
       "index_already_exists",
       "NUL"},
      /* api_router refuses a search body it cannot read (api_search
       * ignores it: test_router_search.cpp). */
      {"search body malformed is refused",
       {"POST", "/indexes/books/search", "", "{\"q\":"},
       400,
       "invalid_search_parameter",
       "expected a JSON object"},
      {"search body with NUL is refused",
       {"POST", "/indexes/books/search", "", std::string("\0\0", 2)},
       400,
       "invalid_search_parameter",
       "NUL"},
  };
  run_rows(rows, storage);
  EXPECT_EQ(tree_of(tmp.path(), storage), before);
  expect_seed_intact(storage);

  /* CONTENT_LENGTH beyond the body: the bytes that came are the body. */
  Answer a =
      send({"POST", "/indexes/more/documents", "", "{\"id\":\"9\"}", "100000"},
           storage);
  EXPECT_EQ(a.status, 200) << a.body;
  EXPECT_NE(a.body.find("\"added\":1"), std::string::npos) << a.body;
}

TEST(HostileInput, BodyFilesAreReadLikeStandardInput) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  seed(storage);
  const std::string nul_file = tmp.sub("nul-body");
  const std::string cut_file = tmp.sub("cut-body");
  ASSERT_TRUE(lmxtest::write_file(
      nul_file, std::string("{\"id\":\"9\"}\0{\"id\":\"10\"}", 22)));
  ASSERT_TRUE(lmxtest::write_file(cut_file, "[{\"id\":\"9\""));
  auto before = tree_of(tmp.path(), storage);
  const std::string docs = "/indexes/books/documents";
  std::vector<Row> rows = {
      {"NUL in a body file",
       {"POST", docs, "", "", "", nul_file},
       400,
       "document_addition_failed",
       "NUL"},
      {"truncated body file; standard input is not read",
       {"POST", docs, "", "{\"id\":\"9\"}", "=", cut_file},
       400,
       "document_addition_failed",
       ""},
      {"missing body file falls back to standard input",
       {"POST", "/indexes/more/documents", "", "{\"id\":\"9\"}", "=",
        tmp.sub("no-such-file")},
       200,
       "",
       "\"added\":1"},
      {"a directory as body file is no body",
       {"POST", docs, "", "", "", tmp.path()},
       400,
       "missing_payload",
       ""},
  };
  run_rows(rows, storage);
  EXPECT_EQ(tree_of(tmp.path(), storage), before);
  expect_seed_intact(storage);
}

TEST(HostileInput, HostileNamesAndIdsNeverLeaveTheStorageDirectory) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  seed(storage);
  auto before = tree_of(tmp.path(), storage);
  std::vector<Row> rows;
  /* Each name with its text inside a JSON string. */
  const std::pair<std::string, std::string> names[] = {
      {"..", ".."},
      {".", "."},
      {"a;DROP TABLE x", "a;DROP TABLE x"},
      {"\"", "\\\""},
      {"%00", "%00"},
      {"\xFF\xFE", "\xFF\xFE"},
      {"x y", "x y"},
      {".hidden", ".hidden"},
      {"con", "con"},
      {"a\\b", "a\\\\b"}};
  for (const auto &pair : names) {
    const std::string &name = pair.first;
    bool valid = name == "con";
    /* JSON holding invalid UTF-8 does not parse: no name is found in it. */
    const char *create_code =
        name == "\xFF\xFE" ? "missing_index_uid" : "index_already_exists";
    const char *add_code = valid ? "" : "document_addition_failed";
    rows.push_back(
        {"add to a hostile index name",
         {"POST", "/indexes/" + name + "/documents", "", "{\"id\":\"1\"}"},
         valid ? 200 : 400,
         add_code,
         ""});
    rows.push_back(
        {"create a hostile index name",
         {"POST", "/indexes", "", "{\"uid\":\"" + pair.second + "\"}"},
         400,
         create_code,
         ""});
    rows.push_back({"search a hostile index name",
                    {"GET", "/indexes/" + name + "/search", "q=dune", ""},
                    valid ? 200 : 404,
                    valid ? "" : "index_not_found",
                    ""});
    rows.push_back({"delete a hostile index name",
                    {"DELETE", "/indexes/" + name, "", ""},
                    valid ? 200 : 404,
                    valid ? "" : "index_not_found",
                    ""});
    rows.push_back({"fetch a hostile document id",
                    {"GET", "/indexes/books/documents/" + name, "", ""},
                    404,
                    "document_not_found",
                    ""});
    rows.push_back({"delete a hostile document id",
                    {"DELETE", "/indexes/books/documents/" + name, "", ""},
                    404,
                    "document_not_found",
                    ""});
  }
  const std::string quoted_json[] = {"../x", "a/b", "../../etc/passwd",
                                     "/tmp/x"};
  for (const std::string &name : quoted_json) {
    rows.push_back({"create a path as index name",
                    {"POST", "/indexes", "", "{\"uid\":\"" + name + "\"}"},
                    400,
                    "index_already_exists",
                    "Invalid index name"});
    rows.push_back({"delete a path as index name by query",
                    {"DELETE", "/indexes", "uid=" + name, ""},
                    400,
                    "missing_index_uid",
                    ""});
  }
  rows.push_back({"dot segments in the path",
                  {"POST", "/indexes/../x/documents", "", "{\"id\":\"1\"}"},
                  404,
                  "route_not_found",
                  ""});
  rows.push_back(
      {"index name of 300 bytes",
       {"POST", "/indexes/" + kLong300 + "/documents", "", "{\"id\":\"1\"}"},
       400,
       "invalid_identifier",
       ""});
  rows.push_back({"document id of 300 bytes",
                  {"DELETE", "/indexes/books/documents/" + kLong300, "", ""},
                  400,
                  "invalid_identifier",
                  ""});
  rows.push_back({"search by a query-string index that is a path",
                  {"GET", "/indexes/books/search", "index=../../etc", ""},
                  400,
                  "invalid_search_parameter",
                  "`index`"});
  run_rows(rows, storage);
  auto after = tree_of(tmp.path(), storage);
  EXPECT_EQ(after, before);
  /* Inside the storage directory only the sound names became indexes. */
  std::set<std::string> entries;
  for (const auto &e : std::filesystem::directory_iterator(storage))
    entries.insert(e.path().filename().string());
  EXPECT_EQ(entries, (std::set<std::string>{"books"}));
  expect_seed_intact(storage);
}

TEST(HostileInput, QueriesWithOperatorsAndBadBytesAreAnsweredAsText) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  seed(storage);
  std::string huge = "q=";
  while (huge.size() < 100 * 1024) huge += "dune+%22emma%22+";
  const std::string search = "/indexes/books/search";
  std::vector<Row> rows = {
      {"unbalanced quote",
       {"GET", search, "q=%22dune", ""},
       200,
       "",
       "\"id\":\"1\""},
      {"phrase",
       {"GET", search, "q=%22frank+herbert%22", ""},
       200,
       "",
       "\"id\":\"1\""},
      {"lone star", {"GET", search, "q=*", ""}, 200, "", "\"hits\":"},
      {"prefix star", {"GET", search, "q=du*", ""}, 200, "", "\"id\":\"1\""},
      {"NEAR",
       {"GET", search, "q=frank+NEAR+herbert", ""},
       200,
       "",
       "\"hits\":"},
      {"AND OR NOT",
       {"GET", search, "q=dune+AND+(emma+OR+NOT+x)", ""},
       200,
       "",
       "\"hits\":"},
      {"unbalanced parentheses",
       {"GET", search, "q=((dune", ""},
       200,
       "",
       "\"hits\":"},
      {"field syntax",
       {"GET", search, "q=title:dune", ""},
       200,
       "",
       "\"hits\":"},
      {"only operators",
       {"GET", search, "q=%22*()%3A-%5E~", ""},
       200,
       "",
       "\"hits\":"},
      {"invalid UTF-8",
       {"GET", search, "q=%FF%FE%C3", ""},
       200,
       "",
       "\"hits\":"},
      {"overlong slash", {"GET", search, "q=%C0%AF", ""}, 200, "", "\"hits\":"},
      {"surrogate", {"GET", search, "q=%ED%A0%80", ""}, 200, "", "\"hits\":"},
      {"control bytes",
       {"GET", search, "q=%01%1B%7F", ""},
       200,
       "",
       "\"hits\":"},
      /* api_router takes at most 4096 bytes of query, names what it does
       * not know and takes no negative numbers. */
      {"100 KB query string",
       {"GET", search, huge, ""},
       400,
       "invalid_search_parameter",
       "at most 4096 bytes"},
      {"100 KB of one parameter name",
       {"GET", search, std::string(100 * 1024, 'k') + "=1", ""},
       400,
       "invalid_search_parameter",
       "Unknown search parameter `kkkk"},
      {"negative numbers",
       {"GET", search, "q=dune&limit=-5", ""},
       400,
       "invalid_search_parameter",
       "`limit`"},
      {"huge numbers",
       {"GET", search, "q=dune&limit=99999999999&offset=99999999999", ""},
       200,
       "",
       "\"limit\":1000,\"offset\":2147483647"},
      {"body query with operators",
       {"POST", search, "", "{\"q\":\"(\\\"dune AND *\",\"limit\":1}"},
       200,
       "",
       "\"hits\":"},
      {"body query with a negative limit",
       {"POST", search, "", "{\"q\":\"dune\",\"limit\":-1}"},
       400,
       "invalid_search_parameter",
       "`limit`"},
      {"body query invalid UTF-8",
       {"POST", search, "", "{\"q\":\"\xFF\"}"},
       200,
       "",
       "\"hits\":"},
  };
  run_rows(rows, storage);
  expect_seed_intact(storage);
}

TEST(HostileInput, UnusableStorageDirectoriesAreA500AndAreNotTouched) {
  TempDir tmp;
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("plain-file"), "not a directory"));
  ASSERT_EQ(mkdir(tmp.sub("open").c_str(), 0777), 0);
  ASSERT_EQ(chmod(tmp.sub("open").c_str(), 0777), 0);
  auto before = tree_of(tmp.path(), "");
  const std::string storages[] = {tmp.sub("plain-file"),
                                  tmp.sub("plain-file/sub"), tmp.sub("open")};
  for (const std::string &storage : storages) {
    for (const Request &req :
         {Request{"GET", "/indexes", "", ""},
          Request{"POST", "/indexes/books/documents", "", "{\"id\":\"1\"}"}}) {
      std::string what = storage + ": " + shown(req);
      SCOPED_TRACE(what);
      Answer a = send(req, storage);
      EXPECT_EQ(a.status, 500);
      EXPECT_EQ(check_answer(a, what), "engine_init_failed");
    }
  }
  EXPECT_EQ(tree_of(tmp.path(), ""), before);
  EXPECT_EQ(lmxtest::read_file(tmp.sub("plain-file")).value_or(""),
            "not a directory");
}

TEST(HostileInput, ReadOnlyStorageServesReadsAndRefusesWrites) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  seed(storage);
  /* Root ignores modes: hand the tree to nobody and run the program as
   * nobody, for whom the modes hold. */
  if (geteuid() == 0) {
    ASSERT_NE(router_for_nobody(), "") << "cannot copy " << kRouter;
    ASSERT_EQ(chown(tmp.path().c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(system(("chown -R 65534:65534 " + storage).c_str()), 0);
  }
  ASSERT_EQ(system(("chmod -R a-w " + storage).c_str()), 0);
  auto before = tree_of(tmp.path(), "");
  std::vector<Row> rows = {
      {"search",
       {"GET", "/indexes/books/search", "q=dune", ""},
       200,
       "",
       "\"id\":\"1\""},
      {"listing", {"GET", "/indexes", "", ""}, 200, "", "\"uid\":\"books\""},
      {"stats",
       {"GET", "/indexes/books/stats", "", ""},
       200,
       "",
       "\"numberOfDocuments\":3"},
      {"add",
       {"POST", "/indexes/books/documents", "", "{\"id\":\"9\"}"},
       400,
       "document_addition_failed",
       "cannot be opened for writing"},
      {"add to a new index",
       {"POST", "/indexes/fresh/documents", "", "{\"id\":\"9\"}"},
       400,
       "document_addition_failed",
       "cannot be created"},
      {"create",
       {"POST", "/indexes", "", "{\"uid\":\"fresh\"}"},
       400,
       "index_already_exists",
       "cannot be created"},
      {"delete a document",
       {"DELETE", "/indexes/books/documents/1", "", ""},
       404,
       "document_not_found",
       ""},
      {"delete the index",
       {"DELETE", "/indexes/books", "", ""},
       404,
       "index_not_found",
       ""},
  };
  run_rows(rows, storage, true);
  EXPECT_EQ(tree_of(tmp.path(), ""), before) << "read-only storage was changed";
  expect_seed_intact(storage, true);
  system(("chmod -R u+w " + storage).c_str());
}

TEST(HostileInput, AnIndexOfGarbageFilesFailsAloneAndHidesNoOtherIndex) {
  TempDir tmp;
  std::string storage = tmp.sub("storage");
  seed(storage);
  std::string junk = storage + "/junk";
  ASSERT_EQ(mkdir(junk.c_str(), 0700), 0);
  std::string noise;
  for (int i = 0; i < 4096; i++)
    noise += static_cast<char>((i * 7919 + 13) & 0xFF);
  for (const char *f :
       {"iamglass", "postlist.glass", "docdata.glass", "termlist.glass"})
    ASSERT_TRUE(lmxtest::write_file(junk + "/" + f, noise));
  ASSERT_EQ(mkdir((storage + "/empty").c_str(), 0700), 0);
  auto before = tree_of(tmp.path(), storage);
  std::vector<Row> rows = {
      {"search the garbage",
       {"GET", "/indexes/junk/search", "q=x", ""},
       404,
       "index_not_found",
       ""},
      {"stats of the garbage",
       {"GET", "/indexes/junk/stats", "", ""},
       404,
       "index_not_found",
       ""},
      {"fetch from the garbage",
       {"GET", "/indexes/junk/documents/1", "", ""},
       404,
       "document_not_found",
       ""},
      {"add to the garbage",
       {"POST", "/indexes/junk/documents", "", "{\"id\":\"1\"}"},
       400,
       "document_addition_failed",
       "junk"},
      {"add to an empty directory",
       {"POST", "/indexes/empty/documents", "", "{\"id\":\"1\"}"},
       400,
       "document_addition_failed",
       "empty"},
      {"search the sound index",
       {"GET", "/indexes/books/search", "q=dune", ""},
       200,
       "",
       "\"id\":\"1\""},
      {"the listing keeps the sound index",
       {"GET", "/indexes", "", ""},
       200,
       "",
       "\"uid\":\"books\""},
  };
  run_rows(rows, storage);
  EXPECT_EQ(tree_of(tmp.path(), storage), before);
  /* The engine may take a lock file there, but never rewrites the files. */
  for (const char *f :
       {"iamglass", "postlist.glass", "docdata.glass", "termlist.glass"})
    EXPECT_EQ(lmxtest::read_file(junk + "/" + f).value_or(""), noise) << f;
  expect_seed_intact(storage);
}

}  // namespace
