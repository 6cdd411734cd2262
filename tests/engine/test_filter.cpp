/*
 * test_filter.cpp: the filter expression language (engine/filter.h),
 * compiled in from its sources since the library exports only its C face.
 * The parser is checked row by row against a written-out form of the tree
 * it builds and against the position and wording of its errors; the query
 * and the index terms are checked together, on a real index in a temporary
 * directory, by the documents each filter matches.
 */
#include <gtest/gtest.h>
#include <xapian.h>
#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "child.h"
#include "error.h"
#include "filter.h"
#include "layout.h"
#include "utf8.h"

namespace {

using lmx::FilterNode;
using lmx::FilterValue;

std::string describe(const FilterValue &v) {
  switch (v.kind) {
    case FilterValue::Kind::kNumber: {
      std::string canon = lmx::filter_number_text(v.number);
      return "n:" + canon + (canon == v.text ? "" : "~" + v.text);
    }
    case FilterValue::Kind::kBool:
      return std::string("b:") + (v.boolean ? "true" : "false");
    default:
      return "s:" + v.text;
  }
}

/* The tree as an s-expression: (and ...), (= attr s:value) and so on. */
std::string describe(const FilterNode &n) {
  static const char *const kOps[] = {
      "and", "or", "not", "=", ">", ">=", "<", "<=", "to", "in", "exists"};
  using Op = FilterNode::Op;
  std::string out = "(";
  if (n.op == Op::kNot) return "(not " + describe(n.children[0]) + ")";
  out += kOps[static_cast<int>(n.op)];
  if (n.op == Op::kAnd || n.op == Op::kOr) {
    for (const FilterNode &c : n.children) out += " " + describe(c);
  } else {
    out += " " + n.attribute;
    for (const FilterValue &v : n.values) out += " " + describe(v);
  }
  return out + ")";
}

std::string parsed(std::string_view text) {
  lmx::ParsedFilter p = lmx::parse_filter(text);
  if (!p.ok()) return "error: " + p.error.message;
  return describe(p.root);
}

lmx::ParsedFilter parsed_json(const std::string &json) {
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  EXPECT_NE(doc, nullptr) << json;
  lmx::ParsedFilter p = lmx::parse_filter(yyjson_doc_get_root(doc));
  yyjson_doc_free(doc);
  return p;
}

TEST(EngineFilterParse, EveryOperatorBuildsItsNode) {
  struct Row {
    const char *text, *want;
  } rows[] = {
      {"a = x", "(= a s:x)"},
      {"a != x", "(not (= a s:x))"},
      {"a > 5", "(> a n:5)"},
      {"a >= 5", "(>= a n:5)"},
      {"a < -2.5", "(< a n:-2.5)"},
      {"a <= 0.5", "(<= a n:0.5)"},
      {"a 1 TO 5", "(to a n:1 n:5)"},
      {"a -1.5 TO 1e2", "(to a n:-1.5 n:100~1e2)"},
      {"a IN [x, 2, true]", "(in a s:x n:2 b:true)"},
      {"a IN [x]", "(in a s:x)"},
      {"a EXISTS", "(exists a)"},
      {"a NOT EXISTS", "(not (exists a))"},
      {"a NOT IN [x, y]", "(not (in a s:x s:y))"},
      {"NOT a = 1", "(not (= a n:1))"},
      {"a>=5", "(>= a n:5)"},
      {"a<=5", "(<= a n:5)"},
      {"a=x", "(= a s:x)"},
      {"a!=x", "(not (= a s:x))"},
      {"\ta =\r\nx ", "(= a s:x)"},
      {"author.name = Zola", "(= author.name s:Zola)"},
      {"a = café", "(= a s:café)"},
      {"a = 2024-01-05", "(= a s:2024-01-05)"},
  };
  for (const Row &row : rows) EXPECT_EQ(parsed(row.text), row.want) << row.text;
}

TEST(EngineFilterParse, AndBindsTighterThanOrAndNotTighterThanBoth) {
  struct Row {
    const char *text, *want;
  } rows[] = {
      {"a = 1 OR b = 2 AND c = 3", "(or (= a n:1) (and (= b n:2) (= c n:3)))"},
      {"a = 1 AND b = 2 OR c = 3", "(or (and (= a n:1) (= b n:2)) (= c n:3))"},
      {"(a = 1 OR b = 2) AND c = 3",
       "(and (or (= a n:1) (= b n:2)) (= c n:3))"},
      {"a = 1 AND b = 2 AND c = 3", "(and (= a n:1) (= b n:2) (= c n:3))"},
      {"a = 1 OR b = 2 OR c = 3", "(or (= a n:1) (= b n:2) (= c n:3))"},
      {"NOT a = 1 AND b = 2", "(and (not (= a n:1)) (= b n:2))"},
      {"NOT (a = 1 OR b = 2)", "(not (or (= a n:1) (= b n:2)))"},
      {"NOT NOT a EXISTS", "(not (not (exists a)))"},
      {"((a = 1))", "(= a n:1)"},
      {"a = 1 AND NOT b NOT IN [2]", "(and (= a n:1) (not (not (in b n:2))))"},
  };
  for (const Row &row : rows) EXPECT_EQ(parsed(row.text), row.want) << row.text;
}

TEST(EngineFilterParse, QuotesEscapesKeywordsAndNumbersAsText) {
  struct Row {
    const char *text, *want;
  } rows[] = {
      {"t = \"Hello World\"", "(= t s:Hello World)"},
      {"t = 'Hello World'", "(= t s:Hello World)"},
      {"t = 'it\\'s'", "(= t s:it's)"},
      {"t = \"say \\\"hi\\\"\"", "(= t s:say \"hi\")"},
      {"t = \"back\\\\slash\"", "(= t s:back\\slash)"},
      {"t = \"it's\"", "(= t s:it's)"},
      {"t = 'a \"b\"'", "(= t s:a \"b\")"},
      /* a backslash before anything else stays */
      {"t = \"C:\\dir\"", "(= t s:C:\\dir)"},
      {"t = \"\"", "(= t s:)"},
      {"\"author name\" = x", "(= author name s:x)"},
      {"'AND' = 'OR'", "(= AND s:OR)"},
      {"t = \"AND\"", "(= t s:AND)"},
      {"t=\"a\"AND u=b", "(and (= t s:a) (= u s:b))"},
      {"t = \"(x)\"", "(= t s:(x))"},
      /* bare numbers keep how they were written: they also compare as text */
      {"t = 007", "(= t n:7~007)"},
      {"t = 1e3", "(= t n:1000~1e3)"},
      {"t = 1E3", "(= t n:1000~1E3)"},
      {"t = 7.0", "(= t n:7~7.0)"},
      {"t = -0", "(= t n:0~-0)"},
      {"t = 1e400", "(= t s:1e400)"},
      {"t = \"007\"", "(= t s:007)"},
      {"t = '1e3'", "(= t s:1e3)"},
      {"t = 1.", "(= t s:1.)"},
      {"t = .5", "(= t s:.5)"},
      {"t = +5", "(= t s:+5)"},
      {"t = 0x10", "(= t s:0x10)"},
      {"t = true", "(= t b:true)"},
      {"t = false", "(= t b:false)"},
      {"t = True", "(= t s:True)"},
      {"t = 'true'", "(= t s:true)"},
      {"t = and", "(= t s:and)"},
  };
  for (const Row &row : rows) EXPECT_EQ(parsed(row.text), row.want) << row.text;
}

TEST(EngineFilterParse, MalformedExpressionsSayWhatWasExpectedWhere) {
  struct Row {
    std::string text;
    size_t byte;
    const char *message;
  } rows[] = {
      {"", 0, "expected an attribute, `NOT` or `(` at byte 0, found the end"},
      {"   ", 3, "expected an attribute, `NOT` or `(` at byte 3"},
      {"section =", 9, "expected a value after `=` at byte 9, found the end"},
      {"section = )", 10, "expected a value after `=` at byte 10, found `)`"},
      {"a != ", 5, "expected a value after `!=` at byte 5"},
      {"a = OR", 4, "expected a value after `=` at byte 4, found `OR`"},
      {"a > x", 4, "expected a number after `>` at byte 4, found `x`"},
      {"a <= \"5\"", 5,
       "expected a number after `<=` at byte 5, found `\"5\"`"},
      {"a >= true", 5, "expected a number after `>=` at byte 5"},
      {"a x TO 5", 2, "expected a number to start the range at byte 2"},
      {"a 1 TO y", 7, "expected a number after `TO` at byte 7, found `y`"},
      {"a 1 TO", 6, "expected a number after `TO` at byte 6, found the end"},
      {"genre horror", 6,
       "expected an operator after attribute `genre` at byte 6, found "
       "`horror`"},
      {"genre", 5, "expected an operator after attribute `genre` at byte 5"},
      {"a = 1 b = 2", 6, "expected `AND`, `OR` or the end at byte 6"},
      {"a = 1 and b = 2", 6, "expected `AND`, `OR` or the end at byte 6"},
      {"a = 1)", 5, "expected `AND`, `OR` or the end at byte 5, found `)`"},
      {"(a = 1", 6, "expected `AND`, `OR` or `)` at byte 6, found the end"},
      {"()", 1, "expected an attribute, `NOT` or `(` at byte 1, found `)`"},
      {"a = 1 AND", 9, "expected an attribute, `NOT` or `(` at byte 9"},
      {"NOT", 3, "expected an attribute, `NOT` or `(` at byte 3"},
      {"AND = 1", 0, "expected an attribute, `NOT` or `(` at byte 0"},
      {"a IN x", 5, "expected `[` after `IN` at byte 5, found `x`"},
      {"a IN [1 2]", 8, "expected `,` or `]` in the list at byte 8"},
      {"a IN [1,]", 8, "expected a value in the list at byte 8, found `]`"},
      {"a IN []", 6, "expected a value in the list at byte 6"},
      {"a IN [1", 7, "expected `,` or `]` in the list at byte 7"},
      {"a NOT = 1", 6, "expected `IN` or `EXISTS` after `NOT` at byte 6"},
      {"a ! 1", 3, "expected `=` after `!` at byte 3, found ` `"},
      {"a !", 3, "expected `=` after `!` at byte 3, found the end"},
      {"a = \"x", 6, "expected a closing `\"` at byte 6, found the end"},
      {"a = 'x\\'", 8, "expected a closing `'` at byte 8"},
      {"a = \xC3(", 4, "expected valid UTF-8 at byte 4, found an invalid byte"},
      {"a = \xFF", 4, "expected valid UTF-8 at byte 4"},
  };
  for (const Row &row : rows) {
    lmx::ParsedFilter p = lmx::parse_filter(row.text);
    ASSERT_FALSE(p.ok()) << row.text << " parsed as " << describe(p.root);
    EXPECT_EQ(p.error.code, LUMIDEX_ERROR_INVALID_FILTER);
    EXPECT_EQ(p.error.at.byte, row.byte) << row.text;
    EXPECT_EQ(p.error.at.element, -1);
    EXPECT_NE(p.error.message.find(row.message), std::string::npos)
        << row.text << " gave: " << p.error.message;
    EXPECT_TRUE(lmx::utf8::valid(p.error.message)) << row.text;
  }
}

TEST(EngineFilterParse, NestingAndLengthAreBounded) {
  auto nested = [](size_t levels) {
    return std::string(levels, '(') + "a = 1" + std::string(levels, ')');
  };
  auto nots = [](size_t levels) {
    std::string s;
    for (size_t i = 0; i < levels; ++i) s += "NOT ";
    return s + "a EXISTS";
  };
  const size_t max = lmx::kMaxFilterDepth;
  EXPECT_EQ(parsed(nested(max)), "(= a n:1)");
  EXPECT_TRUE(lmx::parse_filter(nots(max)).ok());
  EXPECT_TRUE(lmx::parse_filter("(" + nots(max - 1) + ")").ok());

  struct Row {
    std::string text;
    size_t byte;
  } rows[] = {
      {nested(max + 1), max},
      {nots(max + 1), 4 * max},
      {"(" + nots(max), 1 + 4 * (max - 1)},
      /* a hostile wall of brackets fails at the first level too many */
      {std::string(lmx::kMaxFilterBytes, '('), max},
  };
  for (const Row &row : rows) {
    lmx::ParsedFilter p = lmx::parse_filter(row.text);
    ASSERT_FALSE(p.ok()) << row.text.substr(0, 60);
    EXPECT_EQ(p.error.at.byte, row.byte) << p.error.message;
  }
  EXPECT_NE(lmx::parse_filter(nested(max + 1))
                .error.message.find("at most 32 nested parentheses and NOTs"),
            std::string::npos);

  /* The longest expression parses; one byte more is refused before any
   * parsing. */
  std::string longest =
      "a = '" + std::string(lmx::kMaxFilterBytes - 6, 'x') + "'";
  ASSERT_EQ(longest.size(), lmx::kMaxFilterBytes);
  EXPECT_TRUE(lmx::parse_filter(longest).ok())
      << lmx::parse_filter(longest).error.message;
  lmx::ParsedFilter over = lmx::parse_filter(longest + " ");
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error.at.byte, lmx::kMaxFilterBytes);
  EXPECT_NE(over.error.message.find("at most 16384 bytes"), std::string::npos);
}

TEST(EngineFilterParse, ValuesAreCountedAcrossTheWholeFilter) {
  const size_t max = lmx::kMaxFilterValues;
  auto in_list = [](size_t n) {
    std::string s = "a IN [0";
    for (size_t i = 1; i < n; ++i) s += "," + std::to_string(i);
    return s + "]";
  };
  EXPECT_TRUE(lmx::parse_filter(in_list(max)).ok());
  lmx::ParsedFilter over = lmx::parse_filter(in_list(max + 1));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error.at.byte, in_list(max).size());
  EXPECT_NE(
      over.error.message.find("expected at most 256 values in the filter"),
      std::string::npos)
      << over.error.message;

  /* A range has two values, EXISTS counts as one, NOT EXISTS too. */
  struct Row {
    std::string text;
    bool ok;
  } rows[] = {
      {in_list(max - 2) + " AND b 1 TO 2", true},
      {in_list(max - 1) + " AND b 1 TO 2", false},
      {in_list(max - 1) + " AND b EXISTS", true},
      {in_list(max) + " OR b EXISTS", false},
      {in_list(max) + " OR b NOT EXISTS", false},
  };
  for (const Row &row : rows)
    EXPECT_EQ(lmx::parse_filter(row.text).ok(), row.ok)
        << row.text.substr(row.text.size() - 20);

  /* The array form shares one count: the second string is refused at its
   * first value. */
  std::string json = "[\"" + in_list(max) + "\", [\"b = 1\"]]";
  lmx::ParsedFilter shared = parsed_json(json);
  ASSERT_FALSE(shared.ok());
  EXPECT_EQ(shared.error.at.element, 1);
  EXPECT_EQ(shared.error.at.inner, 0);
  EXPECT_EQ(shared.error.at.byte, 4u);
}

TEST(EngineFilterParse, ArrayFormIsAndOfStringsAndOrOfInnerArrays) {
  struct Row {
    const char *json, *want;
  } rows[] = {
      {"[\"section = games\", [\"lang = en\", \"lang = de\"]]",
       "(and (= section s:games) (or (= lang s:en) (= lang s:de)))"},
      {"\"a = 1 OR b = 2\"", "(or (= a n:1) (= b n:2))"},
      {"[]", "(and)"},
      {"[[\"a = 1\"]]", "(and (or (= a n:1)))"},
      {"[\"a = 1 OR b = 2\", \"c EXISTS\"]",
       "(and (or (= a n:1) (= b n:2)) (exists c))"},
  };
  for (const Row &row : rows) {
    lmx::ParsedFilter p = parsed_json(row.json);
    ASSERT_TRUE(p.ok()) << row.json << ": " << p.error.message;
    EXPECT_EQ(describe(p.root), row.want) << row.json;
  }
}

TEST(EngineFilterParse, ArrayFormErrorsNameTheElement) {
  std::string long_one = "\"a = '" + std::string(9000, 'x') + "'\"";
  struct Row {
    std::string json;
    long element, inner;
    size_t byte;
    const char *message;
  } rows[] = {
      {"[[\"a = 1\", [\"b = 2\"]]]", 0, 1, 0,
       "expected a string at byte 0 of filter[0][1], found an array"},
      {"[1]", 0, -1, 0,
       "expected a string or a non-empty array of strings at byte 0 of "
       "filter[0], found a number"},
      {"[\"a = 1\", []]", 1, -1, 0, "of filter[1], found []"},
      {"[null]", 0, -1, 0, "found null"},
      {"{}", -1, -1, 0,
       "expected a string or an array at byte 0, found an object"},
      {"true", -1, -1, 0, "found a boolean"},
      {"42", -1, -1, 0, "found a number"},
      {"[\"a = 1\", [\"b = 1\", \"b =\"]]", 1, 1, 3,
       "expected a value after `=` at byte 3 of filter[1][1], found the end"},
      {"[\"x\"]", 0, -1, 1, "at byte 1 of filter[0]"},
      {"[" + long_one + ", [" + long_one + "]]", 1, 0,
       lmx::kMaxFilterBytes - 9006, "at most 16384 bytes of filter"},
  };
  for (const Row &row : rows) {
    lmx::ParsedFilter p = parsed_json(row.json);
    ASSERT_FALSE(p.ok()) << row.json;
    EXPECT_EQ(p.error.code, LUMIDEX_ERROR_INVALID_FILTER);
    EXPECT_EQ(p.error.at.element, row.element) << row.json;
    EXPECT_EQ(p.error.at.inner, row.inner) << row.json;
    EXPECT_EQ(p.error.at.byte, row.byte) << row.json;
    EXPECT_NE(p.error.message.find(row.message), std::string::npos)
        << row.json.substr(0, 60) << " gave: " << p.error.message;
  }
}

TEST(EngineFilterLayout, SlotsFollowTheOrderAndBadNamesAreRefused) {
  lmx::FilterLayout layout(
      {"a", "b.c", std::string(lmx::kMaxFilterPathBytes, 'p')});
  ASSERT_NE(layout.find("b.c"), nullptr);
  EXPECT_EQ(layout.find("a")->min, lmx::kFirstFilterSlot);
  /* Four slots each: min, max, all numbers, facet values. */
  EXPECT_EQ(layout.find("a")->facets, lmx::kFirstFilterSlot + 3);
  EXPECT_EQ(layout.find("b.c")->min, lmx::kFirstFilterSlot + 4);
  EXPECT_EQ(layout.find("b.c")->max, lmx::kFirstFilterSlot + 5);
  EXPECT_EQ(layout.find("b.c")->all, lmx::kFirstFilterSlot + 6);
  EXPECT_EQ(layout.find("b.c")->facets, lmx::kFirstFilterSlot + 7);
  EXPECT_EQ(layout.find("b"), nullptr);
  EXPECT_EQ(layout.attributes().size(), 3u);

  const std::string bad[] = {
      "",     ".a",     "a.",
      "a..b", "x\xFFy", std::string(lmx::kMaxFilterPathBytes + 1, 'p')};
  for (const std::string &name : bad) {
    try {
      lmx::FilterLayout l({"ok", name});
      ADD_FAILURE() << "accepted " << name;
    } catch (const lmx::Error &e) {
      EXPECT_EQ(e.code(), LUMIDEX_ERROR_INVALID_ARGUMENT);
      EXPECT_TRUE(lmx::utf8::valid(e.what())) << name;
    }
  }
  EXPECT_THROW(lmx::FilterLayout({"a", "b", "a"}), lmx::Error);
}

TEST(EngineFilterLayout, UnknownAttributeIsNamedWithTheFilterableOnes) {
  lmx::FilterLayout layout({"a", "b.c"});
  lmx::ParsedFilter p = lmx::parse_filter("a = 1 AND (b.c EXISTS OR x = 2)");
  ASSERT_TRUE(p.ok());
  lmx::FilterError e = lmx::check_filter(p.root, layout);
  EXPECT_EQ(e.code, LUMIDEX_ERROR_INVALID_FILTER);
  EXPECT_EQ(e.at.byte, 25u);
  EXPECT_EQ(e.message,
            "Attribute `x` is not filterable; the filterable attributes are "
            "`a`, `b.c`.");

  lmx::ParsedFilter q =
      parsed_json("[\"a = 1\", [\"b.c = 1\", \"NOT z EXISTS\"]]");
  ASSERT_TRUE(q.ok());
  e = lmx::check_filter(q.root, layout);
  EXPECT_EQ(e.at.element, 1);
  EXPECT_EQ(e.at.inner, 1);
  EXPECT_EQ(e.at.byte, 4u);

  EXPECT_EQ(lmx::check_filter(p.root, lmx::FilterLayout()).message,
            "Attribute `a` is not filterable; no attribute is filterable.");
  EXPECT_EQ(
      lmx::check_filter(p.root, lmx::FilterLayout({"x", "b.c", "a"})).code,
      LUMIDEX_ERROR_NONE);
}

TEST(EngineFilterLayout, LongValuesMakeBoundedDistinctTerms) {
  std::string path(lmx::kMaxFilterPathBytes, 'p');
  std::string accents;
  for (int i = 0; i < 300; ++i) accents += "\xC3\xA9"; /* é */
  std::string a = accents + "a", b = accents + "b";
  std::string ta = lmx::filter_term(path, lmx::kFilterString, a);
  std::string tb = lmx::filter_term(path, lmx::kFilterString, b);
  EXPECT_LE(ta.size(), lmx::kMaxFilterTermBytes);
  EXPECT_NE(ta, tb);
  EXPECT_EQ(ta, lmx::filter_term(path, lmx::kFilterString, a));
  /* cut on a character boundary, then the mark and 16 hex digits */
  size_t mark = ta.find(lmx::kFilterHashMark);
  ASSERT_NE(mark, std::string::npos);
  EXPECT_EQ(ta.size(), mark + 17);
  size_t value_at = 1 + path.size() + 2;
  EXPECT_TRUE(lmx::utf8::valid(ta.substr(value_at, mark - value_at)));
  /* a short value is kept whole */
  EXPECT_EQ(lmx::filter_term("a", lmx::kFilterNumber, "7"),
            std::string("Fa\xFFn7"));
  EXPECT_EQ(lmx::filter_exists_term("a.b"), "Fa.b");
}

TEST(EngineFilterLayout, NumberKeysSortAsTheNumbers) {
  const double inf = std::numeric_limits<double>::infinity();
  const double max = std::numeric_limits<double>::max();
  const double tiny = std::numeric_limits<double>::denorm_min();
  /* Round numbers and their nearest neighbours, where an encoding that
   * trims trailing bytes goes wrong first. */
  std::vector<double> numbers = {-max, -1e300, -1e3, -3.5, -0.5, -tiny, 0,
                                 tiny, 0.1,    1,    3,    1e3,  max};
  for (double d : {-3.0, -0.25, -1.0, 0.5, 3.0, 1e3}) {
    numbers.push_back(std::nextafter(d, -inf));
    numbers.push_back(std::nextafter(std::nextafter(d, -inf), -inf));
    numbers.push_back(std::nextafter(d, inf));
    numbers.push_back(d);
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  for (size_t i = 0; i + 1 < numbers.size(); ++i) {
    SCOPED_TRACE(testing::Message() << std::setprecision(17) << numbers[i]
                                    << " < " << numbers[i + 1]);
    EXPECT_LT(lmx::filter_number_key(numbers[i]),
              lmx::filter_number_key(numbers[i + 1]));
  }
  EXPECT_EQ(lmx::filter_number_key(-0.0), lmx::filter_number_key(0.0));
}

/* ---- On a real index ------------------------------------------------- */

class EngineFilterIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = Xapian::WritableDatabase(dir_.sub("db"),
                                   Xapian::DB_CREATE_OR_OVERWRITE);
    long_value_ = std::string(400, 'L');
    /* docids 1 to 6, in this order */
    const std::string docs[] = {
        R"({"id":1,"section":"Games","lang":["en","de"],"price":10,
            "tags":["Café","new"],"author":{"name":"Émile Zola"},
            "available":true,"code":"007"})",
        R"({"id":2,"section":"games","lang":"fr","price":[5,50,500],
            "tags":[],"author":[{"name":"Ann"},{"name":"Bob"}],
            "available":false,"code":7})",
        R"({"id":3,"section":"books","price":1e3,"author":null,
            "code":"1e3"})",
        R"({"id":4,"section":"BOOKS","lang":null,"price":[20.5,-3],
            "tags":[["nested","CAFE"]],"code":1000})",
        R"({"id":5,"title":"nothing filterable","price":"12"})",
        R"({"id":6,"section":")" + long_value_ + R"(x","price":[1,2,3,4]})",
    };
    for (const std::string &json : docs) {
      /* read as the engine reads bodies: numbers as raw text */
      yyjson_doc *doc =
          yyjson_read(json.data(), json.size(), YYJSON_READ_NUMBER_AS_RAW);
      ASSERT_NE(doc, nullptr) << json;
      Xapian::Document xd;
      lmx::add_filter_fields(xd, yyjson_doc_get_root(doc), layout_);
      yyjson_doc_free(doc);
      db_.add_document(xd);
    }
    db_.commit();
  }

  /* The docids a filter matches, in order. */
  std::vector<Xapian::docid> match(const lmx::FilterNode &filter) {
    Xapian::Enquire enquire(db_);
    enquire.set_query(Xapian::Query(Xapian::Query::OP_FILTER,
                                    Xapian::Query::MatchAll,
                                    lmx::filter_query(filter, layout_)));
    enquire.set_weighting_scheme(Xapian::BoolWeight());
    enquire.set_docid_order(Xapian::Enquire::ASCENDING);
    std::vector<Xapian::docid> out;
    Xapian::MSet mset = enquire.get_mset(0, 100);
    for (auto it = mset.begin(); it != mset.end(); ++it) out.push_back(*it);
    return out;
  }

  std::vector<Xapian::docid> match(std::string_view text) {
    lmx::ParsedFilter p = lmx::parse_filter(text);
    EXPECT_TRUE(p.ok()) << text << ": " << p.error.message;
    EXPECT_EQ(lmx::check_filter(p.root, layout_).code, LUMIDEX_ERROR_NONE)
        << text;
    return match(p.root);
  }

  lmxtest::TempDir dir_;
  Xapian::WritableDatabase db_;
  lmx::FilterLayout layout_{
      {"section", "lang", "price", "tags", "author.name", "available", "code"}};
  std::string long_value_;
};

using Ids = std::vector<Xapian::docid>;

TEST_F(EngineFilterIndex, EqualityFoldsCaseAndAccentsAndReadsArrays) {
  struct Row {
    std::string text;
    Ids want;
  } rows[] = {
      {"section = games", {1, 2}},
      {"section = GAMES", {1, 2}},
      {"section = \"Gamés\"", {1, 2}},
      {"section = books", {3, 4}},
      {"section = game", {}},
      {"lang = en", {1}},
      {"lang = de", {1}},
      {"tags = cafe", {1, 4}},
      {"tags = \"CAFÉ\"", {1, 4}},
      {"tags = nested", {4}},
      {"author.name = \"emile zola\"", {1}},
      {"author.name = 'ÉMILE ZOLA'", {1}},
      {"author.name = emile", {}},
      {"author.name = bob", {2}},
      {"available = true", {1}},
      {"available = false", {2}},
      {"available = 'true'", {}},
      {"section = '" + long_value_ + "x'", {6}},
      {"section = '" + long_value_ + "y'", {}},
  };
  for (const Row &row : rows) EXPECT_EQ(match(row.text), row.want) << row.text;
}

TEST_F(EngineFilterIndex, NumbersWrittenAsTextMatchNumbersAndStrings) {
  struct Row {
    const char *text;
    Ids want;
  } rows[] = {
      {"code = 007", {1, 2}},  /* the string "007", the number 7 */
      {"code = \"007\"", {1}}, /* the string only */
      {"code = 7", {2}},
      {"code = 7.0", {2}},
      {"code = 1e3", {3, 4}}, /* the string "1e3", the number 1000 */
      {"code = '1e3'", {3}},
      {"code = 1000", {4}},
      {"price = 1e3", {3}},
      {"price = 12", {5}}, /* doc 5's string "12", as text */
      {"price = '12'", {5}},
      {"price > 11", {2, 3, 4}}, /* but a string is no number */
      {"price = 20.5", {4}},
      {"price = -3", {4}},
      {"price IN [50, 10]", {1, 2}},
  };
  for (const Row &row : rows) EXPECT_EQ(match(row.text), row.want) << row.text;
}

TEST_F(EngineFilterIndex, ComparisonsAndRangesSeeEveryElement) {
  struct Row {
    const char *text;
    Ids want;
  } rows[] = {
      {"price > 10", {2, 3, 4}},
      {"price >= 10", {1, 2, 3, 4}},
      {"price < 5", {4, 6}},
      {"price <= 5", {2, 4, 6}},
      {"price < -3", {}},
      {"price <= -3", {4}},
      {"price > 1000", {}},
      {"price >= 1000", {3}},
      {"price 6 TO 40", {1, 4}},
      /* only an inner element (50 of 5, 50, 500) lies in it */
      {"price 40 TO 60", {2}},
      {"price 2 TO 3", {6}},
      {"price 2.5 TO 2.9", {}},
      {"price 1000 TO 1000", {3}},
      {"price 60 TO 40", {}},
      {"price -10 TO 0", {4}},
      {"NOT price 40 TO 60", {1, 3, 4, 5, 6}},
  };
  for (const Row &row : rows) EXPECT_EQ(match(row.text), row.want) << row.text;
}

TEST_F(EngineFilterIndex, ExistsNotAndInCoverMissingAttributes) {
  struct Row {
    const char *text;
    Ids want;
  } rows[] = {
      {"lang EXISTS", {1, 2, 4}}, /* null counts */
      {"lang NOT EXISTS", {3, 5, 6}},
      {"tags EXISTS", {1, 2, 4}}, /* [] counts */
      {"author.name EXISTS", {1, 2}},
      {"lang != en", {2, 3, 4, 5, 6}},
      {"NOT lang = en", {2, 3, 4, 5, 6}},
      {"lang IN [fr, DE]", {1, 2}},
      {"lang NOT IN [fr, de]", {3, 4, 5, 6}},
      {"NOT section = games", {3, 4, 5, 6}},
      {"NOT (section = games OR price > 100)", {4, 5, 6}},
      {"section = games AND price > 100", {2}},
      {"section = books OR lang = fr AND price < 10", {2, 3, 4}},
      {"(section = books OR lang = fr) AND price < 10", {2, 4}},
      {"NOT NOT lang EXISTS", {1, 2, 4}},
  };
  for (const Row &row : rows) EXPECT_EQ(match(row.text), row.want) << row.text;

  struct JsonRow {
    const char *json;
    Ids want;
  } json_rows[] = {
      {"[\"section = games\", [\"lang = en\", \"lang = fr\"]]", {1, 2}},
      {"[\"section = games\", [\"lang = de\", \"price < 0\"]]", {1}},
      {"[[\"lang = de\"], [\"price > 100\", \"tags = new\"]]", {1}},
      {"[]", {1, 2, 3, 4, 5, 6}},
  };
  for (const JsonRow &row : json_rows) {
    lmx::ParsedFilter p = parsed_json(row.json);
    ASSERT_TRUE(p.ok()) << p.error.message;
    EXPECT_EQ(match(p.root), row.want) << row.json;
  }
}

TEST_F(EngineFilterIndex, TermsAreBooleanAndUnknownAttributesMatchNothing) {
  Xapian::Document d = db_.get_document(1);
  size_t filter_terms = 0;
  for (auto t = d.termlist_begin(); t != d.termlist_end(); ++t) {
    ASSERT_EQ((*t).compare(0, 1, lmx::kFilterPrefix), 0) << *t;
    EXPECT_EQ(t.get_wdf(), 0u) << *t;
    EXPECT_EQ(t.positionlist_count(), 0u) << *t;
    ++filter_terms;
  }
  /* 7 exists terms; values: Games, en, de, 10, Café, new, Émile Zola,
   * true, "007" */
  EXPECT_EQ(filter_terms, 16u);
  /* The only number of doc 1 fills min and max; doc 2's three fill all. */
  const lmx::FilterSlots *price = layout_.find("price");
  EXPECT_EQ(d.get_value(price->min), lmx::filter_number_key(10));
  EXPECT_EQ(d.get_value(price->max), lmx::filter_number_key(10));
  EXPECT_EQ(d.get_value(price->all), "");
  EXPECT_NE(db_.get_document(2).get_value(price->all), "");

  lmx::ParsedFilter p = lmx::parse_filter("title = nothing OR section = books");
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(match(p.root), (Ids{3, 4}));
}

}  // namespace
