/*
 * test_lumidex_tool.cpp: the built `lumidex` program as a process against the
 * real engine in temporary storage directories.
 *
 * What the tool wrote is read back through the engine's own C functions in a
 * forked child (so the test process never keeps the library open), or
 * through the tool's own export where the export itself is under test. Runs
 * go through pipes, so standard error is no terminal there; the progress
 * line and pretty output are checked by running the tool on a pseudo
 * terminal.
 */
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "child.h"
#include "engine_child.h"
#include "lumidex_core.h"

namespace {

using lmxtest::with_engine;

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kTool = std::string(LMX_BUILD_DIR) + "/tools/lumidex";
const std::string kData = std::string(LMX_SOURCE_DIR) + "/tests/data/";

ChildResult run_tool(const std::vector<std::string> &args,
                     const ChildSpec &job = ChildSpec()) {
  return lmxtest::run_program(kTool, args, job);
}

/* Runs the tool on storage directory dir. */
ChildResult tool(const std::string &dir, std::vector<std::string> args,
                 const ChildSpec &job = ChildSpec()) {
  args.insert(args.begin(), {"--storage-dir", dir});
  return run_tool(args, job);
}

std::string stored(const std::string &dir, const std::string &index,
                   const std::string &id) {
  return with_engine(dir, [&] {
    const char *doc = lumidex_document_get(index.c_str(), id.c_str());
    return std::string(doc ? doc : "<missing>");
  });
}

std::string stats(const std::string &dir, const std::string &index) {
  return with_engine(dir, [&] {
    const char *s = lumidex_index_stats_json(index.c_str());
    return std::string(s ? s : "<null>");
  });
}

/* document_count of the stats text, or -1. */
long count_of(const std::string &dir, const std::string &index) {
  std::string s = stats(dir, index);
  size_t at = s.find("\"document_count\":");
  return at == std::string::npos ? -1 : atol(s.c_str() + at + 17);
}

size_t lines(const std::string &text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

/* ---- Import of each format ------------------------------------------- */

struct FormatCase {
  const char *what;
  std::string file;    /* name in the temp dir, or a tests/data path */
  std::string content; /* written to file unless empty */
  std::vector<std::string> extra;
  std::vector<std::pair<std::string, std::string>> docs; /* id, stored text */
};

TEST(LumidexTool, ImportsEachFormatWithTheExactValues) {
  const std::vector<FormatCase> cases = {
      {"NDJSON with BOM, CRLF, blank lines, raw numbers",
       "a.ndjson",
       "\xEF\xBB\xBF{\"id\":\"a\", \"n\": 1.50}\r\n\r\n  \n"
       "{\"id\":7,\"big\":12345678901234567890,\"t\":\"caf\\u00e9\"}\r\n",
       {},
       {{"a", R"({"id":"a","n":1.50})"},
        {"7", R"({"id":7,"big":12345678901234567890,"t":"café"})"}}},
      {"JSON array, pretty-printed, with BOM",
       "b.JSON",
       "\xEF\xBB\xBF[\n  {\"id\": \"x\", \"tags\": [\"a\", {\"k\": null}]},\n"
       "  {\"id\": \"y\"}\n]\n",
       {},
       {{"x", R"({"id":"x","tags":["a",{"k":null}]})"},
        {"y", R"({"id":"y"})"}}},
      {"a single JSON object",
       "c.json",
       "{\"id\":\"solo\",\"v\":true}",
       {},
       {{"solo", R"({"id":"solo","v":true})"}}},
      {"CSV: BOM, CRLF, quoted commas, newlines and quotes, UTF-8, empty cells",
       kData + "tool_quoted_bom.csv",
       "",
       {},
       {{"1",
         R"({"id":"1","title":"Hello, world","body":"first line\r\nsecond line","city":"Zürich"})"},
        {"2", R"({"id":"2","title":"Émile","body":"","city":"東京"})"},
        {"3",
         R"({"id":"3","title":" spaced ","body":"she said \"hi\"","city":" unquoted "})"},
        {"num-4",
         R"({"id":"num-4","title":"plain","body":"a,b,c\nd","city":"São Paulo"})"}}},
      {"--format overrides the ending; other primary key",
       "d.txt",
       "sku,name\nk1,one\n",
       {"--format", "csv", "--primary-key", "sku"},
       {{"k1", R"({"sku":"k1","name":"one"})"}}},
  };
  for (const FormatCase &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string path = c.file;
    if (!c.content.empty()) {
      path = dir.sub(c.file);
      ASSERT_TRUE(lmxtest::write_file(path, c.content));
    }
    std::vector<std::string> args = {"import", "idx", path};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ChildResult r = tool(dir.path(), args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    /* Not a terminal: no progress drawing, one summary line. */
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_FALSE(contains(r.err, "\r"));
    EXPECT_TRUE(contains(r.err, "imported " + std::to_string(c.docs.size())))
        << r.err;
    for (const auto &d : c.docs)
      EXPECT_EQ(stored(dir.path(), "idx", d.first), d.second);
    EXPECT_EQ(count_of(dir.path(), "idx"), static_cast<long>(c.docs.size()));
  }
}

TEST(LumidexTool, DashReadsStandardInputAsNdjsonUnlessFormatSaysOtherwise) {
  TempDir dir;
  ChildSpec job;
  job.stdin_kind = lmxtest::StdinKind::Pipe;
  job.stdin_bytes = "{\"id\":\"p1\"}\n{\"id\":\"p2\",\"x\":[1]}\n";
  ChildResult r = tool(dir.path(), {"-q", "import", "piped", "-"}, job);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, ""); /* -q: not even the summary */
  EXPECT_EQ(stored(dir.path(), "piped", "p2"), R"({"id":"p2","x":[1]})");

  job.stdin_bytes = "id,v\nc1,\"a\nb\"\n";
  r = tool(dir.path(), {"import", "piped", "-", "--format", "csv"}, job);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(stored(dir.path(), "piped", "c1"), R"({"id":"c1","v":"a\nb"})");
}

TEST(LumidexTool, EmptyInputStillCreatesTheIndexWithItsPrimaryKey) {
  TempDir dir;
  ASSERT_TRUE(lmxtest::write_file(dir.sub("e.ndjson"), "\n\n"));
  ChildResult r = tool(dir.path(), {"import", "empty", dir.sub("e.ndjson"),
                                    "--primary-key", "uid"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(stats(dir.path(), "empty"), "\"primary_key\":\"uid\""));
  EXPECT_EQ(count_of(dir.path(), "empty"), 0);
}

/* ---- Compaction -------------------------------------------------------- */

/* count NDJSON records with ids prefix0.. */
std::string records(const std::string &prefix, int count) {
  std::string out;
  for (int k = 0; k < count; k++)
    out += "{\"id\":\"" + prefix + std::to_string(k) +
           "\",\"text\":\"word" + std::to_string(k % 40) + " more\"}\n";
  return out;
}

/* An import that wrote most of its index compacts it (saying so); a small
 * one into a larger index, or one with --no-compact, does not; `compact`
 * does it on demand. Whether it happened is read from the directory: the
 * exchange puts another directory in the index's place. */
TEST(LumidexTool, CompactsAfterABulkImportAndOnDemand) {
  TempDir dir;
  auto identity = [&] {
    struct stat st;
    return stat(dir.sub("shop").c_str(), &st) == 0 ? st.st_ino : 0;
  };
  ASSERT_TRUE(lmxtest::write_file(dir.sub("bulk.ndjson"), records("b", 1500)));
  ASSERT_TRUE(lmxtest::write_file(dir.sub("few.ndjson"), records("f", 20)));
  ChildResult r = tool(dir.path(), {"import", "shop", dir.sub("bulk.ndjson"),
                                    "--batch", "100"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "compacted `shop` (1500 documents)")) << r.err;
  EXPECT_EQ(count_of(dir.path(), "shop"), 1500);

  ino_t before = identity();
  r = tool(dir.path(), {"import", "shop", dir.sub("few.ndjson")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(contains(r.err, "compacted")) << r.err;
  EXPECT_EQ(identity(), before);

  r = tool(dir.path(), {"import", "other", dir.sub("bulk.ndjson"),
                        "--no-compact"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(contains(r.err, "compacted")) << r.err;

  r = tool(dir.path(), {"compact", "shop"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "lumidex: compacted `shop` (1520 documents)\n");
  EXPECT_NE(identity(), before);
  EXPECT_EQ(count_of(dir.path(), "shop"), 1520);
  EXPECT_NE(stored(dir.path(), "shop", "f19"), "<missing>");

  r = tool(dir.path(), {"compact", "missing"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.err, "cannot compact `missing`")) << r.err;

  /* A rewrite of every document keeps them, and compacts too. */
  before = identity();
  r = tool(dir.path(), {"reindex", "shop"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(
      contains(r.err, "lumidex: rewrote the 1520 documents of `shop` in "))
      << r.err;
  EXPECT_NE(identity(), before);
  EXPECT_EQ(count_of(dir.path(), "shop"), 1520);
  EXPECT_NE(stored(dir.path(), "shop", "f19"), "<missing>");
  r = tool(dir.path(), {"reindex", "missing"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(
      contains(r.err, "cannot rewrite `missing`: Index `missing` not found."))
      << r.err;
}

/* ---- The stop at a bad record ----------------------------------------- */

/* Six records numbered 1..6 whose fifth is `bad`, in the given format. */
std::string six_with_fifth(const std::string &ext, const std::string &bad) {
  std::string out = ext == "csv" ? "id,v\n" : ext == "json" ? "[" : "";
  for (int i = 1; i <= 6; i++) {
    std::string rec;
    if (i == 5)
      rec = bad;
    else if (ext == "csv")
      rec = std::to_string(i) + ",x";
    else
      rec = "{\"id\":\"" + std::to_string(i) + "\"}";
    if (ext == "json")
      out += (i > 1 ? "," : "") + rec;
    else
      out += rec + (ext == "ndjson" && i == 3 ? "\n\n" : "\n");
  }
  return ext == "json" ? out + "]" : out;
}

TEST(LumidexTool, StopsAtTheBadRecordNamingItAndKeepsTheCommittedBatches) {
  struct Case {
    const char *what;
    std::string ext, bad;
    int batch;
    long committed;
  };
  const std::vector<Case> cases = {
      {"engine refuses: no primary key", "ndjson", R"({"name":"five"})", 2, 4},
      {"the gathered batch is dropped", "ndjson", R"({"name":"five"})", 3, 3},
      {"not an object", "ndjson", "[1,2]", 2, 4},
      {"invalid JSON", "ndjson", R"({"id":"5",)", 2, 4},
      {"array element not an object", "json", R"("five")", 2, 4},
      {"array element refused by the engine", "json", R"({"id":"a b"})", 2, 4},
      {"CSV row with too few fields", "csv", "5", 2, 4},
      {"CSV row with invalid UTF-8", "csv", "5,\xC3(", 2, 4},
      {"CSV stray quote: earlier rows still go", "csv", "5,x\"y", 2, 4},
      {"CSV primary key refused by the engine", "csv", "a b,x", 2, 4},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string path = dir.sub("in." + c.ext);
    ASSERT_TRUE(lmxtest::write_file(path, six_with_fifth(c.ext, c.bad)));
    ChildResult r = tool(dir.path(), {"import", "idx", path, "--batch",
                                      std::to_string(c.batch)});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, path + ", record 5: ")) << r.err;
    EXPECT_TRUE(contains(
        r.err, std::to_string(c.committed) + " documents committed before it"))
        << r.err;
    EXPECT_EQ(count_of(dir.path(), "idx"), c.committed);
    EXPECT_EQ(
        stored(dir.path(), "idx", std::to_string(c.committed)).substr(0, 6),
        "{\"id\":");
    EXPECT_EQ(stored(dir.path(), "idx", "6"), "<missing>");
  }
}

TEST(LumidexTool, ARefusedBatchSpanningFilesNamesTheRightFile) {
  TempDir dir;
  std::string first = dir.sub("first.ndjson"),
              second = dir.sub("second.ndjson");
  ASSERT_TRUE(lmxtest::write_file(
      first, "{\"id\":\"1\"}\n{\"id\":\"2\"}\n{\"id\":\"3\"}\n"));
  ASSERT_TRUE(lmxtest::write_file(second, "{\"id\":\"4\"}\n{\"nope\":1}\n"));
  /* Batches of 2: [1,2] commits, [3, second#1] commits, [second#2] fails. */
  ChildResult r =
      tool(dir.path(), {"import", "idx", first, second, "--batch", "2"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.err, second + ", record 2: ")) << r.err;
  EXPECT_TRUE(contains(r.err, "4 documents committed")) << r.err;

  /* Batches of 3: [1,2,3] commits, [second#1, second#2] is refused at its
   * second position, which is the second file's record 2. */
  TempDir dir2;
  r = tool(dir2.path(), {"import", "idx", first, second, "--batch", "3"});
  EXPECT_TRUE(contains(r.err, second + ", record 2: ")) << r.err;
  EXPECT_TRUE(contains(r.err, "3 documents committed")) << r.err;
  EXPECT_EQ(count_of(dir2.path(), "idx"), 3);
}

/* The tool finds the refused record from the engine's numbers, not its
 * text: the record, the document's place in the batch and the engine's own
 * words all appear, whatever the engine's wording. */
TEST(LumidexTool, ARefusedRecordIsFoundByTheEnginesPositionAndKeepsItsText) {
  struct Case {
    const char *what;
    std::string body;
    const char *batch;
    const char *record, *in_batch, *engine_says;
  };
  const std::vector<Case> cases = {
      {"no primary key, third of a batch of four",
       "{\"id\":\"1\"}\n{\"id\":\"2\"}\n{\"x\":1}\n{\"id\":\"4\"}\n", "4",
       "record 3: ", "(document 3 of the batch)",
       "Document at position 3 has no primary key `id`."},
      {"invalid key, first of the second batch",
       "{\"id\":\"1\"}\n{\"id\":\"2\"}\n{\"id\":\"a b\"}\n", "2",
       "record 3: ", "(document 1 of the batch)",
       "Document at position 1 has an invalid primary key `id` value"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string path = dir.sub("in.ndjson");
    ASSERT_TRUE(lmxtest::write_file(path, c.body));
    ChildResult r =
        tool(dir.path(), {"import", "idx", path, "--batch", c.batch});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, path + ", " + c.record)) << r.err;
    EXPECT_TRUE(contains(r.err, c.in_batch)) << r.err;
    EXPECT_TRUE(contains(r.err, c.engine_says)) << r.err;
  }
}

/* ---- Export ----------------------------------------------------------- */

TEST(LumidexTool, ExportThenImportIntoANewIndexReproducesTheBytes) {
  TempDir dir;
  std::optional<std::string> tricky =
      lmxtest::read_file(kData + "tool_roundtrip.ndjson");
  ASSERT_TRUE(tricky.has_value());
  /* More than one engine page (1000) and several batches, ids not sorted. */
  std::string input = *tricky;
  for (int i = 2500; i > 0; i--)
    input += "{\"id\":\"g" + std::to_string(i) +
             "\",\"n\":" + std::to_string(i) + ".0}\n";
  ASSERT_TRUE(lmxtest::write_file(dir.sub("in.ndjson"), input));
  ASSERT_EQ(
      tool(dir.path(), {"import", "a", dir.sub("in.ndjson"), "--batch", "700"})
          .exit_code,
      0);

  ChildResult a = tool(dir.path(), {"export", "a"});
  ASSERT_EQ(a.exit_code, 0) << a.err;
  EXPECT_EQ(lines(a.out), 2505u);
  EXPECT_EQ(
      a.out.substr(0, a.out.find('\n') + 1),
      "{\"id\":\"zeta\",\"price\":1.50,\"big\":12345678901234567890,"
      "\"exp\":1E+3,\"neg\":-0.0}\n"); /* insertion order, numbers as written */
  EXPECT_TRUE(
      contains(a.out, "{\"id\":\"g2500\",\"n\":2500.0}\n{\"id\":\"g2499\""));
  const std::string last = "\n{\"id\":\"g1\",\"n\":1.0}\n";
  EXPECT_EQ(a.out.compare(a.out.size() - last.size(), last.size(), last), 0);

  ASSERT_EQ(tool(dir.path(), {"export", "a", dir.sub("a.ndjson")}).exit_code,
            0);
  EXPECT_EQ(lmxtest::read_file(dir.sub("a.ndjson")).value_or(""), a.out);

  ASSERT_EQ(tool(dir.path(), {"import", "b", dir.sub("a.ndjson")}).exit_code,
            0);
  ChildResult b = tool(dir.path(), {"export", "b"});
  ASSERT_EQ(b.exit_code, 0) << b.err;
  EXPECT_EQ(b.out, a.out);
  EXPECT_EQ(stored(dir.path(), "b", "alpha"), stored(dir.path(), "a", "alpha"));
}

TEST(LumidexTool, AFailedExportLeavesNoFileBehind) {
  TempDir dir;
  ChildResult r =
      tool(dir.path(), {"export", "missing", dir.sub("out.ndjson")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_FALSE(lmxtest::read_file(dir.sub("out.ndjson")).has_value());
}

/* ---- Inspecting commands ---------------------------------------------- */

TEST(LumidexTool, InspectCommandsPrintTheEngineAnswerUnchanged) {
  TempDir dir;
  ASSERT_TRUE(lmxtest::write_file(dir.sub("m.ndjson"),
                                  "{\"id\":\"m1\",\"t\":\"red apple\"}\n"
                                  "{\"id\":\"m2\",\"t\":\"green apple\"}\n"
                                  "{\"id\":\"m3\",\"t\":\"pear\"}\n"));
  ASSERT_EQ(
      tool(dir.path(), {"import", "fruit", dir.sub("m.ndjson")}).exit_code, 0);

  std::string list = with_engine(
      dir.path(), [] { return std::string(lumidex_indexes_list_json()); });
  EXPECT_EQ(tool(dir.path(), {"indexes"}).out, list + "\n");
  EXPECT_EQ(tool(dir.path(), {"stats", "fruit"}).out,
            stats(dir.path(), "fruit") + "\n");

  ChildResult s = tool(dir.path(), {"search", "fruit", "apple", "--limit", "1",
                                    "--offset", "1"});
  EXPECT_EQ(s.exit_code, 0) << s.err;
  EXPECT_EQ(lines(s.out), 1u);
  EXPECT_TRUE(contains(s.out, "\"limit\":1,\"offset\":1,\"total_hits\":2"))
      << s.out;

  ChildResult d = tool(dir.path(), {"delete-index", "fruit"});
  EXPECT_EQ(d.exit_code, 0) << d.err;
  EXPECT_EQ(stats(dir.path(), "fruit"), "null");
}

/* Runs the tool with standard output and standard error on a pseudo
 * terminal; returns everything the terminal received. */
std::string on_terminal(const std::vector<std::string> &args) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    std::vector<char *> argv = {const_cast<char *>(kTool.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(kTool.c_str(), argv.data());
    _exit(127);
  }
  std::string seen;
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof buf)) > 0) seen.append(buf, n);
  close(master);
  waitpid(pid, nullptr, 0);
  return seen;
}

TEST(LumidexTool, ATerminalGetsAProgressLineAndPrettyJson) {
  TempDir dir;
  ASSERT_TRUE(lmxtest::write_file(dir.sub("t.ndjson"),
                                  "{\"id\":\"t1\"}\n{\"id\":\"t2\"}\n"));
  std::string seen = on_terminal(
      {"--storage-dir", dir.path(), "import", "t", dir.sub("t.ndjson")});
  EXPECT_TRUE(contains(seen, "\rimporting: ")) << seen;
  EXPECT_TRUE(contains(seen, "docs/s, ")) << seen; /* a known size: percent */
  EXPECT_TRUE(contains(seen, "%, 0:00 left")) << seen;
  EXPECT_TRUE(contains(seen, "imported 2 documents")) << seen;

  seen = on_terminal({"--storage-dir", dir.path(), "stats", "t"});
  EXPECT_TRUE(contains(seen, "{\r\n  \"document_count\": 2,")) << seen;
}

/* ---- Settings --------------------------------------------------------- */

/* Total hits of query in index, through the engine, or -1. */
long hits_of(const std::string &dir, const std::string &index,
             const std::string &query) {
  std::string s = with_engine(dir, [&] {
    const char *a = lumidex_search(index.c_str(), query.c_str(), 10, 0);
    return std::string(a ? a : "<null>");
  });
  size_t at = s.find("\"total_hits\":");
  return at == std::string::npos ? -1 : atol(s.c_str() + at + 13);
}

TEST(LumidexTool, SettingsAreShownChangedAndAppliedBeforeAnImport) {
  TempDir dir;
  ASSERT_TRUE(lmxtest::write_file(
      dir.sub("d.ndjson"),
      "{\"id\":\"1\",\"title\":\"Connections\",\"note\":\"secret\"}\n"
      "{\"id\":\"2\",\"title\":\"Nets\",\"note\":\"connected\"}\n"));
  ASSERT_TRUE(lmxtest::write_file(dir.sub("s.json"),
                                  R"({"searchableAttributes":["title"]})"));
  ChildResult r = tool(dir.path(), {"import", "--settings", dir.sub("s.json"),
                                    "idx", dir.sub("d.ndjson")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  /* Applied before the first batch: nothing to rewrite, nothing said. */
  EXPECT_FALSE(contains(r.err, "rewrote")) << r.err;
  EXPECT_EQ(hits_of(dir.path(), "idx", "secret"), 0);
  EXPECT_EQ(hits_of(dir.path(), "idx", "connections"), 1);

  const std::string listed =
      R"({"searchableAttributes":["title"],"displayedAttributes":["*"],)"
      R"("language":null,"stopWords":[],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})";
  r = tool(dir.path(), {"settings", "idx"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, listed + "\n");
  EXPECT_EQ(r.err, "");

  /* From standard input; a rewrite is told in one line, and no progress
   * line is drawn where standard error is no terminal. */
  ChildSpec in;
  in.stdin_kind = lmxtest::StdinKind::Pipe;
  in.stdin_bytes = R"({"searchableAttributes":null,"language":"en"})";
  r = tool(dir.path(), {"settings", "idx", "--set", "-"}, in);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            R"({"searchableAttributes":["*"],"displayedAttributes":["*"],)"
            R"("language":"en","stopWords":[],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})"
            "\n");
  EXPECT_EQ(r.err.rfind("lumidex: rewrote the 2 documents of `idx`", 0), 0u)
      << r.err;
  EXPECT_EQ(lines(r.err), 1u);
  EXPECT_FALSE(contains(r.err, "\r"));
  EXPECT_EQ(hits_of(dir.path(), "idx", "secret"), 1);

  /* -q says nothing; a change that rewrites nothing says nothing either. */
  ASSERT_TRUE(
      lmxtest::write_file(dir.sub("stop.json"), R"({"stopWords":["the"]})"));
  r = tool(dir.path(),
           {"-q", "settings", "idx", "--set", dir.sub("stop.json")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");

  /* Refusals: one line naming what was wrong; nothing changed. */
  const struct {
    std::vector<std::string> args;
    std::string body; /* the --set file's content */
    const char *named;
  } refusals[] = {
      {{"settings", "idx", "--set", dir.sub("bad.json")},
       R"({"language":1})",
       "`language`"},
      {{"settings", "idx", "--set", dir.sub("bad.json")}, "[]", "JSON object"},
      {{"settings", "idx", "--set", dir.sub("none.json")}, "", "none.json"},
      {{"settings", "nope"}, "", "`nope` not found"},
      {{"settings", "nope", "--set", dir.sub("bad.json")},
       "{}",
       "`nope` not found"},
      {{"import", "--settings", dir.sub("bad.json"), "idx",
        dir.sub("d.ndjson")},
       R"({"synonyms":[]})",
       "`synonyms`"},
  };
  std::string before = tool(dir.path(), {"settings", "idx"}).out;
  for (const auto &c : refusals) {
    SCOPED_TRACE(c.args[0] + " " + c.body);
    if (!c.body.empty()) {
      ASSERT_TRUE(lmxtest::write_file(dir.sub("bad.json"), c.body));
    }
    r = tool(dir.path(), c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, c.named)) << r.err;
  }
  EXPECT_EQ(tool(dir.path(), {"settings", "idx"}).out, before);
}

TEST(LumidexTool, ATerminalSeesTheRewriteProgress) {
  TempDir dir;
  std::string docs;
  for (int i = 0; i < 200; i++)
    docs += "{\"id\":\"" + std::to_string(i) + "\",\"t\":\"word\"}\n";
  ASSERT_TRUE(lmxtest::write_file(dir.sub("d.ndjson"), docs));
  ASSERT_TRUE(lmxtest::write_file(dir.sub("s.json"), R"({"language":"fr"})"));
  ASSERT_EQ(tool(dir.path(), {"import", "idx", dir.sub("d.ndjson")}).exit_code,
            0);
  std::string seen = on_terminal({"--storage-dir", dir.path(), "settings",
                                  "idx", "--set", dir.sub("s.json")});
  EXPECT_TRUE(contains(seen, "\rrewriting: ")) << seen;
  EXPECT_TRUE(contains(seen, "rewrote the 200 documents")) << seen;
  EXPECT_TRUE(contains(seen, "\"language\": \"fr\"")) << seen;
}

/* ---- Command line, exit codes, storage directory ----------------------- */

TEST(LumidexTool, UsageErrorsExitTwoWithOneLine) {
  TempDir dir;
  ASSERT_TRUE(lmxtest::write_file(dir.sub("ok.ndjson"), "{\"id\":\"1\"}\n"));
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"import"},
      {"import", "idx"},
      {"import", "idx", dir.sub("ok.ndjson"), "--batch", "0"},
      {"import", "idx", dir.sub("ok.ndjson"), "--batch", "many"},
      {"import", "idx", dir.sub("ok.ndjson"), "--format", "xml"},
      {"import", "idx", dir.sub("data.txt")},
      {"search", "idx"},
      {"search", "idx", "q", "--limit", "-1"},
      {"stats"},
      {"settings"},
      {"settings", "idx", "--set"},
      {"import", "idx", "-", "--settings", "-"},
      {"indexes", "--no-such-option"},
  };
  for (const auto &args : cases) {
    std::string shown;
    for (const auto &a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    ChildResult r = tool(dir.path(), args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("lumidex: ", 0), 0u) << r.err;
  }
  EXPECT_EQ(count_of(dir.path(), "idx"), -1); /* nothing was created */
}

TEST(LumidexTool, FailuresExitOneWithOneLine) {
  TempDir dir;
  ASSERT_TRUE(lmxtest::write_file(dir.sub("ok.ndjson"), "{\"id\":\"1\"}\n"));
  ASSERT_EQ(
      tool(dir.path(), {"import", "have", dir.sub("ok.ndjson")}).exit_code, 0);
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"stats", "missing"}, "index `missing` not found"},
      {{"search", "missing", "q"}, "Index `missing` not found."},
      {{"export", "missing"}, "index `missing` not found"},
      {{"delete-index", "missing"}, "Index `missing` not found."},
      {{"import", "have", dir.sub("absent.ndjson")}, "absent.ndjson"},
      {{"import", "have", dir.sub("ok.ndjson"), "--primary-key", "sku"},
       "exists with primary key `id`, not `sku`"},
      {{"import", "bad name", dir.sub("ok.ndjson")}, "Invalid index name"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.says);
    ChildResult r = tool(dir.path(), c.args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_TRUE(contains(r.err, c.says)) << r.err;
  }
  ChildResult r = run_tool({"--storage-dir", dir.sub("nowhere"), "indexes"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.err, "cannot open the storage directory")) << r.err;
}

TEST(LumidexTool, HelpOnEveryLevelAndVersion) {
  for (const char *cmd :
       {"", "import", "export", "indexes", "stats", "search", "delete-index",
        "compact"}) {
    SCOPED_TRACE(cmd);
    std::vector<std::string> args;
    if (*cmd) args.push_back(cmd);
    args.push_back("--help");
    ChildResult r = run_tool(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(contains(r.out, std::string("Usage: lumidex ") + cmd)) << r.out;
  }
  ChildResult v = run_tool({"--version"});
  EXPECT_EQ(v.exit_code, 0);
  EXPECT_EQ(v.out, "lumidex 1.0.0\n");
}

TEST(LumidexTool, WithoutStorageDirItUsesTheServedApiResolution) {
  TempDir a, b, c;
  ASSERT_TRUE(lmxtest::write_file(a.sub("in.ndjson"), "{\"id\":\"1\"}\n"));
  struct Case {
    std::map<std::string, std::string> env;
    std::vector<std::string> pre;
    const TempDir *lands;
  };
  const std::vector<Case> cases = {
      {{{"LUMIDEX_STORAGE_DIR", b.path()}, {"LUMIDEX_DATA_DIR", c.path()}},
       {},
       &b},
      {{{"LUMIDEX_STORAGE_DIR", ""}, {"LUMIDEX_DATA_DIR", c.path()}}, {}, &c},
      {{{"LUMIDEX_STORAGE_DIR", b.path()}}, {"--storage-dir", c.path()}, &c},
  };
  int n = 0;
  for (const Case &k : cases) {
    std::string index = "where" + std::to_string(++n);
    SCOPED_TRACE(index);
    ChildSpec job;
    job.env = k.env;
    std::vector<std::string> args = k.pre;
    args.insert(args.end(), {"import", index, a.sub("in.ndjson")});
    ASSERT_EQ(run_tool(args, job).exit_code, 0);
    for (const TempDir *d : {&b, &c})
      EXPECT_EQ(count_of(d->path(), index), d == k.lands ? 1 : -1);
  }
}

}  // namespace
