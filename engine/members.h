/*
 * members.h: reading the members of a JSON request object through a table
 * of rows, one per member the request takes, so that a request reader
 * (request.cpp for searches, document_list.cpp for the documents listing)
 * is its table and one function per member. What a member takes, and how
 * a refusal is worded and coded, are the reader's.
 */
#ifndef LMX_ENGINE_MEMBERS_H
#define LMX_ENGINE_MEMBERS_H

#include <yyjson.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace lmx {

/* One member a request takes: its name and the function reading its value
 * into the request (throwing lmx::Error to refuse it). */
template <typename Out>
struct MemberRow {
  const char *name;
  void (*read)(yyjson_val *, Out &);
};

/* The names of rows, in order, joined by ", " (for a message listing
 * them). */
template <typename Out, size_t N>
std::string member_names(const MemberRow<Out> (&rows)[N]) {
  std::string names;
  for (const MemberRow<Out> &row : rows) {
    if (!names.empty()) names += ", ";
    names += row.name;
  }
  return names;
}

/* Reads every member of the JSON object root (not null) into out through
 * rows. A member that no row names goes to unknown(name), one given a
 * second time to twice(row name): which of two values was meant cannot be
 * known. Both must throw; so may the rows' readers. */
template <typename Out, size_t N, typename Unknown, typename Twice>
void read_members(yyjson_val *root, const MemberRow<Out> (&rows)[N], Out &out,
                  Unknown &&unknown, Twice &&twice) {
  bool seen[N] = {};
  size_t idx, max;
  yyjson_val *key, *val;
  yyjson_obj_foreach(root, idx, max, key, val) {
    std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    size_t k = 0;
    while (k < N && name != rows[k].name) ++k;
    if (k == N) {
      unknown(name);
      continue;
    }
    if (seen[k]) twice(rows[k].name);
    seen[k] = true;
    rows[k].read(val, out);
  }
}

}  // namespace lmx

#endif
