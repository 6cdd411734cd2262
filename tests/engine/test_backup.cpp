/*
 * test_backup.cpp: backups and restores through the C face on real
 * databases: what a round trip keeps (documents, their order and positions,
 * primary key, times), the manifest, every refusal with its error code and
 * that a refusal leaves nothing behind, replacing with replace set, and the
 * list of backups. Backups under concurrent writers are tested end to end
 * (tests/e2e/test_backup.cpp).
 */
#include <sys/stat.h>

#include <cstdio>
#include <functional>

#include "core_fixture.h"

using coretest::CoreTest;
using coretest::Json;
using coretest::last_error;
using coretest::str;

namespace {

class Backup : public CoreTest {
 protected:
  std::string dest() const { return dest_.path(); }
  std::string storage_entries() const {
    return joined(lmxtest::entries_of(dir()));
  }
  std::string dest_entries() const {
    return joined(lmxtest::entries_of(dest()));
  }

  static std::string joined(const std::vector<std::string> &names) {
    std::string out;
    for (const std::string &n : names) out += n + " ";
    return out;
  }

  /* Every document of index, a page of one at a time. */
  static std::string documents(const char *index) {
    return coretest::documents(index, 1);
  }

 private:
  lmxtest::TempDir dest_;
};

TEST_F(Backup, RoundTripKeepsDocumentsOrderPositionsAndMetadata) {
  ASSERT_EQ(lumidex_index_create("shop", "sku"), 0);
  ASSERT_EQ(lumidex_documents_add(
                "shop", R"([{"sku":"a","t":"one"},{"sku":"b","t":"two"},)"
                        R"({"sku":"c","t":"three"},{"sku":"d","t":"four"}])"),
            4);
  /* A gap at the start and one in the middle: renumbering would move the
   * positions an export resumes from. */
  ASSERT_EQ(lumidex_document_delete("shop", "a"), 0);
  ASSERT_EQ(lumidex_document_delete("shop", "c"), 0);
  ASSERT_EQ(lumidex_documents_add("shop", R"({"sku":"b","t":"TWO"})"), 1);
  std::string before_docs = documents("shop");
  std::string before_stats = str(lumidex_index_stats_json("shop"));

  Json manifest(lumidex_index_backup_json("shop", dest().c_str()));
  ASSERT_TRUE(manifest.root()) << last_error();
  EXPECT_EQ(manifest.text("index"), "shop");
  /* Creation, the add, two deletions, the replacement: five commits. */
  EXPECT_EQ(manifest.integer("revision"), 5);
  EXPECT_EQ(manifest.integer("document_count"), 2);
  EXPECT_EQ(manifest.text("primary_key"), "sku");
  Json stats(before_stats.c_str());
  EXPECT_EQ(manifest.text("created_at"), stats.text("created_at"));
  EXPECT_EQ(manifest.text("updated_at"), stats.text("updated_at"));
  EXPECT_NE(manifest.text("backed_up_at"), "<none>");

  ASSERT_EQ(lumidex_index_delete("shop"), 0);
  Json restored(lumidex_index_restore_json(dest().c_str(), "shop", 0));
  ASSERT_TRUE(restored.root()) << last_error();
  EXPECT_EQ(restored.integer("revision"), 5);
  EXPECT_EQ(documents("shop"), before_docs);
  EXPECT_EQ(str(lumidex_index_stats_json("shop")), before_stats);
  EXPECT_EQ(storage_entries(), "shop ");

  /* A document added now comes after the restored ones. */
  ASSERT_EQ(lumidex_documents_add("shop", R"({"sku":"e","t":"five"})"), 1);
  std::string after_add = documents("shop");
  EXPECT_NE(after_add.find(R"({"sku":"d","t":"four"})"), std::string::npos);
  EXPECT_GT(after_add.find(R"({"sku":"e")"),
            after_add.find(R"({"sku":"d","t":"four"})"))
      << after_add;
}

struct Refusal {
  const char *what;
  std::function<void(const std::string &storage, const std::string &dest)>
      prepare;
  std::function<const char *(const std::string &dest)> call;
  const char *error_part;
  int code;
};

TEST_F(Backup, RefusalsSayWhyAndLeaveNothingBehind) {
  auto write = [](const std::string &path, const std::string &text) {
    ASSERT_TRUE(lmxtest::write_file(path, text)) << path;
  };
  auto backup = [](const char *index) {
    return [index](const std::string &d) {
      return lumidex_index_backup_json(index, d.c_str());
    };
  };
  auto restore = [](const char *index, int replace) {
    return [index, replace](const std::string &d) {
      return lumidex_index_restore_json(d.c_str(), index, replace);
    };
  };
  auto nothing = [](const std::string &, const std::string &) {};
  const std::vector<Refusal> cases = {
      {"backup of a missing index", nothing, backup("nope"),
       "Index `nope` not found.", LUMIDEX_ERROR_INDEX_NOT_FOUND},
      {"backup under an invalid name", nothing, backup("../x"),
       "Invalid index name", LUMIDEX_ERROR_INVALID_ARGUMENT},
      {"backup into a missing directory", nothing,
       [](const std::string &d) {
         return lumidex_index_backup_json("notes", (d + "/missing").c_str());
       },
       "does not exist", LUMIDEX_ERROR_STORAGE_REFUSED},
      {"backup into a directory every user may write",
       [](const std::string &, const std::string &d) {
         chmod(d.c_str(), 0777);
       },
       backup("notes"), "writable by every user",
       LUMIDEX_ERROR_STORAGE_REFUSED},
      {"backup over an existing backup",
       [](const std::string &, const std::string &d) {
         mkdir((d + "/notes").c_str(), 0700);
       },
       backup("notes"), "A backup of index `notes` already exists",
       LUMIDEX_ERROR_INDEX_EXISTS},
      {"restore without a backup", nothing, restore("notes", 1),
       "No backup of index `notes`", LUMIDEX_ERROR_INDEX_NOT_FOUND},
      {"restore of a backup renamed to another index",
       [&](const std::string &, const std::string &d) {
         ASSERT_TRUE(lumidex_index_backup_json("notes", d.c_str()));
         ASSERT_EQ(rename((d + "/notes").c_str(), (d + "/other").c_str()), 0);
       },
       restore("other", 0), "holds index `notes`, not `other`",
       LUMIDEX_ERROR_INVALID_ARGUMENT},
      {"restore of a backup whose manifest counts other documents",
       [&](const std::string &, const std::string &d) {
         Json m(lumidex_index_backup_json("notes", d.c_str()));
         ASSERT_EQ(m.integer("document_count"), 2);
         std::string path = d + "/notes/lumidex-backup.json";
         std::string text = lmxtest::read_file(path).value_or("");
         size_t at = text.find("\"document_count\":2");
         ASSERT_NE(at, std::string::npos) << text;
         text.replace(at, 18, "\"document_count\":3");
         ASSERT_EQ(unlink(path.c_str()), 0);
         write(path, text);
       },
       restore("notes", 1), "does not hold the documents its manifest counts",
       LUMIDEX_ERROR_INTERNAL},
      {"restore of a backup with a broken manifest",
       [&](const std::string &, const std::string &d) {
         ASSERT_TRUE(lumidex_index_backup_json("notes", d.c_str()));
         std::string path = d + "/notes/lumidex-backup.json";
         ASSERT_EQ(unlink(path.c_str()), 0);
         write(path, "{\"index\":\"notes\",\"revision\":-1}");
       },
       restore("notes", 1), "no readable lumidex-backup.json",
       LUMIDEX_ERROR_INDEX_NOT_FOUND},
      {"restore over an existing index without replace",
       [&](const std::string &, const std::string &d) {
         ASSERT_TRUE(lumidex_index_backup_json("notes", d.c_str()));
       },
       restore("notes", 0), "Index `notes` already exists.",
       LUMIDEX_ERROR_INDEX_EXISTS},
  };
  for (const Refusal &c : cases) {
    SCOPED_TRACE(c.what);
    lmxtest::TempDir d;
    ASSERT_EQ(lumidex_documents_add("notes", R"([{"id":"1"},{"id":"2"}])"), 2);
    c.prepare(dir(), d.path());
    std::string dest_before = joined(lmxtest::entries_of(d.path()));
    std::string stats_before = str(lumidex_index_stats_json("notes"));
    EXPECT_EQ(c.call(d.path()), nullptr);
    EXPECT_NE(last_error().find(c.error_part), std::string::npos)
        << last_error();
    EXPECT_EQ(lumidex_last_error_code(), c.code) << last_error();
    EXPECT_EQ(joined(lmxtest::entries_of(d.path())), dest_before);
    EXPECT_EQ(storage_entries(), "notes ");
    EXPECT_EQ(str(lumidex_index_stats_json("notes")), stats_before);
    chmod(d.path().c_str(), 0700);
    ASSERT_EQ(lumidex_index_delete("notes"), 0);
  }
}

TEST_F(Backup, ReplaceExchangesTheExistingIndex) {
  ASSERT_EQ(lumidex_documents_add("notes", R"([{"id":"1","t":"kept"}])"), 1);
  ASSERT_TRUE(lumidex_index_backup_json("notes", dest().c_str()))
      << last_error();
  ASSERT_EQ(lumidex_documents_add("notes", R"([{"id":"2"},{"id":"3"}])"), 2);
  ASSERT_EQ(lumidex_document_delete("notes", "1"), 0);

  ASSERT_TRUE(lumidex_index_restore_json(dest().c_str(), "notes", 1))
      << last_error();
  EXPECT_EQ(documents("notes"), "{\"id\":\"1\",\"t\":\"kept\"}\nnext 0\n");
  EXPECT_EQ(storage_entries(), "notes ");
  /* The backup stays as it was, to be restored again. */
  EXPECT_EQ(dest_entries(), "notes ");
  EXPECT_TRUE(lumidex_index_restore_json(dest().c_str(), "notes", 1))
      << last_error();
}

TEST_F(Backup, ListGivesTheManifestsOfRealBackupsInNameOrder) {
  for (const char *name : {"zeta", "alpha"}) {
    ASSERT_EQ(lumidex_documents_add(name, R"({"id":"1"})"), 1);
    ASSERT_TRUE(lumidex_index_backup_json(name, dest().c_str()))
        << last_error();
  }
  /* Neither a plain directory nor a misnamed backup is one. */
  ASSERT_EQ(mkdir((dest() + "/stray").c_str(), 0700), 0);
  ASSERT_EQ(rename((dest() + "/zeta").c_str(), (dest() + "/beta").c_str()), 0);
  ASSERT_TRUE(lumidex_index_backup_json("zeta", dest().c_str()))
      << last_error();

  Json list(lumidex_backups_list_json(dest().c_str()));
  ASSERT_TRUE(yyjson_is_arr(list.root()));
  std::string names;
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(list.root(), idx, max, item) {
    names += yyjson_get_str(yyjson_obj_get(item, "index"));
    names += "=" +
             std::to_string(
                 yyjson_get_uint(yyjson_obj_get(item, "document_count"))) +
             " ";
  }
  EXPECT_EQ(names, "alpha=1 zeta=1 ");
  EXPECT_EQ(lumidex_backups_list_json((dest() + "/missing").c_str()), nullptr);
  EXPECT_NE(last_error().find("cannot be listed"), std::string::npos);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_STORAGE_REFUSED);
}

}  // namespace
