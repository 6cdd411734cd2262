/*
 * typo.cpp: typo candidates of a word from two small ranges of the index's
 * term list (see typo.h for which edits that covers and why).
 *
 * For each term of a range the code-point length is compared first (a length
 * difference above the allowed distance rules it out without decoding), then
 * the edit distance is computed with a cut-off as soon as every cell of a row
 * exceeds the allowed distance. The candidates found are ranked and cut to the
 * caller's bound; the query builder weights them below the word itself.
 */
#include "typo.h"

#include <utf8proc.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "utf8.h"

namespace lmx {

namespace {

std::string encode(char32_t cp) {
  utf8proc_uint8_t buf[4];
  utf8proc_ssize_t len =
      utf8proc_encode_char(static_cast<utf8proc_int32_t>(cp), buf);
  return std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(len));
}

struct Candidate {
  unsigned distance;
  Xapian::doccount freq;
  std::string term;
};

/* Looks at up to kMaxTypoScan terms starting with prefix and records those
 * within limit edits of word (keyed by term, so two overlapping ranges
 * count a term once). */
void scan_range(const Xapian::Database &db, const std::string &prefix,
                const std::u32string &word, const std::string &word_bytes,
                unsigned limit, std::map<std::string, Candidate> &found) {
  std::u32string cps;
  size_t scanned = 0;
  for (auto it = db.allterms_begin(prefix); it != db.allterms_end(prefix);
       ++it) {
    if (++scanned > kMaxTypoScan) break;
    const std::string term = *it;
    if (term == word_bytes) continue;
    size_t len = utf8::length(term);
    size_t diff = len > word.size() ? len - word.size() : word.size() - len;
    if (diff > limit) continue;
    if (!to_code_points(term, cps)) continue;
    unsigned d = osa_distance(word, cps, limit);
    if (d > limit) continue;
    found.emplace(term, Candidate{d, it.get_termfreq(), term});
  }
}

}  // namespace

unsigned typo_max_distance(size_t length) {
  if (length >= 9) return 2;
  if (length >= 5) return 1;
  return 0;
}

bool to_code_points(std::string_view s, std::u32string &out) {
  return utf8::decode_all(s, out);
}

unsigned osa_distance(const std::u32string &a, const std::u32string &b,
                      unsigned limit) {
  const size_t n = a.size();
  const size_t m = b.size();
  size_t diff = n > m ? n - m : m - n;
  if (diff > limit) return limit + 1;
  /* Three rows of the distance table: i-2, i-1 and i. */
  std::vector<unsigned> before(m + 1), prev(m + 1), cur(m + 1);
  for (size_t j = 0; j <= m; ++j) prev[j] = static_cast<unsigned>(j);
  for (size_t i = 1; i <= n; ++i) {
    cur[0] = static_cast<unsigned>(i);
    unsigned row_min = cur[0];
    for (size_t j = 1; j <= m; ++j) {
      unsigned cost = a[i - 1] == b[j - 1] ? 0 : 1;
      unsigned best =
          std::min({prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        best = std::min(best, before[j - 2] + 1);
      cur[j] = best;
      row_min = std::min(row_min, best);
    }
    /* A transposition reaches back two rows, but never below the row in
     * between's minimum, so a row entirely above limit ends the search. */
    if (row_min > limit) return limit + 1;
    std::swap(before, prev);
    std::swap(prev, cur);
  }
  return std::min(prev[m], limit + 1);
}

std::vector<std::string> typo_candidates(const Xapian::Database &db,
                                         const std::string &term, size_t max) {
  std::vector<std::string> out;
  std::u32string word;
  if (max == 0 || !to_code_points(term, word)) return out;
  unsigned limit = typo_max_distance(word.size());
  if (limit == 0) return out;

  std::map<std::string, Candidate> found;
  std::string first_second(term.substr(0, utf8::prefix_bytes(term, 2)));
  std::string first_third = encode(word[0]) + encode(word[2]);
  scan_range(db, first_second, word, term, limit, found);
  if (first_third != first_second)
    scan_range(db, first_third, word, term, limit, found);

  std::vector<Candidate> ranked;
  ranked.reserve(found.size());
  for (auto &entry : found) ranked.push_back(std::move(entry.second));
  std::sort(ranked.begin(), ranked.end(),
            [](const Candidate &x, const Candidate &y) {
              return std::make_tuple(x.distance, -static_cast<double>(x.freq),
                                     std::string_view(x.term)) <
                     std::make_tuple(y.distance, -static_cast<double>(y.freq),
                                     std::string_view(y.term));
            });
  if (ranked.size() > max) ranked.resize(max);
  for (auto &c : ranked) out.push_back(std::move(c.term));
  return out;
}

}  // namespace lmx
