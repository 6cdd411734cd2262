/*
 * floor_xapian.cpp: the plain Xapian floor, the search a user would write
 * with Xapian alone on the same index, run as a whole process.
 *
 *   bench_floor_xapian [--or] DB_DIR QUERY [LIMIT]
 *
 * DB_DIR is the index's Xapian database (STORAGE/NAME). The query's words
 * are normalised as the engine indexes them (text.cpp compiled in: case
 * folded, accents removed), so they meet the same terms; they are joined
 * with AND (with --or, OR: the floor of a search that ranks documents
 * holding only some of the words, as a question's does), the last one
 * expanded to every term it begins (unless the query ends with a space),
 * and matched with Xapian's default BM25. No
 * typos, phrases, exclusions, field weights, bonuses or prior; an empty
 * query matches every document. It prints
 * {"total_hits":N,"hits":[DOC,...]} with the first LIMIT (default 20)
 * stored documents spliced in as they are.
 *
 * What the engine adds to this, in features and in time, is the distance
 * between api_search and this floor; bench/run reports it per query class.
 */
#include <xapian.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "text.h"

namespace {

/* Match counts are exact below this many matches, as in the search. */
constexpr Xapian::doccount kExactCountBelow = 100;

Xapian::Query plain_query(const std::string &text, Xapian::Query::op op) {
  std::vector<lmx::Token> tokens;
  lmx::tokenize(text, tokens);
  if (tokens.empty()) return Xapian::Query::MatchAll;
  bool complete_last = text.back() != ' ';
  std::vector<Xapian::Query> parts;
  for (size_t k = 0; k < tokens.size(); ++k) {
    if (k + 1 == tokens.size() && complete_last) {
      parts.emplace_back(Xapian::Query::OP_WILDCARD, tokens[k].term);
    } else {
      parts.emplace_back(tokens[k].term);
    }
  }
  return Xapian::Query(op, parts.begin(), parts.end());
}

}  // namespace

int main(int argc, char **argv) {
  Xapian::Query::op op = Xapian::Query::OP_AND;
  if (argc > 1 && std::strcmp(argv[1], "--or") == 0) {
    op = Xapian::Query::OP_OR;
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: bench_floor_xapian [--or] DB_DIR QUERY [LIMIT]\n");
    return 2;
  }
  Xapian::doccount limit =
      argc > 3 ? static_cast<Xapian::doccount>(std::atoi(argv[3])) : 20;
  try {
    Xapian::Database db(argv[1]);
    Xapian::Enquire enquire(db);
    enquire.set_query(plain_query(argv[2], op));
    Xapian::MSet mset = enquire.get_mset(0, limit, kExactCountBelow);
    std::string out =
        "{\"total_hits\":" + std::to_string(mset.get_matches_estimated()) +
        ",\"hits\":[";
    for (Xapian::doccount k = 0; k < mset.size(); ++k) {
      if (k) out += ',';
      out += mset[k].get_document().get_data();
    }
    out += "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  } catch (const Xapian::Error &e) {
    std::fprintf(stderr, "bench_floor_xapian: %s\n",
                 e.get_description().c_str());
    return 1;
  }
  return 0;
}
