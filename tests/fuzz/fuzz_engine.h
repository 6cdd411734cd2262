/*
 * fuzz_engine.h: a real engine on a scratch storage directory for the fuzz
 * targets that call the engine directly. The directory is removed when the
 * fuzz process ends normally.
 */
#ifndef LMX_FUZZ_ENGINE_H
#define LMX_FUZZ_ENGINE_H

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_checks.h"
#include "lumidex_core.h"

namespace fuzzcheck {

inline std::string &scratch_storage() {
  static std::string path;
  return path;
}

inline void remove_scratch_storage() {
  lumidex_cleanup();
  std::error_code ec;
  std::filesystem::remove_all(scratch_storage(), ec);
}

/* Creates /tmp/lmxfuzz-NAME-XXXXXX and opens the engine on it; aborts when
 * either fails. */
inline void open_scratch_engine(const std::string &name) {
  std::string tmpl = "/tmp/lmxfuzz-" + name + "-XXXXXX";
  const char *dir = mkdtemp(tmpl.data());
  require(dir != nullptr, "cannot create a storage directory");
  scratch_storage() = dir;
  atexit(remove_scratch_storage);
  require(lumidex_init(dir) == 0, "engine does not open");
}

}  // namespace fuzzcheck

#endif
