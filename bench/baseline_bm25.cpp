/*
 * baseline_bm25.cpp: the relevance baseline, plain Xapian BM25 with the
 * words of a question joined by OR, on its own index of the same NDJSON
 * corpus the engine imports.
 *
 *   bench_baseline_bm25 [--stem en|none] [--depth N] [--rounds N] NDJSON_FILE
 *                       DB_DIR < QUESTIONS
 *
 * DB_DIR is created (or overwritten) as a Xapian database of every line of
 * NDJSON_FILE: Xapian::TermGenerator indexes every string value of the
 * document (nested ones too, in document order, the id included) with
 * positions and no prefixes or field weights, and the id is the document's
 * data and its term "Q" + id (ids are taken as unique, as make-corpus
 * writes them: a repeated id is a second document). With --stem en the
 * generator adds English stems (Xapian::Stem("en"), STEM_SOME) and the query
 * parser uses the same stemmer and strategy; without it neither stems. A DB_DIR
 * that already holds the index of the same file (size and modification time)
 * built with the same stemming is reused, so repeated runs pay the build
 * once.
 *
 * Then it reads questions from standard input, one a line, and answers
 * each with Xapian::QueryParser (default operator OR, default flags, no
 * stopper) and an Enquire with BM25Weight's defaults, printing one JSON
 * line per question:
 *   {"q":"...","us":T,"total":N,"ids":["first", ...]}
 * with the first --depth ids (default 10), the estimated number of matches
 * and T, the median CPU time (user and system, of the answering thread)
 * in microseconds of --rounds runs (default 1) of parse, match and reading
 * the ids of the hits, measured as bench_inproc_search measures the
 * engine's. An empty
 * line gets an empty answer. Before the first answer it prints one line to
 * standard error: "documents=N build_seconds=S", or "documents=N reused"
 * when DB_DIR held the index already.
 *
 * Exit status 1 when the file cannot be read, a line is not a JSON object
 * with a string "id", or Xapian fails; 2 on a usage error.
 */
#include <sys/stat.h>
#include <xapian.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

/* The thread's CPU time in microseconds (the clock bench_inproc_search
 * times the engine with: the machine's other work does not count). */
double thread_cpu_us() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 +
         static_cast<double>(ts.tv_nsec) / 1e3;
}

constexpr double kReused = -1.0;
constexpr double kBadLine = -2.0;

struct Options {
  bool stem = false;
  unsigned depth = 10;
  unsigned rounds = 1;
  std::string corpus;
  std::string db;
};

/* Identifies the corpus file and stemming an index was built from, so a
 * second run can tell whether DB_DIR can be reused. */
std::string build_key(const Options &o) {
  struct stat st {};
  if (stat(o.corpus.c_str(), &st) != 0) return "";
  return std::to_string(static_cast<long long>(st.st_size)) + ":" +
         std::to_string(static_cast<long long>(st.st_mtime)) +
         (o.stem ? ":en" : ":none");
}

void index_value(Xapian::TermGenerator &gen, yyjson_val *v) {
  if (yyjson_is_str(v)) {
    gen.index_text(std::string(yyjson_get_str(v), yyjson_get_len(v)));
    gen.increase_termpos();
  } else if (yyjson_is_arr(v)) {
    size_t i, n;
    yyjson_val *item;
    yyjson_arr_foreach(v, i, n, item) index_value(gen, item);
  } else if (yyjson_is_obj(v)) {
    size_t i, n;
    yyjson_val *key, *val;
    yyjson_obj_foreach(v, i, n, key, val) index_value(gen, val);
  }
}

/* Adds one NDJSON line; false when it is not an object with a string id. */
bool add_line(Xapian::WritableDatabase &db, Xapian::TermGenerator &gen,
              std::string &line) {
  yyjson_doc *jd = yyjson_read(line.data(), line.size(), 0);
  yyjson_val *root = yyjson_doc_get_root(jd);
  yyjson_val *id = yyjson_obj_get(root, "id");
  if (!yyjson_is_obj(root) || !yyjson_is_str(id)) {
    yyjson_doc_free(jd);
    return false;
  }
  std::string key(yyjson_get_str(id), yyjson_get_len(id));
  Xapian::Document doc;
  gen.set_document(doc);
  index_value(gen, root);
  doc.set_data(key);
  doc.add_boolean_term("Q" + key);
  db.add_document(doc);
  yyjson_doc_free(jd);
  return true;
}

/* Builds DB_DIR from the corpus unless it holds this build already.
 * Returns the seconds spent, kReused, or kBadLine on a bad line. */
double build(const Options &o) {
  std::string key = build_key(o);
  if (key.empty())
    throw Xapian::DatabaseOpeningError("cannot stat " + o.corpus);
  try {
    Xapian::Database existing(o.db);
    if (existing.get_metadata("baseline.build") == key) return kReused;
  } catch (const Xapian::DatabaseOpeningError &) {
    // Not there yet, or not a database: built below.
  }
  std::ifstream in(o.corpus, std::ios::binary);
  if (!in) throw Xapian::DatabaseOpeningError("cannot read " + o.corpus);
  auto start = std::chrono::steady_clock::now();
  Xapian::WritableDatabase db(o.db, Xapian::DB_CREATE_OR_OVERWRITE);
  Xapian::TermGenerator gen;
  if (o.stem) {
    gen.set_stemmer(Xapian::Stem("en"));
    gen.set_stemming_strategy(Xapian::TermGenerator::STEM_SOME);
  } else {
    gen.set_stemming_strategy(Xapian::TermGenerator::STEM_NONE);
  }
  db.begin_transaction();
  std::string line;
  unsigned long lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    if (line.empty()) continue;
    if (!add_line(db, gen, line)) {
      std::fprintf(stderr,
                   "bench_baseline_bm25: line %lu: not an object "
                   "with a string \"id\"\n",
                   lineno);
      return kBadLine;
    }
  }
  db.set_metadata("baseline.build", key);
  db.commit_transaction();
  db.close();
  std::chrono::duration<double> spent =
      std::chrono::steady_clock::now() - start;
  return spent.count();
}

/* One question's answer: ids of the first hits and the estimated total. */
struct Answer {
  std::vector<std::string> ids;
  Xapian::doccount total = 0;
};

Answer answer(Xapian::Database &db, Xapian::QueryParser &qp,
              const std::string &question, unsigned depth) {
  Answer a;
  if (question.empty()) return a;
  Xapian::Query query = qp.parse_query(question);
  Xapian::Enquire enquire(db);
  enquire.set_query(query);
  enquire.set_weighting_scheme(Xapian::BM25Weight());
  Xapian::MSet mset = enquire.get_mset(0, depth);
  a.total = mset.get_matches_estimated();
  for (auto it = mset.begin(); it != mset.end(); ++it)
    a.ids.push_back(it.get_document().get_data());
  return a;
}

void print_answer(const std::string &question, const Answer &a, double us) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_strncpy(doc, root, "q", question.data(), question.size());
  yyjson_mut_obj_add_real(doc, root, "us", us);
  yyjson_mut_obj_add_uint(doc, root, "total", a.total);
  yyjson_mut_val *ids = yyjson_mut_obj_add_arr(doc, root, "ids");
  for (const std::string &id : a.ids)
    yyjson_mut_arr_add_strncpy(doc, ids, id.data(), id.size());
  size_t len = 0;
  char *text = yyjson_mut_write(doc, 0, &len);
  if (text) {
    std::fwrite(text, 1, len, stdout);
    std::fputc('\n', stdout);
    std::free(text);
  }
  yyjson_mut_doc_free(doc);
}

/* Answers every line of standard input; the median of the rounds' times. */
void answer_all(const Options &o) {
  Xapian::Database db(o.db);
  Xapian::QueryParser qp;
  qp.set_database(db);
  qp.set_default_op(Xapian::Query::OP_OR);
  if (o.stem) {
    qp.set_stemmer(Xapian::Stem("en"));
    qp.set_stemming_strategy(Xapian::QueryParser::STEM_SOME);
  } else {
    qp.set_stemming_strategy(Xapian::QueryParser::STEM_NONE);
  }
  std::string question;
  std::vector<double> times;
  while (std::getline(std::cin, question)) {
    if (!question.empty() && question.back() == '\r') question.pop_back();
    Answer a;
    times.clear();
    for (unsigned r = 0; r < o.rounds; ++r) {
      const double start = thread_cpu_us();
      a = answer(db, qp, question, o.depth);
      times.push_back(thread_cpu_us() - start);
    }
    std::sort(times.begin(), times.end());
    print_answer(question, a, times[times.size() / 2]);
    std::fflush(stdout);
  }
}

bool parse_count(const char *text, unsigned *out) {
  char *end = nullptr;
  unsigned long n = std::strtoul(text, &end, 10);
  if (!*text || *end || n == 0 || n > 100000) return false;
  *out = static_cast<unsigned>(n);
  return true;
}

bool parse_args(int argc, char **argv, Options *o) {
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--stem" && has_value) {
      std::string lang = argv[++i];
      if (lang == "en")
        o->stem = true;
      else if (lang != "none")
        return false;
    } else if (arg == "--depth" && has_value) {
      if (!parse_count(argv[++i], &o->depth)) return false;
    } else if (arg == "--rounds" && has_value) {
      if (!parse_count(argv[++i], &o->rounds)) return false;
    } else if (arg.rfind("--", 0) == 0) {
      return false;
    } else {
      rest.push_back(arg);
    }
  }
  if (rest.size() != 2) return false;
  o->corpus = rest[0];
  o->db = rest[1];
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse_args(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: bench_baseline_bm25 [--stem en|none] "
                 "[--depth N] [--rounds N] NDJSON_FILE DB_DIR "
                 "< QUESTIONS\n");
    return 2;
  }
  try {
    double seconds = build(o);
    if (seconds == kBadLine) return 1;
    Xapian::Database db(o.db);
    if (seconds == kReused)
      std::fprintf(stderr, "documents=%u reused\n", db.get_doccount());
    else
      std::fprintf(stderr, "documents=%u build_seconds=%.1f\n",
                   db.get_doccount(), seconds);
    answer_all(o);
  } catch (const Xapian::Error &e) {
    std::fprintf(stderr, "bench_baseline_bm25: %s\n",
                 e.get_description().c_str());
    return 1;
  }
  return 0;
}
