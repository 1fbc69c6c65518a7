// The guard turns a memory fault inside one item into skipping that item.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "engine/FaultGuard.h"

namespace {

volatile int g_sink;

TEST(FaultGuard, RealSegfaultSkipsTheItemAndTheLoopGoesOn) {
  long page = sysconf(_SC_PAGESIZE);
  void* p = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  volatile int* bad = static_cast<volatile int*>(p);

  uint64_t caughtBefore = FaultGuardCatchCount();
  int processed = 0, abandoned = 0;
  FaultGuardBegin(g_FaultProfessional);
  for (volatile int i = 0; i < 6; ++i) {
    if (FAULT_GUARD_TRY(g_FaultProfessional)) {
      if (i == 2 || i == 4) g_sink = *bad;  // a real fault, as damaged data would cause
      ++processed;
    } else {
      FaultGuardRearm(g_FaultProfessional);
      ++abandoned;
    }
  }
  FaultGuardEnd(g_FaultProfessional);
  EXPECT_EQ(4, processed);
  EXPECT_EQ(2, abandoned);
  EXPECT_EQ(caughtBefore + 2, FaultGuardCatchCount());
  munmap(p, page);
}

TEST(FaultGuard, NestedGuardReturnsToTheOuterLoop) {
  long page = sysconf(_SC_PAGESIZE);
  void* p = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, p);
  volatile int* bad = static_cast<volatile int*>(p);
  int outerCaught = 0;
  FaultGuardBegin(g_FaultProfessional);
  if (FAULT_GUARD_TRY(g_FaultProfessional)) {
    FaultGuardBegin(g_FaultFastFat);
    int innerCaught = 0;
    if (FAULT_GUARD_TRY(g_FaultFastFat)) {
      g_sink = *bad;
    } else {
      FaultGuardRearm(g_FaultFastFat);
      ++innerCaught;
    }
    FaultGuardEnd(g_FaultFastFat);
    EXPECT_EQ(1, innerCaught);
    g_sink = *bad;  // now the outer guard must catch it
  } else {
    FaultGuardRearm(g_FaultProfessional);
    ++outerCaught;
  }
  FaultGuardEnd(g_FaultProfessional);
  EXPECT_EQ(1, outerCaught);
  munmap(p, page);
}

TEST(FaultGuardDeathTest, FaultAfterTheLoopEndsTheProcessWithFailure) {
  // Exiting 0 after a crash would report failure as success.
  EXPECT_EXIT(
      {
        FaultGuardBegin(g_FaultFastNtfs);
        FaultGuardEnd(g_FaultFastNtfs);
        long page = sysconf(_SC_PAGESIZE);
        void* p = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        g_sink = *static_cast<volatile int*>(p);
      },
      ::testing::ExitedWithCode(128 + SIGSEGV), "outside a guarded loop");
}

}  // namespace
