/*
 * facets.cpp: the facet counts of a search and the answer's facet members
 * (facets.h).
 *
 * Counting keeps two tables per attribute: strings and booleans by their
 * facet hash, numbers by their number key. Only once every document is
 * counted are numbers folded in with the strings written alike (by the hash
 * of their canonical text), the values ranked, and the spellings of the
 * ones shown looked up: work per distinct value, not per document.
 */
#include "facets.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "json.h"
#include "layout.h"

namespace lmx {

namespace {

/* Collects the ids of the documents the matcher accepts. Reading their
 * values here, one document at a time, would look each value up in its
 * table on its own; gathered, they are read afterwards along each slot's
 * value stream, in docid order, a few lookups per chunk of values. */
class MatchedIds : public Xapian::MatchSpy {
 public:
  explicit MatchedIds(std::vector<Xapian::docid> &ids) : ids_(ids) {}
  void operator()(const Xapian::Document &doc, double) override {
    ids_.push_back(doc.get_docid());
  }

 private:
  std::vector<Xapian::docid> &ids_;
};

/* The value of the stream it at did, moving it forward; "" when did has
 * none. Called with increasing ids. */
std::string value_at(Xapian::ValueIterator &it,
                     const Xapian::ValueIterator &end, Xapian::docid did) {
  if (it == end) return {};
  if (it.get_docid() < did) it.skip_to(did);
  if (it == end || it.get_docid() != did) return {};
  return *it;
}

uint64_t bits_of(const char *p) {
  uint64_t h = 0;
  for (size_t i = 0; i < 8; ++i)
    h = (h << 8) | static_cast<unsigned char>(p[i]);
  return h;
}

/* What counting one attribute gathers. */
struct Tally {
  /* facet hash -> count, with whether a string had it (else booleans). */
  struct Text {
    Xapian::doccount count = 0;
    bool spelled = false;
  };
  std::unordered_map<uint64_t, Text> texts;
  /* number key bits -> count */
  std::unordered_map<uint64_t, Xapian::doccount> numbers;
  bool has_numbers = false;
  double min = 0, max = 0;
};

/* Adds one document's entries (layout.h) to t; true when one is a
 * number. */
bool count_packed(std::string_view packed, Tally &t) {
  bool numbers = false;
  for (size_t at = 0; at + kFacetEntryBytes <= packed.size();
       at += kFacetEntryBytes) {
    char kind = packed[at];
    uint64_t bits = bits_of(packed.data() + at + 1);
    if (kind == kFilterNumber) {
      ++t.numbers[bits];
      numbers = true;
    } else {
      Tally::Text &text = t.texts[bits];
      ++text.count;
      text.spelled = text.spelled || kind == kFilterString;
    }
  }
  return numbers;
}

/* Counts one attribute (slots) over the documents ids, in increasing
 * order. */
void count_attribute(const Xapian::Database &db,
                     const std::vector<Xapian::docid> &ids,
                     const FilterSlots &slots, Tally &t) {
  Xapian::ValueIterator values = db.valuestream_begin(slots.facets);
  Xapian::ValueIterator lo = db.valuestream_begin(slots.min);
  Xapian::ValueIterator hi = db.valuestream_begin(slots.max);
  /* Every value stream ends in the same end iterator. */
  const Xapian::ValueIterator end = db.valuestream_end(slots.facets);
  for (Xapian::docid did : ids) {
    if (values == end) break;
    std::string packed = value_at(values, end, did);
    if (packed.empty() || !count_packed(packed, t)) continue;
    std::string low = value_at(lo, end, did), high = value_at(hi, end, did);
    if (low.size() != kFilterNumberKeyBytes ||
        high.size() != kFilterNumberKeyBytes)
      continue;
    double a = filter_number_of_key(low), b = filter_number_of_key(high);
    t.min = t.has_numbers ? std::min(t.min, a) : a;
    t.max = t.has_numbers ? std::max(t.max, b) : b;
    t.has_numbers = true;
  }
}

/* The smallest spelling of the value of facet hash h: the first of its
 * spelling terms. */
std::string spelling_of(const Xapian::Database &db, uint64_t h) {
  const std::string prefix = facet_spelling_prefix(h);
  Xapian::TermIterator it = db.allterms_begin(prefix);
  if (it == db.allterms_end(prefix)) return {};
  return (*it).substr(prefix.size());
}

/* One value being ranked: its count, and a number or a facet hash. */
struct Ranked {
  Xapian::doccount count = 0;
  bool is_number = false;
  double number = 0;
  uint64_t hash = 0;
  bool spelled = false;
};

/* The values of t ranked and cut (facets.h), their texts read. */
std::vector<FacetCount::Value> shown_values(const Xapian::Database &db,
                                            const std::string &path,
                                            const Tally &t) {
  std::unordered_map<uint64_t, Ranked> by_hash;
  for (const auto &[h, text] : t.texts) {
    Ranked &r = by_hash[h];
    r.count += text.count;
    r.hash = h;
    r.spelled = text.spelled;
  }
  for (const auto &[bits, count] : t.numbers) {
    std::string key(8, '\0');
    for (size_t i = 0; i < 8; ++i)
      key[i] = static_cast<char>(bits >> (56 - 8 * i));
    double d = filter_number_of_key(key);
    uint64_t h = facet_hash(path, filter_number_text(d));
    Ranked &r = by_hash[h];
    r.count += count;
    r.hash = h;
    r.is_number = true;
    r.number = d;
  }
  std::vector<Ranked> ranked;
  ranked.reserve(by_hash.size());
  for (const auto &entry : by_hash) ranked.push_back(entry.second);
  auto cut_order = [](const Ranked &a, const Ranked &b) {
    if (a.count != b.count) return a.count > b.count;
    if (a.is_number != b.is_number) return a.is_number;
    if (a.is_number && a.number != b.number) return a.number < b.number;
    return a.hash < b.hash;
  };
  size_t keep = std::min(ranked.size(), kMaxFacetValues);
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<long>(keep),
                    ranked.end(), cut_order);
  std::vector<FacetCount::Value> out;
  for (size_t k = 0; k < keep; ++k) {
    const Ranked &r = ranked[k];
    FacetCount::Value v;
    v.count = r.count;
    v.is_number = r.is_number;
    v.number = r.number;
    if (r.is_number)
      v.shown = filter_number_text(r.number);
    else if (r.spelled)
      v.shown = spelling_of(db, r.hash);
    else
      v.shown = r.hash == facet_hash(path, "true") ? "true" : "false";
    out.push_back(std::move(v));
  }
  std::sort(out.begin(), out.end(),
            [](const FacetCount::Value &a, const FacetCount::Value &b) {
              if (a.count != b.count) return a.count > b.count;
              if (a.is_number != b.is_number) return a.is_number;
              if (a.is_number) return a.number < b.number;
              return a.shown < b.shown;
            });
  return out;
}

/* A number as JSON: an integer when it is one (exactly), else a real. */
yyjson_mut_val *number_val(yyjson_mut_doc *doc, double d) {
  if (std::trunc(d) == d && std::fabs(d) < 9007199254740992.0)
    return checked(yyjson_mut_sint(doc, static_cast<int64_t>(d)));
  return checked(yyjson_mut_real(doc, d));
}

}  // namespace

std::vector<FacetCount> count_facets(Xapian::Database &db,
                                     const Matches &matches,
                                     const std::vector<std::string> &attributes,
                                     const FilterLayout &layout) {
  std::vector<FacetCount> counts(attributes.size());
  if (attributes.empty()) return counts;
  const BuiltQuery &built = matches.built;
  Xapian::Query every =
      built.partial.empty()
          ? built.query
          : Xapian::Query(Xapian::Query::OP_OR, built.query, built.partial);
  std::vector<Xapian::docid> ids;
  MatchedIds spy(ids);
  Xapian::Enquire enquire(db);
  enquire.set_query(every);
  enquire.set_weighting_scheme(Xapian::BoolWeight());
  enquire.add_matchspy(&spy);
  /* No page: the spy sees every match, since the matcher is told to check
   * them all. */
  enquire.get_mset(0, 0, db.get_doccount());
  std::sort(ids.begin(), ids.end());
  for (size_t i = 0; i < attributes.size(); ++i) {
    Tally t;
    count_attribute(db, ids, *layout.find(attributes[i]), t);
    FacetCount &c = counts[i];
    c.attribute = attributes[i];
    c.values = shown_values(db, attributes[i], t);
    c.has_numbers = t.has_numbers;
    c.min = t.min;
    c.max = t.max;
  }
  return counts;
}

void add_facets(yyjson_mut_doc *doc, yyjson_mut_val *root,
                const std::vector<FacetCount> &counts) {
  yyjson_mut_val *distribution = checked(yyjson_mut_obj(doc));
  yyjson_mut_val *stats = checked(yyjson_mut_obj(doc));
  for (const FacetCount &c : counts) {
    yyjson_mut_val *values = checked(yyjson_mut_obj(doc));
    for (const FacetCount::Value &v : c.values) {
      yyjson_mut_val *key =
          checked(yyjson_mut_strncpy(doc, v.shown.data(), v.shown.size()));
      require(yyjson_mut_obj_add(values, key,
                                 checked(yyjson_mut_uint(doc, v.count))));
    }
    yyjson_mut_val *name = checked(
        yyjson_mut_strncpy(doc, c.attribute.data(), c.attribute.size()));
    require(yyjson_mut_obj_add(distribution, name, values));
    if (!c.has_numbers) continue;
    yyjson_mut_val *range = checked(yyjson_mut_obj(doc));
    require(yyjson_mut_obj_add_val(doc, range, "min", number_val(doc, c.min)));
    require(yyjson_mut_obj_add_val(doc, range, "max", number_val(doc, c.max)));
    require(
        yyjson_mut_obj_add(stats,
                           checked(yyjson_mut_strncpy(doc, c.attribute.data(),
                                                      c.attribute.size())),
                           range));
  }
  require(yyjson_mut_obj_add_val(doc, root, "facetDistribution", distribution));
  require(yyjson_mut_obj_add_val(doc, root, "facetStats", stats));
}

}  // namespace lmx
