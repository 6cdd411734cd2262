/*
 * tool.h: the commands of the `lumidex` tool and what they share.
 *
 * The tool works on a storage directory directly through the engine library
 * (lumidex_core.h plus the paging, keyed-add, settings and backup functions
 * of lumidex_admin.h and the bulk operations of lumidex_documents.h).
 * lumidex_main.cpp parses the command line and calls exactly one run_*
 * function below; each opens the engine, does its work, closes the engine and
 * returns the process exit code. Failures are told on standard error as one
 * line beginning "lumidex: "; results go to standard output.
 *
 * Exit codes: 0 success, 1 failure (a missing index, a bad record, an engine
 * refusal, an unreadable file), 2 usage error (the command line itself is
 * wrong).
 */
#ifndef LMX_TOOL_H
#define LMX_TOOL_H

#include <cstdint>
#include <string>
#include <vector>

namespace lmxtool {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

/* Options every command takes. */
struct GlobalOptions {
  std::string storage_dir; /* "" = the CGI programs' resolution */
  bool quiet = false;      /* no progress line, no summary line */
};

/* Prints "lumidex: " + the formatted text + a line feed on standard error
 * and returns kExitFailure, so that callers can write `return fail(...)`. */
int fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* Prints "lumidex: " + the formatted text + a line feed on standard error
 * and returns kExitUsage. */
int usage_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* The engine's latest error text, or fallback when it has none. */
const char *engine_error(const char *fallback);

/* Opens the engine on the storage directory of g (resolved as the CGI
 * programs do when g.storage_dir is empty). create: make the directory and
 * its missing parents first (import does; reading commands must not invent
 * an empty storage directory). Returns true when open; otherwise it has
 * printed why. Pair every true result with close_engine(). */
bool open_engine(const GlobalOptions &g, bool create);

/* Closes the engine opened by open_engine. */
void close_engine();

/* Primary key of index from the engine's statistics: true and *key set when
 * the index exists, false when it does not. */
bool index_primary_key(const std::string &index, std::string *key);

/* Document count of an existing index (0 when unknown or missing). */
uint64_t index_document_count(const std::string &index);

/* Compacts index with lumidex_index_compact_json (the engine open) and
 * says so on standard error unless g.quiet: "compacted `NAME` (N
 * documents)", or that the host left it as it was. Returns kExitOk, or
 * kExitFailure after printing why. */
int compact_index(const GlobalOptions &g, const std::string &index);

/* Writes the JSON text (not null) and a line feed to standard output:
 * unchanged (one compact line) when standard output is a file or a pipe, so
 * scripts get exactly the engine's text, re-indented for a person at a
 * terminal (numbers read as raw text, so never rounded). Returns kExitOk,
 * or kExitFailure after saying why when standard output cannot be
 * written. */
int print_json(const char *text);

/* Reads the settings file path ("-" = standard input) whole into *text.
 * Returns false after printing why when it cannot be read. */
bool read_settings_file(const std::string &path, std::string *text);

/* Applies the settings patch text (a JSON object of some members) to index
 * on the open engine. While the documents are rewritten, a progress line
 * is drawn on standard error when it is a terminal (and g.quiet is not
 * set), and the rewrite's time is told afterwards. Returns the whole
 * settings object after the change (the engine's text, valid until its
 * next call), or null after printing why the engine refused it. */
const char *apply_settings(const GlobalOptions &g, const std::string &index,
                           const std::string &text);

/* ---- Commands ---------------------------------------------------------- */

struct ImportOptions {
  std::string index;
  std::vector<std::string> files; /* "-" = standard input */
  std::string primary_key = "id";
  bool primary_key_given = false; /* --primary-key was on the command line */
  int batch = 5000;               /* documents per engine call, >= 1 */
  std::string format;             /* "" = from each file's name */
  std::string settings_file;      /* "" = none; applied before batch one */
  bool compact = true; /* compact after an import that wrote most of it */
};

/* lumidex import: adds the records of every file in batches of
 * opts.batch documents, one engine transaction each. */
int run_import(const GlobalOptions &g, const ImportOptions &opts);

/* lumidex export: every document of index as NDJSON in insertion order to
 * file ("" or "-" = standard output); with a filter expression (not ""),
 * only the documents it matches (on the index's filterable attributes). */
int run_export(const GlobalOptions &g, const std::string &index,
               const std::string &file, const std::string &filter);

/* lumidex delete: deletes, in one transaction, the documents of index
 * named in ids_file (one id per line, "-" = standard input) or matching
 * the filter expression filter; exactly one of the two is not "" (else a
 * usage error). */
int run_delete(const GlobalOptions &g, const std::string &index,
               const std::string &ids_file, const std::string &filter);

/* lumidex indexes / stats / search / delete-index: print the engine's JSON
 * (pretty when standard output is a terminal, unchanged otherwise). */
int run_indexes(const GlobalOptions &g);
int run_stats(const GlobalOptions &g, const std::string &index);
int run_search(const GlobalOptions &g, const std::string &index,
               const std::string &query, int limit, int offset);
int run_delete_index(const GlobalOptions &g, const std::string &index);

/* lumidex compact: opens the engine and compacts index (compact_index). */
int run_compact(const GlobalOptions &g, const std::string &index);

/* lumidex settings: prints the settings of index, or, with set_file ("-" =
 * standard input), applies that JSON object as a change first and prints
 * the settings after it. */
int run_settings(const GlobalOptions &g, const std::string &index,
                 const std::string &set_file);

/* lumidex reindex: rewrites every document of index under its settings
 * (lumidex_index_reindex_json), with the progress line of a settings
 * change, and says how many documents and how long on standard error. */
int run_reindex(const GlobalOptions &g, const std::string &index);

/* lumidex backup: copies index ("" = every index) into dest/NAME, one
 * committed revision each with its manifest; dest is created (mode 0700)
 * when missing. */
int run_backup(const GlobalOptions &g, const std::string &dest,
               const std::string &index);

/* lumidex restore: puts back the backup dest/INDEX ("" = every backup in
 * dest). force: replace existing indexes; otherwise refuse, restoring
 * nothing, when any of them exists. */
int run_restore(const GlobalOptions &g, const std::string &dest,
                const std::string &index, bool force);

}  // namespace lmxtool

#endif /* LMX_TOOL_H */
