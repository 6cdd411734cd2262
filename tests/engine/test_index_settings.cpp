/*
 * test_index_settings.cpp: what an index's settings do to its documents,
 * through the library's C calls on real indexes, with the index files read
 * back with Xapian to see the terms written: which fields are indexed for a
 * searchableAttributes list (dotted paths, arrays along them), that
 * unlisted fields are returned but not searched, that the first listed
 * field weighs most, that a language writes stems, that a rewrite keeps the
 * documents, their ids and their order, and that settings survive a reopen
 * and a backup.
 */
#include <gtest/gtest.h>
#include <xapian.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core_fixture.h"
#include "layout.h"
#include "lumidex_search.h"

namespace {

using coretest::CoreTest;
using coretest::hit_values;
using coretest::str;

/* The terms of the document with id in the index at path, with their wdf. */
std::map<std::string, Xapian::termcount> terms_of(const std::string &path,
                                                  const std::string &id) {
  Xapian::Database db(path);
  std::map<std::string, Xapian::termcount> out;
  Xapian::PostingIterator p = db.postlist_begin("Q" + id);
  if (p == db.postlist_end("Q" + id)) return out;
  Xapian::Document doc = db.get_document(*p);
  for (auto t = doc.termlist_begin(); t != doc.termlist_end(); ++t)
    out[*t] = t.get_wdf();
  return out;
}

/* A document {"id":id,"name":name,"text":word repeated count times}. */
std::string repeated(int id, const std::string &name, const std::string &word,
                     int count) {
  std::string text;
  for (int k = 0; k < count; ++k) text += word + " ";
  return R"({"id":)" + std::to_string(id) + R"(,"name":")" + name +
         R"(","text":")" + text + "\"}";
}

/* id term -> docid, for every document of the index at path. */
std::map<std::string, Xapian::docid> docids_of(const std::string &path) {
  Xapian::Database db(path);
  std::map<std::string, Xapian::docid> out;
  for (auto t = db.allterms_begin("Q"); t != db.allterms_end("Q"); ++t)
    out[*t] = *db.postlist_begin(*t);
  return out;
}

/* The ids of the documents holding every word of query (the strategy
 * "all"), strings without their quotes. */
std::vector<std::string> ids_found(const char *index, const char *query) {
  std::string request =
      std::string(R"({"matchingStrategy":"all","q":")") + query + "\"}";
  std::vector<std::string> ids =
      hit_values(lumidex_search_request(index, request.c_str()), "id");
  for (std::string &id : ids)
    if (id.size() >= 2 && id.front() == '"') id = id.substr(1, id.size() - 2);
  return ids;
}

class IndexSettings : public CoreTest {
 protected:
  std::string path(const char *index) const { return dir() + "/" + index; }

  /* Applies patch and checks it was taken. */
  void set(const char *index, const char *patch) {
    ASSERT_NE(lumidex_settings_update_json(index, patch, nullptr, nullptr),
              nullptr)
        << coretest::last_error();
  }
};

const char *kBooks =
    R"({"id":1,"title":"Dune","author":{"name":"Frank Herbert","born":"tacoma"},)"
    R"("editions":[{"publisher":{"name":"Chilton"}},{"publisher":{"name":"Ace"}}],)"
    R"("notes":"hidden remark"})"
    "\n"
    R"({"id":2,"title":"Foundation","author":{"name":"Isaac Asimov"},)"
    R"("editions":[[{"publisher":{"name":"Gnome"}}]],"notes":"other"})";

TEST_F(IndexSettings, AListIndexesOnlyWhatItsPathsReach) {
  ASSERT_EQ(lumidex_documents_add("books", kBooks), 2)
      << coretest::last_error();
  set("books",
      R"({"searchableAttributes":["title","author.name","editions.publisher.name"]})");
  std::map<std::string, Xapian::termcount> t = terms_of(path("books"), "1");
  const struct {
    const char *term;
    bool indexed;
  } rows[] = {
      {"dune", true},
      {"frank", true},
      {"herbert", true},
      {"chilton", true}, /* array along the path */
      {"ace", true},     /* its second element */
      {"tacoma", false}, /* author.born: not listed */
      {"hidden", false}, /* notes: not listed */
      {"1", false},      /* the primary key: not listed */
      {"Edune", true},   /* the first listed field names the document */
      {"Hdune", true},
      {"Ndune", true},
      {"Hfrank", false}, /* a one-line later field is no heading */
      {"Efrank", false},
      {"Pfrank herbert", true},  /* neighbouring words of one value */
      {"Pherbert frank", false}, /* in their order only */
      {"Pdune frank", false},    /* never across two values */
      {"Pchilton ace", false},
  };
  for (const auto &r : rows)
    EXPECT_EQ(t.count(r.term), r.indexed ? 1u : 0u) << r.term;
  /* Arrays inside arrays along the path count as well. */
  EXPECT_EQ(terms_of(path("books"), "2").count("gnome"), 1u);
  /* First listed weighs most, then the second, then the others: three,
   * two and one times a word of a later field (their weights are scaled
   * by the document's length, and rounded). */
  const double unit = t["chilton"];
  EXPECT_NEAR(t["dune"] / unit, 3.0, 0.1);
  EXPECT_NEAR(t["herbert"] / unit, 2.0, 0.1);

  /* Unlisted fields are stored and returned, but not searched. */
  EXPECT_TRUE(ids_found("books", "hidden").empty());
  EXPECT_TRUE(ids_found("books", "tacoma").empty());
  EXPECT_EQ(ids_found("books", "ace"), std::vector<std::string>{"1"});
  EXPECT_NE(str(lumidex_document_get("books", "1")).find("hidden remark"),
            std::string::npos);

  /* Documents written after the change are indexed by it too. */
  ASSERT_EQ(lumidex_documents_add(
                "books", R"({"id":3,"title":"Hyperion","notes":"hidden"})"),
            1);
  EXPECT_TRUE(ids_found("books", "hidden").empty());
  EXPECT_EQ(ids_found("books", "hyperion"), std::vector<std::string>{"3"});
}

TEST_F(IndexSettings, TheFirstListedFieldWeighsMost) {
  ASSERT_EQ(lumidex_documents_add(
                "w", R"([{"id":"a","name":"lighthouse","tag":"keeper"},)"
                     R"({"id":"b","name":"keeper","tag":"lighthouse"}])"),
            2);
  set("w", R"({"searchableAttributes":["tag","name"]})");
  EXPECT_EQ(ids_found("w", "keeper"), (std::vector<std::string>{"a", "b"}));
  set("w", R"({"searchableAttributes":["name","tag"]})");
  EXPECT_EQ(ids_found("w", "keeper"), (std::vector<std::string>{"b", "a"}));
  /* Back to every field: the first member after the key weighs most. */
  ASSERT_NE(lumidex_settings_reset_json("w", nullptr, nullptr), nullptr);
  EXPECT_EQ(ids_found("w", "lighthouse"), (std::vector<std::string>{"a", "b"}));
}

TEST_F(IndexSettings, ALanguageWritesTheStemOfEveryWord) {
  ASSERT_EQ(
      lumidex_documents_add(
          "s", R"({"id":1,"title":"Connections","body":"connected nets"})"),
      1);
  EXPECT_EQ(terms_of(path("s"), "1").count("Zconnect"), 0u);
  set("s", R"({"language":"en"})");
  std::map<std::string, Xapian::termcount> t = terms_of(path("s"), "1");
  /* Same wdf as the word, so the field order holds for stems too. */
  EXPECT_EQ(t["Zconnect"], t["connections"] + t["connected"]);
  EXPECT_EQ(t["Znet"], t["nets"]);
  EXPECT_GT(t["connections"], t["connected"]);
  EXPECT_EQ(t.count("connections"), 1u);
  /* Stems carry no positions: phrases stay on the words. */
  Xapian::Database db(path("s"));
  EXPECT_EQ(db.positionlist_begin(1, "Zconnect"),
            db.positionlist_end(1, "Zconnect"));
  set("s", R"({"language":null})");
  EXPECT_EQ(terms_of(path("s"), "1").count("Zconnect"), 0u);
}

TEST_F(IndexSettings, ARewriteKeepsDocumentsIdsAndOrder) {
  std::string body;
  for (int i = 0; i < 300; ++i)
    body += R"({"id":"d)" + std::to_string((i * 7) % 300) +
            R"(","title":"title )" + std::to_string(i) + R"(","n":)" +
            std::to_string(i) + ".50}\n";
  ASSERT_EQ(lumidex_documents_add("r", body.c_str()), 300);
  ASSERT_EQ(lumidex_document_delete("r", "d7"), 0);
  std::string page_before = str(lumidex_documents_page_json("r", 0, 10000));
  std::map<std::string, Xapian::docid> ids_before = docids_of(path("r"));

  std::vector<unsigned long long> seen;
  auto note = [](unsigned long long done, unsigned long long total,
                 void *user) {
    auto *v = static_cast<std::vector<unsigned long long> *>(user);
    EXPECT_EQ(total, 299u);
    v->push_back(done);
  };
  const char *after = lumidex_settings_update_json(
      "r", R"({"searchableAttributes":["n"],"language":"en"})", note, &seen);
  ASSERT_NE(after, nullptr) << coretest::last_error();
  EXPECT_EQ(
      str(after),
      R"({"searchableAttributes":["n"],"displayedAttributes":["*"],)"
      R"("language":"en","stopWords":[],"synonyms":{},"filterableAttributes":[],"sortableAttributes":[]})");
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), 299u);

  EXPECT_EQ(str(lumidex_documents_page_json("r", 0, 10000)), page_before);
  EXPECT_EQ(docids_of(path("r")), ids_before);
  /* Numbers are indexed from their exact text, as when added. */
  EXPECT_EQ(ids_found("r", "12.50"), std::vector<std::string>{"d84"});
  EXPECT_TRUE(ids_found("r", "title").empty());
}

/* Neighbouring words are found by the pair terms of a fresh index; an index
 * written before them (no pair terms, no mark) is read with phrases and
 * answers the same, and a rewrite (lumidex_index_reindex_json or a settings
 * change) gives it its pair terms and mark. */
TEST_F(IndexSettings, PairTermsAnswerAsPhrasesAndARewriteWritesThem) {
  const char *kDocs =
      R"({"id":1,"name":"alpha","text":"server web"})"
      "\n"
      R"({"id":2,"name":"beta","text":"the fast web server of choice for many sites"})"
      "\n"
      R"({"id":3,"name":"gamma","text":"a mail server with a web servers admin page"})"
      "\n"
      R"({"id":4,"name":"delta","text":"web pages served fast by the server"})"
      "\n"
      R"({"id":5,"name":"epsilon","text":"mail server web mail"})";
  ASSERT_EQ(lumidex_documents_add("w", kDocs), 5) << coretest::last_error();
  /* Documents without the words, so that the words weigh something. */
  std::string others;
  for (int k = 6; k < 40; ++k)
    others += R"({"id":)" + std::to_string(k) + R"(,"name":"other )" +
              std::to_string(k) +
              R"(","text":"a photo editor and a music player"})" + "\n";
  ASSERT_EQ(lumidex_documents_add("w", others.c_str()), 34);
  const char *kQueries[] = {"web server",      "web serv",    "server web",
                            "mail server web", "web servers", "web"};
  auto answers = [&] {
    std::string out;
    for (const char *q : kQueries) {
      const char *answer = lumidex_search("w", q, 10, 0);
      coretest::Json a(answer);
      out += std::string(q) + ":";
      for (const std::string &id : hit_values(answer, "id")) out += " " + id;
      out +=
          " (" + std::to_string(yyjson_get_uint(a.get("total_hits"))) + ")\n";
    }
    return out;
  };
  /* Rewrites the index's files as an index written before pair terms:
   * mark (as given) kept or removed, pair terms removed. */
  auto strip_pairs = [&](bool keep_mark) {
    lumidex_cleanup();
    {
      Xapian::WritableDatabase db(path("w"));
      for (auto it = db.postlist_begin(""); it != db.postlist_end(""); ++it) {
        Xapian::Document doc = db.get_document(*it);
        std::vector<std::string> pairs;
        for (auto t = doc.termlist_begin(); t != doc.termlist_end(); ++t)
          if ((*t).rfind(lmx::kPairPrefix, 0) == 0) pairs.push_back(*t);
        for (const std::string &term : pairs) doc.remove_term(term);
        db.replace_document(*it, doc);
      }
      /* The weights stay normalised: only the pair terms go. */
      if (!keep_mark) db.set_metadata(lmx::kMetaLayout, "normalised");
      db.commit();
    }
    ASSERT_EQ(lumidex_init(dir().c_str()), 0);
  };
  Xapian::Database fresh(path("w"));
  EXPECT_TRUE(lmx::has_pair_terms(fresh));
  EXPECT_EQ(terms_of(path("w"), "2").count("Pweb server"), 1u);
  EXPECT_EQ(terms_of(path("w"), "2").at("Pweb server"), 0u); /* no weight */
  fresh.close();
  const std::string with_pairs = answers();
  /* The bonus is in these answers: the two documents holding the words
   * together come first. */
  std::vector<std::string> first =
      hit_values(lumidex_search("w", "web server", 10, 0), "id");
  first.resize(2);
  EXPECT_EQ(first, (std::vector<std::string>{"3", "2"}));

  /* The mark without the terms: the bonus is gone, so the pair terms are
   * what the answers above were read from. */
  strip_pairs(true);
  EXPECT_NE(answers(), with_pairs);

  strip_pairs(false);
  EXPECT_FALSE(lmx::has_pair_terms(Xapian::Database(path("w"))));
  EXPECT_EQ(answers(), with_pairs);

  /* A rewrite of every document writes the pair terms and the mark. */
  std::vector<unsigned long long> seen;
  auto note = [](unsigned long long done, unsigned long long, void *user) {
    static_cast<std::vector<unsigned long long> *>(user)->push_back(done);
  };
  EXPECT_EQ(str(lumidex_index_reindex_json("w", note, &seen)),
            R"({"index":"w","document_count":39})");
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 39u);
  EXPECT_TRUE(lmx::has_pair_terms(Xapian::Database(path("w"))));
  EXPECT_EQ(terms_of(path("w"), "3").count("Pweb servers"), 1u);
  EXPECT_EQ(answers(), with_pairs);

  /* So does a settings change that rewrites, a reset included. */
  strip_pairs(false);
  set("w", R"({"language":"en"})");
  ASSERT_NE(lumidex_settings_reset_json("w", nullptr, nullptr), nullptr);
  EXPECT_TRUE(lmx::has_pair_terms(Xapian::Database(path("w"))));
  EXPECT_EQ(answers(), with_pairs);

  EXPECT_EQ(lumidex_index_reindex_json("missing", nullptr, nullptr), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
}

/* A document makes at most kMaxPairTerms pair terms, and they do not count
 * towards its limit of terms: a document the limit took before pair terms
 * existed is still taken. */
TEST_F(IndexSettings, PairTermsAreBoundedAndLeaveTheTermLimitAlone) {
  std::string text;
  for (size_t k = 0; k < lmx::kMaxDocumentTerms - 10; ++k)
    text += "w" + std::to_string(k) + " ";
  std::string body = R"({"id":"big","n":"x","text":")" + text + "\"}";
  ASSERT_EQ(lumidex_documents_add("big", body.c_str()), 1)
      << coretest::last_error();
  Xapian::Database db(path("big"));
  size_t pairs = 0;
  for (auto t = db.allterms_begin(lmx::kPairPrefix);
       t != db.allterms_end(lmx::kPairPrefix); ++t)
    ++pairs;
  EXPECT_EQ(pairs, lmx::kMaxPairTerms);
  EXPECT_EQ(db.get_termfreq("Pw0 w1"), 1u);
}

/* The value in slot of the document with id in the index at path. */
std::string value_of(const std::string &path, const std::string &id,
                     Xapian::valueno slot) {
  Xapian::Database db(path);
  Xapian::PostingIterator p = db.postlist_begin("Q" + id);
  if (p == db.postlist_end("Q" + id)) return "<no document>";
  return db.get_document(*p).get_value(slot);
}

TEST_F(IndexSettings, FilterableAndSortableAttributesWriteTermsAndValues) {
  ASSERT_EQ(
      lumidex_documents_add(
          "fs", R"({"id":1,"genre":"Sci-Fi","year":1965,"tags":["b","A",3],)"
                R"("author":{"name":"Frank Herbert"}})"
                "\n"
                R"({"id":2,"genre":["Drama","drama"],"year":"1815",)"
                R"("tags":[]})"
                "\n"
                R"({"id":3,"title":"no attributes"})"),
      3);
  unsigned long long done = 0;
  auto note = [](unsigned long long d, unsigned long long, void *user) {
    *static_cast<unsigned long long *>(user) = d;
  };
  ASSERT_NE(lumidex_settings_update_json(
                "fs",
                R"({"filterableAttributes":["genre","author.name","tags"],)"
                R"("sortableAttributes":["year","tags"]})",
                note, &done),
            nullptr)
      << coretest::last_error();
  EXPECT_EQ(done, 3u); /* a rewrite of every document */

  const std::string sep("\xFF", 1);
  auto d1 = terms_of(path("fs"), "1");
  for (const std::string &t : std::vector<std::string>{
           "Fgenre", "Fgenre" + sep + "ssci-fi", "Fauthor.name",
           "Fauthor.name" + sep + "sfrank herbert", "Ftags",
           "Ftags" + sep + "sb", "Ftags" + sep + "sa", "Ftags" + sep + "n3"})
    EXPECT_EQ(d1.count(t), 1u) << t;
  auto d2 = terms_of(path("fs"), "2");
  EXPECT_EQ(d2.count("Fgenre" + sep + "sdrama"), 1u);
  EXPECT_EQ(d2.count("Ftags"), 1u); /* [] exists */
  EXPECT_EQ(d2.count("Fauthor.name"), 0u);
  EXPECT_EQ(terms_of(path("fs"), "3").count("Fgenre"), 0u);

  /* Sort keys: numbers (kSortNumber) before strings (kSortString); an
   * array keeps its smallest and its largest. */
  const Xapian::valueno year = lmx::kFirstSortSlot;
  const Xapian::valueno tags =
      lmx::kFirstSortSlot + lmx::kSortSlotsPerAttribute;
  EXPECT_EQ(value_of(path("fs"), "1", year).substr(0, 1), "\x01");
  EXPECT_EQ(value_of(path("fs"), "2", year),
            "\x02"
            "1815");
  EXPECT_EQ(value_of(path("fs"), "1", tags).substr(0, 1), "\x01"); /* 3 */
  EXPECT_EQ(value_of(path("fs"), "1", tags + 1),
            "\x02"
            "b");
  EXPECT_EQ(value_of(path("fs"), "2", tags), "");
  EXPECT_EQ(value_of(path("fs"), "3", year), "");
  /* Facet values: one entry for "Drama" and "drama" (one value once
   * folded), and a spelling term for each way it is written, both under
   * the value's hash. */
  const Xapian::valueno genre_facets = lmx::kFirstFilterSlot + 3;
  std::string entries = value_of(path("fs"), "2", genre_facets);
  ASSERT_EQ(entries.size(), lmx::kFacetEntryBytes);
  EXPECT_EQ(entries[0], lmx::kFilterString);
  std::vector<std::string> spellings;
  for (const auto &[term, wdf] : d2)
    if (term.rfind(lmx::kFacetSpellingPrefix, 0) == 0)
      spellings.push_back(term);
  ASSERT_EQ(spellings.size(), 2u);
  EXPECT_EQ(spellings[0].substr(0, 17), spellings[1].substr(0, 17));
  EXPECT_EQ(spellings[0].substr(17), "Drama");
  EXPECT_EQ(spellings[1].substr(17), "drama");
  /* Numbers are kept by their number key; tags of document 1 hold three
   * distinct values. */
  EXPECT_EQ(value_of(path("fs"), "1", lmx::kFirstFilterSlot + 4 * 2 + 3).size(),
            3 * lmx::kFacetEntryBytes);

  /* Taking the lists away rewrites the index without them. */
  done = 0;
  ASSERT_NE(
      lumidex_settings_update_json(
          "fs", R"({"filterableAttributes":[],"sortableAttributes":null})",
          note, &done),
      nullptr);
  EXPECT_EQ(done, 3u);
  EXPECT_EQ(terms_of(path("fs"), "1").count("Fgenre"), 0u);
  EXPECT_EQ(value_of(path("fs"), "1", year), "");
  EXPECT_EQ(value_of(path("fs"), "2", genre_facets), "");
}

TEST_F(IndexSettings, OnlyTermChangesRewrite) {
  ASSERT_EQ(lumidex_documents_add("o", R"({"id":1,"t":"x"})"), 1);
  int calls = 0;
  auto count = [](unsigned long long, unsigned long long, void *user) {
    ++*static_cast<int *>(user);
  };
  const char *patches[] = {R"({"stopWords":["x"]})",
                           R"({"synonyms":{"a":["b"]}})",
                           R"({"displayedAttributes":["t"]})", R"({})"};
  for (const char *p : patches) {
    ASSERT_NE(lumidex_settings_update_json("o", p, count, &calls), nullptr)
        << p;
    EXPECT_EQ(calls, 0) << p;
  }
  ASSERT_NE(
      lumidex_settings_update_json("o", R"({"language":"fr"})", count, &calls),
      nullptr);
  EXPECT_GT(calls, 0);
}

TEST_F(IndexSettings, RefusalsChangeNothingAndSayWhy) {
  ASSERT_EQ(lumidex_documents_add("f", R"({"id":1,"t":"x"})"), 1);
  set("f", R"({"language":"de"})");
  std::string before = str(lumidex_settings_get_json("f"));
  const struct {
    const char *index;
    const char *patch;
    int code;
    const char *named; /* in the message */
  } rows[] = {
      {"f", "[1]", LUMIDEX_ERROR_INVALID_SETTINGS, "JSON object"},
      {"f", nullptr, LUMIDEX_ERROR_INVALID_SETTINGS, "JSON object"},
      {"f", R"({"language":"de","ranking":1})", LUMIDEX_ERROR_INVALID_SETTINGS,
       "ranking"},
      {"f", R"({"stopWords":"x"})", LUMIDEX_ERROR_INVALID_SETTINGS,
       "stopWords"},
      {"nope", R"({})", LUMIDEX_ERROR_INDEX_NOT_FOUND, "nope"},
      {"bad name", R"({})", LUMIDEX_ERROR_INVALID_ARGUMENT, "bad name"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(str(r.patch));
    EXPECT_EQ(lumidex_settings_update_json(r.index, r.patch, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(lumidex_last_error_code(), r.code);
    EXPECT_NE(coretest::last_error().find(r.named), std::string::npos)
        << coretest::last_error();
  }
  EXPECT_EQ(str(lumidex_settings_get_json("f")), before);
  EXPECT_EQ(lumidex_settings_get_json("nope"), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  EXPECT_EQ(lumidex_settings_reset_json("nope", nullptr, nullptr), nullptr);
  EXPECT_EQ(lumidex_last_error_code(), LUMIDEX_ERROR_INDEX_NOT_FOUND);
}

TEST_F(IndexSettings, SurviveReopenAndBackup) {
  ASSERT_EQ(lumidex_documents_add("k", R"({"id":1,"a":"alpha","b":"beta"})"),
            1);
  set("k",
      R"({"searchableAttributes":["b"],"synonyms":{"sf":["science fiction"]}})");
  std::string settings = str(lumidex_settings_get_json("k"));
  lumidex_cleanup();
  ASSERT_EQ(lumidex_init(dir().c_str()), 0);
  EXPECT_EQ(str(lumidex_settings_get_json("k")), settings);

  lmxtest::TempDir backups, other;
  ASSERT_NE(lumidex_index_backup_json("k", backups.path().c_str()), nullptr)
      << coretest::last_error();
  lumidex_cleanup();
  ASSERT_EQ(lumidex_init(other.path().c_str()), 0);
  ASSERT_NE(lumidex_index_restore_json(backups.path().c_str(), "k", 0), nullptr)
      << coretest::last_error();
  EXPECT_EQ(str(lumidex_settings_get_json("k")), settings);
  EXPECT_TRUE(ids_found("k", "alpha").empty());
  EXPECT_EQ(ids_found("k", "beta"), std::vector<std::string>{"1"});
  /* A reset index holds no settings at all, like one never given any. */
  ASSERT_NE(lumidex_settings_reset_json("k", nullptr, nullptr), nullptr);
  EXPECT_EQ(
      Xapian::Database(other.path() + "/k").get_metadata("lumidex:settings"),
      "");
  EXPECT_EQ(ids_found("k", "alpha"), std::vector<std::string>{"1"});
}

/* Word weights are normalised against a reference length measured on the
 * documents: the first batch's, then each batch's while fewer than a sample
 * have been measured, after which it stays. */
TEST_F(IndexSettings, TheReferenceLengthIsMeasuredAndFollowsASmallIndex) {
  auto reference = [&] {
    return lmx::length_reference(Xapian::Database(path("n")));
  };
  /* One document is its own reference: its weights are the raw ones (three
   * for the first field, two for the second) times the scale. */
  ASSERT_EQ(
      lumidex_documents_add("n", R"({"id":1,"name":"alpha","text":"beta"})"), 1)
      << coretest::last_error();
  const lmx::LengthReference first = reference();
  ASSERT_GT(first.reference, 0);
  EXPECT_EQ(first.measured, 1);
  EXPECT_EQ(first.mean, first.reference);
  EXPECT_TRUE(lmx::index_layout(Xapian::Database(path("n"))).normalised);
  EXPECT_EQ(terms_of(path("n"), "1")["alpha"], 3 * lmx::kWdfScale);
  EXPECT_EQ(terms_of(path("n"), "1")["beta"], 2 * lmx::kWdfScale);

  /* A far longer document moves the mean past the drift: the reference
   * follows it, and the first document is written again against it. */
  ASSERT_EQ(
      lumidex_documents_add("n", repeated(2, "delta", "gamma", 200).c_str()), 1)
      << coretest::last_error();
  const lmx::LengthReference second = reference();
  EXPECT_EQ(second.measured, 2);
  EXPECT_GT(second.reference, 5 * first.reference);
  EXPECT_EQ(second.reference, second.mean);
  EXPECT_EQ(terms_of(path("n"), "1")["alpha"],
            lmx::normalised_wdf(3, first.reference, second.reference));
  /* Now far shorter than the reference, it weighs more than before. */
  EXPECT_GT(terms_of(path("n"), "1")["alpha"], 3 * lmx::kWdfScale);
  EXPECT_GT(second.longest, first.longest);

  /* Short documents up to the sample's size pull it back down; past the
   * sample it stays, whatever comes. */
  std::string many;
  for (int k = 3; k < 2100; ++k)
    many += R"({"id":)" + std::to_string(k) + R"(,"name":"epsilon"})" + "\n";
  ASSERT_EQ(lumidex_documents_add("n", many.c_str()), 2097)
      << coretest::last_error();
  const lmx::LengthReference sampled = reference();
  EXPECT_EQ(sampled.measured, 2000);
  EXPECT_LT(sampled.reference, second.reference / 2);
  ASSERT_EQ(
      lumidex_documents_add("n", repeated(9999, "zeta", "gamma", 200).c_str()),
      1);
  const lmx::LengthReference kept = reference();
  EXPECT_EQ(kept.reference, sampled.reference);
  EXPECT_EQ(kept.measured, 2000);
  EXPECT_EQ(ids_found("n", "alpha"), std::vector<std::string>{"1"});
}

/* An index written with raw weights keeps writing them (its documents stay
 * comparable) and is searched as such, until a rewrite normalises it. */
TEST_F(IndexSettings, AnIndexOfRawWeightsKeepsThemUntilItIsRewritten) {
  ASSERT_EQ(
      lumidex_documents_add("r", R"({"id":1,"name":"alpha","text":"beta"})"),
      1);
  /* The files as an index written before normalised weights: its one
   * document's weights divided back (its norm is 1), the mark of pairs
   * only. */
  lumidex_cleanup();
  {
    Xapian::WritableDatabase db(path("r"));
    Xapian::Document doc = db.get_document(1);
    std::vector<std::pair<std::string, std::vector<Xapian::termpos>>> terms;
    std::vector<Xapian::termcount> wdfs;
    for (auto t = doc.termlist_begin(); t != doc.termlist_end(); ++t) {
      terms.emplace_back(*t, std::vector<Xapian::termpos>(
                                 t.positionlist_begin(), t.positionlist_end()));
      wdfs.push_back(t.get_wdf());
    }
    for (size_t k = 0; k < terms.size(); ++k) {
      if (wdfs[k] == 0) continue;
      doc.remove_term(terms[k].first);
      for (Xapian::termpos p : terms[k].second)
        doc.add_posting(terms[k].first, p, 0);
      doc.add_term(terms[k].first,
                   wdfs[k] / static_cast<Xapian::termcount>(lmx::kWdfScale));
    }
    db.replace_document(1, doc);
    db.set_metadata(lmx::kMetaLayout, lmx::kLayoutWithPairs);
    db.set_metadata(lmx::kMetaLengthReference, "");
    db.commit();
  }
  ASSERT_EQ(lumidex_init(dir().c_str()), 0);
  EXPECT_EQ(terms_of(path("r"), "1")["alpha"], 3u);

  ASSERT_EQ(lumidex_documents_add(
                "r", R"({"id":2,"name":"beta","text":"alpha alpha alpha"})"),
            1);
  EXPECT_FALSE(lmx::index_layout(Xapian::Database(path("r"))).normalised);
  EXPECT_EQ(terms_of(path("r"), "2")["alpha"], 3u * 2u);
  const std::vector<std::string> before =
      hit_values(lumidex_search("r", "alpha", 10, 0), "id");
  ASSERT_EQ(before.size(), 2u);

  ASSERT_NE(lumidex_index_reindex_json("r", nullptr, nullptr), nullptr);
  const lmx::LengthReference r =
      lmx::length_reference(Xapian::Database(path("r")));
  EXPECT_GT(r.reference, 0);
  EXPECT_EQ(r.measured, 2);
  EXPECT_GT(terms_of(path("r"), "2")["alpha"], 3u * 2u);
  EXPECT_EQ(hit_values(lumidex_search("r", "alpha", 10, 0), "id"), before);
}

/* The documents of a small index are written again for a new reference
 * only while that rewrite stays small: an index of one huge document keeps
 * its reference when a short one joins, while the mean still follows. */
TEST_F(IndexSettings, ASmallIndexOfHugeDocumentsKeepsItsReference) {
  ASSERT_EQ(
      lumidex_documents_add("h", repeated(1, "huge", "w", 300000).c_str()), 1)
      << coretest::last_error();
  const lmx::LengthReference before =
      lmx::length_reference(Xapian::Database(path("h")));
  ASSERT_GT(before.longest, 1 << 19);
  const Xapian::termcount huge_w = terms_of(path("h"), "1")["w"];
  ASSERT_EQ(lumidex_documents_add("h", R"({"id":2,"name":"tiny","text":"w"})"),
            1);
  const lmx::LengthReference after =
      lmx::length_reference(Xapian::Database(path("h")));
  EXPECT_EQ(after.reference, before.reference);
  EXPECT_EQ(after.measured, 2);
  EXPECT_LT(after.mean, before.mean / 1.5);
  EXPECT_EQ(terms_of(path("h"), "1")["w"], huge_w);
}

}  // namespace
