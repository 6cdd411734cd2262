/*
 * seed_driver.cpp: replays a fuzz target's corpus without libFuzzer. Every
 * regular file under the directories given on the command line is fed to
 * LLVMFuzzerTestOneInput once; a failed check aborts the process, which
 * fails the test and names the input on standard error.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc,
                                                          char ***argv);

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  size_t runs = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<std::filesystem::path> files;
    for (const auto &e : std::filesystem::recursive_directory_iterator(argv[i]))
      if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto &f : files) {
      std::ifstream in(f, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)),
                        std::istreambuf_iterator<char>());
      fprintf(stderr, "input %s\n", f.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()),
                             bytes.size());
      runs++;
    }
  }
  printf("%zu inputs replayed\n", runs);
  return runs > 0 ? 0 : 1;
}
