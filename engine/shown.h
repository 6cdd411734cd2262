/*
 * shown.h: which members of a stored document an answer shows: the
 * displayed attributes of the index's settings, and the fields a request
 * names, as a tree of member names cut out of the document's JSON.
 *
 * The functions are answer.cpp's (search hits); the documents listing
 * (document_list.cpp) cuts its documents with the same ones, so a listed
 * document shows exactly what a hit shows of it.
 */
#ifndef LMX_ENGINE_SHOWN_H
#define LMX_ENGINE_SHOWN_H

#include <yyjson.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace lmx {

/* The shown fields as a tree of member names: a node keeps the whole
 * value when whole, else only the members named under it. */
struct Shown {
  bool whole = false;
  std::map<std::string, Shown, std::less<>> members;
};

/* The tree of the dotted paths paths (none of them "*"), the member
 * *primary_key kept whole unless primary_key is null. */
Shown shown_of(const std::vector<std::string> &paths,
               const std::string *primary_key);

/* Removes from val what node does not show: members of an object not
 * named, and under a member named with deeper paths, what those do not
 * show (in an object, or in each object of an array; other values go).
 * Recursion is as deep as the longest path. */
void keep_shown(yyjson_mut_val *val, const Shown &node);

}  // namespace lmx

#endif
