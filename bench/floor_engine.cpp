/*
 * floor_engine.cpp: the engine floor, a minimal program that opens one index
 * and runs the same Xapian query a search runs, with nothing around it.
 *
 *   bench_floor_engine DB_DIR QUERY [LIMIT]
 *
 * DB_DIR is the index's Xapian database (STORAGE/NAME). Matching and
 * ordering are the engine's own find_matches (matches.cpp, with query.cpp,
 * typo.cpp, text.cpp and prior.cpp compiled in), the function the search
 * itself calls: the floor pays for the same prefix completions, typo
 * candidates, heading and joined-word terms, the same Enquire settings and
 * the prior's final order over the same window of matches.
 *
 * It prints {"total_hits":N,"hits":[DOC,...]} with the stored documents
 * spliced in as they are, so the benchmark can check that the search
 * program found the same documents in the same order. It writes no CGI
 * header, parses no request, opens no catalog and builds neither the answer
 * object nor highlighting: what the search program spends on those shows as
 * its distance to this floor.
 */
#include <xapian.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "layout.h"
#include "matches.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_floor_engine DB_DIR QUERY [LIMIT]\n");
    return 2;
  }
  Xapian::doccount limit =
      argc > 3 ? static_cast<Xapian::doccount>(std::atoi(argv[3])) : 20;
  try {
    Xapian::Database db(argv[1]);
    /* The index's default settings, and its layout as a search reads
     * it. */
    lmx::QuerySettings settings;
    const lmx::IndexLayout layout = lmx::index_layout(db);
    settings.pair_terms = layout.pair_terms;
    settings.normalised = layout.normalised;
    settings.stored_priors = layout.stored_priors;
    lmx::Matches m = lmx::find_matches(db, argv[2], 0, limit, settings);
    std::string out =
        "{\"total_hits\":" + std::to_string(m.total) + ",\"hits\":[";
    for (size_t k = 0; k < m.page.size(); ++k) {
      if (k) out += ',';
      out += m.page[k].get_document().get_data();
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
