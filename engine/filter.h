/*
 * filter.h: the filter expression language: parsing it into a tree, turning
 * the tree into a boolean Xapian query, and writing the terms and values a
 * document's filterable attributes give (the indexing half).
 *
 * The language (README, Filter expressions):
 *   expr      := and ( "OR" and )*
 *   and       := unary ( "AND" unary )*
 *   unary     := "NOT" unary | "(" expr ")" | condition
 *   condition := attr ( ("=" | "!=" | ">" | ">=" | "<" | "<=") value
 *                     | value "TO" value            (inclusive, numbers)
 *                     | ["NOT"] "IN" "[" value ("," value)* "]"
 *                     | ["NOT"] "EXISTS" )
 * AND binds tighter than OR. Keywords are upper case; a bare word that is a
 * keyword is never an attribute or a value (quote it). "attr NOT EXISTS"
 * and "attr NOT IN [...]" are "NOT attr EXISTS" and "NOT attr IN [...]";
 * "attr != v" is "NOT attr = v", so documents without attr match it.
 *
 * Tokens: ASCII space, tab, CR and LF separate; ( ) [ ] , = != > >= < <=
 * stand alone; a quoted string runs between ' or " quotes, where a
 * backslash escapes the quote and itself (any other backslash is kept as
 * written); a bare word is any other run of bytes. A bare value that reads
 * as a number (-?digits[.digits][(e|E)[+-]digits], finite) is a number,
 * true and false are booleans, anything else, and every quoted value, is a
 * string. An attribute is a bare word (dots separate nested members:
 * author.name) or a quoted string.
 *
 * What matches (filter_query):
 *  - strings are equal when equal after fold_text (text.h), the case and
 *    accent folding of search words applied to the whole value;
 *  - a bare number matches the numbers equal to it (as doubles, so 007, 7
 *    and 7.0 are one number, 1e3 is 1000) and, as text, the strings equal
 *    to how it is written ("007", "1e3"); a bare true or false matches the
 *    booleans and the strings "true" or "false"; a quoted value matches
 *    strings only;
 *  - >, >=, <, <= and TO compare numbers only;
 *  - an attribute holding an array matches when any of its elements does;
 *  - EXISTS matches documents where the attribute is present, whatever its
 *    value (null, [] and {} included).
 *
 * Bounds for hostile input: at most kMaxFilterBytes bytes and
 * kMaxFilterValues values (all strings of the array form together), at most
 * kMaxFilterDepth nested parentheses and NOTs; the parser and the translation
 * recurse once per such level and nowhere else (AND and OR chains are loops),
 * so the stack is bounded too.
 *
 * Errors are values (FilterError): a code, the byte position in the
 * expression and, for the array form, which element; the text is for
 * people. Checking the attributes against the filterable ones is a separate
 * step (check_filter), since the parser does not know the index's settings.
 */
#ifndef LMX_ENGINE_FILTER_H
#define LMX_ENGINE_FILTER_H

#include <xapian.h>
#include <yyjson.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "lumidex_admin.h"

namespace lmx {

/* Longest filter, in bytes: one expression, or all strings of the array
 * form together. Long enough for an IN list of kMaxFilterValues ids. */
inline constexpr size_t kMaxFilterBytes = 16384;
/* Most parentheses and NOTs one inside the other. */
inline constexpr size_t kMaxFilterDepth = 32;
/* Most values in one filter, all conditions together (a range has two, an
 * IN list one per element, EXISTS counts as one). Each value makes one or
 * two terms, and Xapian's matcher slows down faster than linearly with the
 * terms OR'ed together (see README, Filter expressions), so this, not the
 * length, bounds the cost of a filter to match. */
inline constexpr size_t kMaxFilterValues = 256;

/* Where a part of a filter stands: the byte offset (0-based) in its
 * expression and, for the array form, the index of the expression in the
 * outer array and in its inner array (-1 when not in one). */
struct FilterPlace {
  size_t byte = 0;
  long element = -1;
  long inner = -1;
};

/* Why a filter was refused. code is LUMIDEX_ERROR_NONE when it was not,
 * else LUMIDEX_ERROR_INVALID_FILTER; at tells where; message is for people
 * (one line of valid UTF-8). */
struct FilterError {
  lumidex_error_code code = LUMIDEX_ERROR_NONE;
  FilterPlace at;
  std::string message;
};

/* One value of a condition, as written. */
struct FilterValue {
  enum class Kind { kString, kNumber, kBool };
  Kind kind = Kind::kString;
  std::string text;     /* the value, quotes and escapes removed */
  double number = 0;    /* for kNumber */
  bool boolean = false; /* for kBool */
  FilterPlace at;
};

/* A node of a parsed filter. kAnd with no children matches every document
 * (the empty array form). Conditions (kEqual to kExists) have attribute
 * and values: one for the comparisons, two for kRange (start, end), one or
 * more for kIn, none for kExists. kNot has one child, kAnd and kOr one or
 * more. */
struct FilterNode {
  enum class Op {
    kAnd,
    kOr,
    kNot,
    kEqual,
    kGreater,
    kGreaterEqual,
    kLess,
    kLessEqual,
    kRange,
    kIn,
    kExists
  };
  Op op = Op::kAnd;
  std::string attribute;
  FilterPlace attribute_at;
  std::vector<FilterValue> values;
  std::vector<FilterNode> children;
};

/* A parsed filter (root), or why it could not be parsed (error). */
struct ParsedFilter {
  FilterNode root;
  FilterError error;
  bool ok() const { return error.code == LUMIDEX_ERROR_NONE; }
};

/* Parses one expression (any bytes: invalid UTF-8 is an error at its first
 * bad byte; "" and blank text are errors too). Never throws but
 * std::bad_alloc. */
ParsedFilter parse_filter(std::string_view expression);

/* Parses the "filter" member of a search request: a string (one
 * expression) or an array whose elements are strings, all required (AND),
 * or arrays of one or more strings, one of which is required (OR). [] is
 * no condition. Any other JSON value, deeper arrays and empty inner arrays
 * are errors. filter must not be null. */
ParsedFilter parse_filter(yyjson_val *filter);

/* The value slots of one filterable attribute:
 *  - min, max: the number key (filter_number_key) of the smallest and the
 *    largest number the attribute holds in a document;
 *  - all: the keys of all its distinct numbers, in order, one after the
 *    other, for documents holding three or more (with one or two, min and
 *    max are all of them). */
struct FilterSlots {
  Xapian::valueno min = 0;
  Xapian::valueno max = 0;
  Xapian::valueno all = 0;
  /* The document's distinct values, packed for the facet counter
   * (layout.h, facets.h). */
  Xapian::valueno facets = 0;
};

/* Whether path can name an attribute in the settings: 1 to
 * kMaxFilterPathBytes bytes of valid UTF-8, member names joined by single
 * dots, none empty (not "", ".a", "a..b", "a."). */
bool valid_attribute_path(std::string_view path);

/* The values at path (member names joined by dots) under the JSON value
 * root: scalars holds the scalars it reaches (arrays on the way and at the
 * end walked into, nested ones flattened, in document order; objects and
 * null at the end add none), found whether the path leads anywhere at
 * all. Walks with its own stack: documents may nest deeply. */
struct PathValues {
  bool found = false;
  std::vector<yyjson_val *> scalars;
};
PathValues values_at(yyjson_val *root, std::string_view path);

/* The finite number of a JSON number (read as a number or, as the engine
 * reads bodies, as raw text) into *out; false for anything else. */
bool json_number(yyjson_val *v, double *out);

/* Which attributes of an index are filterable and where their values are
 * kept: the attribute at index i of the list uses slots from
 * kFirstFilterSlot + kFilterSlotsPerAttribute * i (layout.h). The order is
 * therefore part of the index: the settings keep the list in order, and a
 * change of it rewrites the index. */
class FilterLayout {
 public:
  /* No filterable attribute. */
  FilterLayout() = default;
  /* attributes in order. Throws lmx::Error (LUMIDEX_ERROR_INVALID_ARGUMENT)
   * naming the first attribute that is "", not valid UTF-8, longer than
   * kMaxFilterPathBytes, has an empty member name (".a", "a..b", "a."), or
   * repeats an earlier one. */
  explicit FilterLayout(const std::vector<std::string> &attributes);

  /* The slots of path, or nullptr when it is not filterable. The pointer
   * lives as long as the layout. */
  const FilterSlots *find(std::string_view path) const;
  /* The filterable attributes, in order. */
  const std::vector<std::string> &attributes() const { return attributes_; }

 private:
  std::vector<std::string> attributes_;
  std::vector<FilterSlots> slots_;
};

/* LUMIDEX_ERROR_NONE when every attribute filter names is in layout; else
 * an error at the first one that is not, naming it and listing the
 * filterable ones. */
FilterError check_filter(const FilterNode &filter, const FilterLayout &layout);

/* The boolean query of filter, for Xapian::Query::OP_FILTER (its weights
 * are 0). A condition on an attribute that is not in layout matches no
 * document (check_filter first to refuse such filters). Never throws but
 * std::bad_alloc. */
Xapian::Query filter_query(const FilterNode &filter,
                           const FilterLayout &layout);

/* Adds to doc the terms and values of the filterable attributes of the
 * JSON object doc_root (numbers read as numbers or, as the engine reads
 * bodies, as raw numbers): for each attribute of layout present in it, the
 * exists term, one value term per distinct scalar (array elements each,
 * nested arrays flattened), for numbers the number slots of FilterSlots
 * and, when it holds a scalar, its facet slot. Objects and null add only
 * the exists term. A document of many values
 * makes many terms: the caller checks its term limit afterwards. */
void add_filter_fields(Xapian::Document &doc, yyjson_val *doc_root,
                       const FilterLayout &layout);

/* The value term of one value of attribute path (layout.h): kind is
 * kFilterString, kFilterNumber or kFilterBool; value is already folded
 * (fold_text), canonical (filter_number_text) or "true"/"false". */
std::string filter_term(std::string_view path, char kind,
                        std::string_view value);
/* The exists term of attribute path. */
std::string filter_exists_term(std::string_view path);
/* The value-slot key of a finite number: 8 bytes whose byte order is the
 * numbers' order (-0 and 0 are one key). See layout.h for why this is not
 * Xapian::sortable_serialise. */
std::string filter_number_key(double number);
/* The number of a key filter_number_key made (key must be
 * kFilterNumberKeyBytes bytes long). */
double filter_number_of_key(std::string_view key);
/* The canonical text of a number: the shortest text that reads back as
 * the same double (std::to_chars), -0 written as 0: 7, 1000, 0.5, 1e+21. */
std::string filter_number_text(double number);

}  // namespace lmx

#endif
