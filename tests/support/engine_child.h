/*
 * engine_child.h: runs a piece of code on the real engine, opened on a
 * storage directory, in a forked child (child.h), so the engine's statics
 * start clean and the test's own process never opens an index it also
 * kills writers of. For tests that link the engine library.
 */
#ifndef LMX_TEST_ENGINE_CHILD_H
#define LMX_TEST_ENGINE_CHILD_H

#include <cstdio>
#include <functional>
#include <string>

#include "child.h"
#include "lumidex_core.h"

namespace lmxtest {

/* Opens the engine on the storage directory dir in a child, runs fn there
 * and returns the text fn returned ("init failed: " and the engine's
 * message when it could not be opened). */
inline std::string with_engine(const std::string &dir,
                               const std::function<std::string()> &fn) {
  return run_child(
             [&] {
               if (lumidex_init(dir.c_str()) != 0) {
                 const char *e = lumidex_last_error();
                 printf("init failed: %s", e ? e : "");
                 return;
               }
               std::string text = fn();
               lumidex_cleanup();
               fputs(text.c_str(), stdout);
             },
             ChildSpec())
      .out;
}

}  // namespace lmxtest

#endif
