/*
 * floor_import.cpp: the import floor, a minimal indexer that feeds NDJSON
 * documents straight to Xapian in one transaction.
 *
 *   bench_floor_import NDJSON_FILE DB_DIR [DOCS_PER_TRANSACTION]
 *
 * DB_DIR is created (or overwritten) as a Xapian database holding what the
 * engine writes for the same documents: the document as compact JSON
 * (numbers kept as sent), the unique term "Q" + id, and every string and
 * number value, nested ones included, in document order, split and
 * normalised by the engine's own text.cpp (linked in), with positions, a
 * gap of 100 positions after each value that holds words, and a
 * within-document frequency of 3 for the first field after the id, 2 for
 * the second and 1 for the others; besides, without positions, heading
 * terms "H" + each of the first 12 words of the first line of a value of
 * the first field after the id or of a value of several lines (counted
 * more often for a heading of up to 6 words), "E" + the word of a
 * one-word value of that first field, and "N" + every word of that field;
 * the first such one-word value also goes into the name value slot. The
 * layout's constants come from the engine's search.h. It checks nothing a
 * real import must check (primary key rules, duplicates within a batch),
 * which is what makes it a floor.
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

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "search.h"
#include "text.h"

namespace {

constexpr unsigned kValueGap = lmx::kValuePositionGap;
constexpr size_t kHeadingWords = lmx::kHeadingWords;
constexpr size_t kShortHeading = lmx::kShortHeading;

/* Within-document frequency added per word: 3 for the first field after
 * the id, 2 for the second, 1 for the rest and for the id itself. */
unsigned field_wdf(size_t rank) { return rank == 0 ? 3 : rank == 1 ? 2 : 1; }

struct Indexer {
  Xapian::Document *doc = nullptr;
  Xapian::termpos pos = 1;
  std::vector<lmx::Token> tokens;
  /* Whether the values being walked are those of the first field. */
  bool name_field = false;
  /* Whether the document has its one-word name in the name slot. */
  bool has_name = false;

  void add_text(const char *s, size_t len, unsigned wdf) {
    std::string_view text(s, len);
    tokens.clear();
    lmx::tokenize(text, tokens);
    if (tokens.empty()) return;
    for (const lmx::Token &t : tokens) doc->add_posting(t.term, pos++, wdf);
    pos += kValueGap;
    size_t line_end = text.find('\n');
    if (!name_field && line_end == std::string_view::npos) return;
    size_t count = 0;
    while (count < tokens.size() && count < kHeadingWords &&
           tokens[count].begin <= line_end)
      ++count;
    // Words of a short heading count ceil(kShortHeading / words) times.
    unsigned heading_wdf =
        count ? wdf * static_cast<unsigned>((kShortHeading + count - 1) / count)
              : 0;
    for (size_t k = 0; k < count; ++k)
      doc->add_term(lmx::kHeadingPrefix + tokens[k].term, heading_wdf);
    if (name_field && tokens.size() == 1) {
      doc->add_term(lmx::kWholeValuePrefix + tokens[0].term, wdf);
      if (!has_name) doc->add_value(lmx::kNameSlot, tokens[0].term);
      has_name = true;
    }
    if (name_field)
      for (const lmx::Token &t : tokens)
        doc->add_boolean_term(lmx::kNameWordPrefix + t.term);
  }

  void walk(yyjson_val *v, unsigned wdf) {
    if (yyjson_is_str(v)) {
      add_text(yyjson_get_str(v), yyjson_get_len(v), wdf);
    } else if (yyjson_is_raw(v)) {
      add_text(yyjson_get_raw(v), yyjson_get_len(v), wdf);
    } else if (yyjson_is_arr(v)) {
      size_t i, n;
      yyjson_val *item;
      yyjson_arr_foreach(v, i, n, item) walk(item, wdf);
    } else if (yyjson_is_obj(v)) {
      size_t i, n;
      yyjson_val *key, *val;
      yyjson_obj_foreach(v, i, n, key, val) walk(val, wdf);
    }
  }
};

bool index_line(Xapian::WritableDatabase &db, const std::string &line,
                Indexer &ix) {
  yyjson_doc *jd = yyjson_read_opts(const_cast<char *>(line.data()), line.size(),
                                    YYJSON_READ_NUMBER_AS_RAW, nullptr, nullptr);
  yyjson_val *root = yyjson_doc_get_root(jd);
  yyjson_val *id = yyjson_obj_get(root, "id");
  if (!yyjson_is_obj(root) || !(yyjson_is_str(id) || yyjson_is_raw(id))) {
    yyjson_doc_free(jd);
    return false;
  }
  std::string key = yyjson_is_str(id) ? yyjson_get_str(id) : yyjson_get_raw(id);
  Xapian::Document doc;
  ix.doc = &doc;
  ix.pos = 1;
  ix.has_name = false;
  size_t i, n, rank = 0;
  yyjson_val *k, *v;
  yyjson_obj_foreach(root, i, n, k, v) {
    ix.name_field = v != id && rank == 0;
    ix.walk(v, v == id ? 1 : field_wdf(rank));
    if (v != id) ++rank;
  }
  size_t data_len = 0;
  char *data = yyjson_val_write(root, 0, &data_len);
  doc.set_data(std::string(data, data_len));
  free(data);
  yyjson_doc_free(jd);
  std::string unique = lmx::kIdPrefix + key;
  doc.add_boolean_term(unique);
  db.replace_document(unique, doc);
  return true;
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
    Indexer ix;
    std::string line;
    while (std::getline(in, line)) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      if (!index_line(db, line, ix)) {
        std::fprintf(stderr, "bench_floor_import: line %zu is not a document\n",
                     count + 1);
        return 1;
      }
      ++count;
      if (per_transaction > 0 && count % per_transaction == 0) {
        db.commit_transaction();
        db.begin_transaction();
      }
    }
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
