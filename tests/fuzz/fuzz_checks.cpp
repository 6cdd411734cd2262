/*
 * fuzz_checks.cpp: see fuzz_checks.h.
 */
#include "fuzz_checks.h"

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzzcheck {

void require(bool cond, const char *msg, std::string_view context) {
  if (cond) return;
  fprintf(stderr, "check failed: %s\n", msg);
  if (!context.empty())
    fprintf(stderr, "context (%zu bytes): %.*s\n", context.size(),
            static_cast<int>(context.size() > 2000 ? 2000 : context.size()),
            context.data());
  abort();
}

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t extra;
    unsigned cp, min;
    if (c < 0x80) {
      i++;
      continue;
    }
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      min = 0x80;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      min = 0x800;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      min = 0x10000;
      cp = c & 0x07;
    } else
      return false;
    if (s.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; k++) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

bool check_json(std::string_view text, std::string_view context) {
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  require(doc != nullptr, "body is not JSON", context);
  bool is_obj = yyjson_is_obj(yyjson_doc_get_root(doc));
  yyjson_doc_free(doc);
  return is_obj;
}

static void check_envelope(std::string_view body, std::string_view context) {
  yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
  require(doc != nullptr, "error body is not JSON", context);
  yyjson_val *root = yyjson_doc_get_root(doc);
  require(yyjson_is_obj(root), "error body is not an object", context);
  static const char *const members[] = {"message", "code", "type", "link"};
  size_t idx = 0;
  yyjson_val *key, *val;
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  while ((key = yyjson_obj_iter_next(&it))) {
    val = yyjson_obj_iter_get_val(key);
    require(idx < 4, "error envelope has extra members", context);
    require(strcmp(yyjson_get_str(key), members[idx]) == 0,
            "error envelope members out of order", context);
    require(yyjson_is_str(val), "error envelope member is not a string",
            context);
    idx++;
  }
  require(idx == 4, "error envelope lacks members", context);
  std::string code = yyjson_get_str(yyjson_obj_get(root, "code"));
  std::string type = yyjson_get_str(yyjson_obj_get(root, "type"));
  std::string link = yyjson_get_str(yyjson_obj_get(root, "link"));
  require(
      !code.empty() && code.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") ==
                           std::string::npos,
      "error code is not snake_case", context);
  require(type == "invalid_request", "error type is not invalid_request",
          context);
  std::string tail = "/errors#" + code;
  require(link.rfind("https://", 0) == 0 && link.size() > tail.size() &&
              link.compare(link.size() - tail.size(), tail.size(), tail) == 0,
          "error link does not name its code", context);
  yyjson_doc_free(doc);
}

int check_cgi_response(const std::string &raw) {
  size_t pos = 0;
  int status = 200;
  int content_types = 0;
  bool json = false;
  bool ended = false;
  while (pos < raw.size()) {
    size_t eol = raw.find("\r\n", pos);
    require(eol != std::string::npos, "header line without CR LF", raw);
    std::string line = raw.substr(pos, eol - pos);
    pos = eol + 2;
    if (line.empty()) {
      ended = true;
      break;
    }
    require(line.find('\n') == std::string::npos, "bare LF in header", raw);
    if (line.rfind("Status: ", 0) == 0) {
      status = atoi(line.c_str() + 8);
      require(status >= 100 && status <= 599, "status out of range", raw);
    } else if (line.rfind("Content-Type: ", 0) == 0) {
      content_types++;
      json = line.find("application/json") != std::string::npos;
    }
  }
  require(ended, "header block without empty line", raw);
  require(content_types == 1, "not exactly one Content-Type line", raw);
  std::string body = raw.substr(pos);
  if (json) {
    check_json(body, raw);
    if (status >= 400) check_envelope(body, raw);
  }
  return status;
}

}  // namespace fuzzcheck
