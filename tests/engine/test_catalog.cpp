/*
 * test_catalog.cpp: the indexes of a storage directory through the C face:
 * lumidex_init's checks of the directory, creation, deletion, listing and
 * statistics, concurrent creation and what a crashed creation leaves.
 */
#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <set>

#include "core_fixture.h"
#include "patterns.h"

using coretest::CoreTest;
using coretest::Json;
using coretest::last_error;
using coretest::str;

namespace {

std::vector<std::string> entries(const std::string &dir) {
  std::vector<std::string> out;
  DIR *d = opendir(dir.c_str());
  if (!d) return out;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
      out.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> listed_names() {
  std::vector<std::string> names;
  Json list(lumidex_indexes_list_json());
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(list.root(), idx, max, item) {
    const char *n = yyjson_get_str(yyjson_obj_get(item, "name"));
    names.push_back(n ? n : "<none>");
  }
  return names;
}

}  // namespace

TEST(Catalog, InitRefusesDirectoriesThatAreMissingUnsafeOrNotDirectories) {
  lmxtest::TempDir tmp;
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("file"), "x"));
  ASSERT_EQ(mkdir(tmp.sub("open").c_str(), 0700), 0);
  ASSERT_EQ(chmod(tmp.sub("open").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(tmp.sub("sticky").c_str(), 0700), 0);
  ASSERT_EQ(chmod(tmp.sub("sticky").c_str(), 01777), 0);
  ASSERT_EQ(mkdir(tmp.sub("foreign").c_str(), 0700), 0);
  bool can_chown = chown(tmp.sub("foreign").c_str(), 65534, 65534) == 0;

  struct Row {
    std::string dir;
    const char *reason;
  } rows[] = {
      {tmp.sub("missing"), "does not exist"},
      {tmp.sub("file"), "is not a directory"},
      {tmp.sub("open"), "writable by every user"},
      {tmp.sub("sticky"), "writable by every user"},
      {"", "No storage directory"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.dir);
    EXPECT_NE(lumidex_init(r.dir.c_str()), 0);
    EXPECT_NE(last_error().find(r.reason), std::string::npos) << last_error();
  }
  EXPECT_NE(lumidex_init(nullptr), 0);
  if (can_chown) {
    EXPECT_NE(lumidex_init(tmp.sub("foreign").c_str()), 0);
    EXPECT_NE(last_error().find("belongs to another user"), std::string::npos)
        << last_error();
  }
  /* Group-writable is the owner's choice and is accepted. */
  ASSERT_EQ(chmod(tmp.sub("open").c_str(), 0770), 0);
  EXPECT_EQ(lumidex_init(tmp.sub("open").c_str()), 0) << last_error();
  lumidex_cleanup();
}

TEST(Catalog, ReadOnlyStorageServesSearchesAndRefusesWritesClearly) {
  lmxtest::TempDir tmp;
  ASSERT_EQ(lumidex_init(tmp.path().c_str()), 0);
  ASSERT_EQ(lumidex_documents_add("books", "{\"id\":1,\"t\":\"dune\"}"), 1);
  lumidex_cleanup();
  /* Root ignores file modes, so the child drops to an unprivileged user
   * that owns the (now read-only) tree. */
  ASSERT_EQ(system(("chown -R 65534:65534 " + tmp.path() + " && chmod -R a-w " +
                    tmp.path())
                       .c_str()),
            0);
  lmxtest::ChildSpec job;
  auto r = lmxtest::run_child(
      [&] {
        if (geteuid() == 0 && setuid(65534) != 0) _exit(10);
        if (lumidex_init(tmp.path().c_str()) != 0) _exit(11);
        const char *hits = lumidex_search("books", "dune", 10, 0);
        if (!hits || !strstr(hits, "\"dune\"")) _exit(12);
        if (lumidex_index_create("more", "id") == 0) _exit(13);
        printf("%s\n", str(lumidex_last_error()).c_str());
        if (lumidex_documents_add("books", "{\"id\":2}") != -1) _exit(14);
        printf("%s\n", str(lumidex_last_error()).c_str());
        lumidex_cleanup();
      },
      job);
  system(("chmod -R u+w " + tmp.path()).c_str());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Index `more` cannot be created"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Index `books` cannot be opened for writing"),
            std::string::npos)
      << r.out;
}

TEST_F(CoreTest, CreateRefusesExistingEntriesAndInvalidNamesOrKeys) {
  ASSERT_EQ(lumidex_index_create("movies", "id"), 0) << last_error();
  ASSERT_EQ(mkdir((dir() + "/empty").c_str(), 0700), 0);
  std::string long_name(128, 'a');

  struct Row {
    std::string name, pk, error;
  } rows[] = {
      {"movies", "id", "Index `movies` already exists."},
      /* An empty directory is never replaced by a new index. */
      {"empty", "id", "Index `empty` already exists."},
      {"", "id",
       "Invalid index name ``: use 1 to 127 characters of "
       "A-Z a-z 0-9 - _."},
      {"my movies", "id", "Invalid index name `my movies`"},
      {"../up", "id", "Invalid index name `../up`"},
      {".hidden", "id", "Invalid index name `.hidden`"},
      {"caf\xc3\xa9", "id", "Invalid index name `caf\xc3\xa9`"},
      {long_name, "id", "Invalid index name"},
      {"ok", "", "Invalid primary key ``: use 1 to 127 characters"},
      {"ok", "a.b", "Invalid primary key `a.b`"},
      {"ok", long_name, "Invalid primary key"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name + " / " + r.pk);
    EXPECT_EQ(lumidex_index_create(r.name.c_str(), r.pk.c_str()), -1);
    EXPECT_EQ(last_error().substr(0, r.error.size()), r.error);
  }
  EXPECT_EQ(lumidex_index_create(nullptr, "id"), -1);
  EXPECT_EQ(lumidex_index_create("ok", nullptr), -1);
  EXPECT_EQ(lumidex_index_stats_json("ok"), std::string("null"));
  EXPECT_EQ(entries(dir() + "/empty").size(), 0u);
  /* The longest valid name and key work. */
  std::string max_name(127, 'z');
  EXPECT_EQ(lumidex_index_create(max_name.c_str(), max_name.c_str()), 0)
      << last_error();
}

TEST_F(CoreTest, ListIsOrderedByNameAndSkipsWorkAreasAndStrays) {
  for (const char *n : {"b", "a", "C-1", "a_2"})
    ASSERT_EQ(lumidex_index_create(n, "id"), 0) << last_error();
  ASSERT_EQ(mkdir((dir() + "/.tmp-x.1.1").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((dir() + "/stray").c_str(), 0700), 0);
  ASSERT_TRUE(lmxtest::write_file(dir() + "/notes.txt", "hello"));
  ASSERT_TRUE(lmxtest::write_file(dir() + "/plainfile", "hello"));

  EXPECT_EQ(listed_names(), (std::vector<std::string>{"C-1", "a", "a_2", "b"}));
}

TEST_F(CoreTest, StatsAndListReportCountKeyAndTimes) {
  ASSERT_EQ(lumidex_index_create("products", "sku"), 0) << last_error();
  ASSERT_EQ(lumidex_documents_add("products",
                                  "[{\"sku\":\"a\"},{\"sku\":\"b\"},"
                                  "{\"sku\":\"c\"}]"),
            3)
      << last_error();

  Json stats(lumidex_index_stats_json("products"));
  ASSERT_TRUE(yyjson_is_obj(stats.root()));
  EXPECT_EQ(stats.integer("document_count"), 3);
  EXPECT_EQ(stats.text("primary_key"), "sku");
  const std::string rfc3339 = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ";
  EXPECT_TRUE(lmxtest::full_match(stats.text("created_at"), rfc3339));
  EXPECT_TRUE(lmxtest::full_match(stats.text("updated_at"), rfc3339));
  EXPECT_LE(stats.text("created_at"), stats.text("updated_at"));
  /* The members come in this order. */
  std::string raw = lumidex_index_stats_json("products");
  EXPECT_EQ(raw.rfind("{\"document_count\":3,\"primary_key\":\"sku\","
                      "\"created_at\":",
                      0),
            0u)
      << raw;

  Json list(lumidex_indexes_list_json());
  ASSERT_EQ(yyjson_arr_size(list.root()), 1u);
  yyjson_val *entry = yyjson_arr_get_first(list.root());
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "name")), "products");
  EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(entry, "primary_key")), "sku");
  EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(entry, "document_count")), 3);
  EXPECT_TRUE(yyjson_is_str(yyjson_obj_get(entry, "updated_at")));

  for (const char *missing : {"nope", "", "bad name"})
    EXPECT_EQ(str(lumidex_index_stats_json(missing)), "null") << missing;
  EXPECT_EQ(str(lumidex_index_stats_json(nullptr)), "null");
  EXPECT_EQ(str(lumidex_indexes_list_json()).substr(0, 1), "[");
}

TEST_F(CoreTest, DeleteRemovesTheIndexWithItsDocumentsAndLeavesNoTrash) {
  ASSERT_EQ(lumidex_documents_add("gone", "{\"id\":1,\"t\":\"word\"}"), 1);
  ASSERT_EQ(lumidex_index_delete("gone"), 0) << last_error();
  EXPECT_EQ(str(lumidex_index_stats_json("gone")), "null");
  EXPECT_EQ(lumidex_search("gone", "word", 10, 0), nullptr);
  EXPECT_EQ(lumidex_document_get("gone", "1"), nullptr);
  EXPECT_TRUE(listed_names().empty());
  EXPECT_TRUE(entries(dir()).empty());

  EXPECT_EQ(lumidex_index_delete("gone"), -1);
  EXPECT_EQ(last_error(), "Index `gone` not found.");
  EXPECT_EQ(lumidex_index_delete("bad/name"), -1);
  EXPECT_NE(last_error().find("Invalid index name `bad/name`"),
            std::string::npos);
  EXPECT_EQ(lumidex_index_delete(nullptr), -1);

  /* A new index of the same name starts empty. */
  ASSERT_EQ(lumidex_index_create("gone", "id"), 0) << last_error();
  Json stats(lumidex_index_stats_json("gone"));
  EXPECT_EQ(stats.integer("document_count"), 0);
}

TEST_F(CoreTest, ReopenedEngineSeesEverythingCommitted) {
  ASSERT_EQ(lumidex_index_create("keep", "code"), 0);
  ASSERT_EQ(lumidex_documents_add("keep", "{\"code\":\"x1\",\"v\":\"kept\"}"),
            1);
  lumidex_cleanup();
  ASSERT_EQ(lumidex_init(dir().c_str()), 0);
  EXPECT_EQ(str(lumidex_document_get("keep", "x1")),
            "{\"code\":\"x1\",\"v\":\"kept\"}");
  Json stats(lumidex_index_stats_json("keep"));
  EXPECT_EQ(stats.text("primary_key"), "code");
  EXPECT_EQ(stats.integer("document_count"), 1);
}

TEST_F(CoreTest, ConcurrentCreationsHaveExactlyOneWinner) {
  constexpr int kRacers = 6;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> kids;
  for (int i = 0; i < kRacers; ++i) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char c;
      (void)!read(gate[0], &c, 1); /* all start when the gate closes */
      if (lumidex_init(dir().c_str()) != 0) _exit(3);
      int rc = lumidex_index_create("race", "id");
      bool lost_cleanly = rc != 0 && str(lumidex_last_error()) ==
                                         "Index `race` already exists.";
      _exit(rc == 0 ? 0 : lost_cleanly ? 1 : 2);
    }
    kids.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  int winners = 0, losers = 0;
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 0) ++winners;
    if (WEXITSTATUS(status) == 1) ++losers;
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(losers, kRacers - 1);
  EXPECT_EQ(entries(dir()), std::vector<std::string>{"race"});
}

TEST_F(CoreTest, OldLeftoversOfDeadProcessesAreInvisibleAndSwept) {
  /* A creator killed mid-way leaves its work area; its pid is dead. */
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  ASSERT_GT(dead, 0);
  waitpid(dead, nullptr, 0);
  std::string pid_dead = std::to_string(dead),
              pid_live = std::to_string(getpid());
  struct Row {
    std::string entry;
    bool backdate, swept;
  } rows[] = {
      {".tmp-race." + pid_dead + ".1", true, true},
      {".trash-old." + pid_dead + ".2", true, true},
      /* Recent: its owner may live in another pid namespace. */
      {".tmp-recent." + pid_dead + ".3", false, false},
      /* A live process's work area is left alone however old. */
      {".tmp-other." + pid_live + ".9", true, false},
  };
  struct timeval old[2] = {{time(nullptr) - 3600, 0},
                           {time(nullptr) - 3600, 0}};
  for (const Row &r : rows) {
    std::string path = dir() + "/" + r.entry;
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    ASSERT_TRUE(lmxtest::write_file(path + "/half", "partial"));
    if (r.backdate) {
      ASSERT_EQ(utimes(path.c_str(), old), 0);
    }
  }

  EXPECT_TRUE(listed_names().empty());
  EXPECT_EQ(str(lumidex_index_stats_json("race")), "null");
  ASSERT_EQ(lumidex_index_create("race", "id"), 0) << last_error();
  std::vector<std::string> want{"race"};
  for (const Row &r : rows)
    if (!r.swept) want.push_back(r.entry);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(entries(dir()), want);
}

/* What lumidex_storage_check gives for a storage directory made up by
 * prepare, and a piece its last error must hold. */
TEST(Catalog, StorageCheckFindsTheFirstIndexThatCannotBeRead) {
  std::string noise;
  for (int i = 0; i < 4096; i++)
    noise += static_cast<char>((i * 7919 + 13) & 0xFF);
  struct Row {
    const char *what;
    std::function<void(const std::string &)> prepare;
    int result;
    std::string error; /* "" for LUMIDEX_CHECK_OK */
  } rows[] = {
      {"empty storage", [](const std::string &) {}, LUMIDEX_CHECK_OK, ""},
      {"sound indexes, work areas and plain files",
       [](const std::string &d) {
         ASSERT_EQ(lumidex_index_create("a", "id"), 0);
         ASSERT_EQ(lumidex_documents_add("b", "{\"id\":\"1\"}"), 1);
         ASSERT_EQ(mkdir((d + "/.tmp-x.1.1").c_str(), 0700), 0);
         ASSERT_TRUE(lmxtest::write_file(d + "/README", "notes"));
       },
       LUMIDEX_CHECK_OK, ""},
      {"an index of garbage files",
       [&](const std::string &d) {
         ASSERT_EQ(lumidex_index_create("a", "id"), 0);
         ASSERT_EQ(mkdir((d + "/junk").c_str(), 0700), 0);
         for (const char *f : {"iamglass", "postlist.glass", "docdata.glass"})
           ASSERT_TRUE(lmxtest::write_file(d + "/junk/" + f, noise));
         ASSERT_EQ(lumidex_index_create("z", "id"), 0);
       },
       LUMIDEX_CHECK_INDEX, "Index `junk` cannot be read: "},
      {"an index whose version file was damaged",
       [&](const std::string &d) {
         ASSERT_EQ(lumidex_documents_add("books", "{\"id\":\"1\"}"), 1);
         ASSERT_TRUE(lmxtest::write_file(d + "/books/iamglass", noise));
       },
       LUMIDEX_CHECK_INDEX, "Index `books` cannot be read: "},
      {"an empty directory named like an index",
       [](const std::string &d) {
         ASSERT_EQ(mkdir((d + "/stray").c_str(), 0700), 0);
       },
       LUMIDEX_CHECK_INDEX, "Index `stray` cannot be read: "},
      {"storage removed after opening",
       [](const std::string &d) { ASSERT_EQ(rmdir(d.c_str()), 0); },
       LUMIDEX_CHECK_STORAGE, "cannot be listed"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    lmxtest::TempDir tmp;
    std::string dir = tmp.sub("storage");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(lumidex_init(dir.c_str()), 0) << last_error();
    row.prepare(dir);
    EXPECT_EQ(lumidex_storage_check(), row.result);
    if (row.result != LUMIDEX_CHECK_OK) {
      EXPECT_NE(last_error().find(row.error), std::string::npos)
          << last_error();
    }
    lumidex_cleanup();
  }
  /* Without an open engine there is no storage to check. */
  EXPECT_EQ(lumidex_storage_check(), LUMIDEX_CHECK_STORAGE);
  EXPECT_NE(last_error().find("not open"), std::string::npos) << last_error();
}
