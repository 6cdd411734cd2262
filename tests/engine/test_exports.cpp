/*
 * test_exports.cpp: the engine library exports its lumidex_* functions and
 * nothing else. The library this program loaded is found with dladdr, and
 * its defined dynamic symbols are listed with nm (binutils).
 */
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "lumidex_admin.h"
#include "lumidex_core.h"
#include "lumidex_documents.h"
#include "lumidex_search.h"

namespace {

/* Path of the shared object holding lumidex_init in this process. */
std::string engine_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void *>(&lumidex_init), &info) == 0 ||
      info.dli_fname == nullptr)
    return "";
  return info.dli_fname;
}

/* The defined dynamic symbols of the shared object at path. */
std::set<std::string> defined_dynamic_symbols(const std::string &path) {
  std::set<std::string> out;
  std::string cmd = "nm -D --defined-only '" + path + "'";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char line[4096];
  while (fgets(line, sizeof line, p)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    size_t name = s.rfind(' ');
    out.insert(name == std::string::npos ? s : s.substr(name + 1));
  }
  pclose(p);
  return out;
}

TEST(EngineExports, OnlyTheLumidexFunctionsAreExported) {
  std::string path = engine_path();
  ASSERT_NE(path.find("nolvaris-lumidex-core"), std::string::npos) << path;
  std::set<std::string> symbols = defined_dynamic_symbols(path);
  for (const char *wanted :
       {"lumidex_init", "lumidex_cleanup", "lumidex_search",
        "lumidex_documents_add", "lumidex_document_get",
        "lumidex_document_delete", "lumidex_index_create",
        "lumidex_index_delete", "lumidex_indexes_list_json",
        "lumidex_index_stats_json", "lumidex_last_error",
        "lumidex_last_error_code", "lumidex_last_error_position",
        "lumidex_settings_get_json", "lumidex_settings_update_json",
        "lumidex_settings_reset_json", "lumidex_search_request",
        "lumidex_search_keep_statistics", "lumidex_documents_list_json",
        "lumidex_documents_update", "lumidex_documents_delete_ids",
        "lumidex_documents_delete_all", "lumidex_index_compact_json",
        "lumidex_index_reindex_json"})
    EXPECT_EQ(symbols.count(wanted), 1u) << wanted;
  for (const std::string &name : symbols)
    EXPECT_EQ(name.rfind("lumidex_", 0), 0u) << "also exported: " << name;
}

}  // namespace
