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

/* Counts the facet values of the documents the matcher accepts. */
class FacetSpy : public Xapian::MatchSpy {
 public:
  FacetSpy(std::vector<FacetCount> &counts, std::vector<FilterSlots> slots)
      : counts_(counts), slots_(std::move(slots)) {}

  void operator()(const Xapian::Document &doc, double) override {
    for (size_t i = 0; i < counts_.size(); ++i) count(doc, i);
  }

 private:
  void count(const Xapian::Document &doc, size_t i) {
    const std::string packed = doc.get_value(slots_[i].facets);
    if (packed.empty()) return;
    FacetCount &c = counts_[i];
    bool numbers = false;
    size_t at = 0;
    while (at < packed.size()) {
      char kind = packed[at++];
      std::string_view key, spelling;
      if (!get_text(packed, &at, &key)) return;
      if (kind == kFilterString && !get_text(packed, &at, &spelling)) return;
      FacetCount::Value &v = c.values[std::string(key)];
      /* A number and a string written alike are one value ("7" and 7
       * match the same filter); it stays a number for its order. */
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
    if (numbers) add_range(doc, i);
  }

  void add_range(const Xapian::Document &doc, size_t i) {
    std::string lo = doc.get_value(slots_[i].min);
    std::string hi = doc.get_value(slots_[i].max);
    if (lo.size() != kFilterNumberKeyBytes ||
        hi.size() != kFilterNumberKeyBytes)
      return;
    FacetCount &c = counts_[i];
    double low = filter_number_of_key(lo), high = filter_number_of_key(hi);
    c.min = c.has_numbers ? std::min(c.min, low) : low;
    c.max = c.has_numbers ? std::max(c.max, high) : high;
    c.has_numbers = true;
  }

  std::vector<FacetCount> &counts_;
  std::vector<FilterSlots> slots_;
};

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
  FacetSpy spy(counts, std::move(slots));
  Xapian::Enquire enquire(db);
  enquire.set_query(every);
  enquire.set_weighting_scheme(Xapian::BoolWeight());
  enquire.add_matchspy(&spy);
  /* No page: the spy sees every match, since the matcher is told to check
   * them all. */
  enquire.get_mset(0, 0, db.get_doccount());
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
