/*
 * fuzz_filter.cpp: the filter expression parser (engine/filter.h) on
 * arbitrary bytes, as one expression and, when the bytes are JSON, in the
 * array form as well. A filter that parses is checked against a fixed
 * layout and its query run on a small index in a scratch directory
 * (removed at exit): neither may throw.
 * A filter that does not parse must carry the filter error code, a position
 * within the text it names (the end included) and a message of valid UTF-8
 * that yyjson writes into a JSON string.
 */
#include <xapian.h>
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "filter.h"
#include "fuzz_checks.h"

using fuzzcheck::require;

namespace {

const lmx::FilterLayout &layout() {
  static const lmx::FilterLayout l({"a", "b", "price", "tags", "author.name"});
  return l;
}

Xapian::Database &corpus() {
  static Xapian::Database db;
  return db;
}

std::string &scratch() {
  static std::string path;
  return path;
}

void remove_scratch() {
  corpus().close();
  std::error_code ec;
  std::filesystem::remove_all(scratch(), ec);
}

const char *const kDocs[] = {
    R"({"a":"x","b":1,"price":10,"tags":["Café","new"],"author":{"name":"Zola"}})",
    R"({"a":["x","y"],"b":true,"price":[5,50,500],"tags":[]})",
    R"({"a":null,"price":-3.5,"author":[{"name":"Ann"},{"name":7}]})",
    R"({"b":"007","price":[1,2,3,4,1e3]})",
};

void check_error(const lmx::FilterError &e, std::string_view input) {
  require(e.code == LUMIDEX_ERROR_INVALID_FILTER, "error without its code",
          input);
  require(fuzzcheck::valid_utf8(e.message), "message is not UTF-8", input);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_doc_set_root(
      doc, yyjson_mut_strn(doc, e.message.data(), e.message.size()));
  size_t len = 0;
  char *json = yyjson_mut_write(doc, 0, &len);
  require(json != nullptr, "message cannot be written as JSON", input);
  free(json);
  yyjson_mut_doc_free(doc);
}

void check_parsed(const lmx::ParsedFilter &p, std::string_view input) {
  lmx::FilterError unknown = lmx::check_filter(p.root, layout());
  if (unknown.code != LUMIDEX_ERROR_NONE) check_error(unknown, input);
  Xapian::Enquire enquire(corpus());
  enquire.set_query(Xapian::Query(Xapian::Query::OP_FILTER,
                                  Xapian::Query::MatchAll,
                                  lmx::filter_query(p.root, layout())));
  enquire.set_weighting_scheme(Xapian::BoolWeight());
  require(enquire.get_mset(0, 10).size() <= 4, "more matches than documents",
          input);
}

/* The array form: the position lies within the string it names. */
void check_json(yyjson_val *root, std::string_view input) {
  lmx::ParsedFilter p = lmx::parse_filter(root);
  if (p.ok()) {
    check_parsed(p, input);
    return;
  }
  check_error(p.error, input);
  yyjson_val *named = root;
  if (p.error.at.element >= 0)
    named = yyjson_arr_get(root, static_cast<size_t>(p.error.at.element));
  if (named && p.error.at.inner >= 0)
    named = yyjson_arr_get(named, static_cast<size_t>(p.error.at.inner));
  require(named != nullptr, "error names no element", input);
  size_t len = yyjson_is_str(named) ? yyjson_get_len(named) : 0;
  require(p.error.at.byte <= len, "position beyond the element", input);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string tmpl = "/tmp/lmxfuzz-filter-XXXXXX";
  const char *dir = mkdtemp(tmpl.data());
  require(dir != nullptr, "cannot create a scratch directory");
  scratch() = dir;
  corpus(); /* built before the handler is registered, so destroyed after */
  atexit(remove_scratch);
  Xapian::WritableDatabase db(scratch() + "/db", Xapian::DB_CREATE);
  for (const char *text : kDocs) {
    yyjson_doc *doc = yyjson_read(text, std::string_view(text).size(),
                                  YYJSON_READ_NUMBER_AS_RAW);
    require(doc != nullptr, "corpus document is not JSON", text);
    Xapian::Document xd;
    lmx::add_filter_fields(xd, yyjson_doc_get_root(doc), layout());
    yyjson_doc_free(doc);
    db.add_document(xd);
  }
  db.commit();
  corpus() = db;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string_view input(reinterpret_cast<const char *>(data), size);
  lmx::ParsedFilter p = lmx::parse_filter(input);
  if (p.ok()) {
    check_parsed(p, input);
  } else {
    check_error(p.error, input);
    require(p.error.at.byte <= size, "position beyond the input", input);
    require(p.error.at.element == -1, "element set for one expression", input);
  }
  yyjson_doc *doc = yyjson_read(input.data(), input.size(), 0);
  if (doc) {
    check_json(yyjson_doc_get_root(doc), input);
    yyjson_doc_free(doc);
  }
  return 0;
}
