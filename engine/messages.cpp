/*
 * messages.cpp: the engine's failure texts (see messages.h). Only the
 * wording lives here; which failure is thrown where, with which code and
 * position, is the callers'.
 */
#include "messages.h"

#include "error.h"

namespace lmx {
namespace msg {
namespace {

constexpr const char *kIdentifierRule =
    ": use 1 to 127 characters of A-Z a-z 0-9 - _.";

std::string at_position(unsigned long long position) {
  return "Document at position " + std::to_string(position);
}

}  // namespace

std::string backticked(std::string_view s) {
  return "`" + quote_input(s) + "`";
}

std::string index_not_found(std::string_view name) {
  return "Index " + backticked(name) + " not found.";
}

std::string index_exists(std::string_view name) {
  return "Index " + backticked(name) + " already exists.";
}

std::string index_unusable(std::string_view name, std::string_view action,
                           std::string_view reason) {
  return "Index " + backticked(name) + " cannot be " + std::string(action) +
         ": " + safe_text(reason) + ".";
}

std::string document_not_found(std::string_view id, std::string_view index) {
  return "Document " + backticked(id) + " not found in index " +
         backticked(index) + ".";
}

std::string invalid_index_name(std::string_view name) {
  return "Invalid index name " + backticked(name) + kIdentifierRule;
}

std::string invalid_primary_key(std::string_view key) {
  return "Invalid primary key " + backticked(key) + kIdentifierRule;
}

std::string no_storage_dir() { return "No storage directory given."; }

std::string storage_dir(std::string_view dir, std::string_view what) {
  return "Storage directory " + backticked(dir) + " " + std::string(what);
}

std::string invalid_json(unsigned long long position, unsigned long long offset,
                         std::string_view what) {
  std::string where = " (at byte offset " + std::to_string(offset) + "): ";
  std::string subject =
      position > 0 ? at_position(position) + " is" : "The body is";
  return subject + " not valid JSON" + where + std::string(what) + ".";
}

std::string not_an_object(unsigned long long position) {
  return at_position(position) + " is not a JSON object.";
}

std::string no_primary_key(unsigned long long position, std::string_view key) {
  return at_position(position) + " has no primary key " + backticked(key) + ".";
}

std::string invalid_primary_key_value(unsigned long long position,
                                      std::string_view key,
                                      std::string_view shown) {
  return at_position(position) + " has an invalid primary key " +
         backticked(key) + " value (" + std::string(shown) +
         "): use a string of 1 to 127 characters of A-Z a-z 0-9 - _, "
         "or an integer.";
}

std::string engine_failure(std::string_view type, std::string_view what) {
  if (!type.empty())
    return "Engine failure (" + std::string(type) + "): " + std::string(what);
  if (!what.empty()) return "Engine failure: " + std::string(what);
  return "Engine failure.";
}

std::string engine_not_open() {
  return "The engine is not open: lumidex_init was not called or failed.";
}

std::string too_many_documents() { return "Too many documents in one body."; }

std::string out_of_memory() { return "Out of memory."; }

std::string invalid_filter(std::string_view expected, size_t byte,
                           std::string_view found, long element, long inner) {
  std::string where = "at byte " + std::to_string(byte);
  if (element >= 0) {
    where += " of filter[" + std::to_string(element) + "]";
    if (inner >= 0) where += "[" + std::to_string(inner) + "]";
  }
  return "Invalid filter: expected " + std::string(expected) + " " + where +
         ", found " + std::string(found) + ".";
}

namespace {

/* "Attribute `A` is not WHAT; the WHAT attributes are `x`, `y`." */
std::string not_listed(std::string_view attribute, std::string_view what,
                       const std::vector<std::string> &listed) {
  std::string text = "Attribute " + backticked(attribute) + " is not " +
                     std::string(what) + "; ";
  if (listed.empty()) return text + "no attribute is " + std::string(what) + ".";
  text += "the " + std::string(what) + " attributes are ";
  for (size_t i = 0; i < listed.size(); ++i) {
    if (i > 0) text += ", ";
    text += backticked(listed[i]);
  }
  return text + ".";
}

}  // namespace

std::string not_filterable(std::string_view attribute,
                           const std::vector<std::string> &filterable) {
  return not_listed(attribute, "filterable", filterable);
}

std::string not_sortable(std::string_view attribute,
                         const std::vector<std::string> &sortable) {
  return not_listed(attribute, "sortable", sortable);
}

}  // namespace msg
}  // namespace lmx
