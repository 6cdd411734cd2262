/*
 * test_router_search_hits.cpp: api_router's search route run as a CGI
 * process, for the parameters that shape hits (attributesToRetrieve,
 * attributesToCrop, cropLength, highlight) from the query string and the
 * JSON body, their refusals with the error envelope, and totals that stay
 * the same on every page of a query over more than 1,000 matches, said to
 * be exact or not; api_search pages with the same totals and without that
 * member.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "child.h"
#include "lumidex_core.h"

namespace {

using lmxtest::ChildResult;
using lmxtest::ChildSpec;
using lmxtest::TempDir;

const std::string kRouter = std::string(LMX_BUILD_DIR) + "/src/api_router";
const std::string kSearch = std::string(LMX_BUILD_DIR) + "/src/api_search";

/* A search of the index "books" by program, as GET (query) or POST (body). */
ChildResult run(const std::string &program, const std::string &method,
                const std::string &query, const std::string &body,
                const std::string &storage) {
  lmxtest::CgiRequest cgi{method, "/indexes/books/search", body};
  cgi.query = query;
  return lmxtest::run_cgi(program, cgi, storage);
}

/* Two books and, with many, 1,500 short notes: "note" in each, "odd" in
 * every other one, "third" in every third. */
void seed(const std::string &storage, bool many) {
  ChildResult r = lmxtest::run_child(
      [&] {
        if (lumidex_init(storage.c_str()) != 0) std::exit(3);
        std::string docs =
            "[{\"id\":\"1\",\"title\":\"Dune\",\"blurb\":\"A desert planet, "
            "a spice that bends time & space, and a boy who will rule "
            "it.\"},"
            "{\"id\":\"2\",\"title\":\"Emma\",\"blurb\":\"Handsome, clever "
            "and rich.\"}";
        for (int i = 0; many && i < 1500; ++i)
          docs += ",{\"id\":\"n" + std::to_string(i) + "\",\"text\":\"note" +
                  (i % 2 ? " odd" : "") + (i % 3 ? "" : " third") + "\"}";
        docs += "]";
        if (lumidex_documents_add("books", docs.c_str()) < 2) std::exit(5);
        lumidex_cleanup();
      },
      ChildSpec{});
  ASSERT_EQ(r.exit_code, 0) << r.err;
}

struct Row {
  const char *what;
  const char *method, *query, *body;
  const char *expect; /* a piece of the body */
};

TEST(RouterSearchHits, HitsCarryTheFieldsAndPassagesAskedFor) {
  TempDir tmp;
  seed(tmp.path(), false);
  const Row rows[] = {
      {"retrieve from the query string", "GET",
       "q=dune&attributesToRetrieve=title", "",
       R"({"hits":[{"id":"1","title":"Dune","_highlighted":{"id":"1","title":"<em>Dune</em>"}}],)"},
      {"several fields, comma-separated", "GET",
       "q=emma&attributesToRetrieve=blurb,title&highlight=false", "",
       R"({"hits":[{"id":"2","title":"Emma","blurb":"Handsome, clever and rich."}],)"},
      {"no field: ids only", "GET", "q=emma&attributesToRetrieve=", "",
       R"({"hits":[{"id":"2","_highlighted":{"id":"2"}}],)"},
      {"crop from the query string", "GET",
       "q=spice&attributesToRetrieve=title&attributesToCrop=blurb&"
       "cropLength=4",
       "",
       R"("_highlighted":{"id":"1","title":"Dune","blurb":"…a <em>spice</em> that bends…"})"},
      {"crop in a POST body, highlight false", "POST", "",
       R"({"q":"time","attributesToRetrieve":["title"],"attributesToCrop":["blurb"],"cropLength":3,"highlight":false})",
       R"({"hits":[{"id":"1","title":"Dune","blurb":"…bends time & space…"}],)"},
      {"the total says it is exact", "GET", "q=dune", "",
       R"("total_hits":1,"total_hits_exact":true,)"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ChildResult r = run(kRouter, row.method, row.query, row.body, tmp.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 200) << r.out;
    EXPECT_NE(lmxtest::response_body(r.out).find(row.expect), std::string::npos)
        << lmxtest::response_body(r.out);
  }
}

TEST(RouterSearchHits, WrongValuesAreRefusedNamingTheParameter) {
  TempDir tmp;
  seed(tmp.path(), false);
  const Row rows[] = {
      {"an empty field name", "GET", "q=dune&attributesToRetrieve=title,", "",
       "`attributesToRetrieve`"},
      {"a field named twice", "GET", "attributesToCrop=blurb,blurb", "",
       "`attributesToCrop`"},
      {"cropLength 0", "GET", "cropLength=0", "",
       "`cropLength`: expected an integer of 1 to 1000"},
      {"cropLength not a number", "GET", "cropLength=ten", "", "`cropLength`"},
      {"highlight not a boolean", "GET", "highlight=no", "",
       "`highlight`: expected true or false"},
      {"highlight in capitals", "GET", "highlight=TRUE", "", "`highlight`"},
      {"a list given as text", "POST", "", R"({"attributesToCrop":"blurb"})",
       "`attributesToCrop`"},
      {"a boolean given as text", "POST", "", R"({"highlight":"false"})",
       "`highlight`"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ChildResult r = run(kRouter, row.method, row.query, row.body, tmp.path());
    EXPECT_EQ(lmxtest::response_status(r.out), 400) << r.out;
    std::string body = lmxtest::response_body(r.out);
    EXPECT_NE(body.find("\"code\":\"invalid_search_parameter\""),
              std::string::npos)
        << body;
    EXPECT_NE(body.find(row.expect), std::string::npos) << body;
  }
}

/* The value of member name (a number or a literal) in a JSON answer. */
std::string member(const std::string &body, const std::string &name) {
  size_t at = body.find("\"" + name + "\":");
  if (at == std::string::npos) return "<none>";
  at += name.size() + 3;
  return body.substr(at, body.find_first_of(",}", at) - at);
}

TEST(RouterSearchHits, EveryPageOfAQueryHasTheSameTotal) {
  TempDir tmp;
  seed(tmp.path(), true);
  /* "odd third": 250 hold both, 1,000 one of them; "note third": all. */
  for (const char *q : {"q=odd+third", "q=note+third", "q=third"}) {
    std::string total, exact;
    for (const char *page : {"&limit=20", "&offset=240&limit=20",
                             "&offset=990&limit=1000", "&offset=5000"}) {
      SCOPED_TRACE(std::string(q) + page);
      ChildResult r =
          run(kRouter, "GET", std::string(q) + page, "", tmp.path());
      ASSERT_EQ(lmxtest::response_status(r.out), 200) << r.out;
      std::string body = lmxtest::response_body(r.out);
      if (total.empty()) {
        total = member(body, "total_hits");
        exact = member(body, "total_hits_exact");
      }
      EXPECT_EQ(member(body, "total_hits"), total);
      EXPECT_EQ(member(body, "total_hits_exact"), exact);
      ChildResult plain =
          run(kSearch, "GET", std::string(q) + page, "", tmp.path());
      std::string plain_body = lmxtest::response_body(plain.out);
      EXPECT_EQ(member(plain_body, "total_hits"), total);
      EXPECT_EQ(member(plain_body, "total_hits_exact"), "<none>");
    }
    if (std::string(q) == "q=odd+third") {
      EXPECT_EQ(total, "1000");
      EXPECT_EQ(exact, "true");
    } else if (exact == "false") {
      EXPECT_GT(std::atoi(total.c_str()), 1000) << q;
    } else {
      EXPECT_EQ(exact, "true") << q;
    }
  }
}

}  // namespace
