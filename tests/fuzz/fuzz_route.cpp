/*
 * fuzz_route.cpp: the route parser on arbitrary paths (cut at a NUL).
 * Checks the record's invariants: a kind in range, identifiers within 127
 * bytes and terminated, identifiers filled exactly for the kinds that name
 * them.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lmx_common.h"

static void require(bool cond, const char *msg, const std::string &path) {
  if (!cond) {
    fprintf(stderr, "check failed: %s (path %s)\n", msg, path.c_str());
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string path(reinterpret_cast<const char *>(data), size);
  path = path.c_str();
  lmx_route r;
  memset(&r, 0x5A, sizeof r);
  lmx_parse_route(path.c_str(), &r);
  require(r.kind >= LMX_ROUTE_UNKNOWN && r.kind <= LMX_ROUTE_STATS,
          "kind out of range", path);
  require(memchr(r.index_uid, 0, sizeof r.index_uid) != nullptr,
          "index_uid not terminated", path);
  require(memchr(r.doc_id, 0, sizeof r.doc_id) != nullptr,
          "doc_id not terminated", path);
  bool has_index = r.index_uid[0] != '\0';
  bool has_doc = r.doc_id[0] != '\0';
  switch (r.kind) {
    case LMX_ROUTE_ROOT:
    case LMX_ROUTE_STATUS:
    case LMX_ROUTE_INDEXES:
      require(!has_index && !has_doc, "identifiers set for a plain route", path);
      break;
    case LMX_ROUTE_DOCUMENT:
      require(has_index && has_doc, "document route without both ids", path);
      break;
    case LMX_ROUTE_INDEX:
    case LMX_ROUTE_SEARCH:
    case LMX_ROUTE_DOCUMENTS:
    case LMX_ROUTE_STATS:
      require(has_index && !has_doc, "index route with wrong ids", path);
      break;
    default:
      require(!has_doc, "unknown route with a document id", path);
  }
  require(strchr(r.index_uid, '/') == nullptr && strchr(r.doc_id, '/') == nullptr,
          "identifier holds a separator", path);
  require(strchr(r.index_uid, '?') == nullptr, "identifier holds a '?'", path);
  return 0;
}
