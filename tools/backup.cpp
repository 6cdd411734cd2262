/*
 * backup.cpp: `lumidex backup DEST` and `lumidex restore DEST`.
 *
 * backup copies every index (or the one named by --index) into DEST/NAME
 * with the engine's lumidex_index_backup_json, which copies one committed
 * revision of a live index with Xapian's compaction while the API's
 * processes keep writing; each copy carries a manifest saying which revision
 * it holds and how many documents. Each index is consistent on its own; a
 * backup of several indexes is not one snapshot across them. A DEST made
 * here gets mode 0700, since a backup holds every document.
 *
 * restore puts backups back with lumidex_index_restore_json. Without
 * --force it refuses, before restoring anything, when any of the indexes
 * exists; with --force each existing index is exchanged for its backup in
 * one atomic step.
 */
#include <sys/stat.h>
#include <yyjson.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lmx_common.h"
#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "tool.h"

namespace lmxtool {
namespace {

/* The string member key of every object in the JSON array text. */
std::vector<std::string> members_of(const char *text, const char *key) {
  std::vector<std::string> out;
  yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
  yyjson_val *v;
  yyjson_arr_iter it = yyjson_arr_iter_with(yyjson_doc_get_root(doc));
  while ((v = yyjson_arr_iter_next(&it))) {
    const char *s = yyjson_get_str(yyjson_obj_get(v, key));
    if (s) out.emplace_back(s);
  }
  yyjson_doc_free(doc);
  return out;
}

unsigned long long uint_member(yyjson_val *obj, const char *key) {
  yyjson_val *v = yyjson_obj_get(obj, key);
  return yyjson_is_uint(v) ? yyjson_get_uint(v) : 0;
}

/* Creates dest (and its missing parents) unless it exists; a directory
 * made here is readable by its owner only. */
bool make_dest(const std::string &dest) {
  struct stat st;
  if (stat(dest.c_str(), &st) == 0) return true;
  if (lmx_mkdir_p(dest.c_str()) != 0 || chmod(dest.c_str(), 0700) != 0) {
    fail("cannot create the backup directory `%s`: %s", dest.c_str(),
         strerror(errno));
    return false;
  }
  return true;
}

/* Says what one backup or restore did, from its manifest. */
void tell(const GlobalOptions &g, const char *done, const char *manifest,
          const std::string &where) {
  if (g.quiet) return;
  yyjson_doc *doc = yyjson_read(manifest, strlen(manifest), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  const char *index = yyjson_get_str(yyjson_obj_get(root, "index"));
  fprintf(stderr, "lumidex: %s `%s`: %llu documents at revision %llu, %s\n",
          done, index ? index : "?", uint_member(root, "document_count"),
          uint_member(root, "revision"), where.c_str());
  yyjson_doc_free(doc);
}

int backup_all(const GlobalOptions &g, const std::string &dest,
               const std::string &only) {
  std::vector<std::string> names;
  if (!only.empty()) {
    names.push_back(only);
  } else {
    const char *list = lumidex_indexes_list_json();
    if (!list)
      return fail("cannot list the indexes: %s", engine_error("unknown"));
    names = members_of(list, "name");
  }
  if (!make_dest(dest)) return kExitFailure;
  size_t done = 0;
  for (const std::string &name : names) {
    const char *manifest =
        lumidex_index_backup_json(name.c_str(), dest.c_str());
    if (!manifest)
      return fail("cannot back up `%s` (%zu of %zu indexes backed up): %s",
                  name.c_str(), done, names.size(),
                  engine_error("the engine refused"));
    tell(g, "backed up", manifest, "to " + dest + "/" + name);
    done++;
  }
  if (!g.quiet && names.size() != 1)
    fprintf(stderr, "lumidex: backed up %zu indexes to %s\n", done,
            dest.c_str());
  return kExitOk;
}

int restore_all(const GlobalOptions &g, const std::string &dest,
                const std::string &only, bool force) {
  std::vector<std::string> names;
  if (!only.empty()) {
    names.push_back(only);
  } else {
    const char *list = lumidex_backups_list_json(dest.c_str());
    if (!list)
      return fail("cannot read the backups: %s", engine_error("unknown"));
    names = members_of(list, "index");
    if (names.empty()) return fail("no backups in `%s`", dest.c_str());
  }
  std::string key;
  for (const std::string &name : names) {
    if (!force && index_primary_key(name, &key))
      return fail("index `%s` exists; nothing restored (--force replaces it)",
                  name.c_str());
  }
  for (const std::string &name : names) {
    const char *manifest =
        lumidex_index_restore_json(dest.c_str(), name.c_str(), force);
    if (!manifest)
      return fail("cannot restore `%s`: %s", name.c_str(),
                  engine_error("the engine refused"));
    tell(g, "restored", manifest, "from " + dest + "/" + name);
  }
  return kExitOk;
}

}  // namespace

int run_backup(const GlobalOptions &g, const std::string &dest,
               const std::string &index) {
  if (!open_engine(g, false)) return kExitFailure;
  int rc = backup_all(g, dest, index);
  close_engine();
  return rc;
}

int run_restore(const GlobalOptions &g, const std::string &dest,
                const std::string &index, bool force) {
  if (!open_engine(g, true)) return kExitFailure;
  int rc = restore_all(g, dest, index, force);
  close_engine();
  return rc;
}

}  // namespace lmxtool
