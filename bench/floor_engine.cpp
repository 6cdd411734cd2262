/*
 * floor_engine.cpp: the engine floor, a minimal program that opens one index
 * and runs the same Xapian query a search runs, with nothing around it.
 *
 *   bench_floor_engine DB_DIR QUERY [LIMIT]
 *
 * DB_DIR is the index's Xapian database (STORAGE/NAME). QUERY is split and
 * normalised with the engine's own text.cpp (linked in), and each word
 * becomes what the engine's query builder makes of it:
 *  - the word itself; every word must match (AND);
 *  - the last word, unless the text ends with a space, also matches its 50
 *    most frequent completions, in one synonym group with the word;
 *  - words of 5 to 8 code points also match indexed words one edit away
 *    (optimal string alignment distance), 9 or more two edits, same first
 *    letter, looked up only in the terms starting with the word's first and
 *    second and its first and third letters, at most 24 of them, closest and
 *    most frequent first, completions left out, as a synonym group weighted
 *    0.1 or-ed with the word's group.
 * The empty query lists documents in docid order, unranked.
 *
 * It prints {"total_hits":N,"hits":[DOC,...]} with the stored documents
 * spliced in as they are, so the benchmark can check that the search
 * program found the same documents in the same order. It writes no CGI
 * header, parses no request and builds no highlighting: what the search
 * program spends on those shows as its distance to this floor.
 */
#include <xapian.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "text.h"

namespace {

constexpr size_t kMaxWords = 32;
constexpr unsigned kPrefixExpansions = 50;
constexpr size_t kTypoCandidates = 24;
constexpr size_t kTypoScan = 20000;
constexpr double kTypoWeight = 0.1;
/* Match counts are exact below this many matches, estimated above. */
constexpr Xapian::doccount kExactCountBelow = 100;

std::u32string code_points(const std::string &s) {
  std::u32string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
    for (size_t k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

std::string utf8(const std::u32string &cps, size_t from, size_t count) {
  std::string out;
  for (size_t i = from; i < from + count && i < cps.size(); ++i) {
    char32_t c = cps[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

/* Optimal string alignment distance of a and b, or limit + 1 as soon as
 * a whole row of the table exceeds limit. Three rows, kept between calls. */
unsigned osa(const std::u32string &a, const std::u32string &b, unsigned limit) {
  static std::vector<unsigned> before, prev, cur;
  const size_t n = a.size(), m = b.size();
  before.assign(m + 1, 0);
  prev.resize(m + 1);
  cur.assign(m + 1, 0);
  for (size_t j = 0; j <= m; ++j) prev[j] = static_cast<unsigned>(j);
  for (size_t i = 1; i <= n; ++i) {
    cur[0] = static_cast<unsigned>(i);
    unsigned row_min = cur[0];
    for (size_t j = 1; j <= m; ++j) {
      unsigned cost = a[i - 1] == b[j - 1] ? 0 : 1;
      unsigned d = std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d = std::min(d, before[j - 2] + 1);
      cur[j] = d;
      row_min = std::min(row_min, d);
    }
    if (row_min > limit) return limit + 1;
    std::swap(before, prev);
    std::swap(prev, cur);
  }
  return std::min(prev[m], limit + 1);
}

struct Candidate {
  unsigned distance;
  Xapian::doccount freq;
  std::string term;
};

std::vector<std::string> typo_terms(const Xapian::Database &db,
                                    const std::string &word) {
  std::u32string w = code_points(word);
  unsigned limit = w.size() >= 9 ? 2 : w.size() >= 5 ? 1 : 0;
  if (limit == 0) return {};
  std::vector<Candidate> found;
  std::u32string t;
  std::vector<std::string> prefixes{utf8(w, 0, 2), utf8(w, 0, 1) + utf8(w, 2, 1)};
  if (prefixes[1] == prefixes[0]) prefixes.pop_back();
  for (const std::string &prefix : prefixes) {
    size_t scanned = 0;
    for (auto it = db.allterms_begin(prefix); it != db.allterms_end(prefix);
         ++it) {
      if (++scanned > kTypoScan) break;
      std::string term = *it;
      if (term == word) continue;
      // Code points counted without decoding rule most terms out.
      size_t len = 0;
      for (unsigned char c : term) len += (c & 0xC0) != 0x80;
      size_t diff = len > w.size() ? len - w.size() : w.size() - len;
      if (diff > limit) continue;
      t = code_points(term);
      unsigned d = osa(w, t, limit);
      if (d > limit) continue;
      bool seen = false;
      for (const Candidate &c : found) seen = seen || c.term == term;
      if (!seen) found.push_back({d, it.get_termfreq(), term});
    }
  }
  std::sort(found.begin(), found.end(), [](const Candidate &x, const Candidate &y) {
    return std::make_tuple(x.distance, -static_cast<double>(x.freq), x.term) <
           std::make_tuple(y.distance, -static_cast<double>(y.freq), y.term);
  });
  std::vector<std::string> out;
  for (size_t i = 0; i < found.size() && i < kTypoCandidates; ++i)
    out.push_back(found[i].term);
  return out;
}

std::vector<std::string> completions(const Xapian::Database &db,
                                     const std::string &prefix) {
  std::vector<std::pair<Xapian::doccount, std::string>> all;
  for (auto it = db.allterms_begin(prefix); it != db.allterms_end(prefix); ++it)
    if (*it != prefix) all.emplace_back(it.get_termfreq(), *it);
  std::stable_sort(all.begin(), all.end(), [](const auto &x, const auto &y) {
    return x.first > y.first;
  });
  std::vector<std::string> out;
  for (size_t i = 0; i < all.size() && i < kPrefixExpansions; ++i)
    out.push_back(all[i].second);
  return out;
}

Xapian::Query word_query(const Xapian::Database &db, const std::string &word,
                         bool prefix) {
  std::vector<std::string> same{word};
  if (prefix)
    for (std::string &t : completions(db, word)) same.push_back(std::move(t));
  Xapian::Query exact = same.size() == 1
                            ? Xapian::Query(word)
                            : Xapian::Query(Xapian::Query::OP_SYNONYM,
                                            same.begin(), same.end());
  std::vector<std::string> typos;
  for (std::string &t : typo_terms(db, word))
    if (std::find(same.begin(), same.end(), t) == same.end())
      typos.push_back(std::move(t));
  if (typos.empty()) return exact;
  return Xapian::Query(
      Xapian::Query::OP_OR, exact,
      Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT,
                    Xapian::Query(Xapian::Query::OP_SYNONYM, typos.begin(),
                                  typos.end()),
                    kTypoWeight));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_floor_engine DB_DIR QUERY [LIMIT]\n");
    return 2;
  }
  std::string text = argv[2];
  Xapian::doccount limit = argc > 3 ? static_cast<Xapian::doccount>(std::atoi(argv[3])) : 20;
  try {
    Xapian::Database db(argv[1]);
    std::vector<lmx::Token> tokens;
    lmx::tokenize(text, tokens);
    if (tokens.size() > kMaxWords) tokens.resize(kMaxWords);
    // Search as you type: a word that ends the text is still being typed.
    bool last_is_prefix = !tokens.empty() && tokens.back().end == text.size();
    Xapian::Enquire enquire(db);
    enquire.set_docid_order(Xapian::Enquire::ASCENDING);
    if (tokens.empty()) {
      enquire.set_query(Xapian::Query::MatchAll);
      enquire.set_weighting_scheme(Xapian::BoolWeight());
    } else {
      std::vector<Xapian::Query> words;
      for (size_t i = 0; i < tokens.size(); ++i)
        words.push_back(word_query(db, tokens[i].term,
                                   last_is_prefix && i + 1 == tokens.size()));
      enquire.set_query(Xapian::Query(Xapian::Query::OP_AND, words.begin(), words.end()));
    }
    Xapian::MSet mset = enquire.get_mset(0, limit, kExactCountBelow);
    std::string out = "{\"total_hits\":" + std::to_string(mset.get_matches_estimated()) +
                      ",\"hits\":[";
    for (auto it = mset.begin(); it != mset.end(); ++it) {
      if (it != mset.begin()) out += ',';
      out += it.get_document().get_data();
    }
    out += "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  } catch (const Xapian::Error &e) {
    std::fprintf(stderr, "bench_floor_engine: %s\n", e.get_description().c_str());
    return 1;
  }
  return 0;
}
