/*
 * test_documents.cpp: adding, fetching, deleting and paging documents
 * through the C face: the three body forms, batch atomicity and its error
 * texts, primary keys, upserts, what text extraction makes searchable, two
 * writers at once, and a writer killed mid-batch.
 */
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "core_fixture.h"

using coretest::CoreTest;
using coretest::hit_values;
using coretest::Json;
using coretest::last_error;
using coretest::str;

namespace {

long long count_of(const char *index) {
  Json stats(lumidex_index_stats_json(index));
  return stats.root() ? stats.integer("document_count") : -1;
}

long long hits_for(const char *index, const char *q) {
  Json answer(lumidex_search(index, q, 1000, 0));
  yyjson_val *hits = answer.get("hits");
  return hits ? static_cast<long long>(yyjson_arr_size(hits)) : -1;
}

/* A body of n documents with ids PREFIX0..PREFIXn-1. */
std::string ndjson_batch(const std::string &prefix, int n) {
  std::string body;
  for (int i = 0; i < n; ++i)
    body += "{\"id\":\"" + prefix + std::to_string(i) +
            "\",\"text\":\"batch words " + std::to_string(i) + "\"}\n";
  return body;
}

/* The limits of one document, as README states them. */
constexpr size_t kNesting = 250000;
constexpr size_t kWords = 1000000;
constexpr size_t kTerms = 200000;

/* n small documents, each followed by sep. */
std::string separated_batch(int n, const std::string &sep) {
  std::string body;
  for (int i = 0; i < n; ++i)
    body += "{\"id\":" + std::to_string(i) + ",\"t\":\"word" +
            std::to_string(i) + " shared\",\"n\":[" + std::to_string(i) +
            ",1.50]}" + sep;
  return body;
}

/* The process's address space in bytes (VmSize), or 0. */
unsigned long long address_space() {
  std::ifstream in("/proc/self/status");
  std::string key;
  unsigned long long kb = 0;
  while (in >> key) {
    if (key == "VmSize:") {
      in >> kb;
      return kb * 1024;
    }
    in.ignore(1 << 20, '\n');
  }
  return 0;
}

/* count distinct words, the from-th and on of xa, xb, ..., xz, xba, ... */
std::string distinct_words(size_t count, size_t from = 0) {
  std::string out;
  for (size_t i = from; i < from + count; ++i) {
    std::string w;
    size_t k = i;
    do {
      w.insert(w.begin(), static_cast<char>('a' + k % 26));
      k /= 26;
    } while (k > 0);
    out += "x" + w + " ";
  }
  return out;
}

}  // namespace

TEST_F(CoreTest, AcceptsArraysSingleObjectsAndNdjson) {
  struct Row {
    const char *body;
    int added;
    std::vector<const char *> ids;
  } rows[] = {
      {"[{\"id\":\"a\"},{\"id\":\"b\"}]", 2, {"a", "b"}},
      {"  \n[ {\"id\":\"c\"} ]\n", 1, {"c"}},
      {"[]", 0, {}},
      {"{\"id\":\"d\",\"x\":[1,2]}", 1, {"d"}},
      {"{\"id\":\"e\"}\n{\"id\":\"f\"}\n", 2, {"e", "f"}},
      {"\n\n{\"id\":\"g\"}\r\n\r\n  {\"id\":\"h\"}  \n\n", 2, {"g", "h"}},
      {"{\"id\":\"i\"}{\"id\":\"j\"}", 2, {"i", "j"}},
      /* Objects spread over lines, as a pretty printer writes them. */
      {"{\n  \"id\": \"k\",\n  \"list\": [\n    1,\n    2\n  ]\n}\n"
       "{\"id\":\"l\",\n\"t\":\"x\"}\n{\"id\":\"m\"}",
       3,
       {"k", "l", "m"}},
  };
  long long expected = 0;
  for (const Row &r : rows) {
    SCOPED_TRACE(r.body);
    EXPECT_EQ(lumidex_documents_add("bodies", r.body), r.added) << last_error();
    expected += r.added;
    for (const char *id : r.ids)
      EXPECT_NE(lumidex_document_get("bodies", id), nullptr) << id;
  }
  EXPECT_EQ(count_of("bodies"), expected);
}

TEST_F(CoreTest, AnInvalidDocumentRejectsTheWholeBatchSayingWhichAndWhy) {
  ASSERT_EQ(lumidex_documents_add("shop", "{\"id\":\"keep\",\"t\":\"old\"}"),
            1);
  std::string long_id(128, 'x');
  struct Row {
    std::string body, error;
  } rows[] = {
      {"[{\"id\":\"n1\"},{\"id\":\"n2\"},{\"name\":\"no key\"}]",
       "Document at position 3 has no primary key `id`."},
      {"[{\"id\":\"n1\"},7,{\"id\":\"n3\"}]",
       "Document at position 2 is not a JSON object."},
      {"{\"id\":\"n1\"}\n[1]\n",
       "Document at position 2 is not a JSON object."},
      {"{\"id\":\"n1\"}\n{\"id\":\n\"n2\",\n\"t\":\n}\n",
       "Document at position 2 is not valid JSON (at byte offset 30): "},
      {"{\"id\":\"n1\"}\n{\"id\":\"n2\",\n\"t\":\"x\"\n",
       "Document at position 2 is not valid JSON (at byte offset 32): "
       "unexpected end of data"},
      {"{\"id\":\"n1\"}\n{\"id\":\"n2\"}\n{\"id\":\"n3\",}\n",
       "Document at position 3 is not valid JSON (at byte offset 34): "},
      {"[{\"id\":\"n1\"},{\"id\":\"n2\"]",
       "The body is not valid JSON (at byte offset 23): "},
      {"[{\"id\":\"n1\"}] trailing", "The body is not valid JSON (at byte "},
      {"{\"id\":\"keep\",\"t\":\"new\"}\n{\"id\":\"bad id\"}",
       "Document at position 2 has an invalid primary key `id` value "
       "(`bad id`): use a string of 1 to 127 characters of A-Z a-z 0-9 - _, "
       "or an integer."},
      {"[{\"id\":\"\"}]",
       "Document at position 1 has an invalid primary key "
       "`id` value (``)"},
      {"[{\"id\":\"" + long_id + "\"}]",
       "Document at position 1 has an invalid primary key"},
      {"[{\"id\":1.5}]",
       "Document at position 1 has an invalid primary key "
       "`id` value (`1.5`)"},
      {"[{\"id\":1e3}]",
       "Document at position 1 has an invalid primary key "
       "`id` value (`1e3`)"},
      {"[{\"id\":true}]",
       "Document at position 1 has an invalid primary key "
       "`id` value (true)"},
      {"[{\"id\":null}]",
       "Document at position 1 has an invalid primary key "
       "`id` value (null)"},
      {"[{\"id\":{\"a\":1}}]",
       "Document at position 1 has an invalid primary "
       "key `id` value (object)"},
      {"", "The body holds no documents"},
      {" \n\t ", "The body holds no documents"},
      {"{\"id\":\"n1\",\"t\":\"caf\xc3\"}",
       "Document at position 1 is not valid JSON (at byte offset "},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.body);
    EXPECT_EQ(lumidex_documents_add("shop", r.body.c_str()), -1);
    EXPECT_EQ(last_error().substr(0, r.error.size()), r.error);
    EXPECT_EQ(count_of("shop"), 1);
    EXPECT_EQ(lumidex_document_get("shop", "n1"), nullptr);
  }
  EXPECT_EQ(str(lumidex_document_get("shop", "keep")),
            "{\"id\":\"keep\",\"t\":\"old\"}");
  EXPECT_EQ(lumidex_documents_add("shop", nullptr), -1);
  EXPECT_EQ(lumidex_documents_add("bad name", "{\"id\":1}"), -1);
  EXPECT_NE(last_error().find("Invalid index name `bad name`"),
            std::string::npos);
}

TEST_F(CoreTest, ARefusedBatchToAMissingIndexCreatesNothing) {
  EXPECT_EQ(lumidex_documents_add("fresh", "[{\"id\":1},{\"code\":2}]"), -1);
  EXPECT_EQ(str(lumidex_index_stats_json("fresh")), "null");
  EXPECT_EQ(lumidex_documents_add("fresh", "[]"), 0) << last_error();
  Json stats(lumidex_index_stats_json("fresh"));
  EXPECT_EQ(stats.text("primary_key"), "id");
  EXPECT_EQ(stats.integer("document_count"), 0);
}

TEST_F(CoreTest, AnUpsertReplacesTheWholeDocumentAndTheLastDuplicateWins) {
  ASSERT_EQ(lumidex_documents_add("up",
                                  "{\"id\":1,\"a\":\"oldword\","
                                  "\"b\":\"gone\"}"),
            1);
  ASSERT_EQ(lumidex_documents_add("up", "{\"id\":1,\"a\":\"newword\"}"), 1);
  EXPECT_EQ(str(lumidex_document_get("up", "1")),
            "{\"id\":1,\"a\":\"newword\"}");
  EXPECT_EQ(hits_for("up", "oldword "), 0);
  EXPECT_EQ(hits_for("up", "gone "), 0);
  EXPECT_EQ(hits_for("up", "newword "), 1);

  EXPECT_EQ(lumidex_documents_add("up",
                                  "[{\"id\":2,\"v\":\"first\"},"
                                  "{\"id\":3,\"v\":\"other\"},"
                                  "{\"id\":2,\"v\":\"second\"}]"),
            3);
  EXPECT_EQ(str(lumidex_document_get("up", "2")),
            "{\"id\":2,\"v\":\"second\"}");
  EXPECT_EQ(count_of("up"), 3);
  EXPECT_EQ(hits_for("up", "first "), 0);
}

TEST_F(CoreTest, IntegerAndStringIdsShareOneKeySpace) {
  ASSERT_EQ(lumidex_documents_add("ids",
                                  "[{\"id\":7,\"v\":\"int\"},"
                                  "{\"id\":-3},{\"id\":0}]"),
            3)
      << last_error();
  EXPECT_EQ(str(lumidex_document_get("ids", "7")), "{\"id\":7,\"v\":\"int\"}");
  EXPECT_NE(lumidex_document_get("ids", "-3"), nullptr);
  EXPECT_NE(lumidex_document_get("ids", "0"), nullptr);
  ASSERT_EQ(lumidex_documents_add("ids", "{\"id\":\"7\",\"v\":\"str\"}"), 1);
  EXPECT_EQ(str(lumidex_document_get("ids", "7")),
            "{\"id\":\"7\",\"v\":\"str\"}");
  EXPECT_EQ(count_of("ids"), 3);
}

TEST_F(CoreTest, StoredDocumentsAreCompactWithMemberOrderAndNumbersAsSent) {
  const char *body =
      "{ \"zeta\" : 1.50 ,\n \"id\": \"doc\", \"big\": "
      "123456789012345678901234,"
      " \"exp\": 1E+3, \"s\": \"caf\\u00e9 \\\"q\\\"\", \"n\": null,"
      " \"nested\": { \"b\": [ true, false ] } }";
  ASSERT_EQ(lumidex_documents_add("exact", body), 1) << last_error();
  EXPECT_EQ(str(lumidex_document_get("exact", "doc")),
            "{\"zeta\":1.50,\"id\":\"doc\",\"big\":123456789012345678901234,"
            "\"exp\":1E+3,\"s\":\"caf\xc3\xa9 \\\"q\\\"\",\"n\":null,"
            "\"nested\":{\"b\":[true,false]}}");
}

TEST_F(CoreTest, APrimaryKeyOtherThanIdIsHonoured) {
  ASSERT_EQ(lumidex_index_create("products", "sku"), 0);
  EXPECT_EQ(lumidex_documents_add("products", "{\"sku\":\"A1\",\"id\":\"x\"}"),
            1);
  EXPECT_NE(lumidex_document_get("products", "A1"), nullptr);
  EXPECT_EQ(lumidex_document_get("products", "x"), nullptr);
  EXPECT_EQ(lumidex_documents_add("products", "{\"id\":\"y\"}"), -1);
  EXPECT_EQ(last_error(), "Document at position 1 has no primary key `sku`.");

  /* The admin form creates a missing index with the key it is given. */
  EXPECT_EQ(lumidex_documents_add_pk("parts", "code", "{\"code\":5}"), 1)
      << last_error();
  EXPECT_EQ(Json(lumidex_index_stats_json("parts")).text("primary_key"),
            "code");
  EXPECT_EQ(lumidex_documents_add_pk("parts", "other", "{\"code\":6}"), 1)
      << "an existing index keeps its key";
  EXPECT_EQ(lumidex_documents_add_pk("plain", nullptr, "{\"id\":1}"), 1);
  EXPECT_EQ(lumidex_documents_add_pk("plain2", "", "{\"id\":1}"), 1);
  EXPECT_EQ(Json(lumidex_index_stats_json("plain2")).text("primary_key"), "id");
  EXPECT_EQ(lumidex_documents_add_pk("badkey", "a b", "{\"a b\":1}"), -1);
  EXPECT_NE(last_error().find("Invalid primary key `a b`"), std::string::npos);
}

TEST_F(CoreTest, EveryStringAndNumberValueIsSearchableButFieldNamesAreNot) {
  ASSERT_EQ(lumidex_documents_add(
                "text",
                "{\"id\":\"d1\",\"title\":\"Alpha\",\"meta\":{\"tags\":"
                "[\"bravo\",{\"deepkey\":\"charlie\"}]},\"year\":4242,"
                "\"flag\":true,\"nothing\":null,\"left\":\"red\","
                "\"right\":\"apple\"}\n"
                "{\"id\":\"d2\",\"title\":\"red apple pie\"}"),
            2)
      << last_error();
  struct Row {
    const char *q;
    std::vector<std::string> ids;
  } rows[] = {
      {"alpha ", {"\"d1\""}},
      {"bravo ", {"\"d1\""}},
      {"charlie ", {"\"d1\""}},
      {"4242 ", {"\"d1\""}},
      {"d2 ", {"\"d2\""}},
      {"deepkey ", {}},
      {"tags ", {}},
      {"true ", {}},
      {"null ", {}},
      /* Two values never form a phrase across their boundary. */
      {"\"red apple\"", {"\"d2\""}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.q);
    EXPECT_EQ(hit_values(lumidex_search("text", r.q, 10, 0), "id"), r.ids);
  }
}

TEST_F(CoreTest, AWordInAnEarlierFieldRanksAbove) {
  /* Inserted first, so insertion order alone would put it first. */
  ASSERT_EQ(
      lumidex_documents_add("rank",
                            "[{\"id\":\"late\",\"title\":\"plain words here\","
                            "\"body\":\"zebra and more plain words\"},"
                            "{\"id\":\"early\",\"title\":\"zebra words here\","
                            "\"body\":\"plain and more plain words\"}]"),
      2);
  EXPECT_EQ(hit_values(lumidex_search("rank", "zebra ", 10, 0), "id"),
            (std::vector<std::string>{"\"early\"", "\"late\""}));
}

TEST_F(CoreTest, GetAndDeleteReportMissingIndexesAndDocuments) {
  ASSERT_EQ(lumidex_documents_add("lib", "[{\"id\":\"a\"},{\"id\":\"b\"}]"), 2);
  struct Row {
    const char *index, *id, *error;
  } rows[] = {
      {"lib", "zz", "Document `zz` not found in index `lib`."},
      {"lib", "bad id", "Document `bad id` not found in index `lib`."},
      {"lib", "", "Document `` not found in index `lib`."},
      {"none", "a", "Index `none` not found."},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(std::string(r.index) + "/" + r.id);
    EXPECT_EQ(lumidex_document_get(r.index, r.id), nullptr);
    EXPECT_EQ(last_error(), r.error);
    EXPECT_EQ(lumidex_document_delete(r.index, r.id), -1);
    EXPECT_EQ(last_error(), r.error);
  }
  EXPECT_EQ(lumidex_document_get("lib", nullptr), nullptr);
  EXPECT_EQ(lumidex_document_delete(nullptr, "a"), -1);
  EXPECT_EQ(str(lumidex_index_stats_json("none")), "null")
      << "a failed delete must not create the index";

  EXPECT_EQ(lumidex_document_delete("lib", "a"), 0) << last_error();
  EXPECT_EQ(lumidex_document_get("lib", "a"), nullptr);
  EXPECT_EQ(count_of("lib"), 1);
  EXPECT_EQ(lumidex_document_delete("lib", "a"), -1);
  EXPECT_EQ(last_error(), "Document `a` not found in index `lib`.");
}

TEST_F(CoreTest, PagesWalkEveryDocumentInInsertionOrder) {
  std::string body = "[";
  for (int i = 0; i < 25; ++i)
    body +=
        std::string(i ? "," : "") + "{\"id\":" + std::to_string(100 - i) + "}";
  body += "]";
  ASSERT_EQ(lumidex_documents_add("pages", body.c_str()), 25);
  ASSERT_EQ(lumidex_document_delete("pages", "95"), 0);

  std::vector<long long> seen;
  unsigned long long after = 0;
  int pages = 0;
  do {
    Json page(lumidex_documents_page_json("pages", after, 10));
    ASSERT_TRUE(yyjson_is_obj(page.root())) << last_error();
    size_t idx, max;
    yyjson_val *doc;
    yyjson_arr_foreach(page.get("documents"), idx, max, doc)
        seen.push_back(yyjson_get_sint(yyjson_obj_get(doc, "id")));
    after = yyjson_get_uint(page.get("next"));
    ++pages;
  } while (after != 0 && pages < 10);
  EXPECT_EQ(pages, 3);
  std::vector<long long> expected;
  for (int i = 0; i < 25; ++i)
    if (100 - i != 95) expected.push_back(100 - i);
  EXPECT_EQ(seen, expected);

  struct Row {
    unsigned long long after;
    int limit;
    const char *expected;
  } rows[] = {
      {0, 0, "{\"documents\":[{\"id\":100}],\"next\":1}"},
      {0, -7, "{\"documents\":[{\"id\":100}],\"next\":1}"},
      {24, 5, "{\"documents\":[{\"id\":76}],\"next\":0}"},
      {25, 5, "{\"documents\":[],\"next\":0}"},
      {~0ULL, 5, "{\"documents\":[],\"next\":0}"},
      {(1ULL << 32) + 1, 5, "{\"documents\":[],\"next\":0}"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.after);
    EXPECT_EQ(str(lumidex_documents_page_json("pages", r.after, r.limit)),
              r.expected);
  }
  EXPECT_EQ(lumidex_documents_page_json("nope", 0, 10), nullptr);
  EXPECT_EQ(last_error(), "Index `nope` not found.");
}

TEST_F(CoreTest, TwoProcessesWritingToOneIndexAtOnceBothSucceed) {
  constexpr int kBatches = 15, kPerBatch = 40;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> kids;
  for (const char *prefix : {"p", "q"}) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char c;
      (void)!read(gate[0], &c, 1);
      if (lumidex_init(dir().c_str()) != 0) _exit(3);
      /* Neither creates the index first: both auto-create at once. */
      for (int b = 0; b < kBatches; ++b) {
        std::string body = ndjson_batch(
            std::string(prefix) + std::to_string(b) + "x", kPerBatch);
        if (lumidex_documents_add("shared", body.c_str()) != kPerBatch) {
          fprintf(stderr, "%s\n", str(lumidex_last_error()).c_str());
          _exit(4);
        }
      }
      lumidex_cleanup();
      _exit(0);
    }
    kids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(count_of("shared"), 2 * kBatches * kPerBatch);
  EXPECT_NE(lumidex_document_get("shared", "p14x39"), nullptr);
  EXPECT_NE(lumidex_document_get("shared", "q0x0"), nullptr);
}

TEST_F(CoreTest, AWriterKilledMidBatchLeavesOnlyWholeBatches) {
  constexpr int kPerBatch = 400;
  /* Each round waits for a first committed batch, then kills the writer at
   * a different point of a later one. */
  for (int delay_ms : {0, 3, 11, 23, 37}) {
    SCOPED_TRACE(delay_ms);
    std::string index = "crash" + std::to_string(delay_ms);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (lumidex_init(dir().c_str()) != 0) _exit(3);
      for (int b = 0;; ++b) {
        std::string body =
            ndjson_batch("b" + std::to_string(b) + "-", kPerBatch);
        if (lumidex_documents_add(index.c_str(), body.c_str()) != kPerBatch)
          _exit(4);
      }
    }
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (count_of(index.c_str()) <= 0 &&
           std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended on its own: " << status;

    long long n = count_of(index.c_str());
    EXPECT_GT(n, 0) << last_error();
    EXPECT_EQ(n % kPerBatch, 0) << n;
    /* The index still takes writes: the dead writer's lock is gone. */
    EXPECT_EQ(lumidex_documents_add(index.c_str(), "{\"id\":\"after\"}"), 1)
        << last_error();
  }
}

/* Values sharing a line, whatever whitespace parts them, are the same
 * documents as one per line. */
TEST_F(CoreTest, ValuesOnOneLineAreTheSameDocumentsAsNdjson) {
  const int n = 300;
  ASSERT_EQ(lumidex_documents_add("lines", separated_batch(n, "\n").c_str()), n)
      << last_error();
  const char *seps[] = {" ", "\t", "", " \t  \r\n", "\r\n\n"};
  for (const char *sep : seps) {
    SCOPED_TRACE(std::string("separator of ") + std::to_string(strlen(sep)));
    std::string index = "one" + std::to_string(strlen(sep)) +
                        std::to_string(static_cast<int>(sep[0]));
    ASSERT_EQ(
        lumidex_documents_add(index.c_str(), separated_batch(n, sep).c_str()),
        n)
        << last_error();
    EXPECT_EQ(str(lumidex_documents_page_json(index.c_str(), 0, 1000)),
              str(lumidex_documents_page_json("lines", 0, 1000)));
    EXPECT_EQ(hits_for(index.c_str(), "shared"), n);
  }
}

/* Each value of a one-line body is read once: 20,000 documents on one line
 * (about 1.3 MB) fit in 256 MB of address space beyond what the process
 * already has. Read from a span to the end of the line, the copies alone
 * would need about 13 GB. */
TEST_F(CoreTest, ManyValuesOnOneLineAreAddedInLinearMemory) {
  const int n = 20000;
  const std::string body = separated_batch(n, " ");
  lmxtest::ChildResult r = lmxtest::run_child(
      [&] {
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = address_space() + (256ull << 20);
        if (setrlimit(RLIMIT_AS, &lim) != 0) std::exit(2);
        int added = lumidex_documents_add("oneline", body.c_str());
        if (added != n) {
          fprintf(stderr, "added %d: %s\n", added, last_error().c_str());
          std::exit(1);
        }
      },
      lmxtest::ChildSpec{});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_of("oneline"), n);
}

/* A document beyond a limit is refused whole: the batch writes nothing, a
 * missing index is not created, and the failure names the limit, the
 * document's position and (outside a JSON array) its byte offset. */
TEST_F(CoreTest, ADocumentBeyondALimitIsRefusedNamingTheLimit) {
  ASSERT_EQ(lumidex_documents_add("big", "{\"id\":\"keep\"}"), 1);
  const std::string first = "{\"id\":\"a\",\"t\":\"fine\"}\n";
  auto nested = [](size_t depth) {
    return "{\"id\":\"n\",\"v\":" + std::string(depth - 1, '[') +
           std::string(depth - 1, ']') + "}";
  };
  std::string many_words = "{\"id\":\"w\",\"t\":\"";
  for (size_t i = 0; i <= kWords; ++i) many_words += "ab ";
  many_words += "\"}";
  /* The id term, the id's word "t" and the distinct words of "b" (a later
   * field of one line: no heading or name terms). */
  const std::string terms_at_limit =
      "{\"id\":\"t\",\"a\":\"\",\"b\":\"" + distinct_words(kTerms - 2) + "\"}";
  const std::string terms_over =
      "{\"id\":\"t\",\"a\":\"\",\"b\":\"" + distinct_words(kTerms - 1) + "\"}";
  struct Row {
    const char *what;
    std::string body;
    unsigned long long document;
    long long offset;
    std::string limit;
  } rows[] = {
      {"nesting, stream", first + nested(kNesting + 1), 2,
       static_cast<long long>(first.size()),
       "nested deeper than " + std::to_string(kNesting) + " levels"},
      {"nesting, array", "[{\"id\":1}, " + nested(kNesting + 1) + "]", 2, -1,
       "nested deeper than " + std::to_string(kNesting) + " levels"},
      {"words", first + many_words, 2, static_cast<long long>(first.size()),
       "more than " + std::to_string(kWords) + " words"},
      {"terms", "[" + terms_over + "]", 1, -1,
       "more than " + std::to_string(kTerms) + " index terms"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    for (const char *index : {"big", "fresh"}) {
      EXPECT_EQ(lumidex_documents_add(index, r.body.c_str()), -1);
      EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_DOCUMENT_TOO_LARGE)
          << last_error();
      unsigned long long document = 0;
      long long offset = 0;
      EXPECT_EQ(lumidex_last_error_position(&document, &offset), 1);
      EXPECT_EQ(document, r.document);
      EXPECT_EQ(offset, r.offset);
      EXPECT_EQ(
          last_error().rfind("Document at position " +
                                 std::to_string(r.document) + " is too large: ",
                             0),
          0u)
          << last_error();
      EXPECT_NE(last_error().find(r.limit), std::string::npos) << last_error();
    }
    EXPECT_EQ(count_of("big"), 1);
    EXPECT_EQ(lumidex_document_get("big", "a"), nullptr);
    EXPECT_EQ(str(lumidex_index_stats_json("fresh")), "null");
  }
  /* At the limits themselves a document is accepted. */
  EXPECT_EQ(lumidex_documents_add("big", nested(kNesting).c_str()), 1)
      << last_error();
  EXPECT_EQ(
      lumidex_documents_add("big", ("[" + nested(kNesting) + "]").c_str()), 1)
      << last_error();
  EXPECT_EQ(lumidex_documents_add("big", terms_at_limit.c_str()), 1)
      << last_error();
  EXPECT_EQ(hits_for("big", "xzz"), 1);
}

/* Postings are written out inside the batch's transaction every megabyte
 * or so of documents: four documents of nearly 200,000 words each, no word
 * in two of them (5 MB), fit in 256 MB of address space beyond what the process
 * has. Buffered whole until the commit they took about 350 MB. The batch still
 * commits as one: all four or none. */
TEST_F(CoreTest, LargeDocumentsOfOneBatchAreFlushedInParts) {
  std::string body;
  for (int d = 0; d < 4; ++d)
    body += "{\"id\":" + std::to_string(d) + ",\"a\":\"\",\"b\":\"" +
            distinct_words(kTerms - 10, d * kTerms) + "\"}\n";
  ASSERT_EQ(lumidex_documents_add("flush", "{\"id\":\"first\"}"), 1);
  lmxtest::ChildResult r = lmxtest::run_child(
      [&] {
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = address_space() + (256ull << 20);
        if (setrlimit(RLIMIT_AS, &lim) != 0) std::exit(2);
        int added = lumidex_documents_add("flush", body.c_str());
        if (added != 4) {
          fprintf(stderr, "added %d: %s\n", added, last_error().c_str());
          std::exit(1);
        }
      },
      lmxtest::ChildSpec{});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_of("flush"), 5);
  for (const char *id : {"0", "1", "2", "3"})
    EXPECT_NE(lumidex_document_get("flush", id), nullptr) << id;
  EXPECT_GE(hits_for("flush", "xbidoy"), 1);
}
