/*
 * expected_answers.h: the exact answer texts the handlers write, built from
 * their parts, for the tests that compare whole responses (against the
 * engine double and against the real engine alike).
 */
#ifndef LMX_TEST_EXPECTED_ANSWERS_H
#define LMX_TEST_EXPECTED_ANSWERS_H

#include <string>

namespace answers {

/* The exact header block of a JSON answer with status. */
inline std::string json_headers(int status) {
  return "Status: " + std::to_string(status) +
         "\r\nContent-Type: application/json; charset=utf-8\r\n\r\n";
}

/* The exact body of an error answer with code and message (already written
 * as they appear escaped), line feed included. */
inline std::string envelope(const std::string &code,
                            const std::string &message) {
  return "{\"message\":\"" + message + "\",\"code\":\"" + code +
         "\",\"type\":\"invalid_request\",\"link\":\"https://docs.nolvaris.com/"
         "errors#" +
         code + "\"}\n";
}

/* One entry of the index listing's "results". */
inline std::string entry(const std::string &name, const std::string &key) {
  return "{\"uid\":\"" + name + "\",\"name\":\"" + name +
         "\",\"primaryKey\":\"" + key + "\",\"primary_key\":\"" + key + "\"}";
}

/* The body of a successful index creation. */
inline std::string created(const std::string &name, const std::string &key) {
  return "{\"uid\":\"" + name + "\",\"name\":\"" + name +
         "\",\"primaryKey\":\"" + key + "\",\"status\":\"succeeded\"}\n";
}

/* The body of a successful index lookup. */
inline std::string looked_up(const std::string &name, const std::string &key) {
  return "{\"uid\":\"" + name + "\",\"name\":\"" + name +
         "\",\"primaryKey\":\"" + key +
         "\",\"createdAt\":\"2026-09-06T00:00:00Z\","
         "\"updatedAt\":\"2026-09-06T00:00:00Z\"}\n";
}

}  // namespace answers

#endif
