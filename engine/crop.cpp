/*
 * crop.cpp: the passage of a text a cropped field shows (crop.h).
 *
 * One pass over the words with a window of fixed size: each step drops one
 * word and adds one, keeping a count per distinct matched term, so a text
 * of n words costs O(n) whatever the window. Distinct terms weigh more than
 * repeats: a passage holding both words of "web server" says more than one
 * holding "web" three times.
 */
#include "crop.h"

#include <algorithm>
#include <unordered_map>

namespace lmx {

namespace {

/* One counted word: where its token is, and the id of its term among the
 * matched ones (-1: not matched). */
struct Word {
  size_t token;
  int term;
};

/* The counted words of tokens: pairs are left out, a matched pair marks
 * its two characters. */
std::vector<Word> words_of(const std::vector<Token> &tokens,
                           const std::vector<bool> &matched) {
  std::vector<Word> words;
  std::unordered_map<std::string_view, int> ids;
  auto mark = [&](Word &w) {
    if (w.term >= 0) return;
    auto found =
        ids.emplace(tokens[w.token].term, static_cast<int>(ids.size()));
    w.term = found.first->second;
  };
  bool mark_next = false;
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].kind == TokenKind::kPair) {
      /* A pair follows the token of its first character; its second
       * character is the next character token. */
      if (matched[i] && !words.empty()) {
        mark(words.back());
        mark_next = true;
      }
      continue;
    }
    words.push_back({i, -1});
    if (matched[i] || mark_next) mark(words.back());
    mark_next = false;
  }
  return words;
}

/* Score of a window: distinct matched terms first, then matched words. */
struct Tally {
  std::vector<int> per_term;
  size_t distinct = 0;
  size_t matched = 0;

  void add(const Word &w) {
    if (w.term < 0) return;
    if (static_cast<size_t>(w.term) >= per_term.size())
      per_term.resize(w.term + 1, 0);
    if (per_term[w.term]++ == 0) ++distinct;
    ++matched;
  }
  void drop(const Word &w) {
    if (w.term < 0) return;
    if (--per_term[w.term] == 0) --distinct;
    --matched;
  }
  bool beats(size_t best_distinct, size_t best_matched) const {
    return distinct > best_distinct ||
           (distinct == best_distinct && matched > best_matched);
  }
};

/* The first word of the best window of size words over all (more words
 * than size), centred on its matched words. */
size_t window_start(const std::vector<Word> &all, size_t size) {
  Tally tally;
  for (size_t k = 0; k < size; ++k) tally.add(all[k]);
  size_t best = 0, best_distinct = tally.distinct, best_matched = tally.matched;
  for (size_t start = 1; start + size <= all.size(); ++start) {
    tally.drop(all[start - 1]);
    tally.add(all[start + size - 1]);
    if (tally.beats(best_distinct, best_matched)) {
      best = start;
      best_distinct = tally.distinct;
      best_matched = tally.matched;
    }
  }
  if (best_matched == 0) return 0;
  size_t first = best, last = best + size - 1;
  while (all[first].term < 0) ++first;
  while (all[last].term < 0) --last;
  /* Shifting by less than the slack keeps every matched word of the
   * window inside it, so the centred window scores the same. */
  size_t slack = size - (last - first + 1);
  size_t start = first > slack / 2 ? first - slack / 2 : 0;
  return std::min(start, all.size() - size);
}

}  // namespace

std::string cropped_text(std::string_view text,
                         const std::vector<Token> &tokens,
                         const std::vector<bool> &matched, size_t words) {
  std::vector<Word> all = words_of(tokens, matched);
  if (words == 0 || all.size() <= words) return std::string(text);
  size_t start = window_start(all, words);
  size_t end = start + words;
  size_t begin_byte = start == 0 ? 0 : tokens[all[start].token].begin;
  size_t end_byte =
      end == all.size() ? text.size() : tokens[all[end - 1].token].end;
  std::string out;
  out.reserve(end_byte - begin_byte + 2 * kCropMark.size());
  if (start > 0) out += kCropMark;
  out += text.substr(begin_byte, end_byte - begin_byte);
  if (end < all.size()) out += kCropMark;
  return out;
}

}  // namespace lmx
