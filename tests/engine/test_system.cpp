/*
 * test_system.cpp: the engine's system layer (engine/system.h), compiled in
 * from its source since the library exports only its C face. The same
 * program runs on Linux and, built for Windows, under wine64, so both
 * hosts' versions of each call answer the same table.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "child.h"
#include "system.h"

namespace {

namespace fs = std::filesystem;
using lmxtest::TempDir;

bool make_dir(const std::string &path) {
  std::error_code ec;
  return fs::create_directory(fs::u8path(path), ec);
}

/* A reader cached on an index must be dropped when another process removes
 * the index and makes a new one of the same name: the identity tells the
 * two directories apart, and follows a directory that is only renamed. */
TEST(EngineSystem, DirIdentityTellsAReplacedDirectoryFromTheSameOne) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  std::string index = tmp.sub("books");
  std::string aside = tmp.sub("books-old");
  ASSERT_TRUE(make_dir(index));

  lmx::sys::DirIdentity first, again, moved, fresh;
  ASSERT_TRUE(lmx::sys::dir_identity(index, &first));
  ASSERT_TRUE(lmx::sys::dir_identity(index, &again));
  EXPECT_EQ(first, again);

  ASSERT_EQ(0, lmx::sys::rename_fresh(index, aside));
  ASSERT_TRUE(lmx::sys::dir_identity(aside, &moved));
  EXPECT_EQ(first, moved) << "a rename keeps the directory's identity";

  ASSERT_TRUE(make_dir(index));
  ASSERT_TRUE(lmx::sys::dir_identity(index, &fresh));
  EXPECT_NE(first, fresh) << "a new directory under the old name differs";

  lmx::sys::DirIdentity untouched;
  untouched.volume = 7;
  untouched.file = 9;
  EXPECT_FALSE(lmx::sys::dir_identity(tmp.sub("missing"), &untouched));
  EXPECT_EQ(7u, untouched.volume);
  EXPECT_EQ(9u, untouched.file);
}

TEST(EngineSystem, IsDirectoryOnlyForADirectoryItself) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  ASSERT_TRUE(make_dir(tmp.sub("dir")));
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("file"), "x"));
  struct Row {
    const char *name;
    bool want;
  } rows[] = {{"dir", true}, {"file", false}, {"missing", false}};
  for (const Row &r : rows)
    EXPECT_EQ(r.want, lmx::sys::is_directory(tmp.sub(r.name))) << r.name;

  /* A link to a directory is not followed (where the host lets this user
   * make one). */
  std::error_code ec;
  fs::create_directory_symlink(fs::u8path(tmp.sub("dir")),
                               fs::u8path(tmp.sub("link")), ec);
  if (!ec) {
    EXPECT_FALSE(lmx::sys::is_directory(tmp.sub("link")));
  }
}

TEST(EngineSystem, WriteNewFileCreatesOnceAndReadFileReadsItWhole) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  std::string path = tmp.sub("manifest.json");
  /* Longer than one read chunk, with bytes a text-mode stream would change
   * (CR LF, ^Z) and a NUL. */
  std::string text(10000, 'a');
  text.replace(100, 5, std::string("\r\n\x1a\0b", 5));

  ASSERT_EQ(0, lmx::sys::write_new_file(path, text));
  std::string got;
  ASSERT_EQ(0, lmx::sys::read_file(path, text.size(), &got));
  EXPECT_EQ(text, got);

  EXPECT_EQ(EEXIST, lmx::sys::write_new_file(path, "other"));
  ASSERT_EQ(0, lmx::sys::read_file(path, text.size(), &got));
  EXPECT_EQ(text, got) << "a refused write leaves the file as it was";

  EXPECT_EQ(ENOENT,
            lmx::sys::write_new_file(tmp.sub("no-dir/manifest.json"), "x"));
}

TEST(EngineSystem, ReadFileRefusesMoreThanTheLimit) {
  TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("big"), std::string(8192, 'x')));
  ASSERT_TRUE(lmxtest::write_file(tmp.sub("empty"), ""));
  struct Row {
    const char *name;
    size_t limit;
    int want;
    size_t want_size;
  } rows[] = {
      {"big", 8192, 0, 8192},     {"big", 8191, EFBIG, 0},
      {"big", 100000, 0, 8192},   {"empty", 0, 0, 0},
      {"missing", 10, ENOENT, 0},
  };
  for (const Row &r : rows) {
    std::string got = "stale";
    int err = lmx::sys::read_file(tmp.sub(r.name), r.limit, &got);
    EXPECT_EQ(r.want, err) << r.name << " limit " << r.limit;
    if (r.want == 0) {
      EXPECT_EQ(r.want_size, got.size()) << r.name;
    }
  }
}

TEST(EngineSystem, SetEnvironmentSetsReplacesAndRemoves) {
  const char *name = "LMX_TEST_SYSTEM_VARIABLE";
  lmx::sys::set_environment(name, "1024");
  ASSERT_NE(nullptr, std::getenv(name));
  EXPECT_STREQ("1024", std::getenv(name));
  lmx::sys::set_environment(name, "7");
  ASSERT_NE(nullptr, std::getenv(name));
  EXPECT_STREQ("7", std::getenv(name));
  lmx::sys::set_environment(name, nullptr);
  EXPECT_EQ(nullptr, std::getenv(name));
}

}  // namespace
