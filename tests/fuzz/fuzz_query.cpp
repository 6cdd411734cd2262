/*
 * fuzz_query.cpp: the query-string lookup on arbitrary QUERY_STRING and
 * keys. Input layout: the first byte's low four bits give the key length k,
 * the next k bytes are the key, the rest is the query string (both cut at a
 * NUL, as the environment would cut them).
 * Checks: every result is at most 511 bytes, and a result survives the
 * seven lookups that follow it unchanged.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nl_cgi.h"

static void require(bool cond, const char *msg) {
  if (!cond) {
    fprintf(stderr, "check failed: %s\n", msg);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t k = data[0] & 0x0F;
  if (k > size - 1) k = size - 1;
  std::string key(reinterpret_cast<const char *>(data + 1), k);
  std::string qs(reinterpret_cast<const char *>(data + 1 + k), size - 1 - k);
  key = key.c_str();
  qs = qs.c_str();
  setenv("QUERY_STRING", qs.c_str(), 1);

  const char *first = cgi_query(key.c_str());
  require(first != nullptr, "cgi_query returned null");
  require(strlen(first) <= 511, "result longer than 511 bytes");
  std::string kept = first;
  static const char *const others[] = {"q", "a", "index", "limit", "x", "offset", "name"};
  for (const char *o : others) {
    const char *r = cgi_query(o);
    require(r != nullptr && strlen(r) <= 511, "other lookup broke its bounds");
  }
  require(kept == first, "result overwritten within seven lookups");
  require(cgi_query(nullptr)[0] == '\0' && cgi_query("")[0] == '\0',
          "null or empty key gave a non-empty result");
  return 0;
}
