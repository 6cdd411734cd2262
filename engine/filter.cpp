/*
 * filter.cpp: the filter expression language (see filter.h for the
 * grammar and what matches) and its index terms (layout.h).
 *
 * The parser checks that the expression is UTF-8, then descends, reading
 * tokens as it needs them (a malformed expression costs only the tokens up
 * to its fault): one group of C++ frames per level of parentheses or NOT, each
 * level checked against kMaxFilterDepth before it is entered, so no input
 * reaches deeper. AND and OR chains are loops that collect their operands into
 * one node. The translation walks the same tree, whose depth the parser
 * bounded.
 *
 * Numbers are compared through value slots (filter_number_key, whose
 * byte order is the numbers' order): the smallest and the largest of
 * a document's numbers answer the one-sided comparisons exactly. A range
 * on a document holding three numbers or more that straddle it needs the
 * third slot, read by AnyNumberInRange, a posting source that walks the
 * documents having that slot and keeps those with a number in the range.
 *
 * Checking the names against the index's filterable attributes, building
 * the layout from the settings and putting the query under OP_FILTER are
 * the callers'.
 */
#include "filter.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <system_error>
#include <utility>

#include "error.h"
#include "layout.h"
#include "messages.h"
#include "text.h"
#include "utf8.h"

namespace lmx {
namespace {

/* ---- Tokens ----------------------------------------------------------- */

enum class Tok {
  kError, /* a token that could not be read; the parser's error says why */
  kEnd,
  kWord,
  kString,
  kLParen,
  kRParen,
  kLBracket,
  kRBracket,
  kComma,
  kEq,
  kNe,
  kGt,
  kGe,
  kLt,
  kLe
};

struct Token {
  Tok type = Tok::kEnd;
  std::string text; /* kWord: as written; kString: unquoted, unescaped */
  size_t begin = 0;
  size_t end = 0;
};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/* Bytes that end a bare word. */
bool is_special(char c) {
  switch (c) {
    case '(':
    case ')':
    case '[':
    case ']':
    case ',':
    case '"':
    case '\'':
    case '=':
    case '!':
    case '<':
    case '>':
      return true;
    default:
      return is_space(c);
  }
}

bool is_keyword(const Token &t, const char *word) {
  return t.type == Tok::kWord && t.text == word;
}

bool is_any_keyword(const Token &t) {
  static const char *const kWords[] = {"AND", "OR", "NOT",
                                       "TO",  "IN", "EXISTS"};
  for (const char *w : kWords)
    if (is_keyword(t, w)) return true;
  return false;
}

/* -?digits[.digits][(e|E)[+-]digits] read as a finite double. */
bool read_number(std::string_view s, double *out) {
  size_t i = 0;
  auto digits = [&]() {
    size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (!digits()) return false;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  if (i != s.size()) return false;
  /* Checked above: from_chars alone would also read "inf" and "nan". */
  double v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || !std::isfinite(v)) return false;
  *out = v == 0 ? 0.0 : v; /* -0 is 0 */
  return true;
}

/* ---- Parser ----------------------------------------------------------- */

/* What is left of the limits of one filter, shared by the strings of the
 * array form. */
struct Budget {
  size_t bytes = kMaxFilterBytes;
  size_t values = kMaxFilterValues;
};

class Parser {
 public:
  Parser(std::string_view src, long element, long inner, Budget &budget)
      : src_(src), element_(element), inner_(inner), budget_(budget) {}

  /* Parses the whole source into out; false with error() set when it is
   * not an expression. */
  bool run(FilterNode &out) {
    if (!check_utf8()) return false;
    if (!parse_or(out, 0)) return false;
    if (peek().type != Tok::kEnd) return fail("`AND`, `OR` or the end", peek());
    return true;
  }

  const FilterError &error() const { return error_; }

 private:
  /* The token k places after the next one, read when first asked for, so
   * a malformed expression costs only the tokens up to its fault. Tokens
   * live in a deque: references to them stay valid as more are read. */
  const Token &peek(size_t k = 0) {
    while (tokens_.size() <= next_ + k && !lexed_all()) lex_next();
    return tokens_[std::min(next_ + k, tokens_.size() - 1)];
  }
  bool lexed_all() const {
    return !tokens_.empty() && (tokens_.back().type == Tok::kEnd ||
                                tokens_.back().type == Tok::kError);
  }
  void take() {
    Tok t = peek().type;
    if (t != Tok::kEnd && t != Tok::kError) ++next_;
  }

  FilterPlace place(size_t byte) const {
    return FilterPlace{byte, element_, inner_};
  }

  bool fail_at(std::string_view expected, size_t byte, std::string_view found) {
    error_.code = LUMIDEX_ERROR_INVALID_FILTER;
    error_.at = place(byte);
    error_.message =
        msg::invalid_filter(expected, byte, found, element_, inner_);
    return false;
  }

  bool fail(std::string_view expected, const Token &t) {
    if (t.type == Tok::kError) return false; /* error_ says why */
    std::string found =
        t.type == Tok::kEnd
            ? std::string("the end")
            : msg::backticked(src_.substr(t.begin, t.end - t.begin));
    return fail_at(expected, t.begin, found);
  }

  void push(Tok type, size_t begin, size_t end, std::string text = {}) {
    tokens_.push_back(Token{type, std::move(text), begin, end});
  }

  bool check_utf8() {
    for (size_t i = 0; i < src_.size();) {
      size_t n = utf8::decode(src_, i);
      if (n == 0) return fail_at("valid UTF-8", i, "an invalid byte");
      i += n;
    }
    return true;
  }

  /* Reads the token at pos_. The last token is kEnd, or kError once
   * error_ is set. */
  void lex_next() {
    while (pos_ < src_.size() && is_space(src_[pos_])) ++pos_;
    size_t i = pos_;
    if (i == src_.size()) return push(Tok::kEnd, i, i);
    char c = src_[i];
    if (c == '"' || c == '\'') return lex_string();
    size_t width = 1;
    Tok type = Tok::kWord;
    switch (c) {
      case '(':
        type = Tok::kLParen;
        break;
      case ')':
        type = Tok::kRParen;
        break;
      case '[':
        type = Tok::kLBracket;
        break;
      case ']':
        type = Tok::kRBracket;
        break;
      case ',':
        type = Tok::kComma;
        break;
      case '=':
        type = Tok::kEq;
        break;
      case '<':
      case '>': {
        bool eq = i + 1 < src_.size() && src_[i + 1] == '=';
        type =
            c == '<' ? (eq ? Tok::kLe : Tok::kLt) : (eq ? Tok::kGe : Tok::kGt);
        width = eq ? 2 : 1;
        break;
      }
      case '!':
        if (i + 1 < src_.size() && src_[i + 1] == '=') {
          type = Tok::kNe;
          width = 2;
          break;
        }
        fail_at("`=` after `!`", i + 1,
                i + 1 < src_.size()
                    ? msg::backticked(
                          src_.substr(i + 1, utf8::next(src_, i + 1) - (i + 1)))
                    : std::string("the end"));
        return push(Tok::kError, i + 1, i + 1);
      default:
        while (i + width < src_.size() && !is_special(src_[i + width])) ++width;
        break;
    }
    pos_ = i + width;
    push(type, i, pos_,
         type == Tok::kWord ? std::string(src_.substr(i, width)) : "");
  }

  /* A quoted string starting at src_[i]; i moves past its closing quote. */
  void lex_string() {
    size_t i = pos_;
    char quote = src_[i];
    size_t begin = i++;
    std::string text;
    while (i < src_.size() && src_[i] != quote) {
      if (src_[i] == '\\' && i + 1 < src_.size() &&
          (src_[i + 1] == quote || src_[i + 1] == '\\'))
        ++i;
      text.push_back(src_[i++]);
    }
    if (i == src_.size()) {
      fail_at(quote == '"' ? "a closing `\"`" : "a closing `'`", i, "the end");
      return push(Tok::kError, i, i);
    }
    pos_ = ++i;
    push(Tok::kString, begin, i, std::move(text));
  }

  bool deeper(size_t depth, const Token &at) {
    if (depth < kMaxFilterDepth) return true;
    return fail("at most " + std::to_string(kMaxFilterDepth) +
                    " nested parentheses and NOTs",
                at);
  }

  bool parse_or(FilterNode &out, size_t depth) {
    return parse_chain(out, depth, "OR", FilterNode::Op::kOr,
                       &Parser::parse_and);
  }

  bool parse_and(FilterNode &out, size_t depth) {
    return parse_chain(out, depth, "AND", FilterNode::Op::kAnd,
                       &Parser::parse_unary);
  }

  /* operand (keyword operand)*: one node of op for two operands or more,
   * the operand itself for one. A loop, so long chains take no stack. */
  bool parse_chain(FilterNode &out, size_t depth, const char *keyword,
                   FilterNode::Op op,
                   bool (Parser::*operand)(FilterNode &, size_t)) {
    FilterNode first;
    if (!(this->*operand)(first, depth)) return false;
    if (!is_keyword(peek(), keyword)) {
      out = std::move(first);
      return true;
    }
    out = FilterNode{};
    out.op = op;
    out.children.push_back(std::move(first));
    while (is_keyword(peek(), keyword)) {
      take();
      out.children.emplace_back();
      if (!(this->*operand)(out.children.back(), depth)) return false;
    }
    return true;
  }

  bool parse_unary(FilterNode &out, size_t depth) {
    const Token &t = peek();
    if (is_keyword(t, "NOT")) {
      if (!deeper(depth, t)) return false;
      take();
      out.op = FilterNode::Op::kNot;
      out.children.emplace_back();
      return parse_unary(out.children.back(), depth + 1);
    }
    if (t.type == Tok::kLParen) {
      if (!deeper(depth, t)) return false;
      take();
      if (!parse_or(out, depth + 1)) return false;
      if (peek().type != Tok::kRParen)
        return fail("`AND`, `OR` or `)`", peek());
      take();
      return true;
    }
    return parse_condition(out);
  }

  static bool is_value_token(const Token &t) {
    return t.type == Tok::kString ||
           (t.type == Tok::kWord && !is_any_keyword(t));
  }

  /* Counts one more value (or EXISTS) at t against kMaxFilterValues. */
  bool count_value(const Token &t) {
    if (budget_.values > 0) {
      --budget_.values;
      return true;
    }
    return fail(
        "at most " + std::to_string(kMaxFilterValues) + " values in the filter",
        t);
  }

  /* The value at the next token; expected says what was looked for. */
  bool parse_value(FilterValue &out, std::string_view expected) {
    const Token &t = peek();
    if (!is_value_token(t)) return fail(expected, t);
    if (!count_value(t)) return false;
    take();
    out.text = t.text;
    out.at = place(t.begin);
    out.kind = FilterValue::Kind::kString;
    if (t.type == Tok::kWord) {
      if (t.text == "true" || t.text == "false") {
        out.kind = FilterValue::Kind::kBool;
        out.boolean = t.text == "true";
      } else if (read_number(t.text, &out.number)) {
        out.kind = FilterValue::Kind::kNumber;
      }
    }
    return true;
  }

  bool parse_number(FilterValue &out, std::string_view expected) {
    const Token &t = peek();
    if (!parse_value(out, expected)) return false;
    if (out.kind != FilterValue::Kind::kNumber) return fail(expected, t);
    return true;
  }

  bool parse_list(FilterNode &out) {
    if (peek().type != Tok::kLBracket) return fail("`[` after `IN`", peek());
    take();
    for (;;) {
      out.values.emplace_back();
      if (!parse_value(out.values.back(), "a value in the list")) return false;
      if (peek().type == Tok::kRBracket) break;
      if (peek().type != Tok::kComma)
        return fail("`,` or `]` in the list", peek());
      take();
    }
    take();
    return true;
  }

  static const char *operator_text(Tok t) {
    switch (t) {
      case Tok::kEq:
        return "`=`";
      case Tok::kNe:
        return "`!=`";
      case Tok::kGt:
        return "`>`";
      case Tok::kGe:
        return "`>=`";
      case Tok::kLt:
        return "`<`";
      default:
        return "`<=`";
    }
  }

  bool parse_comparison(FilterNode &out, Tok op) {
    std::string after = std::string(" after ") + operator_text(op);
    if (op == Tok::kEq || op == Tok::kNe) {
      out.op = FilterNode::Op::kEqual;
      out.values.emplace_back();
      if (!parse_value(out.values.back(), "a value" + after)) return false;
      if (op == Tok::kNe) negate(out);
      return true;
    }
    out.op = op == Tok::kGt   ? FilterNode::Op::kGreater
             : op == Tok::kGe ? FilterNode::Op::kGreaterEqual
             : op == Tok::kLt ? FilterNode::Op::kLess
                              : FilterNode::Op::kLessEqual;
    out.values.emplace_back();
    return parse_number(out.values.back(), "a number" + after);
  }

  /* Wraps the condition in out into a kNot. */
  static void negate(FilterNode &out) {
    FilterNode inner = std::move(out);
    out = FilterNode{};
    out.op = FilterNode::Op::kNot;
    out.children.push_back(std::move(inner));
  }

  bool parse_condition(FilterNode &out) {
    const Token &name = peek();
    if (!is_value_token(name)) return fail("an attribute, `NOT` or `(`", name);
    take();
    out.attribute = name.text;
    out.attribute_at = place(name.begin);
    std::string after =
        "an operator after attribute " + msg::backticked(name.text);
    const Token &t = peek();
    switch (t.type) {
      case Tok::kEq:
      case Tok::kNe:
      case Tok::kGt:
      case Tok::kGe:
      case Tok::kLt:
      case Tok::kLe:
        take();
        return parse_comparison(out, t.type);
      default:
        break;
    }
    if (is_keyword(t, "EXISTS")) {
      take();
      out.op = FilterNode::Op::kExists;
      return count_value(name);
    }
    if (is_keyword(t, "IN")) {
      take();
      out.op = FilterNode::Op::kIn;
      return parse_list(out);
    }
    if (is_keyword(t, "NOT")) {
      take();
      if (is_keyword(peek(), "EXISTS")) {
        take();
        out.op = FilterNode::Op::kExists;
        if (!count_value(name)) return false;
      } else if (is_keyword(peek(), "IN")) {
        take();
        out.op = FilterNode::Op::kIn;
        if (!parse_list(out)) return false;
      } else {
        return fail("`IN` or `EXISTS` after `NOT`", peek());
      }
      negate(out);
      return true;
    }
    /* attr v1 TO v2: a value here only starts a range. */
    if (!is_value_token(t) || !is_keyword(peek(1), "TO")) return fail(after, t);
    out.op = FilterNode::Op::kRange;
    out.values.resize(2);
    if (!parse_number(out.values[0], "a number to start the range"))
      return false;
    take(); /* TO */
    return parse_number(out.values[1], "a number after `TO`");
  }

  std::string_view src_;
  long element_;
  long inner_;
  Budget &budget_;
  std::deque<Token> tokens_;
  size_t next_ = 0; /* index in tokens_ of the next token to parse */
  size_t pos_ = 0;  /* byte of src_ where the next token is read */
  FilterError error_;
};

ParsedFilter parse_one(std::string_view text, long element, long inner,
                       Budget &budget) {
  ParsedFilter out;
  if (text.size() > budget.bytes) {
    out.error.code = LUMIDEX_ERROR_INVALID_FILTER;
    out.error.at = FilterPlace{budget.bytes, element, inner};
    out.error.message = msg::invalid_filter(
        "at most " + std::to_string(kMaxFilterBytes) + " bytes of filter",
        budget.bytes, "more", element, inner);
    return out;
  }
  budget.bytes -= text.size();
  Parser parser(text, element, inner, budget);
  if (!parser.run(out.root)) out.error = parser.error();
  return out;
}

const char *json_kind(yyjson_val *v) {
  if (yyjson_is_str(v)) return "a string";
  if (yyjson_is_arr(v)) return yyjson_arr_size(v) ? "an array" : "[]";
  if (yyjson_is_obj(v)) return "an object";
  if (yyjson_is_bool(v)) return "a boolean";
  if (yyjson_is_null(v)) return "null";
  return "a number";
}

FilterError json_type_error(yyjson_val *v, std::string_view expected,
                            long element, long inner) {
  FilterError e;
  e.code = LUMIDEX_ERROR_INVALID_FILTER;
  e.at = FilterPlace{0, element, inner};
  e.message = msg::invalid_filter(expected, 0, json_kind(v), element, inner);
  return e;
}

/* ---- Numbers in value slots -------------------------------------------- */

std::string serialised(double d) { return filter_number_key(d); }

/* Documents whose all-numbers slot (FilterSlots::all) holds a number in
 * [lo, hi], both given as number keys: keys compare as the numbers do, so
 * no number is decoded. Weight 0. */
class AnyNumberInRange : public Xapian::ValuePostingSource {
 public:
  AnyNumberInRange(Xapian::valueno slot, std::string lo, std::string hi)
      : Xapian::ValuePostingSource(slot),
        lo_(std::move(lo)),
        hi_(std::move(hi)) {}

  void init(const Xapian::Database &db) override {
    Xapian::ValuePostingSource::init(db);
    /* Any document with the slot may fail the range. */
    set_termfreq_min(0);
    set_termfreq_est(get_termfreq_max() / 2);
  }

  void next(double min_wt) override {
    Xapian::ValuePostingSource::next(min_wt);
    settle(min_wt);
  }

  void skip_to(Xapian::docid did, double min_wt) override {
    Xapian::ValuePostingSource::skip_to(did, min_wt);
    settle(min_wt);
  }

  bool check(Xapian::docid did, double min_wt) override {
    skip_to(did, min_wt);
    return true;
  }

  Xapian::PostingSource *clone() const override {
    return new AnyNumberInRange(get_slot(), lo_, hi_);
  }

  std::string get_description() const override {
    return "AnyNumberInRange(slot " + std::to_string(get_slot()) + ")";
  }

 private:
  void settle(double min_wt) {
    while (!at_end() && !accepts(get_value()))
      Xapian::ValuePostingSource::next(min_wt);
  }

  bool accepts(const std::string &packed) const {
    const size_t n = kFilterNumberKeyBytes;
    for (size_t i = 0; i + n <= packed.size(); i += n) {
      std::string_view one(packed.data() + i, n);
      if (one >= lo_ && one <= hi_) return true;
    }
    return false;
  }

  std::string lo_, hi_;
};

/* ---- Queries ---------------------------------------------------------- */

/* Appends the terms a document holding v at path has (filter.h). */
void add_equal_terms(const std::string &path, const FilterValue &v,
                     std::vector<std::string> &terms) {
  terms.push_back(filter_term(path, kFilterString, fold_text(v.text)));
  if (v.kind == FilterValue::Kind::kNumber)
    terms.push_back(
        filter_term(path, kFilterNumber, filter_number_text(v.number)));
  if (v.kind == FilterValue::Kind::kBool)
    terms.push_back(
        filter_term(path, kFilterBool, v.boolean ? "true" : "false"));
}

/* Documents holding any of values at path; each distinct term once, since
 * the matcher pays for every term it is given. */
Xapian::Query equal_query(const std::string &path,
                          const std::vector<FilterValue> &values) {
  std::vector<std::string> terms;
  for (const FilterValue &v : values) add_equal_terms(path, v, terms);
  std::sort(terms.begin(), terms.end());
  terms.erase(std::unique(terms.begin(), terms.end()), terms.end());
  return Xapian::Query(Xapian::Query::OP_OR, terms.begin(), terms.end());
}

Xapian::Query range_query(const FilterSlots &slots, double lo, double hi) {
  if (lo > hi) return Xapian::Query::MatchNothing;
  std::string low = serialised(lo), high = serialised(hi);
  Xapian::Query parts[] = {
      Xapian::Query(Xapian::Query::OP_VALUE_RANGE, slots.min, low, high),
      Xapian::Query(Xapian::Query::OP_VALUE_RANGE, slots.max, low, high),
      Xapian::Query((new AnyNumberInRange(slots.all, low, high))->release()),
  };
  return Xapian::Query(Xapian::Query::OP_OR, parts, parts + 3);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

Xapian::Query condition_query(const FilterNode &n, const FilterLayout &layout) {
  const FilterSlots *slots = layout.find(n.attribute);
  if (!slots) return Xapian::Query::MatchNothing;
  using Op = FilterNode::Op;
  switch (n.op) {
    case Op::kEqual:
    case Op::kIn:
      return equal_query(n.attribute, n.values);
    case Op::kExists:
      return Xapian::Query(filter_exists_term(n.attribute));
    case Op::kGreater:
      return Xapian::Query(
          Xapian::Query::OP_VALUE_GE, slots->max,
          serialised(std::nextafter(n.values[0].number, kInf)));
    case Op::kGreaterEqual:
      return Xapian::Query(Xapian::Query::OP_VALUE_GE, slots->max,
                           serialised(n.values[0].number));
    case Op::kLess:
      return Xapian::Query(
          Xapian::Query::OP_VALUE_LE, slots->min,
          serialised(std::nextafter(n.values[0].number, -kInf)));
    case Op::kLessEqual:
      return Xapian::Query(Xapian::Query::OP_VALUE_LE, slots->min,
                           serialised(n.values[0].number));
    case Op::kRange:
      return range_query(*slots, n.values[0].number, n.values[1].number);
    default:
      return Xapian::Query::MatchNothing;
  }
}

/* Recurses once per kNot, kAnd or kOr level: bounded by the parser. */
Xapian::Query node_query(const FilterNode &n, const FilterLayout &layout) {
  using Op = FilterNode::Op;
  switch (n.op) {
    case Op::kAnd:
    case Op::kOr: {
      if (n.children.empty()) return Xapian::Query::MatchAll;
      std::vector<Xapian::Query> parts;
      for (const FilterNode &c : n.children)
        parts.push_back(node_query(c, layout));
      return Xapian::Query(
          n.op == Op::kAnd ? Xapian::Query::OP_AND : Xapian::Query::OP_OR,
          parts.begin(), parts.end());
    }
    case Op::kNot:
      return Xapian::Query(Xapian::Query::OP_AND_NOT, Xapian::Query::MatchAll,
                           node_query(n.children[0], layout));
    default:
      return condition_query(n, layout);
  }
}

const FilterNode *first_unknown(const FilterNode &n,
                                const FilterLayout &layout) {
  using Op = FilterNode::Op;
  if (n.op == Op::kAnd || n.op == Op::kOr || n.op == Op::kNot) {
    for (const FilterNode &c : n.children)
      if (const FilterNode *bad = first_unknown(c, layout)) return bad;
    return nullptr;
  }
  return layout.find(n.attribute) ? nullptr : &n;
}

/* ---- Indexing --------------------------------------------------------- */

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> parts;
  size_t from = 0;
  for (;;) {
    size_t dot = path.find('.', from);
    parts.push_back(
        path.substr(from, dot == std::string_view::npos ? dot : dot - from));
    if (dot == std::string_view::npos) return parts;
    from = dot + 1;
  }
}

void add_numbers(Xapian::Document &doc, const FilterSlots &slots,
                 std::vector<double> &numbers) {
  if (numbers.empty()) return;
  for (double &d : numbers) d = d == 0 ? 0.0 : d;
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  doc.add_value(slots.min, serialised(numbers.front()));
  doc.add_value(slots.max, serialised(numbers.back()));
  if (numbers.size() < 3) return;
  std::string all;
  for (double d : numbers) all += serialised(d);
  doc.add_value(slots.all, all);
}

void put_varint(size_t n, std::string &out) {
  while (n >= 0x80) {
    out.push_back(static_cast<char>((n & 0x7F) | 0x80));
    n >>= 7;
  }
  out.push_back(static_cast<char>(n));
}

/* One distinct value of a document for the facet slot: kind, key and, for
 * a string, its first spelling. */
struct FacetEntry {
  char kind;
  std::string key;
  std::string_view shown;
};

void add_facet_values(Xapian::Document &doc, Xapian::valueno slot,
                      std::vector<FacetEntry> &entries) {
  if (entries.empty()) return;
  /* Stable: of one kind and key, the first spelling met stays first. */
  std::stable_sort(entries.begin(), entries.end(),
                   [](const FacetEntry &a, const FacetEntry &b) {
                     return a.kind != b.kind ? a.kind < b.kind : a.key < b.key;
                   });
  std::string packed;
  for (size_t i = 0; i < entries.size(); ++i) {
    const FacetEntry &e = entries[i];
    if (i > 0 && e.kind == entries[i - 1].kind && e.key == entries[i - 1].key)
      continue;
    packed.push_back(e.kind);
    put_varint(e.key.size(), packed);
    packed.append(e.key);
    if (e.kind == kFilterString) {
      put_varint(e.shown.size(), packed);
      packed.append(e.shown);
    }
  }
  doc.add_value(slot, packed);
}

void add_attribute(Xapian::Document &doc, yyjson_val *root,
                   const std::string &path, const FilterSlots &slots) {
  PathValues found = values_at(root, path);
  if (!found.found) return;
  doc.add_boolean_term(filter_exists_term(path));
  std::vector<double> numbers;
  std::vector<FacetEntry> entries;
  for (yyjson_val *v : found.scalars) {
    double d = 0;
    if (yyjson_is_str(v)) {
      std::string_view s(yyjson_get_str(v), yyjson_get_len(v));
      std::string folded = fold_text(s);
      doc.add_boolean_term(filter_term(path, kFilterString, folded));
      entries.push_back(FacetEntry{kFilterString, std::move(folded), s});
    } else if (yyjson_is_bool(v)) {
      const char *text = yyjson_get_bool(v) ? "true" : "false";
      doc.add_boolean_term(filter_term(path, kFilterBool, text));
      entries.push_back(FacetEntry{kFilterBool, text, {}});
    } else if (json_number(v, &d)) {
      std::string text = filter_number_text(d);
      doc.add_boolean_term(filter_term(path, kFilterNumber, text));
      entries.push_back(FacetEntry{kFilterNumber, std::move(text), {}});
      numbers.push_back(d);
    }
  }
  add_numbers(doc, slots, numbers);
  add_facet_values(doc, slots.facets, entries);
}

uint64_t fnv1a(std::string_view s) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

ParsedFilter parse_filter(std::string_view expression) {
  Budget budget;
  return parse_one(expression, -1, -1, budget);
}

ParsedFilter parse_filter(yyjson_val *filter) {
  if (yyjson_is_str(filter))
    return parse_filter(
        std::string_view(yyjson_get_str(filter), yyjson_get_len(filter)));
  ParsedFilter out;
  if (!yyjson_is_arr(filter)) {
    out.error = json_type_error(filter, "a string or an array", -1, -1);
    return out;
  }
  out.root.op = FilterNode::Op::kAnd;
  Budget budget;
  size_t i, max;
  yyjson_val *el;
  yyjson_arr_foreach(filter, i, max, el) {
    long element = static_cast<long>(i);
    if (yyjson_is_str(el)) {
      ParsedFilter one =
          parse_one(std::string_view(yyjson_get_str(el), yyjson_get_len(el)),
                    element, -1, budget);
      if (!one.ok()) return one;
      out.root.children.push_back(std::move(one.root));
      continue;
    }
    if (!yyjson_is_arr(el) || yyjson_arr_size(el) == 0) {
      out.error = json_type_error(
          el, "a string or a non-empty array of strings", element, -1);
      return out;
    }
    FilterNode any;
    any.op = FilterNode::Op::kOr;
    size_t j, jmax;
    yyjson_val *s;
    yyjson_arr_foreach(el, j, jmax, s) {
      long inner = static_cast<long>(j);
      if (!yyjson_is_str(s)) {
        out.error = json_type_error(s, "a string", element, inner);
        return out;
      }
      ParsedFilter one =
          parse_one(std::string_view(yyjson_get_str(s), yyjson_get_len(s)),
                    element, inner, budget);
      if (!one.ok()) return one;
      any.children.push_back(std::move(one.root));
    }
    out.root.children.push_back(std::move(any));
  }
  return out;
}

bool valid_attribute_path(std::string_view path) {
  bool empty_member = path.empty() || path.front() == '.' ||
                      path.back() == '.' ||
                      path.find("..") != std::string_view::npos;
  return !empty_member && path.size() <= kMaxFilterPathBytes &&
         utf8::valid(path);
}

PathValues values_at(yyjson_val *root, std::string_view path) {
  const std::vector<std::string_view> parts = split_path(path);
  PathValues out;
  std::vector<std::pair<yyjson_val *, size_t>> stack{{root, 0}};
  while (!stack.empty()) {
    auto [v, level] = stack.back();
    stack.pop_back();
    if (level == parts.size()) out.found = true;
    if (yyjson_is_arr(v)) {
      /* Pushed in reverse so elements come out in document order. */
      size_t n = yyjson_arr_size(v);
      for (size_t i = n; i-- > 0;)
        stack.emplace_back(yyjson_arr_get(v, i), level);
    } else if (level == parts.size()) {
      if (!yyjson_is_ctn(v)) out.scalars.push_back(v);
    } else if (yyjson_is_obj(v)) {
      yyjson_val *m =
          yyjson_obj_getn(v, parts[level].data(), parts[level].size());
      if (m) stack.emplace_back(m, level + 1);
    }
  }
  return out;
}

bool json_number(yyjson_val *v, double *out) {
  if (yyjson_is_raw(v)) {
    std::string_view raw(yyjson_get_raw(v), yyjson_get_len(v));
    double d = 0;
    auto r = std::from_chars(raw.data(), raw.data() + raw.size(), d);
    if (r.ec != std::errc() || r.ptr != raw.data() + raw.size() ||
        !std::isfinite(d))
      return false;
    *out = d;
    return true;
  }
  if (!yyjson_is_num(v)) return false;
  *out = yyjson_get_num(v);
  return std::isfinite(*out);
}

FilterLayout::FilterLayout(const std::vector<std::string> &attributes) {
  for (const std::string &path : attributes) {
    if (!valid_attribute_path(path) || find(path))
      throw Error("Invalid filterable attribute " + msg::backticked(path) +
                      ": use a name of 1 to " +
                      std::to_string(kMaxFilterPathBytes) +
                      " bytes, members joined by single dots, given once.",
                  LUMIDEX_ERROR_INVALID_ARGUMENT);
    Xapian::valueno base =
        kFirstFilterSlot +
        kFilterSlotsPerAttribute * static_cast<Xapian::valueno>(slots_.size());
    attributes_.push_back(path);
    slots_.push_back(FilterSlots{base, base + 1, base + 2, base + 3});
  }
}

const FilterSlots *FilterLayout::find(std::string_view path) const {
  for (size_t i = 0; i < attributes_.size(); ++i)
    if (attributes_[i] == path) return &slots_[i];
  return nullptr;
}

FilterError check_filter(const FilterNode &filter, const FilterLayout &layout) {
  FilterError e;
  const FilterNode *bad = first_unknown(filter, layout);
  if (!bad) return e;
  e.code = LUMIDEX_ERROR_INVALID_FILTER;
  e.at = bad->attribute_at;
  e.message = msg::not_filterable(bad->attribute, layout.attributes());
  return e;
}

Xapian::Query filter_query(const FilterNode &filter,
                           const FilterLayout &layout) {
  return Xapian::Query(Xapian::Query::OP_SCALE_WEIGHT,
                       node_query(filter, layout), 0.0);
}

void add_filter_fields(Xapian::Document &doc, yyjson_val *doc_root,
                       const FilterLayout &layout) {
  if (!yyjson_is_obj(doc_root)) return;
  const std::vector<std::string> &paths = layout.attributes();
  for (const std::string &path : paths)
    add_attribute(doc, doc_root, path, *layout.find(path));
}

std::string filter_term(std::string_view path, char kind,
                        std::string_view value) {
  std::string term(kFilterPrefix);
  term.append(path);
  term.push_back(kFilterSeparator);
  term.push_back(kind);
  if (term.size() + value.size() <= kMaxFilterTermBytes) {
    term.append(value);
    return term;
  }
  constexpr size_t kHashBytes = 1 + 16; /* mark + hex digits */
  size_t room = kMaxFilterTermBytes - term.size() - kHashBytes;
  term.append(value.substr(0, utf8::boundary_before(value, room)));
  term.push_back(kFilterHashMark);
  static const char kHex[] = "0123456789abcdef";
  uint64_t h = fnv1a(value);
  for (int shift = 60; shift >= 0; shift -= 4)
    term.push_back(kHex[(h >> shift) & 0xF]);
  return term;
}

std::string filter_exists_term(std::string_view path) {
  return std::string(kFilterPrefix) + std::string(path);
}

std::string filter_number_key(double number) {
  if (number == 0) number = 0.0; /* -0 */
  uint64_t bits = 0;
  std::memcpy(&bits, &number, sizeof bits);
  /* Positive numbers above negative ones; among negatives, a larger
   * magnitude has larger bits, so those are inverted. */
  bits = (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
  std::string key(kFilterNumberKeyBytes, '\0');
  for (size_t i = 0; i < kFilterNumberKeyBytes; ++i)
    key[i] = static_cast<char>(bits >> (56 - 8 * i));
  return key;
}

double filter_number_of_key(std::string_view key) {
  assert(key.size() == kFilterNumberKeyBytes);
  uint64_t bits = 0;
  for (size_t i = 0; i < kFilterNumberKeyBytes; ++i)
    bits = (bits << 8) | static_cast<unsigned char>(key[i]);
  bits = (bits >> 63) ? bits & ~(uint64_t{1} << 63) : ~bits;
  double number = 0;
  std::memcpy(&number, &bits, sizeof number);
  return number;
}

std::string filter_number_text(double number) {
  if (number == 0) return "0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, number);
  return std::string(buf, r.ptr);
}

}  // namespace lmx
