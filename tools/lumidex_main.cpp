/*
 * lumidex_main.cpp: the `lumidex` command line: import, export, inspect,
 * configure, back up and restore the indexes of a storage directory through
 * the engine library.
 *
 * CLI11 parses the command line; every subcommand has --help, the program
 * has --version. Global options (--storage-dir, -q) may stand before or
 * after the subcommand. A command line CLI11 refuses is a usage error (exit
 * 2, one line on standard error); everything else is the chosen command's
 * outcome (tool.h). No exception leaves main: anything thrown past a command
 * becomes a one-line failure.
 */
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <new>

#include "tool.h"

#ifndef LMX_VERSION
#define LMX_VERSION "0.0.0"
#endif

namespace {

using namespace lmxtool;

struct CommandLine {
  GlobalOptions global;
  ImportOptions import;
  std::string index;
  std::string file;
  std::string query;
  int limit = 20;
  int offset = 0;
  std::string dest;
  std::string set_file;
  std::string filter;
  std::string ids_file;
  bool force = false;
  CLI::App *cmd_import = nullptr;
  CLI::App *cmd_export = nullptr;
  CLI::App *cmd_indexes = nullptr;
  CLI::App *cmd_stats = nullptr;
  CLI::App *cmd_search = nullptr;
  CLI::App *cmd_delete = nullptr;
  CLI::App *cmd_delete_docs = nullptr;
  CLI::App *cmd_backup = nullptr;
  CLI::App *cmd_restore = nullptr;
  CLI::App *cmd_settings = nullptr;
  CLI::App *cmd_compact = nullptr;
  CLI::App *cmd_reindex = nullptr;
  CLI::Option *primary_key = nullptr;
};

void add_import(CLI::App &app, CommandLine &cl) {
  CLI::App *c = app.add_subcommand(
      "import",
      "Add the records of JSON, NDJSON or CSV files to an index "
      "(created when missing), in batches of one transaction each");
  c->add_option("INDEX", cl.import.index, "Index name")->required();
  c->add_option("FILE", cl.import.files,
                "Input files (- reads standard input as NDJSON); the format "
                "comes from the ending: .json, .ndjson/.jsonl, .csv")
      ->required();
  cl.primary_key = c->add_option("--primary-key", cl.import.primary_key,
                                 "Primary key of an index created now")
                       ->default_str("id");
  c->add_option("--batch", cl.import.batch, "Documents per transaction")
      ->check(CLI::Range(1, 1000000))
      ->default_str("5000");
  c->add_option("--format", cl.import.format,
                "Format of every FILE, whatever its name")
      ->check(CLI::IsMember({"json", "ndjson", "csv"}));
  c->add_option("--settings", cl.import.settings_file,
                "Apply the settings of this JSON file (- reads standard "
                "input) before the first batch");
  c->add_flag("!--no-compact", cl.import.compact,
              "Do not compact the index after an import that wrote at "
              "least half of it");
  cl.cmd_import = c;
}

void add_others(CLI::App &app, CommandLine &cl) {
  CLI::App *c = app.add_subcommand(
      "export",
      "Write every document of an index as NDJSON, in insertion "
      "order");
  c->add_option("INDEX", cl.index, "Index name")->required();
  c->add_option("FILE", cl.file, "Output file (default: standard output)");
  c->add_option("--filter", cl.filter,
                "Only the documents matching this filter expression (on the "
                "index's filterableAttributes)");
  cl.cmd_export = c;

  cl.cmd_indexes = app.add_subcommand("indexes", "List the indexes");

  c = app.add_subcommand("stats", "Show an index's statistics");
  c->add_option("INDEX", cl.index, "Index name")->required();
  cl.cmd_stats = c;

  c = app.add_subcommand("search", "Search an index");
  c->add_option("INDEX", cl.index, "Index name")->required();
  c->add_option("QUERY", cl.query, "Query text (\"\" lists every document)")
      ->required();
  c->add_option("--limit", cl.limit, "Hits to return (at most 1000)")
      ->check(CLI::Range(0, 1000))
      ->default_str("20");
  c->add_option("--offset", cl.offset, "Hits to skip first")
      ->check(CLI::NonNegativeNumber)
      ->default_str("0");
  cl.cmd_search = c;

  c = app.add_subcommand(
      "settings",
      "Show an index's settings, or change them with --set (a change of "
      "the searched fields or the language rewrites every document)");
  c->add_option("INDEX", cl.index, "Index name")->required();
  c->add_option("--set", cl.set_file,
                "JSON file of the members to change (- reads standard input)");
  cl.cmd_settings = c;

  c = app.add_subcommand(
      "delete",
      "Delete the documents named in a file of ids, or matching a filter, "
      "in one transaction (all of them or, on failure, none)");
  c->add_option("INDEX", cl.index, "Index name")->required();
  CLI::Option *ids =
      c->add_option("--ids", cl.ids_file,
                    "File of ids, one per line (- reads standard input)");
  CLI::Option *filter =
      c->add_option("--filter", cl.filter,
                    "Filter expression on the index's filterableAttributes");
  ids->excludes(filter); /* run_delete needs one of them */
  cl.cmd_delete_docs = c;

  c = app.add_subcommand("delete-index", "Delete an index and its documents");
  c->add_option("INDEX", cl.index, "Index name")->required();
  cl.cmd_delete = c;

  c = app.add_subcommand(
      "compact",
      "Rewrite an index with its blocks filled, so searches read fewer, "
      "while readers and writers carry on (needs room for a second copy)");
  c->add_option("INDEX", cl.index, "Index name")->required();
  cl.cmd_compact = c;

  c = app.add_subcommand(
      "reindex",
      "Rewrite every document of an index from its stored JSON, so an index "
      "written by an earlier version gets this version's terms");
  c->add_option("INDEX", cl.index, "Index name")->required();
  cl.cmd_reindex = c;
}

void add_backups(CLI::App &app, CommandLine &cl) {
  CLI::App *c = app.add_subcommand(
      "backup",
      "Copy every index (or one) into DEST/NAME while writers keep writing: "
      "one committed revision each, with a manifest");
  c->add_option("DEST", cl.dest, "Backup directory (created when missing)")
      ->required();
  c->add_option("--index", cl.index, "Back up only this index");
  cl.cmd_backup = c;

  c = app.add_subcommand("restore",
                         "Put the backups in DEST (or one) back as indexes");
  c->add_option("DEST", cl.dest, "Backup directory")->required();
  c->add_option("--index", cl.index, "Restore only this index");
  c->add_flag("--force", cl.force, "Replace indexes that exist");
  cl.cmd_restore = c;
}

int dispatch(const CommandLine &cl) {
  const GlobalOptions &g = cl.global;
  if (cl.cmd_import->parsed()) {
    ImportOptions opts = cl.import;
    opts.primary_key_given = cl.primary_key->count() > 0;
    return run_import(g, opts);
  }
  if (cl.cmd_export->parsed())
    return run_export(g, cl.index, cl.file, cl.filter);
  if (cl.cmd_delete_docs->parsed())
    return run_delete(g, cl.index, cl.ids_file, cl.filter);
  if (cl.cmd_indexes->parsed()) return run_indexes(g);
  if (cl.cmd_stats->parsed()) return run_stats(g, cl.index);
  if (cl.cmd_search->parsed())
    return run_search(g, cl.index, cl.query, cl.limit, cl.offset);
  if (cl.cmd_delete->parsed()) return run_delete_index(g, cl.index);
  if (cl.cmd_settings->parsed()) return run_settings(g, cl.index, cl.set_file);
  if (cl.cmd_compact->parsed()) return run_compact(g, cl.index);
  if (cl.cmd_reindex->parsed()) return run_reindex(g, cl.index);
  if (cl.cmd_backup->parsed()) return run_backup(g, cl.dest, cl.index);
  if (cl.cmd_restore->parsed())
    return run_restore(g, cl.dest, cl.index, cl.force);
  return usage_error("no command given (see lumidex --help)");
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
/* Builds under AddressSanitizer only. Xapian 1.4's compaction keeps the
 * tables it writes in plain pointers and does not free them when the source
 * changes under it and it throws DatabaseModifiedError; `backup` of a live
 * index then tries again, and the first attempt's tables stay allocated
 * until exit. Those allocations are made inside libxapian; a leak of ours
 * is still reported through its own allocation in our code. */
extern "C" const char *__lsan_default_suppressions() {
  return "leak:libxapian.so\n";
}
#endif

int main(int argc, char **argv) {
  CLI::App app("Import, export and inspect Lumidex indexes", "lumidex");
  CommandLine cl;
  app.set_version_flag("--version", "lumidex " LMX_VERSION);
  app.add_option("--storage-dir", cl.global.storage_dir,
                 "Storage directory (default: LUMIDEX_STORAGE_DIR, then "
                 "LUMIDEX_DATA_DIR, as the web API resolves it)");
  app.add_flag("-q,--quiet", cl.global.quiet,
               "No progress line and no summary line");
  app.require_subcommand(1);
  app.fallthrough();
  add_import(app, cl);
  add_others(app, cl);
  add_backups(app, cl);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    if (e.get_exit_code() == 0) return app.exit(e); /* --help, --version */
    return usage_error("%s (see lumidex --help)", e.what());
  }
  try {
    return dispatch(cl);
  } catch (const std::bad_alloc &) {
    return fail("out of memory");
  } catch (const std::exception &e) {
    return fail("%s", e.what());
  }
}
