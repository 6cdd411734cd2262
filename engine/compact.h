/*
 * compact.h: rewriting a live index into the fewest blocks.
 *
 * An index written batch after batch leaves its blocks partly filled: each
 * commit appends to the posting lists of most of its words, splitting the
 * blocks they end in, and a search reads every block its words' postings
 * span. Xapian's compaction copies the committed revision with every block
 * filled. Doing that to a live index takes three promises, kept here:
 *
 *  - no write is lost: the copy is made under the index's write lock, so no
 *    transaction is in flight, and the copy takes the original's place
 *    before the lock is released. A writer that was waiting for the lock
 *    meanwhile holds the old directory's lock once it gets it; the catalog's
 *    writer notices the index is another directory by then and opens the
 *    new one (catalog.h);
 *  - readers see the old index or the new one, never neither: the two
 *    directories are exchanged in one step (RENAME_EXCHANGE). Where the host
 *    cannot do that (Windows), the index is left as it is;
 *  - a kill at any point leaves the index whole: before the exchange the copy
 *    is a work area, swept later like any other; after it, the old index is.
 *
 * Document ids are kept (DBCOMPACT_NO_RENUMBER): insertion order, exports'
 * positions and ties between equal weights stay as they were.
 */
#ifndef LMX_ENGINE_COMPACT_H
#define LMX_ENGINE_COMPACT_H

#include <xapian.h>

#include <string>

#include "catalog.h"

namespace lmx {

/* What a compaction did. */
struct CompactOutcome {
  /* False when the host cannot exchange two directories in one step: the
   * index was left as it is (and no copy kept). */
  bool compacted = false;
  /* The documents of the index (the copy holds the same). */
  Xapian::doccount documents = 0;
};

/* Compacts index name of catalog in place (see above). Waits for the write
 * lock as any writer does. Throws lmx::Error "Index `NAME` not found." when
 * there is none, and lmx::Error or Xapian::Error when the copy or the
 * exchange fails (the index is then as it was). */
CompactOutcome compact_index(Catalog &catalog, const std::string &name);

}  // namespace lmx

#endif /* LMX_ENGINE_COMPACT_H */
