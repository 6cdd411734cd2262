/*
 * sort.cpp: sort keys of sortable attributes and the key maker of a
 * search's sort (sort.h).
 *
 * A missing value must come last in both directions. Ascending, the key
 * maker puts its default "\xff" there: every present key starts with
 * kSortNumber or kSortString, below it. Descending, it inverts each byte
 * of the value, so its default "\0" becomes "\xff\0", above the inverted
 * form of any present key.
 */
#include "sort.h"

#include "filter.h"
#include "layout.h"
#include "text.h"
#include "utf8.h"

namespace lmx {

bool parse_sort_criterion(std::string_view text, SortCriterion *out) {
  size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view direction = text.substr(colon + 1);
  std::string_view attribute = text.substr(0, colon);
  if (direction != "asc" && direction != "desc") return false;
  if (!valid_attribute_path(attribute)) return false;
  out->attribute.assign(attribute);
  out->descending = direction == "desc";
  return true;
}

SortLayout::SortLayout(const std::vector<std::string> &attributes)
    : attributes_(attributes) {}

Xapian::valueno SortLayout::find(std::string_view path) const {
  for (size_t i = 0; i < attributes_.size(); ++i)
    if (attributes_[i] == path)
      return kFirstSortSlot +
             kSortSlotsPerAttribute * static_cast<Xapian::valueno>(i);
  return Xapian::BAD_VALUENO;
}

std::string sort_key(yyjson_val *scalar) {
  double number = 0;
  std::string_view text;
  if (json_number(scalar, &number))
    return kSortNumber + filter_number_key(number);
  if (yyjson_is_str(scalar))
    text = std::string_view(yyjson_get_str(scalar), yyjson_get_len(scalar));
  else if (yyjson_is_bool(scalar))
    text = yyjson_get_bool(scalar) ? "true" : "false";
  else
    return {};
  std::string folded = fold_text(text);
  if (folded.size() > kMaxSortTextBytes)
    folded.resize(utf8::boundary_before(folded, kMaxSortTextBytes));
  return kSortString + folded;
}

void add_sort_keys(Xapian::Document &doc, yyjson_val *doc_root,
                   const SortLayout &layout) {
  if (!yyjson_is_obj(doc_root)) return;
  for (const std::string &path : layout.attributes()) {
    std::string smallest, largest;
    for (yyjson_val *v : values_at(doc_root, path).scalars) {
      std::string key = sort_key(v);
      if (key.empty()) continue;
      if (smallest.empty() || key < smallest) smallest = key;
      if (largest.empty() || key > largest) largest = key;
    }
    if (smallest.empty()) continue;
    Xapian::valueno slot = layout.find(path);
    doc.add_value(slot, smallest);
    doc.add_value(slot + 1, largest);
  }
}

std::unique_ptr<Xapian::MultiValueKeyMaker> sort_key_maker(
    const std::vector<SortCriterion> &criteria, const SortLayout &layout) {
  auto maker = std::make_unique<Xapian::MultiValueKeyMaker>();
  for (const SortCriterion &c : criteria) {
    Xapian::valueno slot = layout.find(c.attribute);
    if (c.descending)
      maker->add_value(slot + 1, true, std::string(1, '\0'));
    else
      maker->add_value(slot, false, std::string(1, '\xff'));
  }
  return maker;
}

const SortCriterion *first_unsortable(
    const std::vector<SortCriterion> &criteria, const SortLayout &layout) {
  for (const SortCriterion &c : criteria)
    if (layout.find(c.attribute) == Xapian::BAD_VALUENO) return &c;
  return nullptr;
}

}  // namespace lmx
