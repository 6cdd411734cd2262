/*
 * answer.cpp: writes the JSON answer of a search (search.h) around the
 * matches and their order, which matches.cpp finds.
 *
 *   {"hits":[...],"query":Q,"limit":L,"offset":O,"total_hits":N,
 *    "total_hits_exact":B,"elapsed_ms":T}
 *
 * ("total_hits_exact" only when the request says so: lumidex_search's
 * answer has no such member.)
 *
 * Hits of a ranked query come in the order of prior.h: text weight times
 * the name-family prior. Each hit is the stored document. For a query with
 * words, each hit also carries "_highlighted": a copy of the document whose
 * string values are HTML-escaped (& < > " ') with every word the query
 * matched on wrapped in <em>...</em>, so a page can insert them as HTML.
 * Field names, numbers, booleans and nulls are copied unchanged. A word is
 * marked wherever its term is one the query matched on, so the words of a
 * phrase are marked also where they do not stand together. Characters and
 * pairs of characters of scripts written without spaces (text.h) are
 * marked the same way, those that overlap or touch in one <em>. A document
 * that has its own "_highlighted" member gets it replaced by ours. The
 * empty query (the document listing) returns the documents alone, byte for
 * byte as stored. With a stemmer (settings.h), a word is also marked where
 * its stem is the stem of a query word.
 *
 * When the index's settings name the displayed fields, every hit and its
 * "_highlighted" copy carry only those members (a dotted path keeps only
 * that member of an object, in each object of an array too) and the
 * primary key, in the document's order; the default shows everything and
 * costs nothing. The request's attributesToRetrieve cuts the hit further
 * the same way; its "_highlighted" copy carries those fields and the
 * cropped ones (attributesToCrop), whose strings are cut to their best
 * passage (crop.h) before they are escaped and marked. With highlight
 * false there is no copy, and the hit carries the cropped fields, cut.
 *
 * "query" echoes the query text with invalid UTF-8 bytes replaced by U+FFFD
 * (JSON text must be valid UTF-8). "total_hits" is that of matches.h: the
 * same on every page, exact up to kExactTotalUpTo matches.
 * "elapsed_ms" is the engine's time since the caller's start, in
 * milliseconds rounded to 0.001. A request with facets adds
 * "facetDistribution" and "facetStats" (facets.h) after it.
 *
 * Opening the database and retrying on DatabaseModifiedError are the
 * caller's; Xapian errors propagate.
 */
#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "catalog.h"
#include "crop.h"
#include "facets.h"
#include "json.h"
#include "layout.h"
#include "matches.h"
#include "refine.h"
#include "search.h"
#include "shown.h"
#include "text.h"
#include "utf8.h"

namespace lmx {

namespace {

/* text appended to out with & < > " ' written as entities; the runs
 * between them are copied whole (a stored description is mostly one run). */
void html_escape_append(std::string_view text, std::string &out) {
  size_t done = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char *entity;
    switch (text[i]) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      case '\'':
        entity = "&#39;";
        break;
      default:
        continue;
    }
    out.append(text.data() + done, i - done);
    out += entity;
    done = i + 1;
  }
  out.append(text.data() + done, text.size() - done);
}

/* What a hit's words are marked by: the terms the query matched on, and
 * with a stemmer the stems of its words. */
class Marks {
 public:
  Marks(const std::unordered_set<std::string> &terms,
        const std::unordered_set<std::string> &stems,
        const Xapian::Stem *stemmer)
      : terms_(terms), stems_(stems), stemmer_(stemmer) {
    for (const std::string &term : terms_) {
      if (!term.empty() && term.size() <= kMaxTermBytes)
        lengths_by_first_[first_byte(term)] |= length_bit(term.size());
    }
  }

  /* Whether a token's term (of 1 to kMaxTermBytes bytes) is marked. Most
   * words of a hit are not, and the first bytes and lengths of the matched
   * terms rule out most of those before any hashing. */
  bool marks(const std::string &term) const {
    if (!term.empty() && may_mark(term.size(), first_byte(term)) &&
        terms_.count(term))
      return true;
    return stems_matter() && stems_.count((*stemmer_)(term));
  }

  /* False when no term of this length and first byte is marked (whatever
   * its other bytes). */
  bool may_mark(size_t term_bytes, unsigned char first) const {
    return stems_matter() ||
           (lengths_by_first_[first] & length_bit(term_bytes)) != 0;
  }

 private:
  static_assert(kMaxTermBytes <= 64, "a term's length is a bit of a word");
  static uint64_t length_bit(size_t size) {
    return size >= 1 && size <= kMaxTermBytes ? uint64_t{1} << (size - 1) : 0;
  }
  bool stems_matter() const { return stemmer_ && !stems_.empty(); }
  static unsigned char first_byte(const std::string &term) {
    return static_cast<unsigned char>(term[0]);
  }

  const std::unordered_set<std::string> &terms_;
  const std::unordered_set<std::string> &stems_;
  const Xapian::Stem *stemmer_;
  /* For each first byte, the lengths of the matched terms starting with
   * it (bit n - 1 for n bytes). */
  uint64_t lengths_by_first_[256] = {};
};

/* Writes a text HTML-escaped with its marked words wrapped in <em>...</em>,
 * from its tokens as for_each_token hands them over. Tokens that overlap
 * or touch (a pair of characters and the characters around it, text.h)
 * share one <em>. */
class Highlighter final : public TokenSink {
 public:
  Highlighter(std::string_view text, const Marks &marks, std::string &out)
      : text_(text), marks_(marks), out_(out) {}

  bool may_take(size_t term_bytes, unsigned char first) override {
    return marks_.may_mark(term_bytes, first);
  }

  void take(Token &token) override {
    if (!marks_.marks(token.term)) return;
    if (marking_ && token.begin <= mark_end_) {
      mark_end_ = std::max(mark_end_, token.end);
      return;
    }
    if (marking_) flush();
    mark_begin_ = token.begin;
    mark_end_ = token.end;
    marking_ = true;
  }

  /* Writes what is left once every token was taken. */
  void finish() {
    if (marking_) flush();
    html_escape_append(text_.substr(done_), out_);
  }

 private:
  void flush() {
    html_escape_append(text_.substr(done_, mark_begin_ - done_), out_);
    out_ += "<em>";
    html_escape_append(text_.substr(mark_begin_, mark_end_ - mark_begin_),
                       out_);
    out_ += "</em>";
    done_ = mark_end_;
  }

  std::string_view text_;
  const Marks &marks_;
  std::string &out_;
  size_t done_ = 0, mark_begin_ = 0, mark_end_ = 0;
  bool marking_ = false;
};

/* text HTML-escaped, with the words marks marks wrapped in <em>...</em>,
 * into out (replaced). */
void highlight_text(std::string_view text, const Marks &marks,
                    std::string &out) {
  out.clear();
  out.reserve(text.size() + 16);
  Highlighter highlighter(text, marks, out);
  for_each_token(text, highlighter);
  highlighter.finish();
}

/* Sets the string val to text, copied into doc. */
void set_text(yyjson_mut_doc *doc, yyjson_mut_val *val, std::string_view text) {
  yyjson_mut_val *copy =
      checked(yyjson_mut_strncpy(doc, text.data(), text.size()));
  yyjson_mut_set_strn(val, yyjson_mut_get_str(copy), text.size());
}

/* Calls change(val) for every string value under root (keys excepted).
 * Walks with its own stack: stored documents may nest deeply. */
template <typename Change>
void for_each_string(yyjson_mut_val *root, Change change) {
  std::vector<yyjson_mut_val *> pending{root};
  auto visit = [&](yyjson_mut_val *val) {
    if (yyjson_mut_is_str(val))
      change(val);
    else if (yyjson_mut_is_ctn(val))
      pending.push_back(val);
  };
  while (!pending.empty()) {
    yyjson_mut_val *val = pending.back();
    pending.pop_back();
    if (yyjson_mut_is_obj(val)) {
      yyjson_mut_obj_iter it;
      yyjson_mut_obj_iter_init(val, &it);
      while (yyjson_mut_val *key = yyjson_mut_obj_iter_next(&it))
        visit(yyjson_mut_obj_iter_get_val(key));
    } else if (yyjson_mut_is_arr(val)) {
      yyjson_mut_arr_iter it;
      yyjson_mut_arr_iter_init(val, &it);
      while (yyjson_mut_val *item = yyjson_mut_arr_iter_next(&it)) visit(item);
    } else {
      visit(val);
    }
  }
}

/* Replaces every string value under root by its highlighted form. */
void highlight_tree(yyjson_mut_doc *doc, yyjson_mut_val *root,
                    const Marks &matched) {
  std::string highlighted;
  for_each_string(root, [&](yyjson_mut_val *val) {
    std::string_view text(yyjson_mut_get_str(val), yyjson_mut_get_len(val));
    highlight_text(text, matched, highlighted);
    set_text(doc, val, highlighted);
  });
}

/* Cuts every string value under root to about words words around its
 * best passage (crop.h), judged by the words matched marks. */
void crop_tree(yyjson_mut_doc *doc, yyjson_mut_val *root, const Marks &matched,
               size_t words) {
  std::vector<Token> tokens;
  std::vector<bool> marked;
  for_each_string(root, [&](yyjson_mut_val *val) {
    std::string_view text(yyjson_mut_get_str(val), yyjson_mut_get_len(val));
    tokens.clear();
    tokenize(text, tokens);
    if (tokens.size() <= words) return; /* no more words than kept */
    marked.assign(tokens.size(), false);
    for (size_t k = 0; k < tokens.size(); ++k)
      marked[k] = matched.marks(tokens[k].term);
    set_text(doc, val, cropped_text(text, tokens, marked, words));
  });
}

}  // namespace

/* The tree of paths (dotted paths reach into objects), with primary_key
 * kept whole unless it is null. */
Shown shown_of(const std::vector<std::string> &paths,
               const std::string *primary_key) {
  Shown root;
  if (primary_key) root.members[*primary_key].whole = true;
  for (const auto &path : paths) {
    Shown *node = &root;
    size_t begin = 0;
    for (;;) {
      size_t dot = path.find('.', begin);
      node = &node->members[path.substr(begin, dot - begin)];
      if (dot == std::string::npos) break;
      begin = dot + 1;
    }
    node->whole = true;
  }
  return root;
}

/* Removes from val what node does not show: members of an object not
 * named, and under a member named with deeper paths, what those do not
 * show (in an object, or in each object of an array; other values go).
 * Recursion is as deep as the longest displayed path. */
void keep_shown(yyjson_mut_val *val, const Shown &node) {
  if (yyjson_mut_is_arr(val)) {
    yyjson_mut_arr_iter it;
    yyjson_mut_arr_iter_init(val, &it);
    while (yyjson_mut_val *item = yyjson_mut_arr_iter_next(&it)) {
      if (yyjson_mut_is_obj(item) || yyjson_mut_is_arr(item))
        keep_shown(item, node);
      else
        yyjson_mut_arr_iter_remove(&it);
    }
    return;
  }
  if (!yyjson_mut_is_obj(val)) return;
  yyjson_mut_obj_iter it;
  yyjson_mut_obj_iter_init(val, &it);
  while (yyjson_mut_val *key = yyjson_mut_obj_iter_next(&it)) {
    std::string_view name(yyjson_mut_get_str(key), yyjson_mut_get_len(key));
    auto found = node.members.find(name);
    yyjson_mut_val *member = yyjson_mut_obj_iter_get_val(key);
    if (found == node.members.end() ||
        (!found->second.whole && !yyjson_mut_is_ctn(member))) {
      yyjson_mut_obj_iter_remove(&it);
      continue;
    }
    if (!found->second.whole) keep_shown(member, found->second);
  }
}

namespace {

/* Calls f(v) for each value v under val that node names whole (val itself
 * when node is whole), in objects and in each element of arrays. */
template <typename F>
void for_each_named(yyjson_mut_val *val, const Shown &node, F &f) {
  if (node.whole) {
    f(val);
  } else if (yyjson_mut_is_arr(val)) {
    yyjson_mut_arr_iter it;
    yyjson_mut_arr_iter_init(val, &it);
    while (yyjson_mut_val *item = yyjson_mut_arr_iter_next(&it))
      for_each_named(item, node, f);
  } else if (yyjson_mut_is_obj(val)) {
    yyjson_mut_obj_iter it;
    yyjson_mut_obj_iter_init(val, &it);
    while (yyjson_mut_val *key = yyjson_mut_obj_iter_next(&it)) {
      auto found = node.members.find(
          std::string_view(yyjson_mut_get_str(key), yyjson_mut_get_len(key)));
      if (found != node.members.end())
        for_each_named(yyjson_mut_obj_iter_get_val(key), found->second, f);
    }
  }
}

/* How the hits of one request are written (request.h): the fields of the
 * hit and of its "_highlighted" copy, each the displayed fields (settings)
 * cut further by the request's own tree; a null tree keeps every field. */
struct HitForm {
  std::string primary_key;
  std::unique_ptr<Shown> displayed;
  /* attributesToRetrieve; with highlight false, and attributesToCrop. */
  std::unique_ptr<Shown> hit;
  /* attributesToRetrieve and attributesToCrop. */
  std::unique_ptr<Shown> marked;
  /* attributesToCrop; null: nothing is cropped. The primary key never is
   * (an id such as "foo-bar-baz" is several words). */
  std::unique_ptr<Shown> crop;
  size_t crop_words = 0;
  bool highlight = true;

  /* The tree of paths, or null when they are ["*"]. */
  std::unique_ptr<Shown> tree(const std::vector<std::string> &paths) const {
    if (paths.size() == 1 && paths[0] == "*") return nullptr;
    return std::make_unique<Shown>(shown_of(paths, &primary_key));
  }
  /* val cut to the displayed fields and then to request (may be null). */
  void cut(yyjson_mut_val *val, const Shown *request) const {
    if (displayed) keep_shown(val, *displayed);
    if (request) keep_shown(val, *request);
  }
  /* The strings of the cropped fields of the object val cut to their
   * passage, judged by matched. */
  void crop_fields(yyjson_mut_doc *doc, yyjson_mut_val *val,
                   const Marks &matched) const {
    auto cut_strings = [&](yyjson_mut_val *v) {
      crop_tree(doc, v, matched, crop_words);
    };
    yyjson_mut_obj_iter it;
    yyjson_mut_obj_iter_init(val, &it);
    while (yyjson_mut_val *key = yyjson_mut_obj_iter_next(&it)) {
      std::string_view name(yyjson_mut_get_str(key), yyjson_mut_get_len(key));
      if (name == primary_key) continue;
      auto found = crop->members.find(name);
      if (!crop->whole && found == crop->members.end()) continue;
      for_each_named(yyjson_mut_obj_iter_get_val(key),
                     crop->whole ? *crop : found->second, cut_strings);
    }
  }
  /* True when a hit is the stored document as it is. */
  bool as_stored(bool marking) const {
    return !displayed && !hit && !crop && !marking;
  }
};

/* The form of the hits of request on db under settings. */
HitForm hit_form(const Xapian::Database &db, const IndexSettings &settings,
                 const SearchRequest &request) {
  auto every = [](const std::vector<std::string> &paths) {
    return paths.size() == 1 && paths[0] == "*";
  };
  HitForm form;
  form.highlight = request.highlight;
  form.crop_words = static_cast<size_t>(request.crop_length);
  if (settings.displays_all() && every(request.retrieve) &&
      request.crop.empty())
    return form;
  form.primary_key = Catalog::primary_key_of(db);
  if (!settings.displays_all()) form.displayed = form.tree(settings.displayed);
  if (request.crop.empty()) {
    form.hit = form.tree(request.retrieve);
    form.marked = form.tree(request.retrieve);
    return form;
  }
  if (every(request.crop)) {
    form.crop = std::make_unique<Shown>();
    form.crop->whole = true;
  } else {
    form.crop = std::make_unique<Shown>(shown_of(request.crop, nullptr));
  }
  /* The retrieved fields and the cropped ones: every field when either
   * is. */
  std::vector<std::string> both{"*"};
  if (!every(request.retrieve) && !every(request.crop)) {
    both = request.retrieve;
    both.insert(both.end(), request.crop.begin(), request.crop.end());
  }
  form.marked = form.tree(both);
  form.hit = form.tree(request.highlight ? request.retrieve : both);
  return form;
}

/* The hit for a stored document: the document cut to form's fields, with
 * its "_highlighted" copy when marking (matched words wrapped, strings
 * escaped) and the cropped fields cut in the copy (in the hit itself when
 * not marking). Numbers are read as raw text so they come out exactly as
 * stored. */
yyjson_mut_val *formed_hit(yyjson_mut_doc *out, const std::string &data,
                           const HitForm &form, const Marks &matched,
                           bool marking) {
  Doc stored(yyjson_read_opts(const_cast<char *>(data.data()), data.size(),
                              YYJSON_READ_NUMBER_AS_RAW, nullptr, nullptr));
  /* Stored data is always an object; a damaged record becomes null rather
   * than text that would break the answer. */
  if (!stored) return checked(yyjson_mut_null(out));
  yyjson_val *root = yyjson_doc_get_root(stored.get());
  if (!yyjson_is_obj(root)) return checked(yyjson_val_mut_copy(out, root));
  yyjson_mut_val *hit = checked(yyjson_val_mut_copy(out, root));
  form.cut(hit, form.hit.get());
  if (!marking) {
    if (form.crop) form.crop_fields(out, hit, matched);
    return hit;
  }
  yyjson_mut_val *marked = checked(yyjson_val_mut_copy(out, root));
  form.cut(marked, form.marked.get());
  if (form.crop) form.crop_fields(out, marked, matched);
  highlight_tree(out, marked, matched);
  yyjson_mut_obj_remove_key(hit, "_highlighted");
  if (!yyjson_mut_obj_add_val(out, hit, "_highlighted", marked))
    throw std::bad_alloc();
  return hit;
}

/* The hit for a stored document when the query has no words: its text as
 * is. Only an object is spliced in, so a damaged record cannot break the
 * answer's JSON. */
yyjson_mut_val *stored_hit(yyjson_mut_doc *out, const std::string &data) {
  if (data.empty() || data.front() != '{' || data.back() != '}')
    return checked(yyjson_mut_null(out));
  return checked(yyjson_mut_rawncpy(out, data.data(), data.size()));
}

/* The stored data of the page's documents, in page order. They are read
 * in docid order: the data table keeps documents in that order, so
 * neighbours share their blocks and a block is read once, where reading in
 * page order would descend the table again for almost every document.
 * With stats, a document kept there is not read, and one read is kept. */
std::vector<std::string> page_data(const Matches &matches, StatsCache *stats) {
  std::vector<std::pair<Xapian::docid, size_t>> by_docid;
  by_docid.reserve(matches.page.size());
  for (size_t k = 0; k < matches.page.size(); ++k)
    by_docid.emplace_back(*matches.page[k], k);
  std::sort(by_docid.begin(), by_docid.end());
  std::vector<std::string> data(matches.page.size());
  const bool keep = stats && stats->searched_before();
  for (const auto &[did, k] : by_docid) {
    if (keep) {
      auto found = stats->documents.find(did);
      if (found != stats->documents.end()) {
        data[k] = found->second;
        continue;
      }
    }
    data[k] = matches.page[k].get_document().get_data();
    if (keep) stats->keep_document(did, data[k]);
  }
  return data;
}

double milliseconds_since(std::chrono::steady_clock::time_point started) {
  std::chrono::duration<double, std::milli> spent =
      std::chrono::steady_clock::now() - started;
  return std::round(spent.count() * 1000.0) / 1000.0;
}

/* The answer object of a search (see search.h), its hits written as form
 * says; says_exactness adds "total_hits_exact". stats as for page_data
 * (null for none). */
std::string answer_json(const Matches &matches, const QuerySettings &settings,
                        const HitForm &form, std::string_view query, int limit,
                        int offset, bool says_exactness,
                        std::chrono::steady_clock::time_point started,
                        const std::vector<FacetCount> *facets,
                        StatsCache *stats) {
  yyjson_mut_val *root = nullptr;
  MutDoc answer = new_object_doc(&root);
  yyjson_mut_doc *out = answer.get();
  yyjson_mut_val *hits = checked(yyjson_mut_arr(out));
  const BuiltQuery &built = matches.built;
  const Marks marks{built.matched_terms, built.matched_stems,
                    settings.stemmer ? &*settings.stemmer : nullptr};
  /* The copy is there for a query with words, and for cropped fields
   * whatever the query (a query without words marks nothing). */
  const bool marking = form.highlight && (built.has_words || form.crop);
  const bool as_stored = form.as_stored(marking);
  for (const std::string &data : page_data(matches, stats)) {
    yyjson_mut_val *hit = as_stored
                              ? stored_hit(out, data)
                              : formed_hit(out, data, form, marks, marking);
    if (!yyjson_mut_arr_append(hits, hit)) throw std::bad_alloc();
  }
  std::string echoed = utf8::repaired(query);
  bool ok = yyjson_mut_obj_add_val(out, root, "hits", hits) &&
            yyjson_mut_obj_add_strncpy(out, root, "query", echoed.data(),
                                       echoed.size()) &&
            yyjson_mut_obj_add_int(out, root, "limit", limit) &&
            yyjson_mut_obj_add_int(out, root, "offset", offset) &&
            yyjson_mut_obj_add_uint(out, root, "total_hits", matches.total);
  if (says_exactness)
    ok = ok && yyjson_mut_obj_add_bool(out, root, "total_hits_exact",
                                       matches.total_exact);
  ok = ok && yyjson_mut_obj_add_real(out, root, "elapsed_ms",
                                     milliseconds_since(started));
  require(ok);
  if (facets) add_facets(out, root, *facets);
  return written(out);
}

}  // namespace

std::string search_json(Xapian::Database &db, const SearchRequest &request,
                        std::chrono::steady_clock::time_point started,
                        StatsCache *stats) {
  const int limit = std::max(request.limit, 0);
  const int offset = std::max(request.offset, 0);
  const IndexSettings settings = read_settings(db);
  QuerySettings query = query_settings(settings);
  const IndexLayout layout = index_layout(db);
  query.pair_terms = layout.pair_terms;
  query.normalised = layout.normalised;
  query.stored_priors = layout.stored_priors;
  const HitForm form = hit_form(db, settings, request);
  std::unique_ptr<Refinement> refine = refinement_of(settings, request);
  MatchOptions options = refine->options();
  options.stats = stats;
  Matches matches = find_matches(
      db, request.q, static_cast<Xapian::doccount>(offset),
      static_cast<Xapian::doccount>(limit), query, request.strategy, options);
  std::vector<FacetCount> facets;
  if (request.has_facets)
    facets = count_facets(db, matches, refine->facets, refine->filters);
  return answer_json(matches, query, form, request.q, limit, offset,
                     request.says_exactness, started,
                     request.has_facets ? &facets : nullptr, stats);
}

}  // namespace lmx
