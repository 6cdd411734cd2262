/*
 * test_lmx_lifetime.cpp: storage-directory resolution, recursive directory
 * creation, and opening and closing the engine exactly once, against the
 * engine test double. Everything that touches the module's statics runs in
 * a forked child, so each case starts unresolved and closed.
 */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "child.h"
#include "engine_double.h"
#include "lmx_common.h"

namespace {

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/* Runs fn in a child with env; fn's text goes to stdout, the double's call
 * log to stderr. */
lmxtest::ChildResult in_child(const std::map<std::string, std::string> &env,
                              const std::function<std::string()> &fn) {
  lmxtest::ChildSpec job;
  job.env = env;
  return lmxtest::run_child(
      [&] {
        dbl::reset();
        std::string text = fn();
        fputs(text.c_str(), stdout);
        dbl::dump(stderr);
      },
      job);
}

TEST(LmxLifetime, StorageDirectoryIsTheFirstNonEmptyCandidate) {
  lmxtest::TempDir tmp;
  const std::string t = tmp.path();
  struct Row {
    const char *name;
    std::map<std::string, std::string> env;
    std::string want;
  } rows[] = {
      {"storage dir wins over all",
       {{"LUMIDEX_STORAGE_DIR", t + "/s"},
        {"LUMIDEX_DATA_DIR", t + "/d"},
        {"LOCALAPPDATA", t + "/l"},
        {"TEMP", t + "/t"}},
       t + "/s"},
      {"empty storage dir skipped",
       {{"LUMIDEX_STORAGE_DIR", ""},
        {"LUMIDEX_DATA_DIR", t + "/d"},
        {"LOCALAPPDATA", t + "/l"}},
       t + "/d"},
      {"local app data with its sub-path",
       {{"LUMIDEX_STORAGE_DIR", ""},
        {"LUMIDEX_DATA_DIR", ""},
        {"LOCALAPPDATA", t + "/l"},
        {"TEMP", t + "/t"}},
       t + "/l/PersonalLumidex/data"},
      {"temp with its sub-path",
       {{"LOCALAPPDATA", ""}, {"TEMP", t + "/t"}},
       t + "/t/nolvaris-lumidex"},
      {"values taken as they are",
       {{"LUMIDEX_DATA_DIR", " " + t + "/sp "}},
       " " + t + "/sp "},
      {"nothing set", {}, "/tmp/nolvaris-lumidex"},
      {"everything empty",
       {{"LUMIDEX_STORAGE_DIR", ""},
        {"LUMIDEX_DATA_DIR", ""},
        {"LOCALAPPDATA", ""},
        {"TEMP", ""}},
       "/tmp/nolvaris-lumidex"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    lmxtest::ChildResult res = in_child(row.env, [] {
      return std::to_string(lmx_init_engine()) + "|" + lmx_get_storage_dir();
    });
    EXPECT_EQ(res.out, "0|" + row.want);
    EXPECT_EQ(res.err, "lumidex_init(" + row.want + ")\n");
    if (row.want[0] == '/') {
      EXPECT_TRUE(is_dir(row.want)) << row.want;
    }
  }
}

TEST(LmxLifetime, OverLongValuesAreCutTo511Bytes) {
  lmxtest::TempDir tmp;
  /* Short segments, so the cut prefix is a path that can be created. */
  std::string value = tmp.path();
  while (value.size() < 600) value += "/abc";
  const std::string cut = value.substr(0, 511);
  struct Row {
    const char *var;
    std::string want;
  } rows[] = {
      {"LUMIDEX_STORAGE_DIR", cut},
      {"LUMIDEX_DATA_DIR", cut},
      {"LOCALAPPDATA", cut},
      {"TEMP", cut},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.var);
    lmxtest::ChildResult res = in_child({{row.var, value}}, [] {
      lmx_init_engine();
      return std::string(lmx_get_storage_dir());
    });
    EXPECT_EQ(res.out.size(), 511u);
    EXPECT_EQ(res.out, row.want);
    EXPECT_EQ(res.err, "lumidex_init(" + row.want + ")\n");
  }
  std::string created = cut;
  if (created.back() == '/') created.pop_back();
  EXPECT_TRUE(is_dir(created));
}

TEST(LmxLifetime, StorageDirectoryIsResolvedOncePerProcess) {
  lmxtest::TempDir tmp;
  lmxtest::ChildResult res =
      in_child({{"LUMIDEX_STORAGE_DIR", tmp.sub("first")}}, [&] {
        std::string a = lmx_get_storage_dir();
        setenv("LUMIDEX_STORAGE_DIR", tmp.sub("second").c_str(), 1);
        std::string b = lmx_get_storage_dir();
        lmx_init_engine();
        return a + "|" + b;
      });
  EXPECT_EQ(res.out, tmp.sub("first") + "|" + tmp.sub("first"));
  EXPECT_EQ(res.err, "lumidex_init(" + tmp.sub("first") + ")\n");
  /* Looking the directory up neither opens the engine nor creates it;
   * only the open does. */
  EXPECT_TRUE(is_dir(tmp.sub("first")));
  EXPECT_FALSE(is_dir(tmp.sub("second")));
}

TEST(LmxLifetime, EngineIsGivenThePathAsResolvedWhileParentsAreCreated) {
  lmxtest::TempDir tmp;
  const std::string value = tmp.path() + "/a/b\\c/d/";
  lmxtest::ChildResult res = in_child({{"LUMIDEX_STORAGE_DIR", value}}, [] {
    return std::to_string(lmx_init_engine());
  });
  EXPECT_EQ(res.out, "0");
  /* Trailing separator and backslash reach the engine unchanged. */
  EXPECT_EQ(res.err, "lumidex_init(" + value + ")\n");
  EXPECT_TRUE(is_dir(tmp.path() + "/a/b\\c/d"));
  /* On this host a backslash is a file-name byte, not a level. */
  EXPECT_FALSE(is_dir(tmp.path() + "/a/b"));
}

TEST(LmxLifetime, MkdirPCreatesMissingParentsAndReportsTheLastLevel) {
  lmxtest::TempDir tmp;
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("file"), "x"));
  struct Row {
    const char *name;
    const char *path; /* nullptr stands for null */
    std::string made; /* directory expected afterwards, "" for none */
    int want;
  };
  const std::string deep = tmp.sub("x/y/z");
  const std::string trailing = tmp.sub("t/u") + "/";
  const std::string below_file = tmp.sub("file/sub");
  const Row rows[] = {
      {"null", nullptr, "", 0},
      {"empty", "", "", 0},
      {"three missing levels", deep.c_str(), deep, 0},
      {"already there", deep.c_str(), deep, -1},
      {"trailing separator", trailing.c_str(), tmp.sub("t/u"), 0},
      {"below a regular file", below_file.c_str(), "", -1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(lmx_mkdir_p(row.path), row.want);
    if (!row.made.empty()) {
      EXPECT_TRUE(is_dir(row.made));
    }
  }
  EXPECT_FALSE(is_dir(tmp.sub("file/sub")));
}

TEST(LmxLifetime, SecondInitDoesNotReopenAndCleanupClosesOnce) {
  lmxtest::TempDir tmp;
  const std::string dir = tmp.sub("s");
  lmxtest::ChildResult res = in_child({{"LUMIDEX_STORAGE_DIR", dir}}, [&] {
    std::string r;
    r += std::to_string(lmx_init_engine());
    r += std::to_string(lmx_init_engine());
    lmx_cleanup_engine();
    lmx_cleanup_engine();
    /* A later start opens again, on the directory resolved before. */
    setenv("LUMIDEX_STORAGE_DIR", tmp.sub("other").c_str(), 1);
    r += std::to_string(lmx_init_engine());
    lmx_cleanup_engine();
    return r;
  });
  EXPECT_EQ(res.out, "000");
  EXPECT_EQ(res.err, "lumidex_init(" + dir +
                         ")\nlumidex_cleanup()\n"
                         "lumidex_init(" +
                         dir + ")\nlumidex_cleanup()\n");
}

TEST(LmxLifetime, FailedInitLeavesTheEngineClosed) {
  lmxtest::TempDir tmp;
  const std::string dir = tmp.sub("s");
  lmxtest::ChildResult res = in_child({{"LUMIDEX_STORAGE_DIR", dir}}, [] {
    std::string r;
    lmx_cleanup_engine(); /* nothing open yet: no call */
    dbl::script().init_result = 3;
    r += std::to_string(lmx_init_engine()) + ",";
    lmx_cleanup_engine(); /* still closed: no call */
    r += std::to_string(lmx_init_engine()) + ",";
    dbl::script().init_result = 0;
    r += std::to_string(lmx_init_engine());
    lmx_cleanup_engine();
    return r;
  });
  EXPECT_EQ(res.out, "-1,-1,0");
  EXPECT_EQ(res.err, "lumidex_init(" + dir + ")\nlumidex_init(" + dir +
                         ")\nlumidex_init(" + dir + ")\nlumidex_cleanup()\n");
}

TEST(LmxLifetime, KeptOpenTheEngineOpensOnceAndFollowsTheRequestsDirectory) {
  /* Requests of one long-lived process, each with its own environment:
   * cleanup leaves the engine open; a request naming another storage
   * directory closes it and opens it there; a failed open is tried again
   * by the next request; letting go closes it for good. */
  lmxtest::TempDir tmp;
  const std::string a = tmp.sub("a"), b = tmp.sub("b");
  lmxtest::ChildResult res = in_child({{"LUMIDEX_STORAGE_DIR", a}}, [&] {
    std::string out;
    auto request = [&](const std::string &dir) {
      setenv("LUMIDEX_STORAGE_DIR", dir.c_str(), 1);
      out += std::to_string(lmx_init_engine()) + lmx_get_storage_dir() + ";";
      lmx_cleanup_engine();
    };
    lmx_keep_engine_open(1);
    request(a);
    request(a);
    request(b);
    dbl::script().init_result = -1;
    request(a);
    dbl::script().init_result = 0;
    request(a);
    lmx_keep_engine_open(0);
    lmx_cleanup_engine();
    return out;
  });
  EXPECT_EQ(res.out,
            "0" + a + ";0" + a + ";0" + b + ";-1" + a + ";0" + a + ";");
  EXPECT_EQ(res.err, "lumidex_init(" + a +
                         ")\nlumidex_cleanup()\nlumidex_init(" + b +
                         ")\nlumidex_cleanup()\nlumidex_init(" + a +
                         ")\nlumidex_init(" + a + ")\nlumidex_cleanup()\n");
}

}  // namespace
