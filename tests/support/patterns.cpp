/*
 * patterns.cpp: the one place the test programs instantiate <regex>
 * (patterns.h says why). Compiled patterns are kept by their text.
 */
#include "patterns.h"

#include <map>
#include <mutex>
#include <regex>

namespace lmxtest {

namespace {

const std::regex &compiled(const std::string &pattern) {
  static std::mutex lock;
  static std::map<std::string, std::regex> cache;
  std::lock_guard<std::mutex> hold(lock);
  auto it = cache.find(pattern);
  if (it == cache.end()) it = cache.emplace(pattern, std::regex(pattern)).first;
  return it->second;
}

void keep_groups(const std::smatch &found, Match *m) {
  if (m == nullptr) return;
  m->groups.clear();
  for (const auto &g : found) {
    if (g.matched)
      m->groups.emplace_back(g.str());
    else
      m->groups.emplace_back(std::nullopt);
  }
}

}  // namespace

std::string Match::str(std::size_t i) const {
  return matched(i) ? *groups[i] : std::string();
}

bool Match::matched(std::size_t i) const {
  return i < groups.size() && groups[i].has_value();
}

bool full_match(const std::string &text, const std::string &pattern, Match *m) {
  std::smatch found;
  if (!std::regex_match(text, found, compiled(pattern))) return false;
  keep_groups(found, m);
  return true;
}

bool search(const std::string &text, const std::string &pattern, Match *m) {
  std::smatch found;
  if (!std::regex_search(text, found, compiled(pattern))) return false;
  keep_groups(found, m);
  return true;
}

std::string replace_all(const std::string &text, const std::string &pattern,
                        const std::string &format) {
  return std::regex_replace(text, compiled(pattern), format);
}

std::string error_code(const std::string &body) {
  Match m;
  return search(body, "\"code\":\"([a-z_]+)\"", &m) ? m.str(1) : "";
}

std::string without_elapsed(const std::string &text) {
  return replace_all(text, "\"elapsed_ms\":[0-9.]+", "\"elapsed_ms\":0");
}

}  // namespace lmxtest
