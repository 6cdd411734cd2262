/*
 * compact.cpp: compacting a live index in place (compact.h). The catalog
 * owns the directories (work areas, the exchange, the writer's check of
 * which directory it locked); this file orders the steps.
 */
#include "compact.h"

#include "error.h"
#include "messages.h"

namespace lmx {

CompactOutcome compact_index(Catalog &catalog, const std::string &name) {
  Catalog::require_valid_name(name);
  /* Held until the copy is in place: no transaction can start meanwhile. */
  Xapian::WritableDatabase lock = catalog.writer(name);
  CompactOutcome out;
  out.documents = lock.get_doccount();
  std::string work = catalog.work_area(name);
  try {
    lock.compact(work, Xapian::DBCOMPACT_NO_RENUMBER);
    if (Xapian::Database(work).get_doccount() != out.documents)
      throw Error("The compacted copy of index " + msg::backticked(name) +
                  " does not hold the index's documents.");
  } catch (...) {
    Catalog::discard(work);
    throw;
  }
  out.compacted = catalog.swap_in(work, name);
  lock.close();
  return out;
}

}  // namespace lmx
