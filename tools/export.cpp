/*
 * export.cpp: `lumidex export INDEX [FILE] [--filter EXPR]`: writes every
 * document of an index, or those matching the filter (on the index's
 * filterable attributes), as NDJSON (one compact object per line) in
 * insertion order.
 *
 * The index is walked with the engine's keyset pages: each page is asked for
 * "after the last position seen", so every page costs the same however deep
 * into the index it is (no offset scans). Pages are parsed with
 * YYJSON_READ_NUMBER_AS_RAW and each document written back compact with
 * yyjson, the writer the engine stores documents with, so the exported line
 * is the stored text byte for byte and an import of the file reproduces it.
 *
 * A FILE is written under a temporary name in its directory and renamed into
 * place only when every document is out, so a failed export never leaves a
 * truncated file that looks complete. Devices and pipes named as FILE are
 * written directly.
 */
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "lumidex_documents.h"
#include "progress.h"
#include "tool.h"

namespace lmxtool {
namespace {

constexpr int kPageSize = 1000;

/* The export's destination: standard output, a temporary file renamed into
 * place at the end, or a device or pipe written directly. */
class Output {
 public:
  ~Output() {
    if (fp_ && fp_ != stdout) fclose(fp_);
    if (!temp_.empty()) unlink(temp_.c_str());
  }

  bool open(const std::string &file) {
    if (file.empty() || file == "-") {
      fp_ = stdout;
      return true;
    }
    final_ = file;
    struct stat st;
    bool direct = stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    if (!direct) temp_ = file + ".lumidex-tmp-" + std::to_string(getpid());
    fp_ = fopen(direct ? file.c_str() : temp_.c_str(), "wb");
    if (!fp_) {
      temp_.clear();
      fail("cannot write `%s`: %s", file.c_str(), strerror(errno));
      return false;
    }
    return true;
  }

  FILE *fp() const { return fp_; }

  /* Flushes, closes and renames; false (with a message) on any write
   * failure seen along the way. */
  bool close() {
    bool ok = fflush(fp_) == 0 && !ferror(fp_);
    int saved = errno;
    if (fp_ != stdout) {
      ok = fclose(fp_) == 0 && ok;
      if (!ok) saved = errno;
    }
    fp_ = nullptr;
    if (!ok) {
      fail("cannot write `%s`: %s", name(), strerror(saved));
      return false;
    }
    if (!temp_.empty()) {
      if (rename(temp_.c_str(), final_.c_str()) != 0) {
        fail("cannot write `%s`: %s", name(), strerror(errno));
        return false;
      }
      temp_.clear();
    }
    return true;
  }

  const char *name() const {
    return final_.empty() ? "standard output" : final_.c_str();
  }

 private:
  FILE *fp_ = nullptr;
  std::string final_;
  std::string temp_;
};

/* The page's "next" position (a raw number under NUMBER_AS_RAW). */
unsigned long long page_next(yyjson_val *root) {
  yyjson_val *next = yyjson_obj_get(root, "next");
  if (yyjson_is_raw(next)) return strtoull(yyjson_get_raw(next), nullptr, 10);
  if (yyjson_is_uint(next)) return yyjson_get_uint(next);
  return 0;
}

/* text as a JSON string ("" for ""), for the engine's filter. */
std::string json_string(const std::string &text) {
  if (text.empty()) return "";
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *val = yyjson_mut_strncpy(doc, text.data(), text.size());
  yyjson_mut_doc_set_root(doc, val);
  char *json =
      val ? yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr)
          : nullptr;
  std::string out = json ? json : "\"\"";
  free(json);
  yyjson_mut_doc_free(doc);
  return out;
}

class Exporter {
 public:
  Exporter(const GlobalOptions &g, const std::string &index,
           const std::string &filter)
      : g_(g),
        index_(index),
        filter_(json_string(filter)),
        alc_(yyjson_alc_dyn_new()) {}
  ~Exporter() {
    if (alc_) yyjson_alc_dyn_free(alc_);
  }

  int run(const std::string &file) {
    if (!alc_) return fail("out of memory");
    std::string key;
    if (!index_primary_key(index_, &key))
      return fail("index `%s` not found", index_.c_str());
    Output out;
    if (!out.open(file)) return kExitFailure;
    bool tty = isatty(STDERR_FILENO) != 0;
    /* A filter's matches are not counted ahead: the line shows no share. */
    Progress progress("exporting",
                      filter_.empty() ? index_document_count(index_) : 0,
                      tty && !g_.quiet);
    int rc = write_pages(out.fp(), progress);
    progress.finish();
    if (rc != kExitOk) return rc;
    if (!out.close()) return kExitFailure;
    if (!g_.quiet) summary(out.name(), progress.elapsed());
    return kExitOk;
  }

 private:
  int write_pages(FILE *fp, Progress &progress) {
    unsigned long long after = 0;
    for (;;) {
      const char *page =
          filter_.empty()
              ? lumidex_documents_page_json(index_.c_str(), after, kPageSize)
              : lumidex_documents_export_page_json(index_.c_str(), after,
                                                   kPageSize, filter_.c_str());
      if (!page)
        return fail("cannot read index `%s`: %s", index_.c_str(),
                    engine_error("the engine gave no page"));
      unsigned long long next = 0;
      int rc = write_page(fp, page, &next);
      if (rc != kExitOk) return rc;
      progress.update(written_, written_);
      if (next == 0) return kExitOk;
      if (next <= after)
        return fail(
            "index `%s`: the engine's page position did not advance "
            "(%llu after %llu)",
            index_.c_str(), next, after);
      after = next;
    }
  }

  int write_page(FILE *fp, const char *page, unsigned long long *next) {
    yyjson_read_err err;
    yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(page), strlen(page),
                                       YYJSON_READ_NUMBER_AS_RAW, alc_, &err);
    if (!doc)
      return fail("index `%s`: the engine's page does not parse: %s",
                  index_.c_str(), err.msg);
    yyjson_val *root = yyjson_doc_get_root(doc);
    yyjson_val *docs = yyjson_obj_get(root, "documents");
    int rc = yyjson_is_arr(docs) ? kExitOk : kExitFailure;
    if (rc != kExitOk)
      fail("index `%s`: the engine's page has no document list",
           index_.c_str());
    yyjson_val *v;
    yyjson_arr_iter it = yyjson_arr_iter_with(docs);
    while (rc == kExitOk && (v = yyjson_arr_iter_next(&it)))
      rc = write_document(fp, v);
    *next = page_next(root);
    yyjson_doc_free(doc);
    return rc;
  }

  int write_document(FILE *fp, yyjson_val *v) {
    size_t len = 0;
    yyjson_write_err err;
    char *text =
        yyjson_val_write_opts(v, YYJSON_WRITE_NOFLAG, alc_, &len, &err);
    if (!text) return fail("cannot write a document: %s", err.msg);
    text[len] = '\n'; /* the writer leaves room for its NUL; reuse it */
    bool ok = fwrite(text, 1, len + 1, fp) == len + 1;
    alc_->free(alc_->ctx, text);
    if (!ok) return fail("cannot write the export: %s", strerror(errno));
    written_++;
    return kExitOk;
  }

  void summary(const char *where, double secs) {
    double rate = secs > 0 ? static_cast<double>(written_) / secs : 0;
    fprintf(stderr,
            "lumidex: exported %llu documents from `%s` to %s in "
            "%.1f s (%.0f docs/s)\n",
            static_cast<unsigned long long>(written_), index_.c_str(), where,
            secs, rate);
  }

  const GlobalOptions &g_;
  const std::string &index_;
  const std::string filter_; /* the JSON string of the expression, or "" */
  yyjson_alc *alc_;
  uint64_t written_ = 0;
};

}  // namespace

int run_export(const GlobalOptions &g, const std::string &index,
               const std::string &file, const std::string &filter) {
  if (!open_engine(g, false)) return kExitFailure;
  int rc = Exporter(g, index, filter).run(file);
  close_engine();
  return rc;
}

}  // namespace lmxtool
