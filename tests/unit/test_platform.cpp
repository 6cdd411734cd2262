/*
 * test_platform.cpp: the heap preparation of the one-request programs.
 *
 * What it promises is observable without a clock: once the heap is
 * prepared, writing a block that fits in what was prepared takes no page
 * faults, where the same block in an unprepared process faults once per
 * page. Each case runs in a forked child, so the preparation never reaches
 * the test process's own heap.
 */
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "child.h"
#include "platform.h"

namespace {

constexpr size_t kBlock = 256 * 1024;

/* The minor page faults taken by allocating a kBlock block and writing
 * every byte of it, in a child that first prepares its heap or not. */
long faults_writing_a_block(bool prepared) {
  lmxtest::ChildSpec job;
  lmxtest::ChildResult r = lmxtest::run_child(
      [prepared] {
        if (prepared) lmx_prefault_heap(LMX_REQUEST_HEAP_BYTES);
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        char *volatile block = static_cast<char *>(malloc(kBlock));
        memset(block, 1, kBlock);
        getrusage(RUSAGE_SELF, &after);
        printf("%ld", after.ru_minflt - before.ru_minflt);
        free(block);
      },
      job);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return std::strtol(r.out.c_str(), nullptr, 10);
}

TEST(PrefaultHeap, ABlockInThePreparedHeapIsWrittenWithoutFaults) {
#ifdef LMX_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator does not use the C library's heap";
#endif
  const long pages = static_cast<long>(kBlock / 4096);
  /* The measure itself: unprepared, each page of the block faults. */
  EXPECT_GE(faults_writing_a_block(false), pages / 2);
  /* Prepared, the pages are already mapped (a few may be the stack's or
   * the C library's own). */
  EXPECT_LE(faults_writing_a_block(true), 4);
}

}  // namespace
