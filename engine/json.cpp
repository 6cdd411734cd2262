/*
 * json.cpp: the engine's JSON writer (see json.h).
 */
#include "json.h"

#include <cstdlib>
#include <stdexcept>

namespace lmx {

MutDoc new_object_doc(yyjson_mut_val **root) {
  MutDoc doc(checked(yyjson_mut_doc_new(nullptr)));
  *root = checked(yyjson_mut_obj(doc.get()));
  yyjson_mut_doc_set_root(doc.get(), *root);
  return doc;
}

std::string written(const yyjson_mut_doc *doc) {
  size_t len = 0;
  char *text =
      yyjson_mut_write_opts(doc, YYJSON_WRITE_NOFLAG, nullptr, &len, nullptr);
  if (!text) throw std::runtime_error("JSON answer could not be written");
  std::string out(text, len);
  std::free(text);
  return out;
}

}  // namespace lmx
