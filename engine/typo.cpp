/*
 * typo.cpp: typo candidates of a word from two small ranges of the index's
 * term list (see typo.h for which edits that covers and why).
 *
 * For each term of a range the edit distance is computed, one row of the
 * table per code point of the term, with a cut-off as soon as every cell of
 * a row exceeds the allowed distance; the row where it stops says how many
 * of the term's first code points already rule it out, and the scan skips
 * every following term that starts with them. A CGI request reads each
 * dictionary block it visits from the file, so visiting a few hundred terms
 * of a range of thousands is what keeps the typo search cheap. The
 * candidates found are ranked and cut to the caller's bound; the query
 * builder weights them below the word itself.
 */
#include "typo.h"

#include <utf8proc.h>

#include <algorithm>
#include <limits>
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

/* Three rows of osa_rows's table, kept by a caller between calls so that
 * a scan of the vocabulary allocates them once. */
struct OsaRows {
  std::vector<unsigned> before, prev, cur;
};

/* The optimal string alignment distance of rows and cols, with one row of
 * the table per code point of rows; above limit it is reported as
 * limit + 1. When a row lies entirely above limit the computation stops,
 * and *dead (when not NULL) is set to that row's number: no string that
 * starts with the first *dead code points of rows can be within limit of
 * cols. *dead is 0 when every row was computed.
 *
 * A cell (i, j) is at least |i - j|, so only the band of cells within
 * limit of the diagonal can be within limit: each row computes those and
 * reads limit + 1 for any cell outside them (the band moves right a cell a
 * row, so the cells right of it were never written since the rows were
 * filled with limit + 1; the one left of it is set each row). */
unsigned osa_rows(const std::u32string &rows, const std::u32string &cols,
                  unsigned limit, size_t *dead, OsaRows &t) {
  const size_t n = rows.size();
  const size_t m = cols.size();
  const unsigned over = limit + 1;
  if (dead) *dead = 0;
  t.before.assign(m + 1, over);
  t.prev.assign(m + 1, over);
  t.cur.assign(m + 1, over);
  for (size_t j = 0; j <= m && j <= limit; ++j)
    t.prev[j] = static_cast<unsigned>(j);
  for (size_t i = 1; i <= n; ++i) {
    const size_t lo = i > limit ? i - limit : 1;
    const size_t hi = std::min(m, i + limit);
    /* The cell left of the band: column 0 is i; any other is outside it
     * (and may hold a value of an earlier row). */
    t.cur[lo - 1] = lo == 1 ? std::min(static_cast<unsigned>(i), over) : over;
    unsigned row_min = t.cur[lo - 1];
    for (size_t j = lo; j <= hi; ++j) {
      unsigned cost = rows[i - 1] == cols[j - 1] ? 0 : 1;
      unsigned best =
          std::min({t.prev[j] + 1, t.cur[j - 1] + 1, t.prev[j - 1] + cost});
      if (i > 1 && j > 1 && rows[i - 1] == cols[j - 2] &&
          rows[i - 2] == cols[j - 1])
        best = std::min(best, t.before[j - 2] + 1);
      best = std::min(best, over);
      t.cur[j] = best;
      row_min = std::min(row_min, best);
    }
    /* A transposition reaches back two rows, but never below the row in
     * between's minimum, so no later row comes back under this one's. */
    if (row_min > limit) {
      if (dead) *dead = i;
      return over;
    }
    std::swap(t.before, t.prev);
    std::swap(t.prev, t.cur);
  }
  /* Every row had a cell within limit, so the last row's band reaches
   * column m or lies left of it (then m is outside it: over). */
  return n + limit < m ? over : std::min(t.prev[m], over);
}

/* The first key after every string that starts with prefix, a non-empty
 * run of whole UTF-8 sequences: its last byte is below 0xc0, so adding one
 * to it gives the next key. */
std::string past_prefix(std::string prefix) {
  prefix.back() = static_cast<char>(prefix.back() + 1);
  return prefix;
}

/* Looks at up to kMaxTypoScan terms starting with prefix and records those
 * within limit edits of word (keyed by term, so two overlapping ranges
 * count a term once). A term whose first few code points are already more
 * than limit edits from every beginning of word rules out every term that
 * starts with them, and the scan skips past those at once: it looks at a
 * small part of a large range ("li" for "library") and reads fewer of the
 * dictionary's blocks. Skipping never passes over a candidate, so within
 * kMaxTypoScan terms the result is that of looking at every term. */
void scan_range(const Xapian::Database &db, const std::string &prefix,
                const std::u32string &word, const std::string &word_bytes,
                unsigned limit, std::map<std::string, Candidate> &found) {
  std::u32string cps;
  OsaRows table;
  size_t scanned = 0;
  Xapian::TermIterator it = db.allterms_begin(prefix);
  const Xapian::TermIterator end = db.allterms_end(prefix);
  while (it != end) {
    if (++scanned > kMaxTypoScan) break;
    const std::string term = *it;
    size_t dead = 0;
    if (term != word_bytes && to_code_points(term, cps)) {
      unsigned d = osa_rows(cps, word, limit, &dead, table);
      if (d <= limit)
        found.emplace(term, Candidate{d, it.get_termfreq(), term});
    }
    ++it;
    if (dead == 0 || it == end) continue;
    /* Most often the next term already differs within the dead prefix: a
     * step costs a third of a seek. */
    const std::string_view gone(term.data(), utf8::prefix_bytes(term, dead));
    if (std::string_view(*it).substr(0, gone.size()) == gone)
      it.skip_to(past_prefix(std::string(gone)));
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
  size_t diff = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  if (diff > limit) return limit + 1;
  OsaRows table;
  return osa_rows(a, b, limit, nullptr, table);
}

namespace {

/* The candidates of found, closer ones first, then the more frequent,
 * then term order; at most max, and of those only the ones held by
 * min_freq to max_freq documents. */
std::vector<std::string> ranked(
    std::map<std::string, Candidate> &found, size_t max, double min_freq = 0,
    double max_freq = std::numeric_limits<double>::infinity()) {
  std::vector<Candidate> all;
  all.reserve(found.size());
  for (auto &entry : found) all.push_back(std::move(entry.second));
  std::sort(all.begin(), all.end(), [](const Candidate &x, const Candidate &y) {
    return std::make_tuple(x.distance, -static_cast<double>(x.freq),
                           std::string_view(x.term)) <
           std::make_tuple(y.distance, -static_cast<double>(y.freq),
                           std::string_view(y.term));
  });
  if (all.size() > max) all.resize(max);
  std::vector<std::string> out;
  for (auto &c : all)
    if (c.freq >= min_freq && c.freq <= max_freq)
      out.push_back(std::move(c.term));
  return out;
}

}  // namespace

std::vector<std::string> typo_candidates(const Xapian::Database &db,
                                         const std::string &term, size_t max) {
  std::u32string word;
  if (max == 0 || !to_code_points(term, word)) return {};
  unsigned limit = typo_max_distance(word.size());
  if (limit == 0) return {};

  std::map<std::string, Candidate> found;
  std::string first_second(term.substr(0, utf8::prefix_bytes(term, 2)));
  std::string first_third = encode(word[0]) + encode(word[2]);
  scan_range(db, first_second, word, term, limit, found);
  if (first_third != first_second)
    scan_range(db, first_third, word, term, limit, found);
  return ranked(found, max);
}

std::vector<std::string> ending_typo_candidates(const Xapian::Database &db,
                                                const std::string &term,
                                                size_t max, double min_freq,
                                                double max_freq) {
  std::u32string word;
  if (max == 0 || !to_code_points(term, word)) return {};
  unsigned limit = typo_max_distance(word.size());
  if (limit == 0) return {};

  std::map<std::string, Candidate> found;
  scan_range(db, term.substr(0, utf8::prefix_bytes(term, word.size() - limit)),
             word, term, limit, found);
  return ranked(found, max, min_freq, max_freq);
}

}  // namespace lmx
