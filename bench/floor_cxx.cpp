/*
 * floor_cxx.cpp: the process floor of a C++ program that loads libxapian and
 * libstdc++, as the search programs do, but opens nothing.
 *
 * The difference to floor_cgi is the cost of loading and relocating those
 * libraries and running their static constructors on every request.
 */
#include <xapian.h>

#include <cstdio>
#include <string>

int main() {
  // Calling into libxapian keeps the library linked even with --as-needed.
  std::string version = Xapian::version_string();
  std::printf("Status: 200 OK\r\nContent-Type: application/json\r\n\r\n"
              "{\"floor\":\"cxx\",\"xapian\":\"%s\"}\n",
              version.c_str());
  return 0;
}
