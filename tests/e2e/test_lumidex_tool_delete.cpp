/*
 * test_lumidex_tool_delete.cpp: `lumidex delete` (ids from a file or
 * standard input, or a filter) and `lumidex export --filter`, run as
 * processes on a real storage directory.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kTool = std::string(LMX_BUILD_DIR) + "/tools/lumidex";

ChildResult tool(const std::string &dir, std::vector<std::string> args,
                 const std::string &input = "") {
  ChildSpec job;
  if (!input.empty()) {
    job.stdin_kind = lmxtest::StdinKind::Pipe;
    job.stdin_bytes = input;
  }
  args.insert(args.begin(), {"--storage-dir", dir});
  return lmxtest::run_program(kTool, args, job);
}

/* doc(k) for k in [0, n) as NDJSON: {"id":"dK","n":K,"kind":"a" or "b"}. */
std::string records(int n) {
  std::string out;
  for (int k = 0; k < n; ++k)
    out += "{\"id\":\"d" + std::to_string(k) + "\",\"n\":" + std::to_string(k) +
           ",\"kind\":\"" + (k % 2 ? "b" : "a") + "\"}\n";
  return out;
}

/* The ids an export lists, space-separated. */
std::string exported_ids(const std::string &dir,
                         const std::vector<std::string> &extra = {}) {
  std::vector<std::string> args{"-q", "export", "docs"};
  args.insert(args.end(), extra.begin(), extra.end());
  ChildResult r = tool(dir, args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string ids;
  for (size_t at = r.out.find("\"id\":\""); at != std::string::npos;
       at = r.out.find("\"id\":\"", at + 1)) {
    size_t start = at + 6;
    ids += (ids.empty() ? "" : " ") +
           r.out.substr(start, r.out.find('"', start) - start);
  }
  return ids;
}

class ToolDelete : public ::testing::Test {
 protected:
  void SetUp() override {
    ChildResult r =
        tool(dir_.path(), {"-q", "import", "docs", "-"}, records(10));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string settings = dir_.sub("settings.json");
    ASSERT_TRUE(
        lmxtest::write_file(settings,
                            "{\"filterableAttributes\":[\"n\",\"kind\"],"
                            "\"displayedAttributes\":[\"n\"]}"));
    r = tool(dir_.path(), {"-q", "settings", "docs", "--set", settings});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  const std::string &dir() const { return dir_.path(); }
  std::string sub(const std::string &name) const { return dir_.sub(name); }

 private:
  TempDir dir_;
};

}  // namespace

TEST_F(ToolDelete, ExportFilterWritesTheMatchingDocumentsAsStored) {
  EXPECT_EQ(exported_ids(dir(), {"--filter", "kind = b AND n < 6"}),
            "d1 d3 d5");
  ChildResult whole =
      tool(dir(), {"-q", "export", "docs", "--filter", "n = 4"});
  EXPECT_EQ(whole.out, "{\"id\":\"d4\",\"n\":4,\"kind\":\"a\"}\n")
      << "the stored document, not the displayed fields";
  ChildResult bad = tool(dir(), {"export", "docs", "--filter", "size = 1"});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find("Attribute `size` is not filterable"),
            std::string::npos)
      << bad.err;
}

TEST_F(ToolDelete, DeleteTakesIdsFromAFileOrStandardInput) {
  std::string file = sub("ids.txt");
  ASSERT_TRUE(lmxtest::write_file(file, "d1\r\n\n  d2  \nmissing\nd1\n"));
  ChildResult r = tool(dir(), {"delete", "docs", "--ids", file});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("lumidex: deleted 2 documents from `docs`"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(exported_ids(dir()), "d0 d3 d4 d5 d6 d7 d8 d9");
  r = tool(dir(), {"-q", "delete", "docs", "--ids", "-"}, "d3\nd4\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(exported_ids(dir()), "d0 d5 d6 d7 d8 d9");
}

TEST_F(ToolDelete, DeleteByFilterTakesEveryMatchInOneGo) {
  ChildResult r = tool(dir(), {"delete", "docs", "--filter", "kind = a"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("deleted 5 documents"), std::string::npos) << r.err;
  EXPECT_EQ(exported_ids(dir()), "d1 d3 d5 d7 d9");
}

/* Refusals delete nothing and say why, on one line. */
TEST_F(ToolDelete, RefusedDeletionsDeleteNothing) {
  std::string file = sub("bad.txt");
  ASSERT_TRUE(lmxtest::write_file(file, "d1\nnot an id\nd2\n"));
  struct Row {
    std::vector<std::string> args;
    int exit_code;
    std::string says;
  } rows[] = {
      {{"delete", "docs", "--ids", file},
       1,
       "id 2 (not counting blank lines) is not a document id"},
      {{"delete", "docs", "--filter", "n >"}, 1, "at byte"},
      {{"delete", "docs", "--filter", "price = 1"}, 1, "not filterable"},
      {{"delete", "docs", "--ids", sub("absent.txt")}, 1, "cannot read"},
      {{"delete", "none", "--filter", "n = 1"}, 1, "not found"},
      {{"delete", "docs"}, 2, "give either --ids FILE or --filter EXPR"},
      {{"delete", "docs", "--ids", file, "--filter", "n = 1"}, 2, "excludes"},
  };
  for (const Row &row : rows) {
    std::string line;
    for (const std::string &a : row.args) line += " " + a;
    SCOPED_TRACE("lumidex" + line);
    ChildResult r = tool(dir(), row.args);
    EXPECT_EQ(r.exit_code, row.exit_code) << r.err;
    EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("lumidex: ", 0), 0u) << r.err;
    EXPECT_EQ(exported_ids(dir()), "d0 d1 d2 d3 d4 d5 d6 d7 d8 d9");
  }
}
