/*
 * answer.cpp: writes the JSON answer of a search (search.h) around the
 * matches and their order, which matches.cpp finds.
 *
 *   {"hits":[...],"query":Q,"limit":L,"offset":O,"total_hits":N,
 *    "elapsed_ms":T}
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
 * costs nothing.
 *
 * "query" echoes the query text with invalid UTF-8 bytes replaced by U+FFFD
 * (JSON text must be valid UTF-8). "total_hits" is the matcher's estimate,
 * exact whenever there are fewer than kExactCountBelow matches.
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
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "catalog.h"
#include "facets.h"
#include "json.h"
#include "matches.h"
#include "refine.h"
#include "search.h"
#include "text.h"
#include "utf8.h"

namespace lmx {

namespace {

void html_escape_append(std::string_view text, std::string &out) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

/* What a hit's words are marked by: the terms the query matched on, and
 * with a stemmer the stems of its words. */
struct Marks {
  const std::unordered_set<std::string> &terms;
  const std::unordered_set<std::string> &stems;
  const Xapian::Stem *stemmer;

  bool marks(const std::string &term) const {
    if (terms.count(term)) return true;
    return stemmer && !stems.empty() && stems.count((*stemmer)(term));
  }
};

/* text HTML-escaped, with the words marks marks wrapped in <em>...</em>.
 * Tokens that overlap or touch (a pair of characters and the characters
 * around it, text.h) share one <em>. */
std::string highlight_text(std::string_view text, const Marks &marks,
                           std::vector<Token> &tokens) {
  tokens.clear();
  tokenize(text, tokens);
  std::string out;
  out.reserve(text.size() + 16);
  size_t done = 0;
  size_t mark_begin = 0;
  size_t mark_end = 0;
  bool marking = false;
  auto flush = [&]() {
    html_escape_append(text.substr(done, mark_begin - done), out);
    out += "<em>";
    html_escape_append(text.substr(mark_begin, mark_end - mark_begin), out);
    out += "</em>";
    done = mark_end;
  };
  for (const Token &token : tokens) {
    if (!marks.marks(token.term)) continue;
    if (marking && token.begin <= mark_end) {
      mark_end = std::max(mark_end, token.end);
      continue;
    }
    if (marking) flush();
    mark_begin = token.begin;
    mark_end = token.end;
    marking = true;
  }
  if (marking) flush();
  html_escape_append(text.substr(done), out);
  return out;
}

/* Replaces every string value under root (keys excepted) by its highlighted
 * form. Walks with its own stack: stored documents may nest deeply. */
void highlight_tree(yyjson_mut_doc *doc, yyjson_mut_val *root,
                    const Marks &matched) {
  std::vector<yyjson_mut_val *> pending{root};
  std::vector<Token> tokens;
  auto visit = [&](yyjson_mut_val *val) {
    if (yyjson_mut_is_str(val)) {
      std::string_view text(yyjson_mut_get_str(val), yyjson_mut_get_len(val));
      std::string marked = highlight_text(text, matched, tokens);
      yyjson_mut_val *copy =
          checked(yyjson_mut_strncpy(doc, marked.data(), marked.size()));
      yyjson_mut_set_strn(val, yyjson_mut_get_str(copy), marked.size());
    } else if (yyjson_mut_is_ctn(val)) {
      pending.push_back(val);
    }
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

/* The displayed fields as a tree of member names: a node keeps the whole
 * value when whole, else only the members named under it. */
struct Shown {
  bool whole = false;
  std::map<std::string, Shown, std::less<>> members;
};

/* The tree of displayed paths (settings.h), the primary key kept whole. */
Shown shown_of(const std::vector<std::string> &displayed,
               const std::string &primary_key) {
  Shown root;
  root.members[primary_key].whole = true;
  for (const auto &path : displayed) {
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

/* The hit for a stored document when the query has words: the document
 * plus its "_highlighted" copy (matched null: the document alone), both
 * cut to what shown shows (null: everything). Numbers are read as raw text
 * so they come out exactly as stored. */
yyjson_mut_val *highlighted_hit(yyjson_mut_doc *out, const std::string &data,
                                const Marks *matched, const Shown *shown) {
  Doc stored(yyjson_read_opts(const_cast<char *>(data.data()), data.size(),
                              YYJSON_READ_NUMBER_AS_RAW, nullptr, nullptr));
  /* Stored data is always an object; a damaged record becomes null rather
   * than text that would break the answer. */
  if (!stored) return checked(yyjson_mut_null(out));
  yyjson_val *root = yyjson_doc_get_root(stored.get());
  if (!yyjson_is_obj(root)) return checked(yyjson_val_mut_copy(out, root));
  yyjson_mut_val *hit = checked(yyjson_val_mut_copy(out, root));
  if (shown) keep_shown(hit, *shown);
  if (!matched) return hit;
  yyjson_mut_val *marked = checked(yyjson_val_mut_copy(out, root));
  if (shown) keep_shown(marked, *shown);
  highlight_tree(out, marked, *matched);
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
 * page order would descend the table again for almost every document. */
std::vector<std::string> page_data(const Matches &matches) {
  std::vector<std::pair<Xapian::docid, size_t>> by_docid;
  by_docid.reserve(matches.page.size());
  for (size_t k = 0; k < matches.page.size(); ++k)
    by_docid.emplace_back(*matches.page[k], k);
  std::sort(by_docid.begin(), by_docid.end());
  std::vector<std::string> data(matches.page.size());
  for (const auto &entry : by_docid)
    data[entry.second] = matches.page[entry.second].get_document().get_data();
  return data;
}

double milliseconds_since(std::chrono::steady_clock::time_point started) {
  std::chrono::duration<double, std::milli> spent =
      std::chrono::steady_clock::now() - started;
  return std::round(spent.count() * 1000.0) / 1000.0;
}

/* The answer object of a search (see search.h); shown null shows every
 * field. */
std::string answer_json(const Matches &matches, const QuerySettings &settings,
                        const Shown *shown, std::string_view query, int limit,
                        int offset,
                        std::chrono::steady_clock::time_point started,
                        const std::vector<FacetCount> *facets) {
  yyjson_mut_val *root = nullptr;
  MutDoc answer = new_object_doc(&root);
  yyjson_mut_doc *out = answer.get();
  yyjson_mut_val *hits = checked(yyjson_mut_arr(out));
  const BuiltQuery &built = matches.built;
  const Marks marks{built.matched_terms, built.matched_stems,
                    settings.stemmer ? &*settings.stemmer : nullptr};
  for (const std::string &data : page_data(matches)) {
    yyjson_mut_val *hit = built.has_words
                              ? highlighted_hit(out, data, &marks, shown)
                          : shown ? highlighted_hit(out, data, nullptr, shown)
                                  : stored_hit(out, data);
    if (!yyjson_mut_arr_append(hits, hit)) throw std::bad_alloc();
  }
  std::string echoed = utf8::repaired(query);
  bool ok = yyjson_mut_obj_add_val(out, root, "hits", hits) &&
            yyjson_mut_obj_add_strncpy(out, root, "query", echoed.data(),
                                       echoed.size()) &&
            yyjson_mut_obj_add_int(out, root, "limit", limit) &&
            yyjson_mut_obj_add_int(out, root, "offset", offset) &&
            yyjson_mut_obj_add_uint(out, root, "total_hits", matches.total) &&
            yyjson_mut_obj_add_real(out, root, "elapsed_ms",
                                    milliseconds_since(started));
  require(ok);
  if (facets) add_facets(out, root, *facets);
  return written(out);
}

}  // namespace

std::string search_json(Xapian::Database &db, const SearchRequest &request,
                        std::chrono::steady_clock::time_point started) {
  const int limit = std::max(request.limit, 0);
  const int offset = std::max(request.offset, 0);
  const IndexSettings settings = read_settings(db);
  const QuerySettings query = query_settings(settings);
  std::unique_ptr<Shown> shown;
  if (!settings.displays_all())
    shown = std::make_unique<Shown>(
        shown_of(settings.displayed, Catalog::primary_key_of(db)));
  std::unique_ptr<Refinement> refine = refinement_of(settings, request);
  Matches matches = find_matches(
      db, request.q, static_cast<Xapian::doccount>(offset),
      static_cast<Xapian::doccount>(limit), query, request.strategy,
      refine->options());
  std::vector<FacetCount> facets;
  if (request.has_facets)
    facets = count_facets(db, matches, refine->facets, refine->filters);
  return answer_json(matches, query, shown.get(), request.q, limit, offset,
                     started, request.has_facets ? &facets : nullptr);
}

}  // namespace lmx
