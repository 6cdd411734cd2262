/*
 * document_list.cpp: the documents listing (document_list.h).
 *
 * A page is one Xapian match in docid order with boolean weights, so the
 * matcher stops as soon as it holds offset + limit + 1 documents: skipping
 * an offset steps over posting-list entries, never over stored documents,
 * and only the documents of the page are read. "after" adds a posting
 * source of the docids above it, so a long walk (the tool's export) pays
 * for its page alone however deep it is. One more document than the page
 * is asked for, to tell whether another page follows.
 *
 * Each document is cut as a search hit is (shown.h): first to the index's
 * displayed attributes, then to the requested fields, the primary key kept
 * by both. Numbers are read as raw text, so a cut document keeps them as
 * stored; an uncut one is the stored text itself.
 */
#include "document_list.h"

#include <yyjson.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iterator>
#include <memory>

#include "error.h"
#include "json.h"
#include "lumidex_documents.h"
#include "members.h"
#include "messages.h"
#include "refine.h"
#include "settings.h"
#include "shown.h"

namespace lmx {

namespace {

[[noreturn]] void refuse(std::string_view member, std::string_view expected) {
  throw Error("Invalid documents parameter `" + std::string(member) +
                  "`: " + std::string(expected) + ".",
              LUMIDEX_ERROR_INVALID_LIST_PARAMETER);
}

/* A non-negative integer member of at most most. */
uint64_t count_of(yyjson_val *v, const char *member, uint64_t least,
                  uint64_t most) {
  bool integer =
      yyjson_is_uint(v) || (yyjson_is_sint(v) && yyjson_get_sint(v) >= 0);
  uint64_t n = !integer            ? 0
               : yyjson_is_uint(v) ? yyjson_get_uint(v)
                                   : static_cast<uint64_t>(yyjson_get_sint(v));
  if (!integer || n < least || n > most)
    refuse(member, "expected an integer from " + std::to_string(least) +
                       " to " + std::to_string(most));
  return n;
}

void read_offset(yyjson_val *v, ListRequest &r) {
  r.offset = static_cast<Xapian::doccount>(
      count_of(v, "offset", 0, Xapian::doccount(-1)));
}

void read_limit(yyjson_val *v, ListRequest &r) {
  r.limit = static_cast<int>(count_of(v, "limit", 1, LUMIDEX_LIST_LIMIT_MAX));
}

void read_after(yyjson_val *v, ListRequest &r) {
  r.after =
      static_cast<Xapian::docid>(count_of(v, "after", 0, Xapian::docid(-1)));
}

/* A dotted path without empty member names. */
bool usable_path(std::string_view path) {
  if (path.empty() || path.front() == '.' || path.back() == '.') return false;
  return path.find("..") == std::string_view::npos;
}

void read_fields(yyjson_val *v, ListRequest &r) {
  static const char *expected =
      "expected an array of 1 to 256 field names (dotted paths such as "
      "author.name, or \"*\" for every field)";
  if (!yyjson_is_arr(v) || yyjson_arr_size(v) == 0 ||
      yyjson_arr_size(v) > kMaxListFields)
    refuse("fields", expected);
  std::vector<std::string> fields;
  bool every = false;
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(v, idx, max, item) {
    std::string_view name(yyjson_get_str(item) ? yyjson_get_str(item) : "",
                          yyjson_get_len(item));
    if (!yyjson_is_str(item) || !(name == "*" || usable_path(name)))
      refuse("fields", expected);
    every = every || name == "*";
    fields.emplace_back(name);
  }
  if (every) fields.clear();
  r.fields = std::move(fields);
}

void read_filter(yyjson_val *v, ListRequest &r) {
  ParsedFilter parsed = parse_filter(v);
  if (!parsed.ok())
    throw Error(parsed.error.message, LUMIDEX_ERROR_INVALID_FILTER);
  r.has_filter = true;
  r.filter = std::move(parsed.root);
}

const MemberRow<ListRequest> kMembers[] = {{"offset", read_offset},
                                           {"limit", read_limit},
                                           {"after", read_after},
                                           {"fields", read_fields},
                                           {"filter", read_filter}};

[[noreturn]] void refuse_unknown(std::string_view name) {
  throw Error("Unknown documents parameter " + msg::backticked(name) +
                  ": the parameters are " + member_names(kMembers) + ".",
              LUMIDEX_ERROR_INVALID_LIST_PARAMETER);
}

/* The docids above after, up to last: whether a document has one is the
 * posting list's to say, this source is only ever a filter on it. */
class DocidsAfter : public Xapian::PostingSource {
 public:
  DocidsAfter(Xapian::docid after, Xapian::docid last)
      : after_(after), last_(last), did_(after) {}
  Xapian::doccount get_termfreq_min() const override { return 0; }
  Xapian::doccount get_termfreq_est() const override { return span(); }
  Xapian::doccount get_termfreq_max() const override { return span(); }
  void init(const Xapian::Database &) override { did_ = after_; }
  void next(double) override { ++did_; }
  void skip_to(Xapian::docid did, double) override {
    did_ = std::max({did_, did, after_ + 1});
  }
  bool at_end() const override { return did_ > last_ || did_ == 0; }
  Xapian::docid get_docid() const override { return did_; }

 private:
  Xapian::doccount span() const { return last_ > after_ ? last_ - after_ : 0; }
  Xapian::docid after_, last_, did_;
};

}  // namespace

Xapian::Query matching(const IndexSettings &settings,
                       const FilterNode &filter) {
  SearchRequest search;
  search.has_filter = true;
  search.filter = filter;
  return refinement_of(settings, search)->filter;
}

namespace {

/* The document of data as the request shows it. */
yyjson_mut_val *listed(yyjson_mut_doc *out, const std::string &data,
                       const Shown *displayed, const Shown *fields) {
  /* Stored data is always an object; a damaged record becomes null rather
   * than text that would break the answer. */
  if (data.empty() || data.front() != '{' || data.back() != '}')
    return checked(yyjson_mut_null(out));
  if (!displayed && !fields)
    return checked(yyjson_mut_rawncpy(out, data.data(), data.size()));
  Doc stored(yyjson_read_opts(const_cast<char *>(data.data()), data.size(),
                              YYJSON_READ_NUMBER_AS_RAW, nullptr, nullptr));
  yyjson_val *root = yyjson_doc_get_root(stored.get());
  if (!yyjson_is_obj(root)) return checked(yyjson_mut_null(out));
  yyjson_mut_val *doc = checked(yyjson_val_mut_copy(out, root));
  if (displayed) keep_shown(doc, *displayed);
  if (fields) keep_shown(doc, *fields);
  return doc;
}

std::string page_json(Xapian::Database &db, const ListRequest &request) {
  const IndexSettings settings = read_settings(db);
  const std::string pk = Catalog::primary_key_of(db);
  std::unique_ptr<Shown> displayed, fields;
  if (!settings.displays_all() && !request.stored)
    displayed = std::make_unique<Shown>(shown_of(settings.displayed, &pk));
  if (!request.fields.empty())
    fields = std::make_unique<Shown>(shown_of(request.fields, &pk));

  Xapian::Query query = Xapian::Query::MatchAll;
  DocidsAfter after(request.after, db.get_lastdocid());
  if (request.after > 0)
    query =
        Xapian::Query(Xapian::Query::OP_FILTER, query, Xapian::Query(&after));
  if (request.has_filter)
    query = Xapian::Query(Xapian::Query::OP_FILTER, query,
                          matching(settings, request.filter));
  Xapian::Enquire enquire(db);
  enquire.set_query(query);
  enquire.set_weighting_scheme(Xapian::BoolWeight());
  enquire.set_docid_order(Xapian::Enquire::ASCENDING);
  Xapian::MSet mset = enquire.get_mset(
      request.offset, static_cast<Xapian::doccount>(request.limit) + 1);

  yyjson_mut_val *root = nullptr;
  MutDoc page = new_object_doc(&root);
  yyjson_mut_doc *out = page.get();
  yyjson_mut_val *documents = checked(yyjson_mut_arr(out));
  Xapian::doccount shown = std::min<Xapian::doccount>(
      mset.size(), static_cast<Xapian::doccount>(request.limit));
  Xapian::docid last = 0;
  Xapian::MSetIterator it = mset.begin();
  for (Xapian::doccount k = 0; k < shown; ++k, ++it) {
    std::string data = it.get_document().get_data();
    require(yyjson_mut_arr_append(
        documents, listed(out, data, displayed.get(), fields.get())));
    last = *it;
  }
  bool more = mset.size() > shown;
  require(yyjson_mut_obj_add_val(out, root, "documents", documents) &&
          yyjson_mut_obj_add_uint(out, root, "next", more ? last : 0));
  return written(out);
}

}  // namespace

ListRequest parse_list_request(std::string_view text) {
  ListRequest request;
  if (text.empty()) return request;
  Doc doc(yyjson_read(text.data(), text.size(), YYJSON_READ_NOFLAG));
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root))
    throw Error("Invalid documents request: expected a JSON object.",
                LUMIDEX_ERROR_INVALID_LIST_PARAMETER);
  read_members(root, kMembers, request, refuse_unknown,
               [](const char *name) { refuse(name, "given more than once"); });
  return request;
}

std::string list_documents(Catalog &catalog, const std::string &index,
                           const ListRequest &request) {
  Catalog::require_valid_name(index);
  Xapian::Database *db = catalog.reader(index);
  if (!db)
    throw Error(msg::index_not_found(index), LUMIDEX_ERROR_INDEX_NOT_FOUND);
  return fresh_read(*db, [&] { return page_json(*db, request); });
}

}  // namespace lmx
