/*
 * files.cpp: the test harness's file helpers and the CGI response splitter
 * (see child.h). Unlike the rest of the harness these use nothing but the
 * C and C++ libraries (and <dirent.h>, which mingw-w64 has too), so the
 * Windows build of the tests links them as well.
 */
#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>

#include "child.h"

namespace lmxtest {

bool write_file(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

std::optional<std::string> read_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::string s;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

std::vector<std::string> entries_of(const std::string &dir) {
  std::vector<std::string> out;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") out.push_back(name);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool split_response(const std::string &raw, std::string *headers,
                    std::string *body) {
  size_t pos = raw.find("\r\n\r\n");
  size_t hdr_len;
  if (raw.compare(0, 2, "\r\n") == 0) {
    hdr_len = 2;
  } else if (pos != std::string::npos) {
    hdr_len = pos + 4;
  } else {
    return false;
  }
  if (headers) *headers = raw.substr(0, hdr_len);
  if (body) *body = raw.substr(hdr_len);
  return true;
}

int response_status(const std::string &raw) {
  std::string headers;
  if (!split_response(raw, &headers, nullptr)) return 0;
  size_t pos = headers.find("Status: ");
  if (pos != 0 &&
      (pos == std::string::npos || headers.compare(pos - 2, 2, "\r\n") != 0))
    return 0;
  return atoi(headers.c_str() + pos + 8);
}

std::string response_headers(const std::string &raw) {
  std::string headers;
  return split_response(raw, &headers, nullptr) ? headers : "";
}

std::string response_body(const std::string &raw) {
  std::string body;
  return split_response(raw, nullptr, &body) ? body : "";
}

}  // namespace lmxtest
