/*
 * test_typo.cpp: typo candidates (engine/typo.h), compiled in from their
 * source since the library exports only its C face. The scan skips runs of
 * terms whose beginning already rules them out; these tests hold it to the
 * candidates a plain look at every term of the same two ranges finds, on a
 * real Xapian database in a temporary directory.
 */
#include <gtest/gtest.h>
#include <xapian.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "child.h"
#include "typo.h"
#include "utf8.h"

namespace {

/* Optimal string alignment distance with the whole table, no cut-off: the
 * definition, written apart from the engine's. */
unsigned full_osa(const std::u32string &a, const std::u32string &b) {
  std::vector<std::vector<unsigned>> d(a.size() + 1,
                                       std::vector<unsigned>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<unsigned>(i);
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<unsigned>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      unsigned cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

/* What typo_candidates promises, by looking at every term of the database:
 * terms starting with the word's first and second or first and third code
 * points, within the allowed distance, closer first, then more frequent,
 * then in term order. */
std::vector<std::string> every_term_candidates(const Xapian::Database &db,
                                               const std::string &word,
                                               size_t max) {
  std::u32string w;
  if (!lmx::utf8::decode_all(word, w) || w.size() < 3) return {};
  unsigned limit = lmx::typo_max_distance(w.size());
  if (limit == 0) return {};
  std::vector<std::tuple<unsigned, long, std::string>> found;
  for (auto it = db.allterms_begin(); it != db.allterms_end(); ++it) {
    std::string term = *it;
    std::u32string t;
    if (term == word || !lmx::utf8::decode_all(term, t) || t.size() < 2)
      continue;
    bool in_range = t[0] == w[0] && (t[1] == w[1] || t[1] == w[2]);
    if (!in_range || full_osa(w, t) > limit) continue;
    found.emplace_back(full_osa(w, t), -static_cast<long>(it.get_termfreq()),
                       term);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (const auto &f : found)
    if (out.size() < max) out.push_back(std::get<2>(f));
  return out;
}

class EngineTypo : public ::testing::Test {
 protected:
  /* A database whose vocabulary is terms; the first terms are held by
   * more documents, so frequencies differ and order the candidates. */
  void build(const std::vector<std::string> &terms) {
    Xapian::WritableDatabase db(dir_.sub("db"), Xapian::DB_CREATE_OR_OPEN);
    for (size_t k = 0; k < terms.size(); ++k) {
      size_t copies = k < 5 ? 5 - k : 1;
      for (size_t c = 0; c < copies; ++c) {
        Xapian::Document doc;
        doc.add_term(terms[k]);
        db.add_document(doc);
      }
    }
    db.commit();
  }
  Xapian::Database open() const { return Xapian::Database(dir_.sub("db")); }

  lmxtest::TempDir dir_;
};

/* Every edit at every place, and terms that share a long beginning with the
 * word but wander off later: the scan's skips must pass over none of the
 * candidates the plain look finds. */
TEST_F(EngineTypo, SkippingScanFindsWhatLookingAtEveryTermFinds) {
  std::vector<std::string> terms = {"library",
                                    "libraries",
                                    "librar",
                                    "librarz",
                                    "libary",
                                    "lbirary",
                                    "ilbrary",
                                    "lixbrary",
                                    "lizbrary",
                                    "liabrary",
                                    "libbrary",
                                    "librray",
                                    "librayr",
                                    "libraryy",
                                    "xlibrary",
                                    "lirbary",
                                    "lirary",
                                    "libr",
                                    "librarian",
                                    "libreoffice",
                                    "libav",
                                    "libaw",
                                    "libavcodec",
                                    "libz",
                                    "lib",
                                    "li",
                                    "lia",
                                    "liz",
                                    "lzbrary",
                                    "lbrary",
                                    "lobrary",
                                    "l\xc3\xa9"
                                    "brary",
                                    "libr\xc3\xa4ry",
                                    "libr\xc3\xa4r",
                                    "bandwidth",
                                    "bandwith",
                                    "badnwidth",
                                    "bandwidths",
                                    "bandwidthx",
                                    "bandwdith",
                                    "banwidth",
                                    "bamdwidth",
                                    "bnadwidth",
                                    "bdnwidth",
                                    "bundwodth",
                                    "nginx",
                                    "ngnix",
                                    "ngixn",
                                    "nignx",
                                    "nginxx",
                                    "ngin",
                                    "nnginx"};
  build(terms);
  Xapian::Database db = open();
  const char *words[] = {"library", "bandwidth",      "ngnix",     "nginx",
                         "librar",  "libr\xc3\xa4ry", "bandwitdh", "lizbrary"};
  for (const char *word : words) {
    SCOPED_TRACE(word);
    EXPECT_EQ(lmx::typo_candidates(db, word, 100),
              every_term_candidates(db, word, 100));
    EXPECT_EQ(lmx::typo_candidates(db, word, 3),
              every_term_candidates(db, word, 3));
  }
}

/* The candidates of a word's ending are the typo candidates that keep
 * its first length - distance code points, in the same order. */
TEST_F(EngineTypo, EndingCandidatesKeepTheWordsBeginning) {
  build({"bandwidth",
         "bandwidths",
         "bandwidthx",
         "bandwidt",
         "bandwith",
         "bandwid",
         "bandwidthxy",
         "bandwiddth",
         "banwidth",
         "nginx",
         "ngin",
         "nginxx",
         "ngixn",
         "ngnix",
         "ngino",
         "files",
         "file",
         "filed",
         "tiles",
         "fyles",
         "filesx",
         "fil",
         "l\xc3\xa9"
         "brary",
         "l\xc3\xa9"
         "brar",
         "l\xc3\xa9"
         "brari"});
  Xapian::Database db = open();
  for (const char *word : {"bandwidth", "nginx", "files",
                           "l\xc3\xa9"
                           "brary",
                           "file", "zzzzz"}) {
    SCOPED_TRACE(word);
    std::u32string w;
    ASSERT_TRUE(lmx::utf8::decode_all(word, w));
    size_t keep =
        w.size() - std::min<size_t>(w.size(), lmx::typo_max_distance(w.size()));
    std::string beginning(word, lmx::utf8::prefix_bytes(word, keep));
    std::vector<std::string> expected;
    for (const auto &term : lmx::typo_candidates(db, word, 100))
      if (term.compare(0, beginning.size(), beginning) == 0)
        expected.push_back(term);
    EXPECT_EQ(lmx::ending_typo_candidates(db, word, 100), expected);
    if (expected.size() > 2) expected.resize(2);
    EXPECT_EQ(lmx::ending_typo_candidates(db, word, 2), expected);
  }
  EXPECT_EQ(lmx::ending_typo_candidates(db, "files", 100),
            (std::vector<std::string>{"file", "filed", "filesx"}));
  EXPECT_TRUE(lmx::ending_typo_candidates(db, "file", 100).empty());
}

/* Terms that are not UTF-8 are never candidates and never a reason to
 * skip: the terms after them are still looked at. */
TEST_F(EngineTypo, TermsThatAreNotUtf8AreLookedPast) {
  build({"library", "li\xff", "lib\xc3", "libr\xc3\x28", "libraryy", "librarx",
         "lixrary"});
  Xapian::Database db = open();
  EXPECT_EQ(lmx::typo_candidates(db, "librari", 10),
            every_term_candidates(db, "librari", 10));
  EXPECT_EQ(lmx::typo_candidates(db, "librari", 10),
            (std::vector<std::string>{"library", "librarx"}));
}

/* The distance itself, against the definition, including its cut-off. */
TEST(EngineTypoDistance, MatchesTheDefinitionUpToTheLimit) {
  const char *pairs[][2] = {{"library", "libary"},
                            {"library", "lbirary"},
                            {"ca", "abc"},
                            {"abcdef", "badcfe"},
                            {"", "abc"},
                            {"nginx", "ngnix"},
                            {"bandwidth", "bnadwdith"},
                            {"same", "same"}};
  for (const auto &pair : pairs) {
    std::u32string a, b;
    ASSERT_TRUE(lmx::to_code_points(pair[0], a));
    ASSERT_TRUE(lmx::to_code_points(pair[1], b));
    for (unsigned limit = 0; limit <= 3; ++limit) {
      SCOPED_TRACE(std::string(pair[0]) + " / " + pair[1]);
      unsigned want = std::min(full_osa(a, b), limit + 1);
      EXPECT_EQ(lmx::osa_distance(a, b, limit), want);
      EXPECT_EQ(lmx::osa_distance(b, a, limit), want);
    }
  }
  /* Every pair of strings of up to five letters of three, where edits of
   * every kind and length differences meet the band's edges. */
  std::vector<std::u32string> all{U""};
  for (size_t k = 0; k < all.size(); ++k)
    if (all[k].size() < 5)
      for (char32_t c : {U'a', U'b', U'c'}) all.push_back(all[k] + c);
  size_t wrong = 0;
  for (const auto &a : all)
    for (const auto &b : all)
      for (unsigned limit = 1; limit <= 2; ++limit)
        if (lmx::osa_distance(a, b, limit) !=
            std::min(full_osa(a, b), limit + 1))
          ++wrong;
  EXPECT_EQ(wrong, 0u) << "of " << all.size() * all.size() * 2;
}

}  // namespace
