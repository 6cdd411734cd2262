/*
 * request.cpp: reads the JSON form of a search request (request.h).
 *
 * One table row per member: its name and the function that checks and
 * takes its value. The names of the table make the text of the refusal of
 * an unknown member, so the list a user reads is always the list read.
 */
#include "request.h"

#include <yyjson.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iterator>

#include "error.h"
#include "json.h"
#include "members.h"
#include "messages.h"

namespace lmx {

namespace {

[[noreturn]] void refuse(
    std::string_view member, std::string_view expected,
    lumidex_error_code code = LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER) {
  throw Error("Invalid search parameter `" + std::string(member) +
                  "`: " + std::string(expected) + ".",
              code);
}

/* A non-negative integer member, saturated at most. */
int count_of(yyjson_val *v, const char *member, int most) {
  if (!yyjson_is_uint(v) && !(yyjson_is_sint(v) && yyjson_get_sint(v) >= 0))
    refuse(member, "expected an integer of 0 or more");
  uint64_t n = yyjson_is_uint(v) ? yyjson_get_uint(v)
                                 : static_cast<uint64_t>(yyjson_get_sint(v));
  return n > static_cast<uint64_t>(most) ? most : static_cast<int>(n);
}

void read_q(yyjson_val *v, SearchRequest &r) {
  if (!yyjson_is_str(v)) refuse("q", "expected a string");
  if (yyjson_get_len(v) > kMaxRequestQueryBytes)
    refuse("q", "expected at most " + std::to_string(kMaxRequestQueryBytes) +
                    " bytes of text");
  r.q.assign(yyjson_get_str(v), yyjson_get_len(v));
}

void read_limit(yyjson_val *v, SearchRequest &r) {
  r.limit = count_of(v, "limit", kMaxSearchLimit);
}

void read_offset(yyjson_val *v, SearchRequest &r) {
  r.offset = count_of(v, "offset", INT_MAX);
}

void read_strategy(yyjson_val *v, SearchRequest &r) {
  static const char *expected = "expected \"most\" or \"all\"";
  if (!yyjson_is_str(v))
    refuse("matchingStrategy", expected,
           LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY);
  if (yyjson_equals_str(v, "most"))
    r.strategy = MatchingStrategy::kMost;
  else if (yyjson_equals_str(v, "all"))
    r.strategy = MatchingStrategy::kAll;
  else
    refuse("matchingStrategy", expected,
           LUMIDEX_ERROR_INVALID_MATCHING_STRATEGY);
}

/* A list of fields: ["*"], or distinct non-empty names (dotted paths), none
 * of them "*"; [] is allowed (for attributesToRetrieve: the primary key
 * alone). */
std::vector<std::string> field_list(yyjson_val *v, const char *member) {
  static const char *expected =
      "expected [\"*\"] or an array of distinct field names";
  if (!yyjson_is_arr(v)) refuse(member, expected);
  std::vector<std::string> names;
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(v, idx, max, item) {
    if (!yyjson_is_str(item) || yyjson_get_len(item) == 0)
      refuse(member, expected);
    names.emplace_back(yyjson_get_str(item), yyjson_get_len(item));
  }
  if (names.size() == 1 && names[0] == "*") return names;
  std::vector<std::string> sorted = names;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end() ||
      std::binary_search(sorted.begin(), sorted.end(), "*"))
    refuse(member, expected);
  return names;
}

void read_retrieve(yyjson_val *v, SearchRequest &r) {
  r.retrieve = field_list(v, "attributesToRetrieve");
}

void read_crop(yyjson_val *v, SearchRequest &r) {
  r.crop = field_list(v, "attributesToCrop");
}

void read_crop_length(yyjson_val *v, SearchRequest &r) {
  static const std::string expected =
      "expected an integer of 1 to " + std::to_string(kMaxCropLength);
  if (!yyjson_is_int(v)) refuse("cropLength", expected);
  int64_t n = yyjson_is_uint(v) && yyjson_get_uint(v) > INT64_MAX
                  ? INT64_MAX
                  : yyjson_get_sint(v);
  if (n < 1 || n > kMaxCropLength) refuse("cropLength", expected);
  r.crop_length = static_cast<int>(n);
}

void read_highlight(yyjson_val *v, SearchRequest &r) {
  if (!yyjson_is_bool(v)) refuse("highlight", "expected true or false");
  r.highlight = yyjson_get_bool(v);
}

void read_filter(yyjson_val *v, SearchRequest &r) {
  ParsedFilter parsed = parse_filter(v);
  if (!parsed.ok())
    throw Error(parsed.error.message, LUMIDEX_ERROR_INVALID_FILTER);
  r.has_filter = true;
  r.filter = std::move(parsed.root);
}

void read_sort(yyjson_val *v, SearchRequest &r) {
  static const char *expected =
      "expected an array of \"attribute:asc\" or \"attribute:desc\", each "
      "attribute once";
  if (!yyjson_is_arr(v)) refuse("sort", expected, LUMIDEX_ERROR_INVALID_SORT);
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(v, idx, max, item) {
    SortCriterion c;
    if (!yyjson_is_str(item) ||
        !parse_sort_criterion(
            std::string_view(yyjson_get_str(item), yyjson_get_len(item)), &c))
      refuse("sort", expected, LUMIDEX_ERROR_INVALID_SORT);
    for (const SortCriterion &before : r.sort)
      if (before.attribute == c.attribute)
        refuse("sort", expected, LUMIDEX_ERROR_INVALID_SORT);
    r.sort.push_back(std::move(c));
  }
}

void read_facets(yyjson_val *v, SearchRequest &r) {
  static const char *expected =
      "expected [\"*\"] or an array of distinct attribute names";
  if (!yyjson_is_arr(v))
    refuse("facets", expected, LUMIDEX_ERROR_INVALID_FACETS);
  size_t idx, max;
  yyjson_val *item;
  yyjson_arr_foreach(v, idx, max, item) {
    if (!yyjson_is_str(item))
      refuse("facets", expected, LUMIDEX_ERROR_INVALID_FACETS);
    std::string name(yyjson_get_str(item), yyjson_get_len(item));
    bool star = name == "*";
    if ((star && max != 1) || (!star && !valid_attribute_path(name)) ||
        std::find(r.facets.begin(), r.facets.end(), name) != r.facets.end())
      refuse("facets", expected, LUMIDEX_ERROR_INVALID_FACETS);
    r.facets.push_back(std::move(name));
  }
  r.has_facets = true;
}

const MemberRow<SearchRequest> kMembers[] = {
    {"q", read_q},
    {"limit", read_limit},
    {"offset", read_offset},
    {"matchingStrategy", read_strategy},
    {"attributesToRetrieve", read_retrieve},
    {"attributesToCrop", read_crop},
    {"cropLength", read_crop_length},
    {"highlight", read_highlight},
    {"filter", read_filter},
    {"sort", read_sort},
    {"facets", read_facets}};

[[noreturn]] void refuse_unknown(std::string_view name) {
  throw Error("Unknown search parameter " + msg::backticked(name) +
                  ": the parameters are " + member_names(kMembers) + ".",
              LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER);
}

}  // namespace

SearchRequest parse_search_request(std::string_view text) {
  SearchRequest request;
  if (text.empty()) return request;
  /* Bytes of the query text that are not UTF-8 are read as word
   * separators, as lumidex_search reads them. */
  Doc doc(
      yyjson_read(text.data(), text.size(), YYJSON_READ_ALLOW_INVALID_UNICODE));
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root))
    throw Error("Invalid search request: expected a JSON object.",
                LUMIDEX_ERROR_INVALID_SEARCH_PARAMETER);
  read_members(root, kMembers, request, refuse_unknown,
               [](const char *name) { refuse(name, "given more than once"); });
  return request;
}

}  // namespace lmx
