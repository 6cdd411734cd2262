/*
 * messages.h: every text the engine hands out about a failure, built in one
 * place so the same failure always reads the same and a change of wording
 * is one edit.
 *
 * These texts are for people. Programs read what a failure was about from
 * its code and position (error.h, lumidex_admin.h), never from the text, so
 * a text may be reworded without breaking a caller. Quoted input goes
 * through quote_input (error.h): at most 200 bytes of valid UTF-8 on one
 * line, between backticks.
 */
#ifndef LMX_ENGINE_MESSAGES_H
#define LMX_ENGINE_MESSAGES_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lmx {
namespace msg {

/* s quoted for a message: "`" + quote_input(s) + "`". */
std::string backticked(std::string_view s);

/* "Index `NAME` not found." */
std::string index_not_found(std::string_view name);
/* "Index `NAME` already exists." */
std::string index_exists(std::string_view name);
/* "Index `NAME` cannot be ACTION: REASON." ACTION is "created", "deleted",
 * "opened", "opened for writing", "read" or "put in place"; REASON is made safe (safe_text). */
std::string index_unusable(std::string_view name, std::string_view action,
                           std::string_view reason);
/* "Document `ID` not found in index `NAME`." */
std::string document_not_found(std::string_view id, std::string_view index);
/* "Invalid index name `NAME`: use 1 to 127 characters of A-Z a-z 0-9 - _." */
std::string invalid_index_name(std::string_view name);
/* "Invalid primary key `KEY`: use 1 to 127 characters of ..." */
std::string invalid_primary_key(std::string_view key);

/* "No storage directory given." */
std::string no_storage_dir();
/* "Storage directory `DIR` " + what (what ends the sentence, full stop
 * included: "does not exist."). */
std::string storage_dir(std::string_view dir, std::string_view what);

/* "The body is not valid JSON (at byte offset N): WHAT." when position is
 * 0, else "Document at position P is not valid JSON (at byte offset N):
 * WHAT." */
std::string invalid_json(unsigned long long position, unsigned long long offset,
                         std::string_view what);
/* "Document at position P is not a JSON object." */
std::string not_an_object(unsigned long long position);
/* "Document at position P has no primary key `KEY`." */
std::string no_primary_key(unsigned long long position, std::string_view key);
/* "Document at position P has an invalid primary key `KEY` value (SHOWN):
 * use a string of 1 to 127 characters of A-Z a-z 0-9 - _, or an integer."
 * shown is inserted as given (already quoted or a type name). */
std::string invalid_primary_key_value(unsigned long long position,
                                      std::string_view key,
                                      std::string_view shown);

/* "Engine failure (TYPE): WHAT" for a Xapian error of type; "Engine
 * failure: WHAT" when type is empty; "Engine failure." when both are. */
std::string engine_failure(std::string_view type, std::string_view what);
/* "The engine is not open: lumidex_init was not called or failed." */
std::string engine_not_open();
/* "Too many documents in one body." */
std::string too_many_documents();
/* "Out of memory." */
std::string out_of_memory();

/* "Invalid filter: expected EXPECTED at byte B, found FOUND." with " of
 * filter[E]" or " of filter[E][I]" after B when element >= 0 (and inner
 * >= 0). expected and found are inserted as given (found: an already
 * quoted token or "the end"). */
std::string invalid_filter(std::string_view expected, size_t byte,
                           std::string_view found, long element, long inner);
/* "Attribute `A` is not filterable; the filterable attributes are `x`,
 * `y`." or "...; no attribute is filterable." */
std::string not_filterable(std::string_view attribute,
                           const std::vector<std::string> &filterable);

/* "Attribute `A` is not sortable; the sortable attributes are `x`, `y`."
 * or "...; no attribute is sortable." */
std::string not_sortable(std::string_view attribute,
                         const std::vector<std::string> &sortable);

}  // namespace msg
}  // namespace lmx

#endif
