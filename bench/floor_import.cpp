/*
 * floor_import.cpp: the import floor, a minimal indexer that feeds NDJSON
 * documents straight to Xapian in one transaction.
 *
 *   bench_floor_import NDJSON_FILE DB_DIR [DOCS_PER_TRANSACTION]
 *
 * DB_DIR is created (or overwritten) as a Xapian database holding what the
 * engine writes for the same documents: each document is built by the
 * engine's own indexer (engine/indexer.h, with text.cpp linked in), so the
 * floor writes the layout of engine/layout.h exactly as an import does and
 * cannot drift from it: word weights normalised against the mean length of
 * the first documents, measured in a first pass over them as an import
 * measures its first batch. It checks nothing a real import must check
 * (primary key rules, duplicates within a batch), which is what makes it a
 * floor.
 *
 * All documents go into one transaction unless DOCS_PER_TRANSACTION is
 * given, in which case every that many documents are committed as their own
 * transaction, as an import in batches does; the two show what the batch
 * size itself costs.
 *
 * Prints one line: documents=N seconds=S docs_per_s=R. Exit status 1 when
 * the file cannot be read, a line is not a JSON object with a string or
 * integer "id", or Xapian fails.
 */
#include <xapian.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "indexer.h"
#include "layout.h"

namespace {

/* Builds the document of line with ix into doc; false when line is not a
 * JSON object with a string or integer "id". */
bool build_line(const std::string &line, lmx::Indexer &ix,
                Xapian::Document &doc, std::string &key) {
  yyjson_doc *jd = yyjson_read_opts(const_cast<char *>(line.data()), line.size(),
                                    YYJSON_READ_NUMBER_AS_RAW, nullptr, nullptr);
  yyjson_val *root = yyjson_doc_get_root(jd);
  yyjson_val *id = yyjson_obj_get(root, "id");
  if (!yyjson_is_obj(root) || !(yyjson_is_str(id) || yyjson_is_raw(id))) {
    yyjson_doc_free(jd);
    return false;
  }
  key = yyjson_is_str(id) ? yyjson_get_str(id) : yyjson_get_raw(id);
  ix.build(root, "id", key, doc);
  yyjson_doc_free(jd);
  return true;
}

bool blank(const std::string &line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

/* The reference length an import of in writes with: the mean raw length
 * of its first kLengthSample documents, as the engine measures a first
 * batch (0 when they hold no words). Leaves in at its start. */
double reference_length(std::ifstream &in) {
  lmx::Indexer raw;
  Xapian::Document doc;
  std::string line, key;
  double sum = 0, count = 0;
  while (count < lmx::kLengthSample && std::getline(in, line)) {
    if (blank(line)) continue;
    doc = Xapian::Document();
    if (!build_line(line, raw, doc, key)) break;
    sum += raw.last_length();
    ++count;
  }
  in.clear();
  in.seekg(0);
  return count > 0 ? sum / count : 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr,
                 "usage: bench_floor_import NDJSON_FILE DB_DIR "
                 "[DOCS_PER_TRANSACTION]\n");
    return 2;
  }
  long per_transaction = argc == 4 ? std::atol(argv[3]) : 0;
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "bench_floor_import: cannot read %s\n", argv[1]);
    return 1;
  }
  auto t0 = std::chrono::steady_clock::now();
  size_t count = 0;
  try {
    Xapian::WritableDatabase db(argv[2], Xapian::DB_CREATE_OR_OVERWRITE);
    db.begin_transaction();
    const double reference = reference_length(in);
    lmx::Indexer ix(lmx::IndexSettings(), reference);
    double longest = 0;
    std::string line, key;
    while (std::getline(in, line)) {
      if (blank(line)) continue;
      Xapian::Document doc;
      if (!build_line(line, ix, doc, key)) {
        std::fprintf(stderr, "bench_floor_import: line %zu is not a document\n",
                     count + 1);
        return 1;
      }
      longest = std::max(longest, ix.last_length());
      db.replace_document(lmx::kIdPrefix + key, doc);
      ++count;
      if (per_transaction > 0 && count % per_transaction == 0) {
        db.commit_transaction();
        db.begin_transaction();
      }
    }
    /* No stored priors: the floor adds documents and nothing else. */
    if (reference > 0)
      lmx::mark_normalised(
          db,
          {reference, reference, std::min<double>(count, lmx::kLengthSample),
           longest},
          false);
    else
      lmx::mark_pair_terms(db);
    db.commit_transaction();
    db.close();
  } catch (const Xapian::Error &e) {
    std::fprintf(stderr, "bench_floor_import: %s\n", e.get_description().c_str());
    return 1;
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("documents=%zu seconds=%.3f docs_per_s=%.0f\n", count, s,
              s > 0 ? count / s : 0.0);
  return 0;
}
