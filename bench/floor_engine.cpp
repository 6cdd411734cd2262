/*
 * floor_engine.cpp: the engine floor, a minimal program that opens one index
 * and runs the same Xapian query a search runs, with nothing around it.
 *
 *   bench_floor_engine DB_DIR QUERY [LIMIT]
 *
 * DB_DIR is the index's Xapian database (STORAGE/NAME). The query is built
 * by the engine's own query builder (query.cpp, typo.cpp, text.cpp and
 * prior.cpp are compiled in), so the floor pays for the same prefix
 * completions, typo candidates, heading and joined-word terms as the search
 * does; then one Enquire runs it with the search's settings (BM25, or no
 * weighting and docid order when nothing ranks, ties by docid, counts exact
 * below 100), and a ranked answer is put in the prior's final order over
 * the same window of matches.
 *
 * It prints {"total_hits":N,"hits":[DOC,...]} with the stored documents
 * spliced in as they are, so the benchmark can check that the search
 * program found the same documents in the same order. It writes no CGI
 * header, parses no request, opens no catalog and builds neither the answer
 * object nor highlighting: what the search program spends on those shows as
 * its distance to this floor.
 */
#include <xapian.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "prior.h"
#include "query.h"

namespace {

/* Match counts are exact below this many matches, estimated above, as in
 * the search answer. */
constexpr Xapian::doccount kExactCountBelow = 100;

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_floor_engine DB_DIR QUERY [LIMIT]\n");
    return 2;
  }
  Xapian::doccount limit =
      argc > 3 ? static_cast<Xapian::doccount>(std::atoi(argv[3])) : 20;
  try {
    Xapian::Database db(argv[1]);
    lmx::BuiltQuery built = lmx::build_query(db, argv[2]);
    Xapian::Enquire enquire(db);
    enquire.set_query(built.query);
    if (built.unranked) enquire.set_weighting_scheme(Xapian::BoolWeight());
    enquire.set_docid_order(Xapian::Enquire::ASCENDING);
    Xapian::MSet mset = enquire.get_mset(
        0, built.unranked ? limit : std::max(limit, lmx::kPriorWindow),
        kExactCountBelow);
    std::vector<Xapian::doccount> order;
    if (built.unranked) {
      for (Xapian::doccount k = 0; k < mset.size(); ++k) order.push_back(k);
    } else {
      order = lmx::ranked_order(db, mset);
    }
    if (order.size() > limit) order.resize(limit);
    std::string out = "{\"total_hits\":" +
                      std::to_string(mset.get_matches_estimated()) +
                      ",\"hits\":[";
    for (size_t k = 0; k < order.size(); ++k) {
      if (k) out += ',';
      out += mset[order[k]].get_document().get_data();
    }
    out += "]}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  } catch (const Xapian::Error &e) {
    std::fprintf(stderr, "bench_floor_engine: %s\n",
                 e.get_description().c_str());
    return 1;
  }
  return 0;
}
