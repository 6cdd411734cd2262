/*
 * json.h: the engine's one way to write JSON: yyjson's mutable documents
 * and writer, held by RAII, so every answer the engine builds is escaped
 * by the same writer.
 */
#ifndef LMX_ENGINE_JSON_H
#define LMX_ENGINE_JSON_H

#include <yyjson.h>

#include <memory>
#include <new>
#include <string>

namespace lmx {

struct MutDocFree {
  void operator()(yyjson_mut_doc *doc) const { yyjson_mut_doc_free(doc); }
};
struct DocFree {
  void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
/* Owners of a yyjson document being built and of one that was read. */
using MutDoc = std::unique_ptr<yyjson_mut_doc, MutDocFree>;
using Doc = std::unique_ptr<yyjson_doc, DocFree>;

/* p, or throws std::bad_alloc when it is null (a yyjson allocation or an
 * addition to a document failed). */
template <typename T>
T *checked(T *p) {
  if (!p) throw std::bad_alloc();
  return p;
}

/* Throws std::bad_alloc unless ok (the result of a yyjson addition). */
inline void require(bool ok) {
  if (!ok) throw std::bad_alloc();
}

/* A new empty document whose root is a new object, which *root receives. */
MutDoc new_object_doc(yyjson_mut_val **root);

/* doc written as compact JSON, members in the order they were added.
 * Throws std::runtime_error when the writer fails (out of memory, or a
 * string that is not valid UTF-8: the engine's texts are made valid before they
 * get here, and an answer is never written as invalid JSON). */
std::string written(const yyjson_mut_doc *doc);

}  // namespace lmx

#endif
