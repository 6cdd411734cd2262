/*
 * import.cpp: `lumidex import INDEX FILE...`: adds the records of JSON,
 * NDJSON and CSV files to an index in batches.
 *
 * A batch is one JSON array text (one compact object per line) handed to the
 * engine in one call, which the engine writes as one transaction: either the
 * whole batch is committed or none of it. The array form lets the engine
 * parse a batch in one pass. Batches may span files. The index
 * is created up front when it is missing (with --primary-key, default "id"),
 * so a bad name or key is refused before any file is read and an import of
 * empty files still leaves the index behind. Settings given with --settings
 * are applied right after, before the first batch: the documents are then
 * indexed by them as they arrive, with no rewrite afterwards. A settings
 * file read from standard input leaves nothing there for records, so the
 * two cannot both be "-".
 *
 * On the first bad record the import stops: the batch being gathered is
 * dropped (the committed count then only ever counts whole batches, whether
 * the tool or the engine found the fault), the message names the file and
 * the record number, and committed batches stay. The engine names a rejected
 * document by its 1-based position in the batch; every batch keeps the file
 * and record number of each of its documents to map that position back.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "progress.h"
#include "readers.h"
#include "tool.h"

namespace lmxtool {
namespace {

/* Where a record of the current batch came from. */
struct Origin {
  size_t file;
  uint64_t record;
};

const char *display_name(const std::string &path) {
  return path == "-" ? "standard input" : path.c_str();
}

class Importer {
 public:
  Importer(const GlobalOptions &g, const ImportOptions &o) : g_(g), o_(o) {}

  int run() {
    int rc = check_inputs();
    if (rc != kExitOk) return rc;
    if (!o_.settings_file.empty() &&
        !read_settings_file(o_.settings_file, &settings_))
      return kExitFailure;
    if (!open_engine(g_, true)) return kExitFailure;
    rc = prepare_index();
    /* Before the first batch, so every document is indexed by them once. */
    if (rc == kExitOk && !o_.settings_file.empty() &&
        !apply_settings(g_, o_.index, settings_))
      rc = kExitFailure;
    if (rc == kExitOk) rc = import_all();
    /* The documents are committed by then: a compaction that fails (no
     * room for the copy) is said, but the import did what was asked. */
    if (rc == kExitOk && wrote_most()) compact_index(g_, o_.index);
    close_engine();
    return rc;
  }

 private:
  /* Formats (a usage matter) of every input, then readability, before
   * anything is written. */
  int check_inputs() {
    for (const std::string &path : o_.files)
      if (path == "-" && o_.settings_file == "-")
        return usage_error(
            "--settings - and the records cannot both come from standard "
            "input");
    for (const std::string &path : o_.files) {
      InputFormat fmt;
      bool known = o_.format.empty() ? format_from_name(path, &fmt)
                                     : format_from_text(o_.format, &fmt);
      if (!known)
        return usage_error(
            "cannot tell the format of `%s` from its name; "
            "use --format json|ndjson|csv",
            path.c_str());
      formats_.push_back(fmt);
    }
    for (const std::string &path : o_.files) {
      struct stat st;
      int stat_rc =
          path == "-" ? fstat(STDIN_FILENO, &st) : stat(path.c_str(), &st);
      if (stat_rc != 0)
        return fail("cannot read `%s`: %s", path.c_str(), strerror(errno));
      if (path != "-" && access(path.c_str(), R_OK) != 0)
        return fail("cannot read `%s`: %s", path.c_str(), strerror(errno));
      if (S_ISREG(st.st_mode)) {
        sizes_.push_back(static_cast<uint64_t>(st.st_size));
        total_bytes_ += static_cast<uint64_t>(st.st_size);
      } else {
        sizes_.push_back(0);
        sizes_known_ = false;
      }
    }
    return kExitOk;
  }

  /* Settles the primary key: the existing index's, or --primary-key for an
   * index created now. An explicit key that differs from the existing one
   * is refused: the records would be keyed by another field than asked. */
  int prepare_index() {
    std::string existing;
    if (index_primary_key(o_.index, &existing)) {
      if (o_.primary_key_given && existing != o_.primary_key)
        return fail("index `%s` exists with primary key `%s`, not `%s`",
                    o_.index.c_str(), existing.c_str(), o_.primary_key.c_str());
      key_ = existing;
      return kExitOk;
    }
    key_ = o_.primary_key;
    if (lumidex_index_create(o_.index.c_str(), key_.c_str()) == 0)
      return kExitOk;
    std::string why = engine_error("the engine refused it");
    /* Another process may have created it meanwhile: that is fine. */
    if (index_primary_key(o_.index, &existing)) {
      key_ = existing;
      return kExitOk;
    }
    return fail("cannot create index `%s`: %s", o_.index.c_str(), why.c_str());
  }

  int import_all() {
    bool tty = isatty(STDERR_FILENO) != 0;
    Progress progress("importing", sizes_known_ ? total_bytes_ : 0,
                      tty && !g_.quiet);
    progress_ = &progress;
    body_.reserve(1 << 20);
    body_.assign("[");
    origins_.reserve(static_cast<size_t>(o_.batch));
    uint64_t bytes_before = 0;
    for (size_t i = 0; i < o_.files.size(); i++) {
      int rc = import_file(i, bytes_before);
      if (rc != kExitOk) {
        progress.finish();
        return rc;
      }
      bytes_before += sizes_[i];
    }
    int rc = send_batch();
    progress.finish();
    if (rc != kExitOk) return rc;
    if (!g_.quiet) summary(progress.elapsed());
    return kExitOk;
  }

  int import_file(size_t i, uint64_t bytes_before) {
    const std::string &path = o_.files[i];
    std::string why;
    std::unique_ptr<RecordReader> reader = open_reader(path, formats_[i], &why);
    if (!reader) return stop(display_name(path), 0, why.c_str());
    for (;;) {
      size_t mark = body_.size();
      if (!origins_.empty()) body_.append(",\n");
      ReadStatus st = reader->next(body_);
      if (st != ReadStatus::Record) body_.resize(mark);
      if (st == ReadStatus::End) return kExitOk;
      if (st == ReadStatus::Bad)
        return stop(display_name(path), reader->record_number(),
                    reader->error().c_str());
      origins_.push_back(Origin{i, reader->record_number()});
      if (origins_.size() >= static_cast<size_t>(o_.batch)) {
        int rc = send_batch();
        if (rc != kExitOk) return rc;
      }
      progress_->update(committed_ + origins_.size(),
                        bytes_before + reader->bytes_done());
    }
  }

  /* Hands the gathered batch to the engine: one call, one transaction. */
  int send_batch() {
    if (origins_.empty()) return kExitOk;
    body_.push_back(']');
    int n =
        lumidex_documents_add_pk(o_.index.c_str(), key_.c_str(), body_.c_str());
    if (n < 0) return batch_refused();
    committed_ += static_cast<uint64_t>(n);
    body_.assign("[");
    origins_.clear();
    return kExitOk;
  }

  /* The engine names the refused document by its 1-based position in the
   * batch, as a number (lumidex_last_error_position); its text is passed on
   * as it is, for people. */
  int batch_refused() {
    std::string why = engine_error("the engine refused the batch");
    unsigned long long pos = 0;
    if (lumidex_last_error_position(&pos, nullptr) && pos >= 1 &&
        pos <= origins_.size()) {
      const Origin &o = origins_[pos - 1];
      std::string refused = "refused by the engine (document " +
                            std::to_string(pos) + " of the batch): " + why;
      return stop(display_name(o_.files[o.file]), o.record, refused.c_str());
    }
    const Origin &first = origins_.front();
    const Origin &last = origins_.back();
    progress_->finish();
    return fail(
        "the batch from %s record %llu to %s record %llu was "
        "refused: %s; stopped, %llu documents committed before it",
        display_name(o_.files[first.file]),
        static_cast<unsigned long long>(first.record),
        display_name(o_.files[last.file]),
        static_cast<unsigned long long>(last.record), why.c_str(),
        static_cast<unsigned long long>(committed_));
  }

  /* The one-line message for a bad record (record 0: a fault of the file
   * itself, not of one record). */
  int stop(const char *file, uint64_t record, const char *why) {
    progress_->finish();
    unsigned long long done = committed_;
    if (record == 0)
      return fail("%s: %s; stopped, %llu documents committed before it", file,
                  why, done);
    return fail(
        "%s, record %llu: %s; stopped, %llu documents committed "
        "before it",
        file, static_cast<unsigned long long>(record), why, done);
  }

  /* Whether this import wrote enough of the index to compact it after:
   * a bulk load (at least kCompactAfter documents, and at least half of the
   * index's), unless --no-compact. Batch after batch, the index's blocks
   * are left partly filled; compacted, a search reads about half as many
   * (README, "Compaction"). A small import into a large index would pay a
   * copy of the whole index for little. */
  bool wrote_most() const {
    static constexpr uint64_t kCompactAfter = 1000;
    if (!o_.compact || committed_ < kCompactAfter) return false;
    return 2 * committed_ >= index_document_count(o_.index);
  }

  void summary(double secs) {
    double rate = secs > 0 ? static_cast<double>(committed_) / secs : 0;
    fprintf(stderr,
            "lumidex: imported %llu document%s into `%s` from %zu "
            "file%s in %.1f s (%.0f docs/s)\n",
            static_cast<unsigned long long>(committed_),
            committed_ == 1 ? "" : "s", o_.index.c_str(), o_.files.size(),
            o_.files.size() == 1 ? "" : "s", secs, rate);
  }

  const GlobalOptions &g_;
  const ImportOptions &o_;
  std::vector<InputFormat> formats_;
  std::vector<uint64_t> sizes_;
  uint64_t total_bytes_ = 0;
  bool sizes_known_ = true;
  std::string key_;
  std::string settings_;
  std::string body_;
  std::vector<Origin> origins_;
  uint64_t committed_ = 0;
  Progress *progress_ = nullptr;
};

}  // namespace

int run_import(const GlobalOptions &g, const ImportOptions &opts) {
  Importer importer(g, opts);
  return importer.run();
}

}  // namespace lmxtool
