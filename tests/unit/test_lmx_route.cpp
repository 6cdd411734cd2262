/*
 * test_lmx_route.cpp: the route parser over the route table, its splitting
 * rules and its cuts.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lmx_common.h"

namespace {

struct RouteRow {
  const char *path; /* nullptr stands for no path */
  lmx_route_kind kind;
  const char *index_uid;
  const char *doc_id;
};

lmx_route parse(const char *path) {
  lmx_route r;
  /* Garbage first, so a field the parser forgets to clear shows. */
  memset(&r, 'x', sizeof r);
  lmx_parse_route(path, &r);
  return r;
}

void expect_rows(const RouteRow *rows, size_t n) {
  for (size_t i = 0; i < n; i++) {
    const RouteRow &row = rows[i];
    lmx_route r = parse(row.path);
    SCOPED_TRACE(row.path ? row.path : "<null>");
    EXPECT_EQ(r.kind, row.kind);
    EXPECT_STREQ(r.index_uid, row.index_uid);
    EXPECT_STREQ(r.doc_id, row.doc_id);
  }
}

TEST(LmxRoute, RootIsNoPathOnlySlashesOrTheSingularIndexSegment) {
  lmx_parse_route("/indexes/movies", nullptr); /* a null record is ignored */
  const RouteRow rows[] = {
      {nullptr, LMX_ROUTE_ROOT, "", ""},
      {"", LMX_ROUTE_ROOT, "", ""},
      {"/", LMX_ROUTE_ROOT, "", ""},
      {"//", LMX_ROUTE_ROOT, "", ""},
      {"////", LMX_ROUTE_ROOT, "", ""},
      {"/?x=1", LMX_ROUTE_ROOT, "", ""},
      {"?x=1", LMX_ROUTE_ROOT, "", ""},
      {"/index", LMX_ROUTE_ROOT, "", ""},
      {"/index/movies", LMX_ROUTE_ROOT, "", ""},
  };
  expect_rows(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxRoute, StatusMatchesTheFirstSegmentExactly) {
  const RouteRow rows[] = {
      {"/status", LMX_ROUTE_STATUS, "", ""},
      {"/status/anything/else", LMX_ROUTE_STATUS, "", ""},
      {"/status?format=json", LMX_ROUTE_STATUS, "", ""},
      {"/Status", LMX_ROUTE_UNKNOWN, "", ""},
      {"/statusx", LMX_ROUTE_UNKNOWN, "", ""},
      {"/stat", LMX_ROUTE_UNKNOWN, "", ""},
      {"/Indexes/movies", LMX_ROUTE_UNKNOWN, "", ""},
      {"/other/movies/search", LMX_ROUTE_UNKNOWN, "", ""},
  };
  expect_rows(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxRoute, IndexesTableGivesEachKindWithItsIdentifiers) {
  const RouteRow rows[] = {
      {"/indexes", LMX_ROUTE_INDEXES, "", ""},
      {"/indexes/", LMX_ROUTE_INDEXES, "", ""},
      {"/indexes/movies", LMX_ROUTE_INDEX, "movies", ""},
      {"indexes/movies", LMX_ROUTE_INDEX, "movies", ""},
      {"/indexes/movies?limit=5", LMX_ROUTE_INDEX, "movies", ""},
      {"/indexes/movies/search", LMX_ROUTE_SEARCH, "movies", ""},
      {"//indexes//movies//search//", LMX_ROUTE_SEARCH, "movies", ""},
      {"/indexes/movies/search/extra", LMX_ROUTE_SEARCH, "movies", ""},
      {"/indexes/movies/stats", LMX_ROUTE_STATS, "movies", ""},
      {"/indexes/movies/stats/x", LMX_ROUTE_STATS, "movies", ""},
      {"/indexes/movies/documents", LMX_ROUTE_DOCUMENTS, "movies", ""},
      {"/indexes/movies/documents/", LMX_ROUTE_DOCUMENTS, "movies", ""},
      {"/indexes/movies/documents/42", LMX_ROUTE_DOCUMENT, "movies", "42"},
      {"/indexes/movies/documents/42/x", LMX_ROUTE_DOCUMENT, "movies", "42"},
      {"/indexes/movies/documents/42?x=/y", LMX_ROUTE_DOCUMENT, "movies", "42"},
      {"/indexes/movies/settings", LMX_ROUTE_UNKNOWN, "movies", ""},
      {"/indexes/movies/Search", LMX_ROUTE_UNKNOWN, "movies", ""},
  };
  expect_rows(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxRoute, SegmentsStayUndecoded) {
  const RouteRow rows[] = {
      {"/indexes/a%2Fb/search", LMX_ROUTE_SEARCH, "a%2Fb", ""},
      {"/indexes/a+b/documents/c%20d", LMX_ROUTE_DOCUMENT, "a+b", "c%20d"},
      {"/indexes/a\\b/stats", LMX_ROUTE_STATS, "a\\b", ""},
      {"/indexes/%73tatus", LMX_ROUTE_INDEX, "%73tatus", ""},
  };
  expect_rows(rows, sizeof rows / sizeof rows[0]);
}

TEST(LmxRoute, LongSegmentsKeepTheirFirst127BytesWithoutSpilling) {
  const std::string uid127(127, 'u');
  const std::string doc(200, 'd');
  struct Row {
    std::string path;
    lmx_route_kind kind;
    std::string uid;
    std::string doc;
  } rows[] = {
      {"/indexes/" + uid127, LMX_ROUTE_INDEX, uid127, ""},
      {"/indexes/" + uid127 + "u", LMX_ROUTE_INDEX, uid127, ""},
      /* The dropped tail of a 200-byte identifier must not become the
       * third segment. */
      {"/indexes/" + std::string(200, 'u') + "/search", LMX_ROUTE_SEARCH,
       uid127, ""},
      {"/indexes/m/documents/" + doc, LMX_ROUTE_DOCUMENT, "m",
       doc.substr(0, 127)},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path.substr(0, 40));
    lmx_route r = parse(row.path.c_str());
    EXPECT_EQ(r.kind, row.kind);
    EXPECT_EQ(std::string(r.index_uid), row.uid);
    EXPECT_EQ(std::string(r.doc_id), row.doc);
  }
}

TEST(LmxRoute, PathIsCutAt511BytesBeforeItIsSplit) {
  /* "/indexes/" is 9 bytes; padding with slashes puts "search" across the
   * 511-byte cut in the first row and wholly inside it in the second. */
  std::string head = "/indexes/movies";
  std::string cut_inside = head + std::string(511 - head.size() - 3, '/') +
                           "search"; /* "sea" survives */
  std::string fits = head + std::string(511 - head.size() - 6, '/') +
                     "search"; /* exactly 511 bytes */
  ASSERT_EQ(fits.size(), 511u);

  lmx_route r = parse(cut_inside.c_str());
  EXPECT_EQ(r.kind, LMX_ROUTE_UNKNOWN);
  EXPECT_STREQ(r.index_uid, "movies");

  r = parse(fits.c_str());
  EXPECT_EQ(r.kind, LMX_ROUTE_SEARCH);
  EXPECT_STREQ(r.index_uid, "movies");

  r = parse((fits + "?q=1").c_str());
  EXPECT_EQ(r.kind, LMX_ROUTE_SEARCH);
}

/* The one splitter: runs of '/' separate, nothing else does ('?' and '\\'
 * are bytes), every segment is counted even past max, and only max are
 * stored, uncut. */
TEST(LmxRoute, SplitPathCountsEverySegmentAndKeepsTheFirstUncut) {
  struct Row {
    const char *path; /* nullptr: a null path */
    size_t max, want_count;
    std::vector<std::string> want_kept;
  } rows[] = {
      {nullptr, 4, 0, {}},
      {"", 4, 0, {}},
      {"///", 4, 0, {}},
      {"/indexes", 4, 1, {"indexes"}},
      {"indexes//a///search/", 4, 3, {"indexes", "a", "search"}},
      {"/a/b/c/d/e/f", 4, 6, {"a", "b", "c", "d"}},
      {"/a/b/c", 0, 3, {}},
      {"/a?b/c\\d", 4, 2, {"a?b", "c\\d"}},
  };
  const std::string long_seg(300, 'x');
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path ? row.path : "(null)");
    lmx_segment seg[4] = {};
    EXPECT_EQ(lmx_split_path(row.path, seg, row.max), row.want_count);
    for (size_t i = 0; i < row.want_kept.size(); ++i)
      EXPECT_EQ(std::string(seg[i].start, seg[i].len), row.want_kept[i]);
  }
  lmx_segment one[1] = {};
  std::string path = "/indexes/" + long_seg;
  EXPECT_EQ(lmx_split_path(path.c_str(), one, 1), 2u);
  EXPECT_EQ(std::string(one[0].start, one[0].len), "indexes");
  lmx_segment two[2] = {};
  EXPECT_EQ(lmx_split_path(path.c_str(), two, 2), 2u);
  EXPECT_EQ(two[1].len, 300u); /* the splitter never cuts; the parser does */
}

}  // namespace

/* api_router's parser: the specified routes unchanged, plus settings. */
TEST(LmxRoute, RouterParserAddsTheSettingsRouteOnly) {
  const RouteRow rows[] = {
      {"/indexes/movies/settings", LMX_ROUTE_SETTINGS, "movies", ""},
      {"//indexes//movies//settings//", LMX_ROUTE_SETTINGS, "movies", ""},
      {"/indexes/movies/settings?x=1", LMX_ROUTE_SETTINGS, "movies", ""},
      {"/indexes/movies/settings/x", LMX_ROUTE_SETTINGS, "movies", ""},
      {"/indexes/movies/Settings", LMX_ROUTE_UNKNOWN, "movies", ""},
      {"/indexes/movies/settingsx", LMX_ROUTE_UNKNOWN, "movies", ""},
      {"/indexes/movies/setting", LMX_ROUTE_UNKNOWN, "movies", ""},
      {"/indexes/mo?vies/settings", LMX_ROUTE_INDEX, "mo", ""},
      {"/other/movies/settings", LMX_ROUTE_UNKNOWN, "", ""},
      {"/settings", LMX_ROUTE_UNKNOWN, "", ""},
      {"/indexes/movies/search", LMX_ROUTE_SEARCH, "movies", ""},
      {"/indexes/movies/documents/42", LMX_ROUTE_DOCUMENT, "movies", "42"},
      {"/status", LMX_ROUTE_STATUS, "", ""},
      {nullptr, LMX_ROUTE_ROOT, "", ""},
  };
  lmx_parse_router_route("/indexes/movies/settings", nullptr);
  for (const RouteRow &row : rows) {
    SCOPED_TRACE(row.path ? row.path : "<null>");
    lmx_route r;
    memset(&r, 'x', sizeof r);
    lmx_parse_router_route(row.path, &r);
    EXPECT_EQ(r.kind, row.kind);
    EXPECT_STREQ(r.index_uid, row.index_uid);
    EXPECT_STREQ(r.doc_id, row.doc_id);
    /* The specified parser never gives the settings route. */
    lmx_route plain;
    lmx_parse_route(row.path, &plain);
    if (row.kind == LMX_ROUTE_SETTINGS) {
      EXPECT_EQ(plain.kind, LMX_ROUTE_UNKNOWN);
    }
  }
}
