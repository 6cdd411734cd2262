/*
 * indexer.h: builds the Xapian document of one JSON object: its stored
 * data, its id term and the terms and values its fields give.
 *
 * What it writes is the layout of layout.h, shaped by the index's settings
 * (settings.h): which fields are searched and in what order of weight
 * (searchableAttributes), and whether each word also gets its stem
 * (language). The engine's document writes and settings rewrites
 * (documents.cpp) and the import floor (bench/floor_import.cpp) all compile
 * this one indexer, so the floor writes exactly what the engine writes.
 * Reading the settings, parsing the body, checking the primary key and the
 * transaction are the caller's.
 */
#ifndef LMX_ENGINE_INDEXER_H
#define LMX_ENGINE_INDEXER_H

#include <xapian.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "error.h"
#include "filter.h"
#include "layout.h"
#include "settings.h"
#include "sort.h"
#include "text.h"

namespace lmx {

/* Builds the Xapian document of one JSON object. One Indexer serves a whole
 * batch so its buffers (and its stems) are reused. */
class Indexer {
 public:
  /* An indexer for the default settings: every field, no stems. */
  Indexer() = default;

  /* An indexer for an index with settings: searchableAttributes ["*"]
   * indexes every field as the default does; a list indexes only the
   * values its paths reach, the first path as the first field. A language
   * adds kStemPrefix + stem for every word. Filterable and sortable
   * attributes add their terms and values (filter.h, sort.h). reference:
   * the index's reference length (layout.h, length_reference), to which
   * word weights are normalised, or 0 for raw weights. */
  explicit Indexer(const IndexSettings &settings, double reference = 0)
      : filter_(settings.filterable),
        sort_(settings.sortable),
        reference_(reference) {
    if (!settings.searches_all())
      for (const std::string &path : settings.searchable)
        paths_.push_back(Path{path, split_path(path)});
    if (!settings.language.empty()) stemmer_.emplace(settings.language);
  }

  void build(yyjson_val *obj, const std::string &pk, const std::string &id,
             Xapian::Document &doc) {
    pos_ = 1;
    words_ = 0;
    pairs_ = 0;
    has_name_ = false;
    size_t len = 0;
    char *json =
        yyjson_val_write_opts(obj, YYJSON_WRITE_NOFLAG, nullptr, &len, nullptr);
    if (!json) throw std::bad_alloc();
    std::unique_ptr<char, decltype(&std::free)> hold(json, &std::free);
    doc.set_data(std::string(json, len));
    doc.add_boolean_term(std::string(kIdPrefix) + id);
    if (paths_.empty())
      add_every_field(doc, obj, pk);
    else
      add_listed_fields(doc, obj);
    if (!filter_.attributes().empty()) {
      add_filter_fields(doc, obj, filter_);
      check_terms(doc);
    }
    if (!sort_.attributes().empty()) add_sort_keys(doc, obj, sort_);
    length_ = 0;
    for (auto t = doc.termlist_begin(); t != doc.termlist_end(); ++t)
      length_ += t.get_wdf();
    if (reference_ > 0) normalise(doc);
  }

  /* The raw length of the document last built: the sum of its words'
   * weights before any normalisation, the length BM25 reads. */
  double last_length() const { return length_; }

  /* The components of a dotted path ("author.name" -> author, name). */
  static std::vector<std::string> split_path(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
      size_t dot = path.find('.', start);
      parts.emplace_back(path.substr(start, dot - start));
      if (dot == std::string_view::npos) return parts;
      start = dot + 1;
    }
  }

 private:
  static unsigned rank_wdf(unsigned rank) {
    if (rank == 0) return kFirstFieldWdf;
    if (rank == 1) return kSecondFieldWdf;
    return kOtherFieldWdf;
  }

  /* Every top-level member in document order; the first after the primary
   * key weighs most and names the document, the primary key weighs least. */
  void add_every_field(Xapian::Document &doc, yyjson_val *obj,
                       const std::string &pk) {
    yyjson_val *pk_val = yyjson_obj_getn(obj, pk.data(), pk.size());
    unsigned rank = 0;
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(obj, idx, max, key, val) {
      unsigned wdf = kOtherFieldWdf;
      name_field_ = false;
      if (val != pk_val) {
        wdf = rank_wdf(rank);
        name_field_ = rank == 0;
        ++rank;
      }
      add_tree(doc, val, wdf);
    }
  }

  /* The values each listed path reaches, path by path in list order: the
   * first listed weighs most and names the document. */
  void add_listed_fields(Xapian::Document &doc, yyjson_val *obj) {
    for (size_t rank = 0; rank < paths_.size(); ++rank) {
      name_field_ = rank == 0;
      add_path(doc, obj, paths_[rank], rank_wdf(static_cast<unsigned>(rank)));
    }
  }

  /* Indexes whatever path reaches in obj, whole: each component names a
   * member of an object; an array met on the way (the value of a member,
   * or an array inside an array) stands for each of its elements. A
   * top-level member whose own name holds the dots is taken first. Works
   * from an explicit list, like add_tree, so nested arrays cannot exhaust
   * the C stack; elements are visited in document order. */
  struct Path {
    std::string whole;
    std::vector<std::string> parts;
  };

  void add_path(Xapian::Document &doc, yyjson_val *obj, const Path &listed,
                unsigned wdf) {
    const std::vector<std::string> &path = listed.parts;
    reach_.clear();
    if (path.size() > 1)
      if (yyjson_val *v =
              yyjson_obj_getn(obj, listed.whole.data(), listed.whole.size()))
        reach_.emplace_back(v, path.size());
    if (reach_.empty()) reach_.emplace_back(obj, 0);
    while (!reach_.empty()) {
      auto [v, step] = reach_.back();
      reach_.pop_back();
      if (step == path.size()) {
        add_tree(doc, v, wdf);
      } else if (yyjson_is_arr(v)) {
        size_t first = reach_.size();
        size_t idx, max;
        yyjson_val *item;
        yyjson_arr_foreach(v, idx, max, item) reach_.emplace_back(item, step);
        std::reverse(reach_.begin() + static_cast<long>(first), reach_.end());
      } else if (yyjson_is_obj(v)) {
        const std::string &name = path[step];
        if (yyjson_val *m = yyjson_obj_getn(v, name.data(), name.size()))
          reach_.emplace_back(m, step + 1);
      }
    }
  }

  /* Walks nested arrays and objects with an explicit stack, so a deeply
   * nested document cannot exhaust the C stack. */
  struct Frame {
    bool is_obj;
    yyjson_arr_iter arr;
    yyjson_obj_iter obj;
  };

  void add_tree(Xapian::Document &doc, yyjson_val *v, unsigned wdf) {
    if (!yyjson_is_ctn(v)) {
      add_scalar(doc, v, wdf);
      return;
    }
    stack_.clear();
    push(v);
    while (!stack_.empty()) {
      Frame &f = stack_.back();
      yyjson_val *next = nullptr;
      if (f.is_obj) {
        yyjson_val *key = yyjson_obj_iter_next(&f.obj);
        if (key) next = yyjson_obj_iter_get_val(key);
      } else {
        next = yyjson_arr_iter_next(&f.arr);
      }
      if (!next) {
        stack_.pop_back();
      } else if (yyjson_is_ctn(next)) {
        push(next); /* may move f: not used again this round */
      } else {
        add_scalar(doc, next, wdf);
      }
    }
  }

  void push(yyjson_val *ctn) {
    Frame f{};
    f.is_obj = yyjson_is_obj(ctn);
    if (f.is_obj)
      yyjson_obj_iter_init(ctn, &f.obj);
    else
      yyjson_arr_iter_init(ctn, &f.arr);
    stack_.push_back(f);
  }

  void add_scalar(Xapian::Document &doc, yyjson_val *v, unsigned wdf) {
    if (yyjson_is_str(v))
      add_text(doc, std::string_view(yyjson_get_str(v), yyjson_get_len(v)),
               wdf);
    else if (yyjson_is_raw(v))
      add_text(doc, std::string_view(yyjson_get_raw(v), yyjson_get_len(v)),
               wdf);
  }

  void add_text(Xapian::Document &doc, std::string_view text, unsigned wdf) {
    tokens_.clear();
    tokenize(text, tokens_);
    if (tokens_.empty()) return;
    /* The limits bound the memory of one document (its term list with
     * positions, and what Xapian buffers for it); a document beyond them is
     * refused whole, never cut. */
    words_ += tokens_.size();
    if (words_ > kMaxDocumentWords)
      throw Error("it holds more than " + std::to_string(kMaxDocumentWords) +
                      " words, the most a document may hold",
                  LUMIDEX_ERROR_DOCUMENT_TOO_LARGE);
    /* A pair of characters stands where its first character does (text.h). */
    for (const Token &t : tokens_)
      doc.add_posting(t.term, t.kind == TokenKind::kPair ? pos_ - 1 : pos_++,
                      wdf);
    pos_ += kValuePositionGap;
    add_pairs(doc);
    if (stemmer_)
      for (const Token &t : tokens_)
        doc.add_term(kStemPrefix + stem(t.term), wdf);
    check_terms(doc);
    /* The heading: the first few words of the first field's values and of
     * the first line of a text of several lines (its title or summary). A
     * one-line value of a later field (an address, a link, a version) is no
     * heading. */
    size_t line_end = text.find('\n');
    if (!name_field_ && line_end == std::string_view::npos) return;
    size_t count = 0;
    while (count < tokens_.size() && count < kHeadingWords &&
           tokens_[count].begin <= line_end)
      ++count;
    /* A short heading is mostly about each of its words ("web server"),
     * a long one less so: its words count more often, so that BM25 weighs
     * them above the same words in a long heading. */
    unsigned heading_wdf =
        count == 0
            ? 0
            : wdf * static_cast<unsigned>((kShortHeading + count - 1) / count);
    for (size_t k = 0; k < count; ++k)
      doc.add_term(kHeadingPrefix + tokens_[k].term, heading_wdf);
    /* Only in the first field (see above): a one-word value there names
     * the document, while a rare one-word value in a late field (a tag, a
     * note) would otherwise outweigh the order of the fields. */
    if (name_field_ && tokens_.size() == 1) {
      doc.add_term(kWholeValuePrefix + tokens_[0].term, wdf);
      if (!has_name_) {
        doc.add_value(kNameSlot, tokens_[0].term);
        has_name_ = true;
      }
    }
    /* Every word of a name, so that how many names build on a one-word
     * name can be counted at search time (prior.h). */
    if (name_field_)
      for (const Token &t : tokens_)
        doc.add_boolean_term(kNameWordPrefix + t.term);
    check_terms(doc);
  }

  /* The pair term of each two words of the value that stand next to each
   * other (layout.h), while the document's budget of them lasts. A
   * character of a run stands next to its neighbours too, but a run's
   * own pairs already say which characters stand together. */
  void add_pairs(Xapian::Document &doc) {
    for (size_t k = 0; k + 1 < tokens_.size() && pairs_ < kMaxPairTerms; ++k) {
      if (tokens_[k].kind != TokenKind::kWord ||
          tokens_[k + 1].kind != TokenKind::kWord)
        continue;
      doc.add_term(pair_term(tokens_[k].term, tokens_[k + 1].term), 0);
      ++pairs_;
    }
  }

  /* The stem of a normalised word, remembered: a batch or a rewrite meets
   * the same words again and again, and the stemmer is the dearer part.
   * The memory is bounded by starting afresh past kStemCacheSize words. */
  const std::string &stem(const std::string &term) {
    auto found = stems_.find(term);
    if (found != stems_.end()) return found->second;
    if (stems_.size() >= kStemCacheSize) stems_.clear();
    return stems_.emplace(term, (*stemmer_)(term)).first->second;
  }

  /* Gives every weighted term of doc its normalised wdf (layout.h,
   * normalised_wdf) in place of its raw one. Xapian can only add to a
   * term's wdf, so a term whose wdf shrinks (in a document many times the
   * reference length) is written again with its positions. Pair terms and
   * the other terms of wdf 0 stay at 0. */
  void normalise(Xapian::Document &doc) {
    grow_.clear();
    shrink_.clear();
    for (auto t = doc.termlist_begin(); t != doc.termlist_end(); ++t) {
      const Xapian::termcount raw = t.get_wdf();
      const Xapian::termcount want = normalised_wdf(raw, length_, reference_);
      if (want > raw) {
        grow_.emplace_back(*t, want - raw);
      } else if (want < raw) {
        shrink_.push_back(Shrunk{*t, want, {}});
        shrink_.back().positions.assign(t.positionlist_begin(),
                                        t.positionlist_end());
      }
    }
    for (const auto &[term, more] : grow_) doc.add_term(term, more);
    for (const Shrunk &s : shrink_) {
      doc.remove_term(s.term);
      for (Xapian::termpos p : s.positions) doc.add_posting(s.term, p, 0);
      doc.add_term(s.term, s.wdf);
    }
  }

  /* Pair terms are bounded apart (kMaxPairTerms) and not counted. */
  void check_terms(const Xapian::Document &doc) const {
    if (doc.termlist_count() > kMaxDocumentTerms + pairs_)
      throw Error("it makes more than " + std::to_string(kMaxDocumentTerms) +
                      " index terms, the most a document may make",
                  LUMIDEX_ERROR_DOCUMENT_TOO_LARGE);
  }

  static constexpr size_t kStemCacheSize = 1 << 16;

  /* The listed paths; empty: every field. */
  std::vector<Path> paths_;
  FilterLayout filter_;
  SortLayout sort_;
  std::optional<Xapian::Stem> stemmer_;
  std::unordered_map<std::string, std::string> stems_;
  /* Values still to follow along a path, with the next component. */
  std::vector<std::pair<yyjson_val *, size_t>> reach_;
  std::vector<Token> tokens_;
  std::vector<Frame> stack_;
  /* Whether the values being added are those of the first field. */
  bool name_field_ = false;
  /* Whether the document being built has its name in kNameSlot. */
  bool has_name_ = false;
  /* The reference length, 0 for raw weights; the raw length of the
   * document last built; the terms normalising raises (with how much)
   * and those it lowers (with their wdf and positions), reused. */
  double reference_ = 0;
  double length_ = 0;
  struct Shrunk {
    std::string term;
    Xapian::termcount wdf;
    std::vector<Xapian::termpos> positions;
  };
  std::vector<std::pair<std::string, Xapian::termcount>> grow_;
  std::vector<Shrunk> shrink_;
  Xapian::termpos pos_ = 1;
  /* Words of the document being built, checked against kMaxDocumentWords. */
  size_t words_ = 0;
  /* Pair terms added to the document being built (at least as many as it
   * holds: a pair met twice is added twice). */
  size_t pairs_ = 0;
};

}  // namespace lmx

#endif
