/*
 * tempdir_windows.cpp: TempDir for the Windows build of the tests (see
 * child.h), which has no mkdtemp. The directory is made under the system's
 * temporary directory (GetTempPath: %TMP%, %TEMP%, then the profile's) with
 * a random name, created exclusively so two test programs never share one.
 * The POSIX harness keeps its own in child.cpp.
 */
#include <filesystem>
#include <random>
#include <system_error>

#include "child.h"

namespace lmxtest {

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) return;
  std::random_device seed;
  std::mt19937_64 gen(seed());
  const char *digits = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::string name = "lmxtest-";
    for (int i = 0; i < 8; ++i) name += digits[gen() % 36];
    fs::path p = base / name;
    if (fs::create_directory(p, ec)) path_ = p.string();
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::sub(const std::string &name) const {
  return path_ + "/" + name;
}

}  // namespace lmxtest
