/*
 * sort.h: sorting hits by the values of sortable attributes.
 *
 * The settings name the sortable attributes (settings.h); their order
 * gives each its value slots (layout.h: kFirstSortSlot + kSortSlotsPerAttribute
 * * i), so a change of the list rewrites the index. When a document is
 * indexed, add_sort_keys writes, per sortable attribute it holds a scalar
 * of, the key of its smallest and of its largest scalar: numbers before
 * strings, numbers by value, strings (and booleans, as "true" and "false")
 * by their folded text. An array thus sorts by its smallest element
 * ascending and by its largest descending.
 *
 * A search's "sort" is a list of "attribute:asc" or "attribute:desc";
 * sort_key_maker turns it into a Xapian::MultiValueKeyMaker over those
 * slots, with a default for a missing value that puts documents without
 * the attribute after every other in either direction. Running the match
 * with the key maker (ties by relevance, then docid order) is matches.cpp's.
 */
#ifndef LMX_ENGINE_SORT_H
#define LMX_ENGINE_SORT_H

#include <xapian.h>
#include <yyjson.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lmx {

/* One criterion of a search's sort: the attribute and its direction. */
struct SortCriterion {
  std::string attribute;
  bool descending = false;
};

/* Reads one "attribute:asc" or "attribute:desc" (the attribute is what
 * stands before the last ':') into *out; false when text has no such form
 * or the attribute is no valid path (filter.h valid_attribute_path). */
bool parse_sort_criterion(std::string_view text, SortCriterion *out);

/* The sortable attributes of an index and their slots: the attribute at
 * index i of the list keeps the key of its smallest scalar in
 * kFirstSortSlot + kSortSlotsPerAttribute * i and of its largest in the
 * next slot. */
class SortLayout {
 public:
  /* No sortable attribute. */
  SortLayout() = default;
  /* attributes in order, as the settings checked them (valid paths, each
   * once, at most kMaxSortableAttributes). */
  explicit SortLayout(const std::vector<std::string> &attributes);

  /* The first slot of path (its smallest scalar's key; the largest's is
   * the next), or Xapian::BAD_VALUENO when path is not sortable. */
  Xapian::valueno find(std::string_view path) const;
  const std::vector<std::string> &attributes() const { return attributes_; }

 private:
  std::vector<std::string> attributes_;
};

/* Adds to doc the sort keys of the sortable attributes of layout that the
 * JSON object doc_root holds scalars of (numbers read as numbers or raw). */
void add_sort_keys(Xapian::Document &doc, yyjson_val *doc_root,
                   const SortLayout &layout);

/* The sort key of one scalar (layout.h), or "" for a value that is not a
 * string, number or boolean. */
std::string sort_key(yyjson_val *scalar);

/* The key maker of criteria (each attribute sortable in layout, checked
 * by the caller with first_unsortable): the criteria in order, a missing
 * value after every present one. */
std::unique_ptr<Xapian::MultiValueKeyMaker> sort_key_maker(
    const std::vector<SortCriterion> &criteria, const SortLayout &layout);

/* The first criterion whose attribute is not sortable in layout, or
 * nullptr. */
const SortCriterion *first_unsortable(
    const std::vector<SortCriterion> &criteria, const SortLayout &layout);

}  // namespace lmx

#endif
