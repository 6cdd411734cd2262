/*
 * facets.cpp: the facet match spy and the answer's facet members
 * (facets.h).
 *
 * The spy decodes the packed slot of layout.h: per value a kind byte, its
 * key and, for strings, a spelling, each text after its varint length. A
 * slot that does not decode (an index written otherwise) stops at the
 * fault rather than read past the value.
 */
#include "facets.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "json.h"
#include "layout.h"

namespace lmx {

namespace {

/* Reads a varint at *at in s into *n; false when s ends first. */
bool get_varint(std::string_view s, size_t *at, size_t *n) {
  size_t value = 0;
  for (unsigned shift = 0; *at < s.size() && shift < 64; shift += 7) {
    unsigned char byte = static_cast<unsigned char>(s[(*at)++]);
    value |= static_cast<size_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) {
      *n = value;
      return true;
    }
  }
  return false;
}

/* Reads one length-prefixed text at *at in s. */
bool get_text(std::string_view s, size_t *at, std::string_view *out) {
  size_t n = 0;
  if (!get_varint(s, at, &n) || n > s.size() - *at) return false;
  *out = s.substr(*at, n);
  *at += n;
  return true;
}

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
 * none. ids come in increasing order. */
std::string value_at(Xapian::ValueIterator &it,
                     const Xapian::ValueIterator &end, Xapian::docid did) {
  if (it == end) return {};
  if (it.get_docid() < did) it.skip_to(did);
  if (it == end || it.get_docid() != did) return {};
  return *it;
}

/* Adds one document's packed facet values to c; true when one is a
 * number. */
bool count_packed(std::string_view packed, FacetCount &c, std::string &probe) {
  bool numbers = false;
  size_t at = 0;
  while (at < packed.size()) {
    char kind = packed[at++];
    std::string_view key, spelling;
    if (!get_text(packed, &at, &key)) break;
    if (kind == kFilterString && !get_text(packed, &at, &spelling)) break;
    /* The key is looked up through a reused buffer: most lookups find a
     * value counted before, and need no allocation then. */
    probe.assign(key.data(), key.size());
    auto found = c.values.find(probe);
    if (found == c.values.end())
      found = c.values.emplace(probe, FacetCount::Value{}).first;
    FacetCount::Value &v = found->second;
    /* A number and a string written alike are one value ("7" and 7 match
     * the same filter); it stays a number for its order. */
    if (v.count == 0 || kind == kFilterNumber) {
      v.kind = kind;
      v.shown =
          kind == kFilterString ? std::string(spelling) : std::string(key);
    } else if (kind == kFilterString && v.kind == kFilterString &&
               spelling < v.shown) {
      v.shown.assign(spelling);
    }
    ++v.count;
    numbers = numbers || kind == kFilterNumber;
  }
  return numbers;
}

/* Counts attribute c (slots) over the documents ids, in increasing order. */
void count_attribute(const Xapian::Database &db,
                     const std::vector<Xapian::docid> &ids,
                     const FilterSlots &slots, FacetCount &c) {
  Xapian::ValueIterator values = db.valuestream_begin(slots.facets);
  Xapian::ValueIterator lo = db.valuestream_begin(slots.min);
  Xapian::ValueIterator hi = db.valuestream_begin(slots.max);
  /* Every value stream ends in the same end iterator. */
  const Xapian::ValueIterator end = db.valuestream_end(slots.facets);
  std::string probe;
  for (Xapian::docid did : ids) {
    if (values == end) break;
    std::string packed = value_at(values, end, did);
    if (packed.empty() || !count_packed(packed, c, probe)) continue;
    std::string low = value_at(lo, end, did), high = value_at(hi, end, did);
    if (low.size() != kFilterNumberKeyBytes ||
        high.size() != kFilterNumberKeyBytes)
      continue;
    double a = filter_number_of_key(low), b = filter_number_of_key(high);
    c.min = c.has_numbers ? std::min(c.min, a) : a;
    c.max = c.has_numbers ? std::max(c.max, b) : b;
    c.has_numbers = true;
  }
}

/* The shown values of c, at most kMaxFacetValues, in answer order. */
std::vector<const FacetCount::Value *> ordered(const FacetCount &c) {
  std::vector<const FacetCount::Value *> out;
  out.reserve(c.values.size());
  for (const auto &entry : c.values) {
    const FacetCount::Value &v = entry.second;
    out.push_back(&v);
  }
  auto before = [](const FacetCount::Value *a, const FacetCount::Value *b) {
    if (a->count != b->count) return a->count > b->count;
    bool an = a->kind == kFilterNumber, bn = b->kind == kFilterNumber;
    if (an != bn) return an;
    if (an && a->number != b->number) return a->number < b->number;
    return a->shown < b->shown;
  };
  size_t keep = std::min(out.size(), kMaxFacetValues);
  std::partial_sort(out.begin(), out.begin() + static_cast<long>(keep),
                    out.end(), before);
  out.resize(keep);
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
  std::vector<FilterSlots> slots;
  for (size_t i = 0; i < attributes.size(); ++i) {
    counts[i].attribute = attributes[i];
    slots.push_back(*layout.find(attributes[i]));
  }
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
  for (size_t i = 0; i < counts.size(); ++i)
    count_attribute(db, ids, slots[i], counts[i]);
  for (FacetCount &c : counts)
    for (auto &entry : c.values)
      if (entry.second.kind == kFilterNumber)
        entry.second.number = std::strtod(entry.first.c_str(), nullptr);
  return counts;
}

void add_facets(yyjson_mut_doc *doc, yyjson_mut_val *root,
                const std::vector<FacetCount> &counts) {
  yyjson_mut_val *distribution = checked(yyjson_mut_obj(doc));
  yyjson_mut_val *stats = checked(yyjson_mut_obj(doc));
  for (const FacetCount &c : counts) {
    yyjson_mut_val *values = checked(yyjson_mut_obj(doc));
    for (const FacetCount::Value *v : ordered(c)) {
      yyjson_mut_val *key =
          checked(yyjson_mut_strncpy(doc, v->shown.data(), v->shown.size()));
      require(yyjson_mut_obj_add(values, key,
                                 checked(yyjson_mut_uint(doc, v->count))));
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
