/*
 * test_stored_priors.cpp: the priors an index stores (layout.h, kPriorSlot)
 * through the library's C calls on real indexes, read back with Xapian:
 * after random adds, replacements, partial updates, deletions one by one,
 * by ids and by a filter, and settings changes that rewrite the index,
 * every document's stored prior is the one its stored names give, counted
 * here from the names the test wrote; and an index written before priors
 * were stored ranks the same, writes none and is marked as having none,
 * until it is rewritten.
 */
#include <gtest/gtest.h>
#include <xapian.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "layout.h"
#include "lumidex_admin.h"
#include "lumidex_documents.h"
#include "search_fixture.h"

namespace {

using searchtest::Ids;

/* A stored prior: 8 bytes of a double, big-endian; 1 when absent, -1 for
 * a value of another size. */
double stored_prior(const std::string &value) {
  if (value.empty()) return 1.0;
  if (value.size() != 8) return -1.0;
  uint64_t bits = 0;
  for (unsigned char byte : value) bits = bits << 8 | byte;
  double prior;
  std::memcpy(&prior, &bits, sizeof prior);
  return prior;
}

/* id -> its stored prior, for every document of the index at path. */
std::map<std::string, double> stored_priors(const std::string &path) {
  Xapian::Database db(path);
  std::map<std::string, double> out;
  for (auto t = db.allterms_begin("Q"); t != db.allterms_end("Q"); ++t) {
    Xapian::Document doc = db.get_document(*db.postlist_begin(*t));
    out[(*t).substr(1)] = stored_prior(doc.get_value(lmx::kPriorSlot));
  }
  return out;
}

/* The documents' names as the test wrote them: id -> the words of the
 * field that names them. */
using Names = std::map<std::string, std::vector<std::string>>;

/* Each document's prior from the names alone: a one-word name w gets
 * 1 + 0.25 ln(1 + f), f the documents whose name holds w among other
 * words (those named w itself are no family). */
std::map<std::string, double> expected_priors(const Names &names) {
  std::map<std::string, double> out;
  for (const auto &[id, words] : names) {
    out[id] = 1.0;
    if (words.size() != 1) continue;
    long with = 0, same = 0;
    for (const auto &[other, its] : names) {
      bool holds = false;
      for (const auto &w : its) holds = holds || w == words[0];
      with += holds;
      same += its.size() == 1 && its[0] == words[0];
    }
    if (with > 1) out[id] = 1.0 + 0.25 * std::log1p(double(with - same));
  }
  return out;
}

using StoredPriors = searchtest::SearchTest;

TEST_F(StoredPriors, StoredPriorsFollowEveryKindOfWrite) {
  /* Random writes over a few names: adds, replacements, partial updates,
   * deletions one by one, by ids and by a filter, and a settings change
   * that makes another field the naming one. After each, every stored
   * prior is the one the documents now stored give. */
  const std::vector<std::string> words = {"ember", "quill", "nova", "kite"};
  std::mt19937 random(20261211);
  auto pick = [&](size_t n) {
    return static_cast<size_t>(random() % n);
  };
  auto name_of = [&]() {
    std::vector<std::string> name = {words[pick(words.size())]};
    if (pick(3) != 0) name.push_back(words[pick(words.size())]);
    return name;
  };
  auto text = [](const std::vector<std::string> &name) {
    std::string out;
    for (const auto &w : name) out += (out.empty() ? "" : "-") + w;
    return out;
  };
  struct Stored {
    std::vector<std::string> name, alias;
    bool kind_a;
  };
  std::map<std::string, Stored> docs;
  bool by_alias = false;
  auto naming = [&]() {
    Names names;
    for (const auto &[id, d] : docs) names[id] = by_alias ? d.alias : d.name;
    return names;
  };
  for (int step = 0; step < 60; ++step) {
    const size_t op = pick(6);
    std::string id = "d" + std::to_string(pick(24));
    if (op <= 1 || docs.empty()) {
      std::string body;
      for (size_t k = 0, n = 1 + pick(5); k < n; ++k) {
        id = "d" + std::to_string(pick(24));
        Stored d{name_of(), name_of(), pick(2) == 0};
        docs[id] = d;
        body += R"({"id":")" + id + R"(","name":")" + text(d.name) +
                R"(","alias":")" + text(d.alias) + R"(","kind":")" +
                (d.kind_a ? "a" : "b") + R"(","text":"shared"})" + "\n";
      }
      add(body);
    } else if (op == 2) {
      id = docs.begin()->first;
      for (size_t k = pick(docs.size()); k > 0; --k) id = std::next(docs.find(id))->first;
      docs[id].name = name_of();
      std::string body =
          R"({"id":")" + id + R"(","name":")" + text(docs[id].name) + "\"}";
      ASSERT_EQ(lumidex_documents_update("t", body.c_str(), nullptr, nullptr),
                1)
          << coretest::last_error();
    } else if (op == 3) {
      id = docs.begin()->first;
      ASSERT_EQ(lumidex_document_delete("t", id.c_str()), 0)
          << coretest::last_error();
      docs.erase(id);
    } else if (op == 4) {
      std::string other = "d" + std::to_string(pick(24));
      std::string list = R"([")" + id + R"(",")" + other + R"(","absent"])";
      ASSERT_GE(lumidex_documents_delete_ids("t", list.c_str(), nullptr,
                                             nullptr),
                0)
          << coretest::last_error();
      docs.erase(id);
      docs.erase(other);
    } else if (pick(3) == 0) {
      ASSERT_GE(lumidex_documents_delete_filter(
                    "t", R"({"filter":"kind = a"})", nullptr, nullptr),
                0)
          << coretest::last_error();
      for (auto it = docs.begin(); it != docs.end();)
        it = it->second.kind_a ? docs.erase(it) : std::next(it);
    }
    if (step == 0) {
      ASSERT_NE(lumidex_settings_update_json(
                    "t", R"({"filterableAttributes":["kind"]})", nullptr,
                    nullptr),
                nullptr)
          << coretest::last_error();
    }
    if (step == 40) {
      ASSERT_NE(lumidex_settings_update_json(
                    "t", R"({"searchableAttributes":["alias","name","text"]})",
                    nullptr, nullptr),
                nullptr)
          << coretest::last_error();
      by_alias = true;
    }
    if (docs.empty()) continue;
    const std::map<std::string, double> want = expected_priors(naming());
    const std::map<std::string, double> have = stored_priors(dir() + "/t");
    ASSERT_EQ(have.size(), want.size()) << "step " << step;
    for (const auto &[doc, prior] : want)
      ASSERT_NEAR(have.at(doc), prior, 1e-12) << "step " << step << ", " << doc;
  }
  Xapian::Database db(dir() + "/t");
  EXPECT_TRUE(lmx::index_layout(db).stored_priors);
}

TEST_F(StoredPriors, AnIndexWithoutStoredPriorsRanksAlikeUntilRewritten) {
  add(R"({"id":"plain","name":"quill","text":"fast web server"}
{"id":"hub","name":"ember","text":"fast web server"}
{"id":"quill-1","name":"quill-1","text":"companion package"}
)");
  ASSERT_GT(stored_priors(dir() + "/t").at("plain"), 1.0);
  /* Made as an index written before stored priors was: their layout
   * word and values gone. */
  lumidex_cleanup();
  {
    Xapian::WritableDatabase db(dir() + "/t", Xapian::DB_OPEN);
    db.set_metadata(lmx::kMetaLayout, lmx::kLayoutNormalised);
    for (auto it = db.postlist_begin(""); it != db.postlist_end(""); ++it) {
      Xapian::Document doc = db.get_document(*it);
      if (doc.get_value(lmx::kPriorSlot).empty()) continue;
      doc.remove_value(lmx::kPriorSlot);
      db.replace_document(*it, doc);
    }
    db.commit();
  }
  ASSERT_EQ(lumidex_init(dir().c_str()), 0);
  add_family("ember", 5);
  /* "hub" has five names built on its own, "plain" one. */
  EXPECT_EQ(ids("web server"), (Ids{"hub", "plain"}));
  {
    Xapian::Database db(dir() + "/t");
    EXPECT_FALSE(lmx::index_layout(db).stored_priors);
    EXPECT_EQ(db.valuestream_begin(lmx::kPriorSlot),
              db.valuestream_end(lmx::kPriorSlot));
  }
  ASSERT_NE(lumidex_index_reindex_json("t", nullptr, nullptr), nullptr)
      << coretest::last_error();
  EXPECT_EQ(ids("web server"), (Ids{"hub", "plain"}));
  Xapian::Database db(dir() + "/t");
  EXPECT_TRUE(lmx::index_layout(db).stored_priors);
  EXPECT_NEAR(stored_priors(dir() + "/t").at("hub"),
              1.0 + 0.25 * std::log1p(5.0), 1e-12);
}

}  // namespace
